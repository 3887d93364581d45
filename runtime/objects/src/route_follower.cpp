#include "objects/route_follower.h"

namespace qrv {

void RouteFollower::Role::on_link_media(transport::ClientLink&, transport::Message&& m)
{
    // Media counts only from the link that carries it; the check and the
    // hand-over are one step, so that a route change that has dropped the
    // stale frames is not followed by one more of them.
    std::lock_guard lock(owner_.mutex_);
    if (owner_.carries_locked(id_))
        owner_.listener_.on_media(std::move(m));
}

void RouteFollower::Role::on_link_video_lost(transport::ClientLink&, uint64_t frames)
{
    std::lock_guard lock(owner_.mutex_);
    if (owner_.carries_locked(id_))
        owner_.listener_.on_video_lost(frames);
}

void RouteFollower::Role::on_link_media_lost(transport::ClientLink&, wire::MessageType type, uint64_t frames)
{
    std::lock_guard lock(owner_.mutex_);
    if (owner_.carries_locked(id_))
        owner_.listener_.on_media_lost(type, frames);
}

void RouteFollower::Role::on_link_video_compressed(transport::ClientLink&, uint64_t bytes, bool decoded)
{
    std::lock_guard lock(owner_.mutex_);
    if (owner_.carries_locked(id_))
        owner_.listener_.on_video_compressed(bytes, decoded);
}

void RouteFollower::start(transport::ClientLink::Resolver home)
{
    home_ = make_link(0, std::move(home));
}

void RouteFollower::stop()
{
    // The home link first: it alone replaces the media link.
    stop(home_);
    std::lock_guard ml(links_mutex_);
    stop(media_);
}

void RouteFollower::home_moved(const Endpoint& where)
{
    if (home_.link)
        home_.link->moved(where);
}

void RouteFollower::stop(Link& link)
{
    link.link.reset();  // joins its thread first: the role must outlive it
    link.role.reset();
}

RouteFollower::Link RouteFollower::make_link(uint64_t id, transport::ClientLink::Resolver where)
{
    Link l;
    l.role = std::make_unique<Role>(*this, id);
    l.link = std::make_unique<transport::ClientLink>(std::move(where), setup_.receiver_name, setup_.wishes, *l.role,
                                                     setup_.options);
    return l;
}

RouteFollower::Status RouteFollower::status_locked() const
{
    if (!route_.empty())
        return Status{media_connected_, (media_flags_ & wire::kStatusPtz) != 0, true};
    return Status{home_connected_, (home_flags_ & wire::kStatusPtz) != 0, false};
}

uint32_t RouteFollower::source_flags() const
{
    std::lock_guard lock(mutex_);
    return route_.empty() ? home_flags_ : media_flags_;
}

RouteFollower::Status RouteFollower::status() const
{
    std::lock_guard lock(mutex_);
    return status_locked();
}

void RouteFollower::link_up(uint64_t id, bool up, transport::ClientLink* link)
{
    bool drop_route = false;
    {
        std::lock_guard lock(mutex_);
        drop_route = id == 0 && !up && !route_.empty();
    }
    // Without the router the route is gone too: the receiver waits for the
    // router's return (which redirects it again) rather than following a
    // route that no one keeps any more.
    if (drop_route)
        link_redirect(0, std::string());
    bool carrying = false;
    {
        std::lock_guard lock(mutex_);
        const Status before = status_locked();
        if (id == 0) {
            home_connected_ = up;
            if (!up)
                home_flags_ = 0;
        } else if (id == media_id_) {
            media_connected_ = up;
            if (!up)
                media_flags_ = 0;
        } else {
            return;
        }
        if (status_locked() != before)
            listener_.on_status_changed();
        carrying = up && carries_locked(id);
    }
    if (up)
        listener_.on_connected();
    if (carrying && link)
        if (auto channel = link->channel())
            listener_.on_carrier_up(*channel);
}

void RouteFollower::link_status(uint64_t id, uint32_t flags)
{
    std::lock_guard lock(mutex_);
    const Status before = status_locked();
    if (id == 0)
        home_flags_ = flags;
    else if (id == media_id_)
        media_flags_ = flags;
    if (status_locked() != before)
        listener_.on_status_changed();
}

void RouteFollower::link_failed(uint64_t id)
{
    std::lock_guard lock(mutex_);
    if (carries_locked(id))
        listener_.on_status_changed();
}

void RouteFollower::link_redirect(uint64_t id, const std::string& locator)
{
    // Only the source we were created for may send us elsewhere; a routed
    // source cannot redirect again, so routes never loop.
    if (id != 0)
        return;
    const auto where = parse_locator(locator);
    const std::string route = where ? locator : std::string();
    std::lock_guard ml(links_mutex_);
    uint64_t id_new = 0;
    {
        std::lock_guard lock(mutex_);
        if (route == route_)
            return;
        // The new state comes first: events of the old link, still running
        // until it is stopped below, no longer count.
        route_ = route;
        media_connected_ = false;
        media_flags_ = 0;
        media_id_ = route.empty() ? 0 : ++next_media_id_;
        id_new = media_id_;
        // A route change is a change of status in itself.
        listener_.on_status_changed();
        listener_.on_route_changed();
    }
    Link old{std::move(media_.role), std::move(media_.link)};
    stop(old);  // joined here, outside mutex_
    if (!route.empty())
        media_ = make_link(id_new, [where]() -> std::optional<Endpoint> { return where; });
}

std::shared_ptr<transport::ClientLink::Channel> RouteFollower::carrier()
{
    std::lock_guard ml(links_mutex_);
    bool routed;
    {
        std::lock_guard lock(mutex_);
        routed = !route_.empty();
    }
    transport::ClientLink* link = routed ? media_.link.get() : home_.link.get();
    return link ? link->channel() : nullptr;
}

bool RouteFollower::shared()
{
    std::lock_guard ml(links_mutex_);
    bool routed;
    {
        std::lock_guard lock(mutex_);
        routed = !route_.empty();
    }
    const transport::ClientLink* link = routed ? media_.link.get() : home_.link.get();
    return link && link->shared();
}

std::string RouteFollower::group()
{
    std::lock_guard ml(links_mutex_);
    bool routed;
    {
        std::lock_guard lock(mutex_);
        routed = !route_.empty();
    }
    const transport::ClientLink* link = routed ? media_.link.get() : home_.link.get();
    return link ? link->group() : std::string();
}

std::string RouteFollower::refusal()
{
    std::lock_guard ml(links_mutex_);
    bool routed;
    {
        std::lock_guard lock(mutex_);
        routed = !route_.empty();
    }
    const transport::ClientLink* link = routed ? media_.link.get() : home_.link.get();
    return link ? link->refusal() : std::string();
}

}  // namespace qrv
