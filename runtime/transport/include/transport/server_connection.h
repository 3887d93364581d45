// One receiver connected to a source's server. A reader thread waits for the
// receiver's hello (within the handshake timeout) and then for its control
// messages; a writer thread drains the connection's bounded queue into the
// socket, so that a slow receiver blocks only its own writer. A connection
// with the site key has one thread instead, which alone uses its TLS
// session: it runs the handshake, then waits on the socket and on the
// queue at once, writing what is queued and reading what the receiver
// sends (server_tls.cpp). The hello
// tells what the receiver wants (kinds of media, payload formats, pixel
// layout, bandwidth); it is kept here for the server to send accordingly,
// as is the receiver's last tally.
#ifndef QRV_TRANSPORT_SERVER_CONNECTION_H
#define QRV_TRANSPORT_SERVER_CONNECTION_H

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>
#include <thread>

#include "transport/link_keys.h"
#include "transport/repair_budget.h"
#include "transport/send_queue.h"
#include "base/socket.h"
#include "wire/passed_regions.h"

namespace qrv::transport {

class ByteStream;
class ServerConnection;
class TlsStream;
class TlsSession;
struct Message;
struct UpstreamRules;
enum class ReadResult;

// The time limits of one connection.
struct ConnectionTimes {
    // For the whole hello, from the moment the connection is taken in.
    std::chrono::milliseconds handshake{2000};
    // For each later message from its first byte to its last.
    std::chrono::milliseconds message{5000};
    // A connection that has sent nothing for this long is sent a keepalive.
    std::chrono::milliseconds keepalive{1000};
    // Bytes of messages of unknown types one receiver may send in all.
    uint64_t unknown_budget = 1u << 20;
};

// What a connection tells its server; called from the connection's reader.
class ConnectionHooks {
public:
    virtual ~ConnectionHooks() = default;
    virtual void on_ready(ServerConnection& connection) = 0;
    // A camera command; true when it is held for the source's application
    // (a numbered one is acknowledged with the answer).
    virtual bool on_ptz(const wire::PtzFields& command) = 0;
    // The receiver's tally changed (tally() holds the new state).
    virtual void on_tally(ServerConnection& connection) = 0;
    // A message of a type this version does not know was skipped.
    virtual void on_unknown_message() = 0;
    virtual void on_bad_peer() = 0;
    virtual void on_handshake_timeout() = 0;
    // The peer did not prove the site key in the TLS handshake (or spoke
    // no TLS at all); the connection ends. peer: its address and port;
    // reason and detail (OpenSSL's words, may be empty) for the log, which
    // is the server's to keep, so that a flood of peers does not flood it.
    virtual void on_key_refused(const std::string& peer, const std::string& reason, const std::string& detail)
    {
        (void)peer;
        (void)reason;
        (void)detail;
    }
    // A camera command came from a peer without the right to steer (see
    // ServerConnection::may_steer); it was not taken.
    virtual void on_command_refused(ServerConnection&) {}
    virtual void on_finished() = 0;
    // The connection's thread took the last video frame that waited for
    // it: the receiver is ready for the next one.
    virtual void on_video_taken() {}
    // The receiver joined (or left) the multicast group it was offered.
    virtual void on_multicast_state(ServerConnection&, bool joined) { (void)joined; }
    // The receiver asks for datagrams of the group again (indexes empty:
    // all of the message).
    virtual void on_nack(ServerConnection&, const wire::NackFields& nack, std::span<const uint32_t> indexes)
    {
        (void)nack;
        (void)indexes;
    }
};

class ServerConnection {
public:
    // shared: a Unix-socket connection, which is sent video frames that lie
    // in shared memory as references rather than bytes.
    // source: the name of the source served, for log lines.
    // keys: when given, the peer must prove the site key in a TLS 1.3
    // handshake (within the handshake timeout) before anything else, and
    // everything after runs through TLS (tls_stream.h).
    ServerConnection(net::Fd fd, ConnectionHooks& hooks, QueueLimits limits, DropCounters& drops,
                     ConnectionTimes times, bool shared = false, std::string source = {},
                     std::shared_ptr<const LinkKeys> keys = nullptr);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    void send(wire::PacketPtr packet) { queue_.push(std::move(packet)); }
    bool ready() const { return ready_.load(); }
    void mark_ready() { ready_ = true; }
    bool finished() const { return finished_.load(); }
    // Whether a video frame waits for the receiver (one is being written
    // does not count).
    bool video_waiting() const { return queue_.video_waiting(); }
    std::string receiver_name() const;
    bool shared() const { return shared_; }
    // Shared-memory frames the receiver holds now, taken back ones included.
    size_t held() const;
    // The bytes of shared memory behind them.
    uint64_t held_bytes() const;
    // What the receiver asked for in its hello; set before ready() is true
    // and unchanged from then on.
    const wire::HelloFields& wishes() const { return wishes_; }
    // For a receiver that asked for at most one video frame per interval:
    // whether a frame is due at now, and taking it (the next one is due an
    // interval later, so the rate holds on average however frames fall).
    // Under its server's lock; always true for one that wants every frame.
    bool video_due(std::chrono::steady_clock::time_point now) const
    {
        return wishes_.frame_interval_us == 0 || now >= next_video_;
    }
    void take_video(std::chrono::steady_clock::time_point now)
    {
        if (wishes_.frame_interval_us == 0)
            return;
        const std::chrono::microseconds interval{wishes_.frame_interval_us};
        next_video_ = std::max(next_video_ + interval, now + interval / 2);
    }
    // Offered a multicast group (under the server's lock); a receiver that
    // says it joined one it was not offered is not believed.
    bool offered_group() const { return offered_group_; }
    void mark_offered_group() { offered_group_ = true; }
    // Joined the group: its media come from there, not on this connection.
    bool on_group() const { return on_group_.load(); }
    void set_on_group(bool joined) { on_group_ = joined; }
    // What repairs the receiver may still be sent (the reader's alone:
    // requests for them arrive there).
    RepairBudget& repair_budget() { return repair_budget_; }
    // The receiver's tally flags (wire::kTally*), 0 until it sends one.
    uint32_t tally() const { return tally_.load(); }
    // Ends the connection (from the server, to make room for another).
    void evict() { finish(); }
    std::chrono::steady_clock::time_point accepted_at() const { return accepted_at_; }
    // The peer's address without the port ("this host" on the Unix socket).
    const std::string& peer_host() const { return peer_host_; }
    // The address of this host that the receiver connected to (dotted),
    // empty on the Unix socket.
    const std::string& local_host() const { return local_host_; }
    // The receiver runs on this host: over the Unix socket or loopback.
    bool same_host() const { return shared_ || peer_host_ == "this host" || peer_host_.starts_with("127."); }
    // Which key the peer proved: none without TLS (no key set, or the
    // Unix socket) and until its handshake is done. Any thread.
    PeerKey peer_key() const;
    // Whether the peer may steer the camera (and so whether its commands
    // reach on_ptz). Without a key, or when the source has no operator
    // key, every peer that got in may. With one: a TLS peer that offered
    // the operator key's PSK or proved the operator key on this connection
    // (an operator_proof message). A peer of the same-host socket may too:
    // with a key, that socket takes only peers that passed the credential
    // check (the same user, root or the local group), who could read this
    // user's key files anyway, so a proof from them would add nothing.
    // Any thread.
    bool may_steer() const;
    // How long the writer has been stuck in its current write, or zero:
    // a receiver that does not drain its socket.
    std::chrono::steady_clock::duration stalled_for(std::chrono::steady_clock::time_point now) const;

private:
    // A receiver that stops reading blocks its writer at most this long per
    // write before the connection is dropped.
    static constexpr std::chrono::seconds kStallTimeout{5};

    // Why reading a receiver's messages ended: dropped says why we ended
    // the connection, if we did.
    struct Ending {
        const char* dropped = nullptr;
        bool closed_by_peer = false;
    };

    // Starts the thread that serves a connection with the site key.
    void start_tls();
    // That thread: the handshake, the hello, then the connection's traffic
    // both ways until it ends (server_tls.cpp).
    void serve_tls(std::unique_ptr<TlsSession> session);
    // The session once the peer proved the key; null when it did not (the
    // refusal counted and logged) or the connection ended first.
    std::unique_ptr<TlsStream> secure(std::unique_ptr<TlsSession> session);
    // Writes what is queued and reads what arrives, as each is ready.
    Ending converse(TlsStream& stream);
    // Writes every queued packet, gathered, or a keepalive when one is due;
    // false when the connection ended.
    bool send_queued(TlsStream& stream, std::chrono::steady_clock::time_point& last_sent);
    // Takes the receiver's messages that have arrived whole; false when
    // the connection ends (end says why). wanting tells whether it stopped
    // for want of bytes (the session may still hold part of a record), so
    // that the socket is waited on before the next try.
    bool read_arrived(TlsStream& stream, Message& m, const UpstreamRules& rules, Ending& end, bool& wanting);
    void read_loop();
    // The receiver's name once its hello is in (and its wishes kept);
    // nullopt when none came in time or the first message is no hello.
    std::optional<std::string> read_hello(ByteStream& stream);
    // Tells the server and the log that the receiver is in.
    void greet(const std::string& receiver);
    // Logs why the receiver's connection ended.
    void log_end(const std::string& receiver, const Ending& end) const;
    // The receiver's control messages, after its hello, until the end.
    Ending read_messages();
    // The limits on what a receiver sends after its hello: it may stay
    // silent as long as it likes, but a message it begins must end in time,
    // and unknown messages draw on budget.
    UpstreamRules upstream_rules(uint64_t& budget) const;
    // What one read means: false when the connection ends (end says why).
    bool took(ReadResult r, const Message& m, Ending& end);
    // Acts on one control message; why the receiver is dropped, if it is.
    const char* take(const Message& m);
    // A camera command: taken, or refused to a peer that may not steer.
    void take_ptz(const wire::PtzFields& command);
    // The peer's proof of the operator key: checked against this
    // connection's exported keying material.
    void take_operator_proof(const wire::OperatorProofFields& proof);
    void write_loop();
    // Logs why a write failed (errno error), if it ended the connection.
    void write_failed(int error);
    // Ends the connection; true for the call that ended it.
    bool finish();
    // Sends a video frame that lies in shared memory as a reference. It
    // becomes the frame waiting for the receiver's share (the one waiting
    // before it is dropped) and goes at once when the share allows. sent
    // tells whether anything was written; false when the write failed.
    bool offer_shared(wire::PacketPtr packet, bool& sent);
    // Sends the waiting frame if the receiver now holds less than its share.
    bool send_waiting(bool& sent);
    // Called for the receiver's release: the writer is woken for the
    // waiting frame.
    void release(uint64_t frame_id);
    // Holds older than the timeout, taken out for release outside the lock.
    void expire_locked(std::chrono::steady_clock::time_point now, std::vector<wire::PacketPtr>& gone);
    // Whether the receiver's share leaves room for one more frame of
    // frame_bytes, in frames held, frames outstanding and bytes.
    bool has_room_locked(uint64_t frame_bytes) const;
    // Ends the connection of a receiver that released nothing for too long
    // while frames waited for it; always false (nothing more is written).
    bool drop_hoarder(uint64_t bytes, size_t frames, std::chrono::steady_clock::duration quiet);

    struct Hold {
        wire::PacketPtr packet;
        std::chrono::steady_clock::time_point since;
        uint64_t bytes = 0;  // of shared memory
    };

    net::Fd fd_;
    ConnectionHooks& hooks_;
    SendQueue queue_;
    const QueueLimits limits_;
    DropCounters& drops_;
    const ConnectionTimes times_;
    const std::chrono::steady_clock::time_point accepted_at_;
    std::chrono::steady_clock::time_point next_video_{};  // under the server's lock
    // Since when the writer is in its current write (epoch: not writing).
    std::atomic<std::chrono::steady_clock::rep> writing_since_{0};
    const bool shared_;
    // Both for log lines.
    const std::string source_;
    const std::string peer_;
    const std::string peer_host_;
    const std::string local_host_;
    mutable std::mutex hold_mutex_;
    std::map<uint64_t, Hold> holds_;  // by frame number
    // Held too long, not released yet: their bytes, by frame number.
    std::map<uint64_t, uint64_t> taken_back_;
    uint64_t held_bytes_ = 0;  // of holds_ and taken_back_
    // Since when the receiver owes a release: its last release, or the
    // frame sent when it held none.
    std::chrono::steady_clock::time_point owes_since_{};
    // A frame waits for a release to make room: the release wakes the writer.
    bool frame_waits_ = false;
    uint64_t next_frame_id_ = 0;
    // The newest shared-memory frame, not sent yet because the receiver
    // holds its share (the writer's alone): sent when a release makes room,
    // replaced (and counted as dropped) by a newer one before that.
    wire::PacketPtr waiting_;
    // The regions whose descriptors this receiver keeps (the writer's alone).
    wire::PassedRegions<bool> passed_;
    wire::HelloFields wishes_;
    std::atomic<uint32_t> tally_{0};
    // The keys of a TLS connection, null otherwise; which key its peer
    // proved in the handshake and the keying material exported then (the
    // serving thread's), whether it proved the operator key since, and
    // whether a bad proof was logged.
    const std::shared_ptr<const LinkKeys> keys_;
    std::atomic<PeerKey> peer_key_{PeerKey::none};
    std::optional<LinkKeys::Exported> exported_;
    std::atomic<bool> operator_proved_{false};
    bool bad_proof_logged_ = false;  // the reader's
    bool offered_group_ = false;  // under the server's lock
    std::atomic<bool> on_group_{false};
    RepairBudget repair_budget_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> finished_{false};
    mutable std::mutex mutex_;
    std::string receiver_name_;
    // With TLS: eventfds that end the serving thread's waits (finish) and
    // tell it of queued packets (the queue's pushes).
    net::Fd stop_;
    net::Fd queued_;
    std::thread reader_;
    std::thread writer_;
    std::thread tls_;  // serves a TLS connection in place of both
};

}  // namespace qrv::transport

#endif
