// A connection's bytes through TLS, read and written by the one thread that
// serves the connection: the SSL object, its socket (non-blocking) and the
// records it seals are that thread's alone, so no other thread ever touches
// the session. Reads open records straight into the caller's buffer; writes
// seal whole messages into full records and send many records at a time.
#ifndef QRV_TRANSPORT_TLS_STREAM_H
#define QRV_TRANSPORT_TLS_STREAM_H

#include <chrono>
#include <memory>

#include "transport/byte_stream.h"
#include "transport/quiet_pipe.h"
#include "transport/tls_session.h"

namespace qrv::transport {

class TlsStream final : public ByteStream {
public:
    // Takes a session whose handshake is done and that was never started.
    // Made, used and destroyed on one thread.
    explicit TlsStream(std::unique_ptr<TlsSession> session);
    // Sends close_notify unless end_writing did, without waiting for room.
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    int fd() const override { return session_->tcp_fd(); }
    int plain_fd() const override { return -1; }
    bool buffered() const override { return session_->buffered(); }
    int cancel_fd() const override { return cancel_; }
    // Every wait of the stream ends, failing with errno ECANCELED, once
    // cancel (a descriptor that stays the caller's) is readable. Set
    // before use.
    void set_cancel(int cancel) { cancel_ = cancel; }
    void set_timeouts(std::chrono::milliseconds read, std::chrono::milliseconds write) override;
    bool read_exact(std::span<uint8_t> out) override;
    long read_some(std::span<uint8_t> out) override;
    bool write_all(std::span<const uint8_t> bytes) override { return write(bytes, false); }
    // Like write_all; with more, the records sealed last may stay gathered
    // for the next write, so that messages that follow each other share
    // sends. The last write of a run goes without more.
    bool write(std::span<const uint8_t> bytes, bool more);
    void end_writing() override;
    const TlsSession& session() const { return *session_; }

private:
    using Step = TlsSession::Step;
    // Waits until the socket is ready for what step asks, at most timeout;
    // false on timeout (errno EAGAIN) or when it cannot be waited on.
    bool wait(Step step, std::chrono::milliseconds timeout) const;
    // Sends every gathered record, waiting for room at most timeout each time.
    bool flush(std::chrono::milliseconds timeout);
    // Goes on after a step that did not finish: false with errno set when
    // the stream ended or failed.
    bool resume(Step step);

    const QuietPipe quiet_;  // kernel TLS writes with write()
    std::unique_ptr<TlsSession> session_;
    std::chrono::milliseconds read_timeout_{5000};
    std::chrono::milliseconds write_timeout_{2000};
    int cancel_ = -1;
};

}  // namespace qrv::transport

#endif
