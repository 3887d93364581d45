#include "transport/source_server.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <utility>

#include "base/error.h"
#include "base/locator.h"
#include "base/log.h"
#include "base/unix_socket.h"

namespace qrv::transport {

namespace {

constexpr int kPreviewQuality = 80;

}  // namespace

// The media that servers publish are raw; video is compressed, previews
// included, for receivers on other hosts that can decode it (when
// compressing is on); control messages go to everyone.
SourceServer::Take SourceServer::takes(const ServerConnection& c, const wire::Packet& p, const VideoEncoder* encoder)
{
    const wire::HelloFields& w = c.wishes();
    const uint32_t kinds = w.kinds & wire::kinds_for(w.bandwidth);
    switch (p.type) {
    case wire::MessageType::video: {
        if (!(kinds & wire::kWantVideo))
            return Take::no;
        const bool compressed = encoder && !c.shared() && (!c.same_host() || encoder->settings().on_this_host) &&
                                wire::has_format(w.video_formats, wire::kVideoSlicedJpeg);
        if (w.bandwidth == wire::Bandwidth::lowest)
            return compressed                                           ? Take::compressed_preview
                   : wire::has_format(w.video_formats, wire::kVideoRaw) ? Take::preview
                                                                        : Take::no;
        if (compressed)
            return Take::compressed;
        return wire::has_format(w.video_formats, wire::kVideoRaw) ? Take::yes : Take::no;
    }
    case wire::MessageType::audio:
        return (kinds & wire::kWantAudio) && wire::has_format(w.audio_formats, wire::kAudioPlanarFloat) ? Take::yes
                                                                                                        : Take::no;
    case wire::MessageType::metadata:
        return (kinds & wire::kWantMetadata) ? Take::yes : Take::no;
    default:
        return Take::yes;
    }
}

SourceServer::SourceServer(const Scope& scope, ServerOptions options, PtzHandler on_ptz)
    : options_(options), on_ptz_(std::move(on_ptz))
{
    // One port for every address of the scope: the first bind picks it.
    uint16_t port = options_.port;
    std::string first_address, public_address;
    std::vector<std::pair<std::string, std::string>> failed;  // address, why
    for (const auto& iface : scope.interfaces) {
        const std::string address = iface.address_text();
        std::string why;
        net::Fd fd = net::listen_tcp(address, port, 128, &why);
        if (!fd) {
            failed.emplace_back(port ? address + ":" + std::to_string(port) : address, why);
            continue;
        }
        if (first_address.empty()) {
            port = net::local_port(fd.get());
            first_address = address;
        }
        if (!iface.loopback && public_address.empty())
            public_address = address;
        listeners_.push_back(std::move(fd));
        listener_shared_.push_back(false);
    }
    if (listeners_.empty() || port == 0) {
        std::string reason = "could not listen on ";
        for (size_t i = 0; i < failed.size(); ++i)
            reason += (i ? "; " : "") + failed[i].first + ": " + failed[i].second;
        throw Error(failed.empty() ? "could not listen: no address in scope" : reason);
    }
    for (const auto& [address, why] : failed)
        QRV_LOG_AT(warn, transport, "'%s' does not listen on %s: %s", options_.name.c_str(), address.c_str(),
                   why.c_str());
    if (options_.shared_memory) {
        // Without it receivers simply use TCP.
        std::string path;
        if (net::Fd fd = net::listen_unix(path)) {
            listeners_.push_back(std::move(fd));
            listener_shared_.push_back(true);
            endpoint_.unix_path = path;
        }
    }
    wake_ = net::Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_)
        throw Error("could not create an eventfd: " + error_text(errno));
    endpoint_.address = public_address.empty() ? first_address : public_address;
    endpoint_.port = port;
    endpoint_.id = new_source_id();
    previews_ = std::make_unique<PreviewMaker>([this](wire::PacketPtr p) { publish_preview(p); });
    if (options_.video_codec.compress) {
        encoder_ = std::make_unique<VideoEncoder>(options_.video_codec,
                                                  [this](wire::PacketPtr p) { publish_as(p, Take::compressed); });
        // Previews are small pictures for a glance: a lower quality keeps
        // a wall of them cheap on the network.
        VideoCodecSettings preview = options_.video_codec;
        preview.quality = std::min(preview.quality, kPreviewQuality);
        preview.min_quality = std::min(preview.min_quality, preview.quality);
        preview_encoder_ = std::make_unique<VideoEncoder>(
            preview, [this](wire::PacketPtr p) { publish_as(p, Take::compressed_preview); });
    }
    acceptor_ = std::thread([this] { accept_loop(); });
}

SourceServer::~SourceServer()
{
    previews_.reset();  // before the preview encoder it hands previews to
    preview_encoder_.reset();
    encoder_.reset();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wake_.get(), &one, sizeof one);
    acceptor_.join();
    std::vector<std::unique_ptr<ServerConnection>> gone;
    {
        std::lock_guard lock(mutex_);
        gone.swap(connections_);
    }
    gone.clear();  // joins every connection's threads, outside the lock
}

void SourceServer::accept_loop()
{
    std::vector<pollfd> fds;
    for (const auto& l : listeners_)
        fds.push_back(pollfd{l.get(), POLLIN, 0});
    fds.push_back(pollfd{wake_.get(), POLLIN, 0});
    // A descriptor kept in reserve: out of descriptors, it is given up for a
    // moment to accept the waiting peer and close it at once, so that the
    // peer learns it was refused rather than waiting in the backlog.
    net::Fd spare(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    auto resting_until = std::chrono::steady_clock::time_point::min();
    for (;;) {
        // While resting after running out of descriptors, the listeners are
        // not polled: their backlog stays readable and would spin the loop.
        const bool resting = std::chrono::steady_clock::now() < resting_until;
        for (size_t i = 0; i + 1 < fds.size(); ++i)
            fds[i].events = resting ? 0 : POLLIN;
        for (auto& p : fds)
            p.revents = 0;
        const int r = ::poll(fds.data(), fds.size(), resting ? 20 : 100);
        if (fds.back().revents & POLLIN)
            break;
        reap();
        if (r <= 0)
            continue;
        for (size_t i = 0; i + 1 < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            net::Fd peer(::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
            if (!peer) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    ++refused_;
                    if (spare) {
                        spare.reset();
                        net::Fd shed(::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
                        shed.reset();
                        spare = net::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                    }
                    resting_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
                }
                continue;
            }
            // Who it is costs a system call: asked only when it is logged.
            const bool debug = log::enabled(log::Category::transport, log::Level::debug);
            const std::string from = debug ? net::peer_text(peer.get()) : std::string();
            bool refused = false;
            ServerConnection* evict = nullptr;  // ended outside the lock
            const std::string host = listener_shared_[i] ? std::string("this host") : [&] {
                const std::string p = net::peer_text(peer.get());
                return p.substr(0, p.rfind(':'));
            }();
            {
                std::lock_guard lock(mutex_);
                if (stopping_)
                    break;
                evict = victim_locked(host);
                refused = !evict && live_locked() >= options_.max_connections;
                if (!refused) {
                    ++accepted_;
                    ConnectionTimes times;
                    times.handshake = options_.handshake_timeout;
                    times.message = options_.message_timeout;
                    times.keepalive = options_.keepalive_interval;
                    connections_.push_back(std::make_unique<ServerConnection>(
                        std::move(peer), *this, options_.queue, drops_, times, listener_shared_[i], options_.name));
                } else {
                    ++refused_;
                }
            }
            if (evict) {
                // Only this thread reaps, so the connection is still there.
                ++evicted_;
                QRV_LOG_AT(info, transport, "'%s' ended the connection from %s to make room for a new one",
                           options_.name.c_str(), evict->peer_host().c_str());
                evict->evict();
            }
            if (refused) {
                // Closed here: the peer sees the end of the stream.
                QRV_LOG_AT(warn, transport, "'%s' refused a connection from %s: %zu receivers are connected already",
                           options_.name.c_str(), net::peer_text(peer.get()).c_str(), options_.max_connections);
                continue;
            }
            if (debug)
                QRV_LOG_AT(debug, transport, "'%s' accepted a connection from %s", options_.name.c_str(), from.c_str());
        }
    }
}

size_t SourceServer::live_locked() const
{
    size_t n = 0;
    for (const auto& c : connections_)
        n += !c->finished();
    return n;
}

ServerConnection* SourceServer::victim_locked(const std::string& host) const
{
    // Waiting hellos from one address are few: the oldest one makes room.
    ServerConnection* oldest_pending = nullptr;
    ServerConnection* oldest_from_host = nullptr;
    size_t from_host = 0;
    for (const auto& c : connections_) {
        if (c->finished() || c->ready())
            continue;
        if (!oldest_pending || c->accepted_at() < oldest_pending->accepted_at())
            oldest_pending = c.get();
        if (c->peer_host() == host) {
            ++from_host;
            if (!oldest_from_host || c->accepted_at() < oldest_from_host->accepted_at())
                oldest_from_host = c.get();
        }
    }
    if (from_host >= options_.max_pending_per_host && oldest_from_host)
        return oldest_from_host;
    if (live_locked() < options_.max_connections)
        return nullptr;
    if (oldest_pending)
        return oldest_pending;
    // Full of receivers past their hello: the one stuck longest, if any is.
    const auto now = std::chrono::steady_clock::now();
    ServerConnection* stalled = nullptr;
    auto longest = std::chrono::steady_clock::duration(options_.stall_to_evict);
    for (const auto& c : connections_) {
        if (c->finished())
            continue;
        const auto stuck = c->stalled_for(now);
        if (stuck >= longest) {
            longest = stuck;
            stalled = c.get();
        }
    }
    return stalled;
}

void SourceServer::reap()
{
    std::vector<std::unique_ptr<ServerConnection>> gone;
    {
        std::lock_guard lock(mutex_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished()) {
                gone.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    if (!gone.empty())
        changed_.notify_all();
}

std::vector<wire::PacketPtr> SourceServer::greeting(const ServerConnection& to) const
{
    std::vector<wire::PacketPtr> out;
    out.push_back(wire::make_packet(wire::MessageType::status, wire::encode_status({flags_locked()})));
    if (redirect_)
        out.push_back(redirect_packet_locked(to));
    return out;
}

// A route to a source of this host may name it by a loopback address (that
// is how discovery lists it here), which a receiver on another host cannot
// reach: that receiver is sent the address of this host it reached us at,
// where the source listens on the same port when its scope covers it, and
// no Unix socket.
wire::PacketPtr SourceServer::redirect_packet_locked(const ServerConnection& to) const
{
    std::string text = redirect_.value_or("");
    if (!to.same_host() && !to.local_host().empty()) {
        if (auto where = parse_locator(text); where && where->address.starts_with("127.")) {
            where->address = to.local_host();
            where->unix_path.clear();
            text = format_locator(*where);
        }
    }
    return wire::make_packet(wire::MessageType::redirect, wire::encode_redirect(text));
}

void SourceServer::on_ready(ServerConnection& connection)
{
    {
        std::lock_guard lock(mutex_);
        for (auto& p : greeting(connection))
            connection.send(std::move(p));
        connection.mark_ready();
    }
    changed_.notify_all();
}

void SourceServer::on_ptz(const wire::PtzFields& command)
{
    if (on_ptz_)
        on_ptz_(command);
}

void SourceServer::on_finished()
{
    // A receiver that is gone no longer counts towards the tally.
    update_tally();
    changed_.notify_all();
}

void SourceServer::update_tally()
{
    std::lock_guard lock(mutex_);
    uint32_t flags = 0;
    for (const auto& c : connections_)
        if (c->ready() && !c->finished())
            flags |= c->tally();
    const bool program = (flags & wire::kTallyProgram) != 0;
    const bool preview = (flags & wire::kTallyPreview) != 0;
    if (program == tally_.program && preview == tally_.preview)
        return;
    tally_.program = program;
    tally_.preview = preview;
    ++tally_.changes;
    tally_changed_.notify_all();
    // Every receiver learns the combined tally (a camera's tally light
    // shown on a monitor, a panel's tile).
    send_status_locked();
}

uint32_t SourceServer::flags_locked() const
{
    return status_flags_ | (tally_.program ? wire::kStatusTallyProgram : 0u) |
           (tally_.preview ? wire::kStatusTallyPreview : 0u);
}

void SourceServer::send_status_locked()
{
    auto p = wire::make_packet(wire::MessageType::status, wire::encode_status({flags_locked()}));
    for (auto& c : connections_)
        if (c->ready())
            c->send(p);
}

CombinedTally SourceServer::wait_tally(uint64_t seen, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    tally_changed_.wait_for(lock, timeout, [&] { return tally_.changes != seen; });
    return tally_;
}

void SourceServer::publish(const wire::PacketPtr& packet)
{
    bool preview = false, compressed = false;
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto& c : connections_) {
            if (!c->ready() || c->finished())
                continue;
            // A receiver that asked for fewer frames is skipped until its
            // next one is due; nothing is scaled or compressed for it then.
            if (packet->type == wire::MessageType::video && !c->video_due(now))
                continue;
            switch (takes(*c, *packet, encoder_.get())) {
            case Take::yes:
                send_locked(*c, packet, now);
                break;
            case Take::preview:
            case Take::compressed_preview:
                preview = true;
                break;
            case Take::compressed:
                compressed = true;
                break;
            case Take::no:
                break;
            }
        }
    }
    // Scaled and compressed on their own threads: this thread only hands
    // the frame over.
    if (preview)
        previews_->offer(packet);
    if (compressed)
        encoder_->offer(packet);
}

void SourceServer::publish_preview(const wire::PacketPtr& packet)
{
    bool compressed = false;
    {
        std::lock_guard lock(mutex_);
        const auto now = std::chrono::steady_clock::now();
        for (auto& c : connections_) {
            if (!c->ready() || c->finished() || !c->video_due(now))
                continue;
            const Take take = takes(*c, *packet, encoder_.get());
            if (take == Take::preview)
                send_locked(*c, packet, now);
            compressed = compressed || take == Take::compressed_preview;
        }
    }
    if (compressed)
        preview_encoder_->offer(packet);
}

void SourceServer::publish_as(const wire::PacketPtr& packet, Take kind)
{
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto& c : connections_)
        if (c->ready() && !c->finished() && c->video_due(now) && takes(*c, *packet, encoder_.get()) == kind)
            send_locked(*c, packet, now);
}

void SourceServer::send_locked(ServerConnection& c, const wire::PacketPtr& packet,
                               std::chrono::steady_clock::time_point now)
{
    if (packet->type == wire::MessageType::video)
        c.take_video(now);
    c.send(packet);
}

void SourceServer::set_status(uint32_t flags)
{
    std::lock_guard lock(mutex_);
    if (flags == status_flags_)
        return;
    status_flags_ = flags;
    send_status_locked();
}

void SourceServer::set_redirect(std::optional<std::string> locator)
{
    std::lock_guard lock(mutex_);
    redirect_ = std::move(locator);
    for (auto& c : connections_)
        if (c->ready())
            c->send(redirect_packet_locked(*c));
}

bool SourceServer::has_shared_receivers() const
{
    std::lock_guard lock(mutex_);
    for (const auto& c : connections_)
        if (c->shared() && !c->finished())
            return true;
    return false;
}

size_t SourceServer::connections() const
{
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& c : connections_)
        n += c->ready() && !c->finished();
    return n;
}

void SourceServer::interrupt_waits()
{
    {
        std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    changed_.notify_all();
}

bool SourceServer::wait_connections(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    const auto enough = [&] {
        size_t live = 0;
        for (const auto& c : connections_)
            live += c->ready() && !c->finished();
        return live >= n;
    };
    changed_.wait_for(lock, timeout, [&] { return interrupted_ || enough(); });
    return !interrupted_ && enough();
}

ServerStats SourceServer::stats() const
{
    ServerStats s;
    s.accepted = accepted_.load();
    s.refused = refused_.load();
    s.bad_peers = bad_peers_.load();
    s.handshake_timeouts = handshake_timeouts_.load();
    s.video_dropped = drops_.video.load();
    s.audio_dropped = drops_.audio.load();
    s.other_dropped = drops_.other.load();
    s.shared_sent = drops_.shared_sent.load();
    s.shared_reclaimed = drops_.shared_reclaimed.load();
    s.unknown_messages = unknown_messages_.load();
    s.evicted = evicted_.load();
    s.previews = previews_ ? previews_->made() : 0;
    if (encoder_) {
        const EncoderStats e = encoder_->stats();
        s.video_compressed = e.encoded;
        s.video_compress_skipped = e.skipped;
        s.video_compressed_bytes = e.bytes;
        s.video_quality = e.quality;
    }
    std::lock_guard lock(mutex_);
    for (const auto& c : connections_) {
        s.shared_connections += c->shared() && c->ready() && !c->finished();
        s.shared_held += c->held();
    }
    return s;
}

}  // namespace qrv::transport
