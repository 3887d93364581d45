// What a source's server tells every receiver about the source: its status
// flags, with the tally of all its receivers combined (on program when any
// of them is), and for a router the locator it sends receivers on to. A
// receiver is greeted with both before any frame.
#include "transport/source_server.h"

#include <utility>

#include "base/locator.h"
#include "base/log.h"

namespace qrv::transport {

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

void SourceServer::update_tally()
{
    const log::QuietLock lock(mutex_);
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
    // Every source of this version acknowledges numbered camera commands.
    return status_flags_ | wire::kStatusPtzAcks | (groups_[kFullGroup] || groups_[kPreviewGroup] ? wire::kStatusMulticast : 0u) | (tally_.program ? wire::kStatusTallyProgram : 0u) |
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
    log::HeldLines held;  // logged once the lock is released
    std::unique_lock lock(mutex_);
    tally_changed_.wait_for(lock, timeout, [&] { return interrupted_ || tally_.changes != seen; });
    return tally_;
}

void SourceServer::set_status(uint32_t flags)
{
    const log::QuietLock lock(mutex_);
    if (flags == status_flags_)
        return;
    status_flags_ = flags;
    send_status_locked();
}

void SourceServer::set_redirect(std::optional<std::string> locator)
{
    const log::QuietLock lock(mutex_);
    redirect_ = std::move(locator);
    for (auto& c : connections_)
        if (c->ready())
            c->send(redirect_packet_locked(*c));
}

}  // namespace qrv::transport
