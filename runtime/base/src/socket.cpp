#include "base/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "base/error.h"

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

Fd listen_tcp(const std::string& address, uint16_t port, int backlog, std::string* why)
{
    auto fail = [&](const char* reason) {
        if (why)
            *why = reason ? std::string(reason) : error_text(errno);
        return Fd();
    };
    sockaddr_in sa;
    if (!make_address(address, port, sa))
        return fail("not an IPv4 address");
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return fail(nullptr);
    const int one = 1;
    setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd.get(), backlog) != 0)
        return fail(nullptr);
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

std::string ipv4_text(uint32_t host_order)
{
    const in_addr a{htonl(host_order)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string local_address(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0 || ss.ss_family != AF_INET)
        return {};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, text, sizeof text);
    return text;
}

Fd connect_tcp(const std::string& address, uint16_t port, std::chrono::milliseconds timeout, std::string* why)
{
    auto fail = [&](int error) {
        if (why)
            *why = error ? error_text(error) : std::string("no answer in time");
        return Fd();
    };
    sockaddr_in sa;
    if (!make_address(address, port, sa))
        return fail(EINVAL);
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return fail(errno);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS)
            return fail(errno);
        pollfd p{fd.get(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
        if (ready != 1)
            return fail(ready < 0 ? errno : 0);
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            return fail(errno);
        if (err != 0)
            return fail(err);
    }
    const int flags = fcntl(fd.get(), F_GETFL);
    fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    set_no_delay(fd.get());
    return fd;
}

std::string peer_text(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return "an unknown peer";
    if (ss.ss_family != AF_INET)
        return "this host";
    const auto& in = reinterpret_cast<const sockaddr_in&>(ss);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
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

void set_no_delay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

}  // namespace qrv::net
