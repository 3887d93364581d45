#include "objects/camera_client.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/error.h"

namespace qrv {

namespace {

// A command refused before it left: false, with the reason for the caller.
bool refuse(std::string_view why)
{
    set_last_error(why);
    return false;
}

// The command with its values clamped to their range, or the reason it
// has none.
bool checked(const std::optional<wire::PtzFields>& c)
{
    if (!c)
        return refuse("a camera command takes numbers (not NaN) and presets 0 to " +
                      std::to_string(wire::kMaxPreset));
    return true;
}

}  // namespace

bool CameraClient::supported() const
{
    const auto s = route_.status();
    return s.connected && s.ptz;
}

bool CameraClient::send(const wire::PtzFields& command)
{
    const auto s = route_.status();
    if (!s.connected)
        return refuse("not connected to the source");
    if (!s.ptz)
        return refuse("the source takes no camera commands");
    auto channel = route_.carrier();
    if (!channel)
        return refuse("not connected to the source");
    std::lock_guard lock(commands_mutex_);
    const uint64_t number = channel->post_command(command);
    if (number == 0)
        return refuse("the connection to the source is closing, or its queue of messages is full");
    last_channel_ = std::move(channel);
    last_command_ = number;
    return true;
}

std::optional<CameraClient::Delivery> CameraClient::wait_delivered(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::shared_ptr<transport::LinkChannel> channel;
    uint64_t number;
    {
        std::lock_guard lock(commands_mutex_);
        channel = last_channel_;
        number = last_command_;
    }
    if (!channel)
        return std::nullopt;
    return channel->wait_delivered(number, deadline);
}

void CameraClient::close()
{
    std::shared_ptr<transport::LinkChannel> channel;
    {
        std::lock_guard lock(commands_mutex_);
        channel = last_channel_;
    }
    if (channel)
        channel->abandon_waits();
}

bool CameraClient::recall_preset(int32_t preset, float speed)
{
    const auto c = wire::ptz_clamped({wire::PtzCommand::recall_preset, preset, speed, 0.0f});
    return checked(c) && send(*c);
}

bool CameraClient::store_preset(int32_t preset)
{
    const auto c = wire::ptz_clamped({wire::PtzCommand::store_preset, preset, 0.0f, 0.0f});
    return checked(c) && send(*c);
}

bool CameraClient::pan_tilt(float pan, float tilt)
{
    const auto c = wire::ptz_clamped({wire::PtzCommand::pan_tilt, 0, pan, tilt});
    return checked(c) && send(*c);
}

bool CameraClient::zoom(float zoom)
{
    const auto c = wire::ptz_clamped({wire::PtzCommand::zoom, 0, zoom, 0.0f});
    return checked(c) && send(*c);
}

void CameraClient::set_tally(bool on_program, bool on_preview)
{
    {
        std::lock_guard lock(mutex_);
        tally_flags_ = (on_program ? wire::kTallyProgram : 0u) | (on_preview ? wire::kTallyPreview : 0u);
        tally_set_ = true;
    }
    // The carrier is asked after the state is recorded and without mutex_:
    // a link that comes up meanwhile posts the new state itself, and the
    // route's lock is never taken inside ours (a link stopping under the
    // route's lock may be waiting for ours in carrier_up).
    const auto channel = route_.carrier();
    if (!channel)
        return;
    std::lock_guard lock(mutex_);
    post_tally_locked(*channel);
}

void CameraClient::carrier_up(transport::ClientLink::Channel& channel)
{
    std::lock_guard lock(mutex_);
    if (tally_set_)
        post_tally_locked(channel);
}

void CameraClient::post_tally_locked(transport::ClientLink::Channel& channel)
{
    // The source should learn it even when the receiver goes right after.
    channel.post(wire::encode_tally({tally_flags_}), true);
}

}  // namespace qrv
