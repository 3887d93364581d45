// A source's server as a whole: making it (its sockets, its video workers,
// its acceptor's thread) and ending it in order, the hooks its connections
// call, waiting for receivers, and its counters.
#include "transport/source_server.h"

#include <algorithm>
#include <utility>

#include "base/locator.h"
#include "base/log.h"

namespace qrv::transport {

SourceServer::SourceServer(const Scope& scope, ServerOptions options, PtzHandler on_ptz)
    : options_(options),
      on_ptz_(std::move(on_ptz)),
      acceptor_(scope, options_.port, options_.shared_memory, options_.name),
      encoders_(options_.video_codec,
                {[this](wire::PacketPtr p) { publish_preview(p); },
                 [this](wire::PacketPtr p) { publish_as(p, Take::compressed); },
                 [this](wire::PacketPtr p) { publish_as(p, Take::compressed_preview); }})
{
    endpoint_ = acceptor_.endpoint();
    warn_if_open(scope);
    endpoint_.id = new_source_id();
    acceptor_.start([this](net::Fd peer, bool shared) { return admit(std::move(peer), shared); },
                    [this] { reap(); });
}

SourceServer::~SourceServer()
{
    encoders_.stop();
    {
        const log::QuietLock lock(mutex_);
        stopping_ = true;
    }
    acceptor_.stop();
    std::vector<std::unique_ptr<ServerConnection>> gone;
    {
        const log::QuietLock lock(mutex_);
        gone.swap(connections_);
    }
    gone.clear();  // joins every connection's threads, outside the lock
}

void SourceServer::warn_if_open(const Scope& scope) const
{
    if (options_.keys)
        return;
    const bool beyond_loopback =
        std::any_of(scope.interfaces.begin(), scope.interfaces.end(), [](const auto& i) { return !i.loopback; });
    // Once per process: every source of it is open alike.
    static std::atomic<bool> warned{false};
    if (beyond_loopback && !warned.exchange(true))
        QRV_LOG_AT(warn, transport,
                   "'%s' listens beyond this host without a site key: anyone on the network can watch it and "
                   "steer its camera (set QRV_KEY_FILE)",
                   options_.name.c_str());
}

void SourceServer::on_ready(ServerConnection& connection)
{
    {
        const log::QuietLock lock(mutex_);
        for (auto& p : greeting(connection))
            connection.send(std::move(p));
        offer_group_locked(connection);
        connection.mark_ready();
    }
    changed_.notify_all();
}

void SourceServer::on_command_refused(ServerConnection& connection)
{
    const uint64_t count = ++commands_refused_;
    constexpr auto kLogInterval = std::chrono::seconds(10);
    const int64_t now = std::chrono::steady_clock::now().time_since_epoch().count();
    int64_t last = command_refusal_logged_.load();
    if (last != 0 && now - last < std::chrono::steady_clock::duration(kLogInterval).count())
        return;
    if (!command_refusal_logged_.compare_exchange_strong(last, now))
        return;
    QRV_LOG_AT(warn, transport, "'%s' refused a camera command from %s: it did not prove the operator key "
               "(%llu refused so far)", options_.name.c_str(), connection.peer_host().c_str(),
               (unsigned long long)count);
}

void SourceServer::on_key_refused(const std::string& peer, const std::string& reason, const std::string& detail)
{
    const uint64_t count = ++key_refused_;
    if (!log::enabled(log::Category::transport, log::Level::warn))
        return;
    // Peers keep coming as fast as they like: the first of each cause in
    // an interval is logged, with its address, and how many came in all.
    constexpr auto kLogInterval = std::chrono::seconds(10);
    const auto now = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(key_refusal_mutex_);
        const auto [at, first] = key_refusal_logged_.try_emplace(reason, now);
        if (!first && now - at->second < kLogInterval)
            return;
        at->second = now;
    }
    QRV_LOG_AT(warn, transport, "'%s' refused the connection from %s: %s%s%s%s (%llu peers refused so far; one line "
               "per cause every %lld s)", options_.name.c_str(), peer.c_str(), reason.c_str(), detail.empty() ? "" : " (",
               detail.c_str(), detail.empty() ? "" : ")", (unsigned long long)count, (long long)kLogInterval.count());
}

bool SourceServer::on_ptz(const wire::PtzFields& command)
{
    return on_ptz_ && on_ptz_(command);
}

void SourceServer::on_finished()
{
    // A receiver that is gone no longer counts towards the tally, nor keeps
    // its group sending.
    update_tally();
    {
        const log::QuietLock lock(mutex_);
        note_group_sending_locked(kFullGroup);
        note_group_sending_locked(kPreviewGroup);
    }
    changed_.notify_all();
}

bool SourceServer::has_shared_receivers() const
{
    const log::QuietLock lock(mutex_);
    for (const auto& c : connections_)
        if (c->shared() && !c->finished())
            return true;
    return false;
}

size_t SourceServer::connections() const
{
    const log::QuietLock lock(mutex_);
    size_t n = 0;
    for (const auto& c : connections_)
        n += c->ready() && !c->finished();
    return n;
}

void SourceServer::interrupt_waits()
{
    {
        const log::QuietLock lock(mutex_);
        interrupted_ = true;
    }
    changed_.notify_all();
    tally_changed_.notify_all();
}

bool SourceServer::wait_connections(size_t n, std::chrono::milliseconds timeout)
{
    log::HeldLines held;  // logged once the lock is released
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

bool SourceServer::video_wanted_locked() const
{
    // By the same rule publish() follows: a receiver that takes no video
    // in any form is never ready for a frame.
    for (const auto& c : connections_)
        if (c->ready() && !c->finished() && takes_video(*c, encoders_.encoder()) != Take::no && !c->video_waiting())
            return true;
    return false;
}

bool SourceServer::wait_video_wanted(std::chrono::milliseconds timeout)
{
    log::HeldLines held;  // logged once the lock is released
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return interrupted_ || video_wanted_locked(); });
    return !interrupted_ && video_wanted_locked();
}

void SourceServer::on_video_taken()
{
    // The queue changed under its own lock; taking the server's lock once
    // orders that change before a waiter's next look, so no wake-up is lost.
    { std::lock_guard lock(mutex_); }
    changed_.notify_all();
}

ServerStats SourceServer::stats() const
{
    ServerStats s;
    s.accepted = accepted_.load();
    s.refused = refused_.load() + acceptor_.shed();
    s.bad_peers = bad_peers_.load();
    s.handshake_timeouts = handshake_timeouts_.load();
    s.video_dropped = drops_.video.load();
    s.audio_dropped = drops_.audio.load();
    s.other_dropped = drops_.other.load();
    s.shared_sent = drops_.shared_sent.load();
    s.shared_reclaimed = drops_.shared_reclaimed.load();
    s.shared_withheld = drops_.shared_withheld.load();
    s.shared_hoarders = drops_.shared_hoarders.load();
    s.unknown_messages = unknown_messages_.load();
    s.evicted = evicted_.load();
    s.key_required = options_.keys != nullptr;
    s.key_refused = key_refused_.load();
    s.commands_refused = commands_refused_.load();
    s.refused_local_peers = refused_local_peers_.load();
    s.previews = encoders_.previews_made();
    if (const auto e = encoders_.compressed()) {
        s.video_compressed = e->encoded;
        s.video_compress_skipped = e->skipped;
        s.video_compressed_bytes = e->bytes;
        s.video_quality = e->quality;
    }
    const log::QuietLock lock(mutex_);
    for (const auto& c : connections_) {
        s.shared_connections += c->shared() && c->ready() && !c->finished();
        s.shared_held += c->held();
        s.shared_held_bytes += c->held_bytes();
    }
    add_group_stats(s);
    return s;
}

}  // namespace qrv::transport
