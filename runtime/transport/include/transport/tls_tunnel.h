// TLS 1.3 with the site key on one TCP connection, behind a plain socket.
//
// OpenSSL lets only one thread at a time use a connection's SSL object,
// while the message code has a reader and a writer per connection on the
// accepting side. The tunnel keeps that code as it is: one thread of its
// own alone owns the SSL object, the TCP socket and one end of a socket
// pair, and moves bytes between them (non-blocking, in large chunks: TLS
// records are 16 KiB at most, so it loops); the other end of the pair
// takes the TCP socket's place for the message code. The cost is one more
// pass of each byte through the kernel; what it buys is that the message
// code, its timeouts and its stall detection stay the same with and
// without a key.
//
// What keeps that cost low: the SSL object reads ahead into a large buffer
// (one receive takes many records rather than two receives per record), and
// once the handshake is done the records it seals are gathered and sent
// many to a send rather than one 16 KiB record per system call. Where the
// kernel seals records itself (kernel TLS), the SSL object hands it the
// keys and the gathering steps aside.
//
// The same session can instead be read and written directly by the one
// thread that serves the connection (direct and the steps below, used
// through tls_stream.h), with no socket pair and no thread of its own: a
// receiver's link does so, since its one thread already does all of its
// connection's reading and writing.
//
// The handshake is bounded by a deadline. The connecting side runs it on
// its own thread before it uses the session, to tell why it failed; the
// accepting side runs it on the tunnel's thread, so that a peer that
// stalls holds no thread of the server's, and hears of a failure through
// a callback.
//
// The tunnel ends when either side closes (each direction is closed
// gently: a plain end that stops writing sends TLS close_notify, and the
// peer's close_notify ends the plain end's reading side), on an error, or
// when it is destroyed; its thread always stops and its descriptors close.
#ifndef QRV_TRANSPORT_TLS_TUNNEL_H
#define QRV_TRANSPORT_TLS_TUNNEL_H

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "base/socket.h"
#include "transport/link_keys.h"

namespace qrv::transport {

struct TlsWire;

class TlsTunnel {
public:
    enum class Role { connecting, accepting };
    using Clock = std::chrono::steady_clock;
    // Why the handshake failed: a reason for the last error and the log,
    // and OpenSSL's own words (may be empty) for the log only.
    struct Failure {
        std::string reason;
        std::string detail;
    };
    // Called on the tunnel's thread when an accepting handshake fails.
    using Refused = std::function<void(const Failure& failure)>;

    // Takes the TCP connection (made non-blocking). Throws Error when
    // OpenSSL or the system cannot set it up.
    TlsTunnel(net::Fd tcp, std::shared_ptr<const LinkKeys> keys, Role role);
    ~TlsTunnel();
    TlsTunnel(const TlsTunnel&) = delete;
    TlsTunnel& operator=(const TlsTunnel&) = delete;

    // Runs the handshake on the calling thread until done or the deadline;
    // the failure, or an empty reason. Shutting the TCP socket down from
    // another thread (see tcp_fd) ends it at once. Before start only.
    Failure handshake(Clock::time_point deadline);
    int tcp_fd() const { return tcp_.get(); }
    // Makes the socket pair and returns the plain end, which the caller
    // owns. Once only, before start. Throws Error when no socket pair can
    // be made.
    net::Fd open();
    // Starts the tunnel's thread. Accepting: the thread runs the handshake
    // first, by the deadline, and on failure calls refused and closes the
    // plain end. Once only.
    void start(Clock::time_point deadline, Refused refused = {});
    // Which key the peer proved; none until the handshake is done. Any
    // thread.
    PeerKey peer_key() const { return peer_key_.load(); }
    // Keying material exported from the session once its handshake is done
    // (LinkKeys::kExporterLabel), for the operator key's proof; nothing
    // before. Exported on the handshake's thread, since only one thread may
    // use the SSL object. Any thread.
    std::optional<LinkKeys::Exported> exported() const;

    // Direct use, in place of open and start: once the handshake is done,
    // the thread that serves the connection reads and writes the session
    // itself (tls_stream.h), one step at a time without waiting. What a
    // step needs before it can go on, or how it ended.
    enum class Step { done, read, write, ended, failed };
    // Makes records sealed by write_step gather for one send. Once, after
    // the handshake, never with start.
    void direct();
    // Opens what has arrived into out (at most one record's worth); got
    // says how much.
    Step read_step(std::span<uint8_t> out, size_t& got);
    // Seals in; put says how much was taken (all of it when done).
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
    void run(Clock::time_point deadline, const Refused& refused);
    // Moves bytes both ways until both are closed, an error, or a wake.
    void carry();
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
    net::Fd plain_;  // the tunnel's end of the pair
    net::Fd wake_;   // an eventfd that stops the thread
    std::unique_ptr<struct ssl_st, void (*)(struct ssl_st*)> ssl_;
    bool handshaken_ = false;
    LinkKeys::Exported exported_{};  // written before peer_key_ is set
    std::atomic<PeerKey> peer_key_{PeerKey::none};
    std::atomic<bool> stopping_{false};  // the destructor ends the thread
    std::thread thread_;
};

}  // namespace qrv::transport

#endif
