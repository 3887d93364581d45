#include "base/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace qrv::net {

void Fd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

namespace {

bool make_address(const std::string& address, uint16_t port, sockaddr_in& out)
{
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

}  // namespace

Fd listen_tcp(const std::string& address, uint16_t port, int backlog)
{
    sockaddr_in sa;
    if (!make_address(address, port, sa))
        return Fd();
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return Fd();
    const int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd.get(), backlog) != 0)
        return Fd();
    return fd;
}

uint16_t local_port(int fd)
{
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
        return 0;
    return ntohs(sa.sin_port);
}

Fd connect_tcp(const std::string& address, uint16_t port, std::chrono::milliseconds timeout)
{
    sockaddr_in sa;
    if (!make_address(address, port, sa))
        return Fd();
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return Fd();
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS)
            return Fd();
        pollfd p{fd.get(), POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1)
            return Fd();
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return Fd();
    }
    const int flags = fcntl(fd.get(), F_GETFL);
    fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

bool wait_readable(int fd, std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (r < 0 && errno == EINTR)
            continue;
        return r == 1;
    }
}

namespace {

// Runs step(done) until size bytes are through; step returns what one
// system call moved. Interrupted calls are repeated; an end of stream or an
// error ends it with false.
template <class Step>
bool transfer_all(size_t size, Step step)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = step(done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
    return true;
}

}  // namespace

bool read_exact(int fd, std::span<uint8_t> out)
{
    return transfer_all(out.size(),
                        [&](size_t done) { return ::recv(fd, out.data() + done, out.size() - done, 0); });
}

bool write_all(int fd, std::span<const uint8_t> bytes)
{
    return transfer_all(bytes.size(), [&](size_t done) {
        return ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    });
}

void shutdown_both(int fd)
{
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

namespace {

void set_timeout(int fd, int option, std::chrono::milliseconds timeout)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

void set_recv_timeout(int fd, std::chrono::milliseconds timeout)
{
    set_timeout(fd, SO_RCVTIMEO, timeout);
}

void set_send_timeout(int fd, std::chrono::milliseconds timeout)
{
    set_timeout(fd, SO_SNDTIMEO, timeout);
}

}  // namespace qrv::net
