#include "base/unix_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

namespace qrv::net {

namespace {

constexpr size_t kMaxPassed = 4;

// Fills the address; false when the path does not fit.
bool make_address(const std::string& path, sockaddr_un& out, socklen_t& len)
{
    std::memset(&out, 0, sizeof out);
    out.sun_family = AF_UNIX;
    if (path.size() < 2 || path.size() >= sizeof out.sun_path)
        return false;
    std::memcpy(out.sun_path, path.data(), path.size());
    if (path[0] == '@') {
        out.sun_path[0] = '\0';  // abstract: the length ends the name
        len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    } else {
        len = static_cast<socklen_t>(sizeof out);
    }
    return true;
}

}  // namespace

Fd listen_unix(std::string& path, int backlog)
{
    static std::atomic<uint64_t> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 4; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "@qrv-%d-%llu-%08x%08x", static_cast<int>(::getpid()),
                      static_cast<unsigned long long>(++counter), rd(), rd());
        Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd)
            return Fd();
        sockaddr_un addr;
        socklen_t len = 0;
        if (!make_address(name, addr, len))
            return Fd();
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd.get(), backlog) == 0) {
            path = name;
            return fd;
        }
    }
    return Fd();
}

Fd connect_unix(const std::string& path)
{
    sockaddr_un addr;
    socklen_t len = 0;
    if (!make_address(path, addr, len))
        return Fd();
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return Fd();
    int r;
    do
        r = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len);
    while (r != 0 && errno == EINTR);
    return r == 0 ? std::move(fd) : Fd();
}

bool write_all_with_fd(int fd, std::span<const uint8_t> bytes, int pass_fd)
{
    if (bytes.empty())
        return false;
    iovec iov{const_cast<uint8_t*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &pass_fd, sizeof(int));
    ssize_t n;
    do
        n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    return write_all(fd, bytes.subspan(static_cast<size_t>(n)));
}

bool read_exact_with_fds(int fd, std::span<uint8_t> out, std::vector<Fd>& passed, bool* truncated)
{
    size_t done = 0;
    while (done < out.size()) {
        iovec iov{out.data() + done, out.size() - done};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassed)];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        // Every descriptor that arrived is owned before anything is judged,
        // so that none leaks whatever the verdict.
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0))
                continue;
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int passed_fd;
                std::memcpy(&passed_fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                passed.emplace_back(passed_fd);
            }
        }
        if (msg.msg_flags & MSG_CTRUNC) {
            if (truncated)
                *truncated = true;
            return false;
        }
        if (passed.size() > kMaxPassed)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace qrv::net
