// Which connections a source's server takes in: at most max_connections
// receivers, and at most a few greeting from one address. When full, a
// newcomer takes the place of a connection still greeting, else of one
// whose receiver has stopped reading; otherwise it is refused. Peers of the
// same-host socket may have to be a user allowed on it. Ended connections
// are reaped here as well.
#include "transport/source_server.h"

#include <utility>

#include "base/log.h"
#include "base/peer_credentials.h"

namespace qrv::transport {

bool SourceServer::local_peer_allowed(const net::Fd& peer)
{
    const net::LocalPeer who = net::check_local_peer(peer.get(), options_.local_group);
    if (who.allowed)
        return true;
    ++refused_local_peers_;
    if (who.known)
        QRV_LOG_AT(warn, transport, "'%s' refused a connection on this host from user %u (process %d): only the "
                   "same user, root or the group of QRV_LOCAL_GROUP may connect", options_.name.c_str(),
                   static_cast<unsigned>(who.credentials.uid), static_cast<int>(who.credentials.pid));
    else
        QRV_LOG_AT(warn, transport, "'%s' refused a connection on this host: its user cannot be told",
                   options_.name.c_str());
    return false;
}

bool SourceServer::admit(net::Fd peer, bool shared)
{
    // Refused before anything is kept for it: closed as peer goes.
    if (shared && options_.check_local_peers && !local_peer_allowed(peer))
        return true;
    // Who it is costs a system call: asked only when it is logged.
    const bool debug = log::enabled(log::Category::transport, log::Level::debug);
    const std::string from = debug ? net::peer_text(peer.get()) : std::string();
    bool refused = false;
    ServerConnection* evict = nullptr;  // ended outside the lock
    const std::string host = shared ? std::string("this host") : [&] {
        const std::string p = net::peer_text(peer.get());
        return p.substr(0, p.rfind(':'));
    }();
    {
        const log::QuietLock lock(mutex_);
        if (stopping_)
            return false;
        evict = victim_locked(host);
        refused = !evict && live_locked() >= options_.max_connections;
        if (!refused) {
            ++accepted_;
            ConnectionTimes times;
            times.handshake = options_.handshake_timeout;
            times.message = options_.message_timeout;
            times.keepalive = options_.keepalive_interval;
            connections_.push_back(std::make_unique<ServerConnection>(std::move(peer), *this, options_.queue, drops_,
                                                                      times, shared, options_.name,
                                                                      shared ? nullptr : options_.keys));
        } else {
            ++refused_;
        }
    }
    if (evict) {
        // Only the acceptor's thread reaps, so the connection is still there.
        ++evicted_;
        QRV_LOG_AT(info, transport, "'%s' ended the connection from %s to make room for a new one",
                   options_.name.c_str(), evict->peer_host().c_str());
        evict->evict();
    }
    if (refused) {
        // Closed here: the peer sees the end of the stream.
        QRV_LOG_AT(warn, transport, "'%s' refused a connection from %s: %zu receivers are connected already",
                   options_.name.c_str(), net::peer_text(peer.get()).c_str(), options_.max_connections);
        return true;
    }
    if (debug)
        QRV_LOG_AT(debug, transport, "'%s' accepted a connection from %s", options_.name.c_str(), from.c_str());
    return true;
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
        const log::QuietLock lock(mutex_);
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

}  // namespace qrv::transport
