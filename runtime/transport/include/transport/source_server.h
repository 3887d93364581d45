// The server of one source (a sender or a router): listening sockets on the
// addresses of the scope, one ephemeral port, and one ServerConnection per
// receiver up to a cap. Frames are fanned out as shared packets: every
// receiver is served from the same copy, and only the receivers that asked
// for that kind of media get it. Receivers that asked for the lowest
// bandwidth get a preview picture instead of the full one, made once per
// frame on a thread of the server, and only while such a receiver is
// connected. The receivers' tallies are combined here.
#ifndef QRV_TRANSPORT_SOURCE_SERVER_H
#define QRV_TRANSPORT_SOURCE_SERVER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/locator.h"
#include "base/scope.h"
#include "transport/acceptor.h"
#include "transport/group_claim.h"
#include "transport/multicast_sender.h"
#include "transport/multicast_settings.h"
#include "transport/server_connection.h"
#include "transport/source_encoders.h"
#include "transport/video_encoder.h"

namespace qrv::transport {

struct ServerOptions {
    uint16_t port = 0;  // 0: an ephemeral port
    size_t max_connections = 32;
    // Also offer the same-host path: a Unix socket whose receivers map the
    // frames instead of reading them.
    bool shared_memory = true;
    std::chrono::milliseconds handshake_timeout{2000};
    // A receiver's message must be whole this long after its first byte.
    std::chrono::milliseconds message_timeout{5000};
    // Connections that have sent nothing for this long are sent a keepalive.
    std::chrono::milliseconds keepalive_interval{1000};
    // Connections from one address that have not said hello yet; a new one
    // beyond takes the place of the oldest.
    size_t max_pending_per_host = 4;
    // When every slot is taken, a new connection takes the place of one
    // that has not said hello yet, else of one whose writer has been stuck
    // this long at least (the longest first); otherwise it is refused.
    std::chrono::milliseconds stall_to_evict{500};
    QueueLimits queue;
    // Compression of video for receivers on other hosts (TCP) that can
    // decode it; receivers on this host always get raw shared memory. The
    // library gives what its settings or the caller say.
    VideoCodecSettings video_codec;
    // Whether receivers on other hosts are offered a multicast group, and
    // which groups; the library gives what its settings or the caller say.
    MulticastSettings multicast;
    // The site key's TLS setup: when set, every TCP connection (loopback
    // too) must prove the key in a TLS 1.3 handshake; the Unix socket is
    // never TLS. Null: plain TCP, as before keys.
    std::shared_ptr<const LinkKeys> keys;
    // Whether a peer of the same-host socket must be the same user, root or
    // a member of local_group (checked by its credentials, see
    // peer_credentials.h); others are closed at once and counted. Off, any
    // process in this network namespace may connect to the socket, whose
    // abstract name no file permission guards.
    bool check_local_peers = false;
    std::optional<gid_t> local_group;
    // The source's name, for log lines.
    std::string name;
    ServerOptions named(std::string source) const
    {
        ServerOptions o = *this;
        o.name = std::move(source);
        return o;
    }
};

struct ServerStats {
    uint64_t accepted = 0;           // connections taken in
    uint64_t refused = 0;            // closed at once: over the cap
    uint64_t bad_peers = 0;          // dropped for an invalid message
    uint64_t handshake_timeouts = 0;
    uint64_t video_dropped = 0;      // skipped for slow receivers
    uint64_t audio_dropped = 0;
    uint64_t other_dropped = 0;
    uint64_t shared_connections = 0;  // now, past the handshake
    uint64_t shared_sent = 0;         // frames sent as shared memory
    uint64_t shared_reclaimed = 0;    // taken back from receivers that held them too long
    uint64_t shared_held = 0;         // now, by all receivers
    uint64_t shared_held_bytes = 0;   // their shared memory, now
    uint64_t shared_withheld = 0;     // not sent: the receiver held its share
    uint64_t shared_hoarders = 0;     // receivers dropped for releasing nothing
    uint64_t unknown_messages = 0;    // skipped: of a type this version does not know
    uint64_t previews = 0;            // preview pictures made
    uint64_t evicted = 0;             // ended to make room for a new connection
    uint64_t refused_local_peers = 0;  // same-host peers of another user, closed at once
    uint64_t video_compressed = 0;    // frames compressed (once for all receivers)
    uint64_t video_compress_skipped = 0;  // replaced by a newer one while the encoder was busy
    uint64_t video_compressed_bytes = 0;
    int video_quality = 0;            // of the last compressed frame
    uint64_t multicast_receivers = 0;  // now, joined to a group
    uint64_t multicast_messages = 0;   // sent to the group
    uint64_t multicast_bytes = 0;      // of datagrams to the group
    uint64_t multicast_dropped = 0;    // not sent to the group
    uint64_t multicast_repairs = 0;    // datagrams sent again to one receiver
    uint64_t multicast_repairs_refused = 0;  // asked for beyond a receiver's repair budget
    std::string multicast_group;       // dotted, the full pictures' group first; empty while there is none
    bool key_required = false;         // TCP peers must prove the site key
    uint64_t key_refused = 0;          // peers that did not prove it
    uint64_t commands_refused = 0;     // camera commands without the operator key
};

// The receivers' tallies combined: on program (or preview) when any
// connected receiver says so. changes counts the changes of the combined
// state since the server started.
struct CombinedTally {
    bool program = false;
    bool preview = false;
    uint64_t changes = 0;
};

// The server of one source. Its parts, each in a file of its own:
//   source_server.cpp     making and ending it, the connections' hooks,
//                         waiting for receivers, the counters
//   source_admission.cpp  which connections are taken in and which make
//                         room for them (the sockets: Acceptor)
//   source_fanout.cpp     which receiver takes which message, and how
//   source_status.cpp     what every receiver is told: status flags with
//                         the combined tally, and a router's redirect
// and the preview maker and encoders in SourceEncoders.
class SourceServer final : public ConnectionHooks {
public:
    // Takes a camera command; true when it is held for the application.
    using PtzHandler = std::function<bool(const wire::PtzFields&)>;

    // Throws Error when no socket can be bound, saying why.
    SourceServer(const Scope& scope, ServerOptions options, PtzHandler on_ptz);
    ~SourceServer() override;
    SourceServer(const SourceServer&) = delete;
    SourceServer& operator=(const SourceServer&) = delete;

    // Address, port and Unix path that receivers use.
    Endpoint endpoint() const { return endpoint_; }

    // Sends the packet to every receiver past its handshake.
    void publish(const wire::PacketPtr& packet);
    // Capabilities announced to every receiver, now and on connect.
    void set_status(uint32_t flags);
    // Routers: the locator that receivers are sent to (empty: none).
    void set_redirect(std::optional<std::string> locator);

    size_t connections() const;
    // Whether a receiver on this host is connected (or greeting) over the
    // Unix socket, so that frames are worth placing in shared memory.
    bool has_shared_receivers() const;
    // Waits until at least n receivers are connected; false on timeout.
    bool wait_connections(size_t n, std::chrono::milliseconds timeout);
    // Waits until a receiver that takes video has no frame waiting for it
    // (it has taken the newest, or was sent none yet), so that a producer
    // makes frames only as fast as the fastest receiver takes them; false
    // on timeout or interrupt_waits. A receiver fed by a multicast group
    // counts as ready, and so does one that asked for a lower frame rate
    // whenever nothing waits for it.
    bool wait_video_wanted(std::chrono::milliseconds timeout);
    // Ends every wait_connections, wait_video_wanted and wait_tally now and
    // later (the owner is going away).
    void interrupt_waits();
    ServerStats stats() const;

    // The combined tally once its change count differs from seen, or as it
    // is when the timeout passes first.
    CombinedTally wait_tally(uint64_t seen, std::chrono::milliseconds timeout) const;

private:
    void on_ready(ServerConnection& connection) override;
    bool on_ptz(const wire::PtzFields& command) override;
    void on_tally(ServerConnection&) override { update_tally(); }
    void on_unknown_message() override { ++unknown_messages_; }
    void on_bad_peer() override { ++bad_peers_; }
    void on_handshake_timeout() override { ++handshake_timeouts_; }
    // Counted; logged with the peer's address at most once per cause in
    // an interval, with how many were refused in all.
    void on_key_refused(const std::string& peer, const std::string& reason, const std::string& detail) override;
    void on_command_refused(ServerConnection& connection) override;
    void on_finished() override;
    void on_video_taken() override;
    // Under the lock: whether wait_video_wanted may return.
    bool video_wanted_locked() const;
    // Without a key, says once that a source reachable from other hosts is
    // open to anyone there.
    void warn_if_open(const Scope& scope) const;
    void on_multicast_state(ServerConnection& connection, bool joined) override;
    void on_nack(ServerConnection& connection, const wire::NackFields& nack, std::span<const uint32_t> indexes) override;

    // Admission (source_admission.cpp).
    // On the acceptor's thread: takes a new connection in, refuses it, or
    // ends another to make room; false when the server is stopping.
    bool admit(net::Fd peer, bool shared);
    // Whether a peer of the same-host socket may connect, when peers are
    // checked; a refusal is counted and logged.
    bool local_peer_allowed(const net::Fd& peer);
    // Drops the connections that have ended.
    void reap();
    // Under the lock: the connection that a newcomer from host replaces,
    // or null when it has to be refused (full) or needs no room.
    ServerConnection* victim_locked(const std::string& host) const;
    // Under the lock: connections not ended yet.
    size_t live_locked() const;

    // Fan-out (source_fanout.cpp).
    // How a receiver takes a message, by what its hello asked for.
    enum class Take { no, yes, preview, compressed, compressed_preview };
    static Take takes(const ServerConnection& c, const wire::Packet& p, const VideoEncoder* encoder);
    // The same for a video frame.
    static Take takes_video(const ServerConnection& c, const VideoEncoder* encoder);
    // Sends a preview to the receivers that take it raw, and hands it to
    // the preview encoder when others take it compressed.
    void publish_preview(const wire::PacketPtr& packet);
    // Sends a message to the receivers that take it as kind.
    void publish_as(const wire::PacketPtr& packet, Take kind);
    // Under the lock: sends a message to one receiver, counting a video
    // frame against the rate it asked for.
    void send_locked(ServerConnection& c, const wire::PacketPtr& packet, std::chrono::steady_clock::time_point now);

    // Multicast (source_multicast.cpp): a group for full pictures and one
    // for the preview, each with the audio and metadata.
    static constexpr int kFullGroup = 0;
    static constexpr int kPreviewGroup = 1;
    // The group a receiver takes its pictures from, by its wishes.
    static int group_of(const ServerConnection& c);
    // Under the lock: offers its group to a receiver that can take it,
    // making the group on the first offer.
    void offer_group_locked(ServerConnection& c);
    // Under the lock: the group, made now if it was not yet; null when it
    // cannot be made. local: the address it is sent from (host order).
    MulticastSender* make_group_locked(int which, uint32_t local);
    // Under the lock: the group while a receiver is joined to it, else null.
    MulticastSender* active_group_locked(int which) const;
    // Under the lock: says in the log when a group starts or stops being
    // sent to (a receiver joined or left, or its connection ended).
    void note_group_sending_locked(int which);
    // Under the lock, sealed groups only: a new key for the receivers
    // joined to the group now, sent to each before the group switches to
    // it (one left, or the key grew old).
    void renew_group_key_locked(int which, const char* why);
    // Under the lock: the group's keys to a receiver that joins it.
    void send_group_keys_locked(ServerConnection& c, const MulticastSender& group);
    void add_group_stats(ServerStats& s) const;

    // Status (source_status.cpp).
    // Under the lock: what a receiver is sent first.
    std::vector<wire::PacketPtr> greeting(const ServerConnection& to) const;
    // Under the lock: the redirect as this receiver can follow it.
    wire::PacketPtr redirect_packet_locked(const ServerConnection& to) const;
    void update_tally();
    // Under the lock: the status flags receivers are sent (the source's
    // own, with its combined tally), and sending them to every receiver.
    uint32_t flags_locked() const;
    void send_status_locked();

    const ServerOptions options_;
    PtzHandler on_ptz_;
    Acceptor acceptor_;
    Endpoint endpoint_;
    DropCounters drops_;
    std::atomic<uint64_t> accepted_{0}, refused_{0}, bad_peers_{0}, handshake_timeouts_{0}, unknown_messages_{0}, evicted_{0},
        key_refused_{0}, refused_local_peers_{0}, commands_refused_{0};
    // When a refused camera command was last logged (steady clock ticks):
    // at most one line per interval, however many come.
    std::atomic<int64_t> command_refusal_logged_{0};
    // When a peer refused for the key was last logged, by reason (the few
    // of a failed handshake, none of them the peer's words).
    std::mutex key_refusal_mutex_;
    std::map<std::string, std::chrono::steady_clock::time_point> key_refusal_logged_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::unique_ptr<ServerConnection>> connections_;
    uint32_t status_flags_ = 0;
    std::optional<std::string> redirect_;
    bool stopping_ = false;
    bool interrupted_ = false;
    mutable std::condition_variable tally_changed_;
    CombinedTally tally_;
    // Each group's claim on this host, given up after its sender has
    // stopped (declared first, so destroyed last).
    GroupClaim group_claims_[2];
    // Made on the first offer, kept until the server ends (under the lock).
    std::unique_ptr<MulticastSender> groups_[2];
    bool group_failed_[2] = {};  // could not be made: not tried again
    bool group_sending_[2] = {};  // as the log last said
    size_t group_receivers_[2] = {};  // joined, as last counted
    // Stopped first of all: their threads deliver into the connections.
    SourceEncoders encoders_;
};

}  // namespace qrv::transport

#endif
