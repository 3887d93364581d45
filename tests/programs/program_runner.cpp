#include "program_runner.h"

#include "build_paths.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace qrv_test {

const std::string& Call::operator[](const std::string& key) const
{
    static const std::string missing = "<missing>";
    const auto it = fields.find(key);
    return it == fields.end() ? missing : it->second;
}

long long Call::num(const std::string& key) const
{
    const std::string& v = (*this)[key];
    char* end = nullptr;
    const long long n = std::strtoll(v.c_str(), &end, 0);
    if (v.empty() || *end)
        throw std::runtime_error("field " + key + " is not a number: " + v);
    return n;
}

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qrv-program-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<const Call*> RunResult::of(const std::string& op) const
{
    std::vector<const Call*> out;
    for (const Call& c : calls)
        if (c.op == op)
            out.push_back(&c);
    return out;
}

std::string RunResult::sequence() const
{
    std::string s;
    for (const Call& c : calls)
        s += (s.empty() ? "" : " ") + c.op;
    return s;
}

fs::path program_path(const std::string& name)
{
    return fs::path(bin_dir()) / name;
}

fs::path library_path(Library library)
{
    switch (library) {
    case Library::full:
        return fs::path(build_dir()) / "double" / "libqrv.so.3";
    case Library::noload:
        return fs::path(build_dir()) / "double_noload" / "libqrv.so.3";
    case Library::nulltable:
        return fs::path(build_dir()) / "double_nulltable" / "libqrv.so.3";
    case Library::none:
        break;
    }
    return {};
}

Call parse_call(const std::string& line)
{
    Call c;
    size_t i = 0;
    auto token_end = [&](size_t from) {
        size_t j = from;
        while (j < line.size() && line[j] != ' ')
            j++;
        return j;
    };
    size_t end = token_end(0);
    c.op = line.substr(0, end);
    if (c.op.rfind("QRVlib_", 0) == 0)
        c.op = c.op.substr(7);
    i = end;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            i++;
        if (line.compare(i, 3, "-> ") == 0) {
            c.result = line.substr(i + 3);
            break;
        }
        const size_t eq = line.find('=', i);
        if (eq == std::string::npos)
            break;
        const std::string key = line.substr(i, eq - i);
        std::string value;
        if (eq + 1 < line.size() && line[eq + 1] == '"') {
            const size_t close = line.find('"', eq + 2);
            value = line.substr(eq + 2, close - eq - 2);
            i = close == std::string::npos ? line.size() : close + 1;
        } else {
            end = token_end(eq + 1);
            value = line.substr(eq + 1, end - eq - 1);
            i = end;
        }
        c.fields[key] = value;
    }
    return c;
}

namespace {

void copy_executable(const fs::path& from, const fs::path& to)
{
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all, fs::perm_options::add);
}

}  // namespace

RunResult run(const RunOptions& options)
{
    RunResult r;
    r.dir = std::make_shared<TempDir>();
    const fs::path dir = r.dir->path();
    const fs::path exe = dir / options.program;
    copy_executable(program_path(options.program), exe);
    if (options.library != Library::none)
        copy_executable(library_path(options.library), dir / "libqrv.so.3");
    for (const auto& [sub, lib] : options.extra_libraries) {
        fs::create_directories(dir / sub);
        copy_executable(library_path(lib), dir / sub / "libqrv.so.3");
    }
    const fs::path log = dir / "calls.log";

    std::map<std::string, std::string> env = options.env;
    for (auto& [key, value] : env)
        for (size_t at; (at = value.find("@DIR@")) != std::string::npos;)
            value.replace(at, 5, dir.string());
    env["QRV_DOUBLE_LOG"] = log.string();
    if (options.virtual_clock)
        env["LD_PRELOAD"] = vclock_path();
    // The sanitizer runtime must accept the shim preloaded ahead of it.
    std::string asan = "verify_asan_link_order=0";
    if (const char* a = std::getenv("ASAN_OPTIONS"); a && *a)
        asan = std::string(a) + ":" + asan;
    env["ASAN_OPTIONS"] = asan;
    if (const char* u = std::getenv("UBSAN_OPTIONS"))
        env["UBSAN_OPTIONS"] = u;
    std::vector<std::string> env_text;
    for (const auto& [k, v] : env)
        env_text.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (std::string& s : env_text)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string exe_text = exe.string();
    char* argv[] = {exe_text.data(), nullptr};

    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        const int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, 0);
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        // SIGINT keeps its default action in the program, as from a shell.
        signal(SIGINT, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(exe_text.c_str(), argv, envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeout_seconds);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    while (open_fds > 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) {
            r.timed_out = true;
            kill(pid, SIGKILL);
            break;
        }
        const int n = poll(fds, 2, (int)std::min<long long>(left, 1000));
        if (n < 0 && errno != EINTR)
            break;
        for (int k = 0; k < 2; k++) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[65536];
            const ssize_t got = read(fds[k].fd, buf, sizeof buf);
            if (got > 0) {
                sinks[k]->append(buf, (size_t)got);
            } else if (got == 0 || errno != EINTR) {
                close(fds[k].fd);
                fds[k].fd = -1;
                open_fds--;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exited = WIFEXITED(status);
    r.exit_code = r.exited ? WEXITSTATUS(status) : -1;
    r.term_signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;

    std::ifstream in(log);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            r.calls.push_back(parse_call(line));
    return r;
}

}  // namespace qrv_test
