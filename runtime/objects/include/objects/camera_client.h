// A receiver's camera commands and tally, sent upstream to the source that
// carries the media. Nothing here writes to a socket: messages are posted to
// the carrying link's channel, whose own thread writes them.
#ifndef QRV_CAMERA_CLIENT_H
#define QRV_CAMERA_CLIENT_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "objects/route_follower.h"

namespace qrv {

class CameraClient final {
public:
    explicit CameraClient(RouteFollower& route) : route_(route) {}

    bool supported() const;
    bool recall_preset(int32_t preset, float speed);
    bool store_preset(int32_t preset);
    bool pan_tilt(float pan, float tilt);
    bool zoom(float zoom);
    // Waits until the source holds the last command sent (and so every
    // one before it, since they are taken in order), it refused it, the
    // connection that carried it ended, or the timeout passed. From a
    // source that does not acknowledge: until it is written. Any thread.
    // Nothing when no command was sent yet.
    using Delivery = transport::LinkChannel::Delivery;
    std::optional<Delivery> wait_delivered(std::chrono::milliseconds timeout);
    // The receiver goes away: a wait_delivered running now returns at once.
    void close();

    // Records the tally and sends it to the carrying source now when it is
    // connected, and again whenever a carrying link (re)connects.
    void set_tally(bool on_program, bool on_preview);
    // A carrying link came up: it starts with no tally at the source.
    void carrier_up(transport::ClientLink::Channel& channel);

private:
    bool send(const wire::PtzFields& command);
    // Posts the newest tally, with mutex_ held, so that posts reach the
    // channel in the order of the changes.
    void post_tally_locked(transport::ClientLink::Channel& channel);

    RouteFollower& route_;
    // The last command sent and the connection it went on. Held while
    // posting a command (so that it names the last one posted), never
    // while asking route_ or waiting.
    std::mutex commands_mutex_;
    std::shared_ptr<transport::LinkChannel> last_channel_;
    uint64_t last_command_ = 0;
    std::mutex mutex_;  // the tally state; held while posting, never while asking route_
    uint32_t tally_flags_ = 0;
    bool tally_set_ = false;
};

}  // namespace qrv

#endif
