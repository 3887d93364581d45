// Thin RAII wrappers over the TCP sockets of the transport.
#ifndef QRV_TRANSPORT_SOCKET_H
#define QRV_TRANSPORT_SOCKET_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace qrv::net {

// Owns one file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& o) noexcept : fd_(o.release()) {}
    Fd& operator=(Fd&& o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// A listening TCP socket on address:port (dotted IPv4, network order
// obtained inside); port 0 picks one. Invalid on failure, with the reason
// in *why when given.
Fd listen_tcp(const std::string& address, uint16_t port, int backlog = 128, std::string* why = nullptr);
// The local port of a bound socket, 0 on failure.
uint16_t local_port(int fd);
// An IPv4 address given in host byte order, as dotted text.
std::string ipv4_text(uint32_t host_order);

// The local address of a bound IPv4 socket, dotted; empty for any other
// socket or on failure.
std::string local_address(int fd);
// Connects within the timeout; invalid on failure, with the reason in *why
// when given.
Fd connect_tcp(const std::string& address, uint16_t port, std::chrono::milliseconds timeout,
               std::string* why = nullptr);
// The other end of a connected socket as "address:port" ("this host" for a
// Unix socket), for log lines.
std::string peer_text(int fd);

// Waits until the descriptor is readable; false on timeout or error.
bool wait_readable(int fd, std::chrono::milliseconds timeout);
// Reads exactly out.size() bytes; false on end of stream or error.
bool read_exact(int fd, std::span<uint8_t> out);
// Writes every byte (never raises SIGPIPE); false on error.
bool write_all(int fd, std::span<const uint8_t> bytes);
// Stops both directions, waking any thread blocked on the socket.
void shutdown_both(int fd);
// Reads (or writes) on the socket fail after this long without progress;
// 0 waits for ever.
void set_recv_timeout(int fd, std::chrono::milliseconds timeout);
void set_send_timeout(int fd, std::chrono::milliseconds timeout);
// Sends what is written at once rather than holding a small segment back
// until earlier data is acknowledged (TCP only; ignored elsewhere).
void set_no_delay(int fd);

}  // namespace qrv::net

#endif
