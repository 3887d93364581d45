#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

namespace qrv_test {

Child::Child(std::vector<std::string> argv, std::map<std::string, std::string> env)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    std::vector<char*> args;
    for (auto& a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        for (const auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_fd_ = in[1];
    out_fd_ = out[0];
    fcntl(out_fd_, F_SETFL, O_NONBLOCK);
}

Child::~Child()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (in_fd_ >= 0)
        close(in_fd_);
    if (out_fd_ >= 0)
        close(out_fd_);
}

void Child::read_available(std::chrono::milliseconds timeout)
{
    pollfd p{out_fd_, POLLIN, 0};
    if (poll(&p, 1, int(timeout.count())) <= 0)
        return;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(out_fd_, buf, sizeof buf);
        if (n <= 0)
            return;
        output_.append(buf, size_t(n));
    }
}

bool Child::wait_for_output(const std::string& text, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (output_.find(text) == std::string::npos) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return false;
        read_available(std::min<std::chrono::milliseconds>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - now), std::chrono::milliseconds(100)));
    }
    return true;
}

void Child::write_line(const std::string& line)
{
    const std::string l = line + "\n";
    if (in_fd_ >= 0)
        (void)!write(in_fd_, l.data(), l.size());
}

void Child::close_input()
{
    if (in_fd_ >= 0)
        close(in_fd_);
    in_fd_ = -1;
}

void Child::signal(int sig)
{
    if (pid_ > 0 && !reaped_)
        kill(pid_, sig);
}

std::optional<int> Child::wait_exit(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return std::nullopt;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            read_available(std::chrono::milliseconds(0));
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        read_available(std::chrono::milliseconds(50));
    }
}

}  // namespace qrv_test
