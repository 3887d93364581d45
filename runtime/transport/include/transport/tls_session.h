// TLS 1.3 with the site key on one TCP connection.
//
// OpenSSL lets only one thread at a time use a connection's SSL object, so
// the session is read and written by the one thread that serves the
// connection (through tls_stream.h), one non-blocking step at a time: a
// receiver's link on its thread, a source's keyed connection on the thread
// that also drains its queue. Nothing else ever touches the SSL object.
//
// What keeps the cost low: the SSL object reads ahead into a large buffer
// (one receive takes many records rather than two receives per record), and
// once the handshake is done the records it seals are gathered and sent
// many to a send rather than one 16 KiB record per system call. Where the
// kernel seals records itself (kernel TLS), the SSL object hands it the
// keys and the gathering steps aside.
//
// The handshake runs on the serving thread before anything else, bounded
// by a deadline, and tells why it failed.
#ifndef QRV_TRANSPORT_TLS_SESSION_H
#define QRV_TRANSPORT_TLS_SESSION_H

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/socket.h"
#include "transport/link_keys.h"

namespace qrv::transport {

struct TlsWire;

class TlsSession {
public:
    enum class Role { connecting, accepting };
    using Clock = std::chrono::steady_clock;
    // Why the handshake failed: a reason for the last error and the log,
    // and OpenSSL's own words (may be empty) for the log only.
    struct Failure {
        std::string reason;
        std::string detail;
    };
    // Takes the TCP connection (made non-blocking). Throws Error when
    // OpenSSL or the system cannot set it up.
    TlsSession(net::Fd tcp, std::shared_ptr<const LinkKeys> keys, Role role);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Runs the handshake on the calling thread until done or the deadline;
    // the failure, or an empty reason. Shutting the TCP socket down from
    // another thread (see tcp_fd), or cancel (a descriptor, -1 for none)
    // becoming readable, ends it at once.
    Failure handshake(Clock::time_point deadline, int cancel = -1);
    int tcp_fd() const { return tcp_.get(); }
    // Which key the peer proved; none until the handshake is done. Any
    // thread.
    PeerKey peer_key() const { return peer_key_.load(); }
    // Keying material exported from the session once its handshake is done
    // (LinkKeys::kExporterLabel), for the operator key's proof; nothing
    // before. Exported on the handshake's thread, since only one thread may
    // use the SSL object. Any thread.
    std::optional<LinkKeys::Exported> exported() const;

    // Once the handshake is done, the thread that serves the connection
    // reads and writes the session (tls_stream.h), one step at a time
    // without waiting. What a step needs before it can go on, or how it
    // ended.
    enum class Step { done, read, write, ended, failed };
    // Opens what has arrived into out (at most one record's worth); got
    // says how much.
    Step read_step(std::span<uint8_t> out, size_t& got);
    // Seals in; put says how much was taken (all of it when done). The
    // records wait for flush_step.
    Step write_step(std::span<const uint8_t> in, size_t& put);
    // Sends the gathered records: done when all went, write when the
    // socket is full.
    Step flush_step();
    // Sends close_notify (once) and flushes.
    Step close_step();
    // Bytes opened or received and not read yet.
    bool buffered() const;

private:
    Step step_after(int ssl_error) const;
    Failure failure_of(int ssl_error, bool timed_out) const;
    // Says once per process at info whether records are sealed by the
    // kernel or here.
    void log_record_path() const;

    std::shared_ptr<const LinkKeys> keys_;
    const Role role_;
    net::Fd tcp_;
    // The TCP socket as the SSL object's BIO sees it, with the records it
    // gathers for one send; declared before ssl_, which refers to it.
    std::unique_ptr<TlsWire> wire_;
    std::unique_ptr<struct ssl_st, void (*)(struct ssl_st*)> ssl_;
    LinkKeys::Exported exported_{};  // written before peer_key_ is set
    std::atomic<PeerKey> peer_key_{PeerKey::none};
};

}  // namespace qrv::transport

#endif
