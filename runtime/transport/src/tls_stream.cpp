// TLS read and written directly by the thread that serves the connection.
#include "transport/tls_stream.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace qrv::transport {

TlsStream::TlsStream(std::unique_ptr<TlsSession> session) : session_(std::move(session)) {}

TlsStream::~TlsStream()
{
    session_->close_step();
}

void TlsStream::set_timeouts(std::chrono::milliseconds read, std::chrono::milliseconds write)
{
    read_timeout_ = read;
    write_timeout_ = write;
}

bool TlsStream::wait(Step step, std::chrono::milliseconds timeout) const
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            errno = EAGAIN;
            return false;
        }
        pollfd p[2] = {{fd(), short(step == Step::write ? POLLOUT : POLLIN), 0}, {cancel_, POLLIN, 0}};
        const int r = ::poll(p, 2, int(std::min<long long>(left, 60'000)));
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0) {
            if (p[1].revents) {
                errno = ECANCELED;
                return false;
            }
            if (p[0].revents & POLLNVAL) {
                errno = EBADF;
                return false;
            }
            return true;  // ready, or hung up: the next step tells which
        }
    }
}

bool TlsStream::flush(std::chrono::milliseconds timeout)
{
    for (;;) {
        const Step step = session_->flush_step();
        if (step == Step::done)
            return true;
        if (step != Step::write) {
            errno = EPIPE;
            return false;
        }
        if (!wait(step, timeout))
            return false;
    }
}

bool TlsStream::resume(Step step)
{
    if (step == Step::ended || step == Step::failed) {
        errno = step == Step::ended ? 0 : ECONNRESET;
        return false;
    }
    // What the session wrote on its own (an answer to a key update) goes
    // before waiting for the peer.
    if (!flush(write_timeout_))
        return false;
    return wait(step, step == Step::write ? write_timeout_ : read_timeout_);
}

bool TlsStream::read_exact(std::span<uint8_t> out)
{
    size_t done = 0;
    while (done < out.size()) {
        size_t got = 0;
        const Step step = session_->read_step(out.subspan(done), got);
        done += got;
        if (step != Step::done && !resume(step))
            return false;
    }
    return true;
}

long TlsStream::read_some(std::span<uint8_t> out)
{
    size_t got = 0;
    const Step step = session_->read_step(out, got);
    if (step == Step::done)
        return long(got);
    if (step == Step::ended)
        return 0;
    if (step == Step::failed || !flush(write_timeout_)) {
        errno = ECONNRESET;
        return -1;
    }
    errno = EAGAIN;
    return -1;
}

bool TlsStream::write(std::span<const uint8_t> bytes, bool more)
{
    size_t done = 0;
    while (done < bytes.size()) {
        size_t put = 0;
        const Step step = session_->write_step(bytes.subspan(done), put);
        done += put;
        if (step == Step::ended) {
            errno = EPIPE;
            return false;
        }
        if (step != Step::done && !resume(step))
            return false;
    }
    return more || flush(write_timeout_);
}

void TlsStream::end_writing()
{
    if (session_->close_step() == Step::write)
        flush(write_timeout_);
    ::shutdown(fd(), SHUT_WR);
}

}  // namespace qrv::transport
