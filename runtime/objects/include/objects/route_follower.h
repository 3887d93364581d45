// Which of a receiver's links carries its media. The home link goes to the
// source the receiver was created for; when that source is a router, it
// redirects the receiver and a media link goes straight to the routed
// source, until the router routes elsewhere, nowhere, or goes away.
#ifndef QRV_ROUTE_FOLLOWER_H
#define QRV_ROUTE_FOLLOWER_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "transport/client_link.h"

namespace qrv {

class RouteFollower final {
public:
    // Called from the links' threads, with no lock of the follower held.
    class Listener {
    public:
        virtual ~Listener() = default;
        // The status the receiver reports changed (connection, camera
        // control or route).
        virtual void on_status_changed() = 0;
        // The route changed: frames of the previous source are stale.
        virtual void on_route_changed() = 0;
        // The link that carries the media (re)connected; its channel.
        virtual void on_carrier_up(transport::ClientLink::Channel& channel) = 0;
        virtual void on_connected() = 0;  // any link connected
        virtual void on_media(transport::Message&& message) = 0;
        virtual void on_bad() = 0;
        virtual void on_skipped(bool unknown_type) = 0;
        // Video frames of the carrying link that will not arrive.
        virtual void on_video_lost(uint64_t frames) = 0;
        // Audio or metadata frames of the carrying link that will not arrive.
        virtual void on_media_lost(wire::MessageType type, uint64_t frames) = 0;
        // A compressed frame of the carrying link, decoded or refused.
        virtual void on_video_compressed(uint64_t bytes, bool decoded) = 0;
    };
    struct Status {
        bool connected = false;
        bool ptz = false;
        bool routed = false;
        bool operator==(const Status&) const = default;
    };
    struct LinkSetup {
        std::string receiver_name;
        wire::HelloFields wishes;
        transport::LinkOptions options;
    };

    RouteFollower(LinkSetup setup, Listener& listener) : setup_(std::move(setup)), listener_(listener) {}
    ~RouteFollower() { stop(); }
    // Starts the home link; home: where it connects, asked before every
    // attempt.
    void start(transport::ClientLink::Resolver home);
    // Stops every link and joins their threads; no event follows.
    void stop();
    // The source of the home link is now listed at `where`: the home link
    // goes there at once (ClientLink::moved). Between start and stop only.
    void home_moved(const Endpoint& where);
    RouteFollower(const RouteFollower&) = delete;
    RouteFollower& operator=(const RouteFollower&) = delete;

    // The status flags last sent by the source that carries the media
    // (tally bits included, which are not part of Status: a change of
    // tally is not a change of status).
    uint32_t source_flags() const;
    Status status() const;
    // The channel of the link that carries the media; null when it is not
    // connected.
    std::shared_ptr<transport::ClientLink::Channel> carrier();
    // The carrying link uses the same-host shared-memory path now.
    bool shared();
    // The multicast group the carrying link takes its media from (dotted),
    // empty when they come over the connection.
    std::string group();
    // Why the link that carries the media was refused for the site key
    // (empty: it was not, or a source has greeted since).
    std::string refusal();

private:
    // Forwards one link's events, tagged with which link it is: 0 is the
    // home link, media links count up so that a replaced one is ignored.
    class Role final : public transport::LinkEvents {
    public:
        Role(RouteFollower& owner, uint64_t id) : owner_(owner), id_(id) {}
        void on_link_up(transport::ClientLink& link) override { owner_.link_up(id_, true, &link); }
        void on_link_down(transport::ClientLink&) override { owner_.link_up(id_, false); }
        void on_link_status(transport::ClientLink&, uint32_t flags) override { owner_.link_status(id_, flags); }
        void on_link_redirect(transport::ClientLink&, const std::string& locator) override
        {
            owner_.link_redirect(id_, locator);
        }
        void on_link_media(transport::ClientLink&, transport::Message&& m) override;
        void on_link_bad(transport::ClientLink&) override { owner_.listener_.on_bad(); }
        void on_link_failed(transport::ClientLink&) override { owner_.link_failed(id_); }
        void on_link_skipped(transport::ClientLink&, bool unknown_type) override
        {
            owner_.listener_.on_skipped(unknown_type);
        }
        void on_link_video_lost(transport::ClientLink&, uint64_t frames) override;
        void on_link_media_lost(transport::ClientLink&, wire::MessageType type, uint64_t frames) override;
        void on_link_video_compressed(transport::ClientLink&, uint64_t bytes, bool decoded) override;

    private:
        RouteFollower& owner_;
        const uint64_t id_;
    };
    struct Link {
        std::unique_ptr<Role> role;
        std::unique_ptr<transport::ClientLink> link;
    };
    static void stop(Link& link);  // joins its thread
    Link make_link(uint64_t id, transport::ClientLink::Resolver where);

    void link_up(uint64_t id, bool up, transport::ClientLink* link = nullptr);
    void link_status(uint64_t id, uint32_t flags);
    // A link that carries the media could not get a greeting: the receiver
    // is told it is (still) not connected.
    void link_failed(uint64_t id);
    void link_redirect(uint64_t id, const std::string& locator);
    Status status_locked() const;
    bool carries_locked(uint64_t id) const { return route_.empty() ? id == 0 : id == media_id_; }

    const LinkSetup setup_;
    Listener& listener_;

    mutable std::mutex mutex_;  // the state below
    bool home_connected_ = false;
    uint32_t home_flags_ = 0;
    bool media_connected_ = false;
    uint32_t media_flags_ = 0;
    std::string route_;  // locator the router sent us to; empty: none
    uint64_t media_id_ = 0;  // id of the current media link; 0: none
    uint64_t next_media_id_ = 0;

    // The media link is replaced only from the home link's thread (on a
    // redirect) and destroyed outside mutex_, since its thread calls back.
    std::mutex links_mutex_;
    Link media_;
    Link home_;  // last member: stops first
};

}  // namespace qrv

#endif
