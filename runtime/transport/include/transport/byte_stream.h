// The bytes of one connection as the message code reads and writes them:
// a plain socket, or TLS over one (tls_stream.h). One thread at a time uses
// a stream: the one that serves the connection.
#ifndef QRV_TRANSPORT_BYTE_STREAM_H
#define QRV_TRANSPORT_BYTE_STREAM_H

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <span>

#include "base/socket.h"

namespace qrv::transport {

class ByteStream {
public:
    virtual ~ByteStream() = default;
    // The socket to wait on for readability (and to shut down from another
    // thread, which ends any read or write in progress).
    virtual int fd() const = 0;
    // The socket itself when the stream adds nothing to it, else -1.
    virtual int plain_fd() const = 0;
    // Bytes taken from the socket already and not read yet, which a poll
    // on fd() would not show.
    virtual bool buffered() const = 0;
    // A descriptor that, once readable, ends any wait of the stream's
    // (-1: none).
    virtual int cancel_fd() const { return -1; }
    // How long one wait for the peer may last when reading and writing.
    virtual void set_timeouts(std::chrono::milliseconds read, std::chrono::milliseconds write) = 0;
    // Fills out; false at the end of the stream or on an error, with errno
    // EAGAIN when the peer sent nothing within the read timeout.
    virtual bool read_exact(std::span<uint8_t> out) = 0;
    // What is there now, without waiting: bytes read, 0 at the end of the
    // stream, -1 with errno EAGAIN when nothing is there, else an error.
    virtual long read_some(std::span<uint8_t> out) = 0;
    // Writes all of bytes; false on an error or when the peer took nothing
    // within the write timeout.
    virtual bool write_all(std::span<const uint8_t> bytes) = 0;
    // Ends the writing direction gently; the peer may still send.
    virtual void end_writing() = 0;
};

// A plain socket, which stays the caller's.
class PlainStream final : public ByteStream {
public:
    explicit PlainStream(int fd) : fd_(fd) {}
    int fd() const override { return fd_; }
    int plain_fd() const override { return fd_; }
    bool buffered() const override { return false; }
    void set_timeouts(std::chrono::milliseconds read, std::chrono::milliseconds write) override
    {
        net::set_recv_timeout(fd_, read);
        net::set_send_timeout(fd_, write);
    }
    bool read_exact(std::span<uint8_t> out) override { return net::read_exact(fd_, out); }
    long read_some(std::span<uint8_t> out) override { return ::recv(fd_, out.data(), out.size(), MSG_DONTWAIT); }
    bool write_all(std::span<const uint8_t> bytes) override { return net::write_all(fd_, bytes); }
    void end_writing() override { ::shutdown(fd_, SHUT_WR); }

private:
    int fd_;
};

}  // namespace qrv::transport

#endif
