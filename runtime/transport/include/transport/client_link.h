// The receiver's side of one connection to a source's server. Its thread
// connects, says hello (with what the receiver wants), reads messages and
// hands them to its owner; when the connection fails or ends it waits a
// little and connects again, until the link is destroyed.
#ifndef QRV_TRANSPORT_CLIENT_LINK_H
#define QRV_TRANSPORT_CLIENT_LINK_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/locator.h"
#include "transport/link_channel.h"
#include "transport/link_keys.h"
#include "transport/message_io.h"
#include "transport/video_decoder.h"
#include "base/socket.h"
#include "wire/passed_regions.h"

namespace qrv::transport {

class ClientLink;
class TlsSession;
class TlsStream;

// Called from the link's threads (its reader, and for video over TCP its
// decoding thread), never with a lock of the link held.
class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    virtual void on_link_up(ClientLink& link) = 0;
    virtual void on_link_down(ClientLink& link) = 0;
    virtual void on_link_status(ClientLink& link, uint32_t flags) = 0;
    virtual void on_link_redirect(ClientLink& link, const std::string& locator) = 0;
    // Video, audio and metadata messages, already checked.
    virtual void on_link_media(ClientLink& link, Message&& message) = 0;
    virtual void on_link_bad(ClientLink& link) = 0;
    // A connection was taken but the source did not greet in time, or
    // closed it first: the first such failure of a run of them (the link
    // retries with backoff and says nothing more until it connects).
    virtual void on_link_failed(ClientLink&) {}
    // A message skipped: of a type this version does not know, or media in
    // a payload format it does not know (unknown_type false).
    virtual void on_link_skipped(ClientLink& link, bool unknown_type) = 0;
    // Video frames that will not arrive: numbers the source skipped for
    // this receiver, and compressed frames that did not decode (dropped,
    // the connection kept).
    virtual void on_link_video_lost(ClientLink&, uint64_t frames) { (void)frames; }
    // Audio or metadata frames (type) that will not arrive: numbers the
    // source skipped.
    virtual void on_link_media_lost(ClientLink&, wire::MessageType type, uint64_t frames)
    {
        (void)type;
        (void)frames;
    }
    // A compressed video frame of this many payload bytes arrived; decoded
    // false: it did not decode and was dropped.
    virtual void on_link_video_compressed(ClientLink&, uint64_t bytes, bool decoded)
    {
        (void)bytes;
        (void)decoded;
    }
};

struct LinkOptions {
    std::chrono::milliseconds connect_timeout{1000};
    std::chrono::milliseconds retry_min{100};
    std::chrono::milliseconds retry_max{2000};
    // Use the source's Unix socket and shared memory when it offers them.
    bool shared_memory = true;
    // A connection that brings nothing at all for this long (sources send
    // a keepalive when they have nothing else to send) is taken for lost:
    // the link goes down and connects again.
    std::chrono::milliseconds silence_timeout{4000};
    // From taking a connection to the source's greeting (its status): a
    // source that accepts and never answers is left after this long.
    std::chrono::milliseconds handshake_timeout{2000};
    // Destroying the link waits at most this long for what was posted and
    // must reach the source (camera commands, tally) to be written and the
    // connection closed gently; only when there is such a thing.
    std::chrono::milliseconds close_timeout{500};
    // How long a message from a multicast group may wait for its missing
    // datagrams (QRV_MULTICAST_WINDOW_MS).
    std::chrono::milliseconds multicast_window{60};
    // The site key's TLS setup: when set, every TCP connection runs TLS
    // 1.3 and a source that does not prove the key is left (the same-host
    // Unix socket is never TLS). Null: plain TCP.
    std::shared_ptr<const LinkKeys> keys;
    // With keys: told on the link's thread how the key went with the
    // place the link went to over TCP: false when the TLS handshake
    // failed, true when the source greeted after proving the key. It must
    // not call back into the link.
    std::function<void(const Endpoint& where, bool proved)> key_outcome;
};

class ClientLink {
public:
    // Where to connect, asked before every attempt: today the locator the
    // receiver was given; a lookup by source name can take its place.
    using Resolver = std::function<std::optional<Endpoint>()>;

    // wishes: what the hello asks of the source.
    ClientLink(Resolver resolve, std::string receiver_name, wire::HelloFields wishes, LinkEvents& events,
               LinkOptions options = {});
    ~ClientLink();
    ClientLink(const ClientLink&) = delete;
    ClientLink& operator=(const ClientLink&) = delete;

    bool connected() const { return connected_.load(); }
    // The current connection is the same-host shared-memory path.
    bool shared() const { return shared_.load(); }
    // The multicast group the media come from now (dotted), or empty: TCP.
    std::string group() const;
    uint64_t connects() const { return connects_.load(); }
    // Why the last TCP connection was refused for the site key ("the
    // source does not hold this site's key"), empty once a source greets.
    // Any thread.
    std::string refusal() const;
    // Hands one encoded control message to the link's thread; false when
    // not connected.
    bool send(const std::vector<uint8_t>& bytes);
    // The source is now listed at `where` (what the resolver answers from
    // now on). Unless the link is at that instance already, it leaves the
    // connection it has (to a place the source left, perhaps a dead host
    // the link has not noticed yet) or its pause between attempts, and
    // connects there at once; a connection being made finishes first
    // (within the connect timeout). Any thread; never waits on the link.
    void moved(const Endpoint& where);

    // The writing side of one connection (link_channel.h), shared with
    // the frames that still have to tell the source they are done.
    using Channel = LinkChannel;
    // The current connection's channel; null when not connected.
    std::shared_ptr<Channel> channel();

private:
    // Maps of the source's pools for one connection: by the number the
    // source gives each, or by file identity from a source that passes a
    // descriptor with every frame.
    struct Mappings {
        wire::PassedRegions<std::shared_ptr<const net::ShmRegion>> by_number;
        std::map<std::pair<uint64_t, uint64_t>, std::shared_ptr<const net::ShmRegion>> by_file;
    };

    void run();
    // The start of each attempt; false when the link is stopping. moved:
    // the source was listed elsewhere since the last attempt. where: what
    // the resolver answers now, made the link's target.
    bool begin_attempt(std::optional<Endpoint>& where, bool& moved);
    bool pause(std::chrono::milliseconds how_long);
    bool stopping();
    const char* log_name() const;
    // One connection being served (client_session.cpp).
    struct Session;
    // What one wait for the socket or the outbox came to.
    enum class Wait { readable, again, end };
    // How serving one connection ended.
    struct Served {
        bool well = true;      // false: the peer misbehaved
        bool greeted = false;  // the source's greeting came
    };

    // Serves one connection (its stream, which stays the caller's); peer:
    // its other end for log lines (empty: asked of the socket);
    // after_hello: written right behind the hello; local: this host's
    // address on it, where a group is joined (empty: asked of the socket).
    Served serve(ByteStream& stream, bool shared, std::string peer = {}, std::vector<uint8_t> after_hello = {},
                 std::string local = {});
    // Retries between attempts (link thread).
    struct Backoff {
        std::chrono::milliseconds retry;
        bool failing = false;     // the current run of failed attempts was logged
        int shared_failures = 0;  // of the same-host path, in a row
    };
    struct Attempt;
    // Connects to where the source is: its same-host path first, then TCP.
    Attempt dial(const std::optional<Endpoint>& where);
    // The retry state after a connection ended, or after none was made.
    void after_served(const Served& served, const Attempt& attempt, Backoff& backoff);
    void could_not_connect(const Attempt& attempt, Backoff& backoff);
    // Runs TLS on a new TCP connection (client_tls.cpp): the stream that
    // this thread then reads and writes, or null when the source did not
    // prove the key (logged, reported through on_link_failed) or the link
    // stops.
    std::unique_ptr<TlsStream> secure(net::Fd tcp, const std::string& peer);
    // The proof of the operator key on a TLS connection (link_keys.h), to
    // follow the hello; empty without an operator key.
    std::vector<uint8_t> operator_proof(const TlsSession& session) const;
    // Hands how the key went with the current target to key_outcome.
    void report_key(bool proved);
    // The source did not greet: logs why and retries later.
    void handshake_failed(const Session& s);
    // Writes what must still reach the source, closes the writing side and
    // reads until the source closes too, so that nothing written is lost
    // to a reset (the destructor bounds it).
    void close_gently(Session& s);
    // The channel of a new connection, made the current one; null when
    // the link is stopping.
    std::shared_ptr<Channel> open_channel(ByteStream& stream);
    void close_channel(Channel& channel);
    // Reads and hands on messages until the connection ends, then reports
    // the link down if it was up.
    void converse(Session& s);
    Wait wait(Session& s);
    // Reads one message and hands it on; false when the connection ends.
    bool take_message(Session& s);
    void hand_on(Session& s);
    // The source's status: the first one brings the link up.
    void take_status(Session& s);
    void hand_on_video(Session& s);
    // An audio or metadata frame, from the connection or the group: false
    // for one that came already; the frames missing before it are reported
    // lost.
    bool take_number(Session& s, const Message& m);
    // The source sent nothing for the silence timeout.
    void fell_silent(Session& s);
    // Multicast (client_multicast.cpp): joins the group a source offers,
    // and goes back to TCP when nothing comes from it.
    void join_group(Session& s);
    void check_group(Session& s);
    void note_tcp_video(Session& s);
    void leave_group(Session& s, const char* why);
    // Turns a shared-memory frame into a video message; false when it does
    // not hold up.
    bool take_shared(Message& m, std::vector<net::Fd>& passed, Mappings& maps,
                     const std::shared_ptr<Channel>& channel);
    static std::shared_ptr<const net::ShmRegion> map_by_file(int fd, Mappings& maps);
    static std::shared_ptr<const net::ShmRegion> map_by_number(uint64_t number, std::vector<net::Fd>& passed,
                                                               Mappings& maps);

    Resolver resolve_;
    const std::string receiver_name_;
    const wire::HelloFields wishes_;
    LinkEvents& events_;
    const LinkOptions options_;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> connects_{0};

    std::atomic<bool> shared_{false};

    std::mutex mutex_;  // guards fd_, channel_, stopping_, target_ and moved_
    std::condition_variable wake_;  // stopping_ set, fd_ let go, or the source moved
    // Set by the destructor when the connection is to be closed gently;
    // read by the link's thread.
    std::atomic<bool> closing_{false};
    int fd_ = -1;        // the socket being served, for stop
    std::shared_ptr<Channel> channel_;
    bool stopping_ = false;
    std::optional<Endpoint> target_;  // where the current attempt or connection goes
    bool moved_ = false;  // the source was listed elsewhere since the last resolve
    mutable std::mutex group_mutex_;
    std::string group_;  // see group()
    std::string failed_path_;  // a Unix path that did not work: TCP instead
    // The last connection brought something after its greeting (link thread).
    bool delivered_ = false;
    // A connection was taken and not greeted since the last greeting (link
    // thread): later ones are logged at debug and not reported again.
    bool handshake_failing_ = false;
    // A refusal for the key logged since the last greeting (link thread).
    bool key_failing_ = false;
    std::string refusal_;  // under group_mutex_
    VideoDecoder decoder_;  // used by the link's thread
    std::thread thread_;
};

}  // namespace qrv::transport

#endif
