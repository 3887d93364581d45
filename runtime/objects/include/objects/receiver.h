// A receiver: connects to one source and hands its frames and changes of
// status to the caller. Its home link goes to the source it was created
// for; when that source is a router, the router redirects the receiver and a
// second link carries the media straight from the routed source. What it
// wants (kinds of media, bandwidth, pixel layout) is told to the source in
// its hello; frames are converted to the wanted layout when captured. Its
// tally goes to the source that carries the media.
#ifndef QRV_RECEIVER_H
#define QRV_RECEIVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "qrv/qrv_runtime.h"
#include "objects/camera_client.h"
#include "objects/capture_ledger.h"
#include "discovery/discovery.h"
#include "objects/context.h"
#include "objects/frame_queue.h"
#include "objects/instance_trust.h"
#include "objects/route_follower.h"
#include "transport/client_link.h"

namespace qrv {

struct ReceiverSettings {
    std::string source_name;
    std::string source_locator;
    std::string receiver_name;
    // Codes of QRVlib_recv_color_format_e and QRVlib_recv_bandwidth_e; an
    // unknown colour format acts as uyvy_bgra, an unknown bandwidth as
    // highest.
    media::ColorFormat color_format = media::ColorFormat::uyvy_bgra;
    wire::Bandwidth bandwidth = wire::Bandwidth::highest;
    // At most one video frame per this many microseconds; 0: every frame.
    uint32_t frame_interval_us = 0;
    // Asks sources for raw pixels only, never compressed video (the
    // library's QRV_VIDEO_CODEC=raw).
    bool raw_video_only = false;
    // Offers to join a source's multicast group (unless QRV_MULTICAST=off);
    // only a receiver of every frame of everything, compressed, does.
    bool join_multicast = false;
};

// Bounds of the frames waiting for capture.
struct ReceiverLimits {
    size_t video = 4;       // oldest dropped beyond: the caller gets the newest
    size_t audio = 512;     // oldest dropped beyond, counted
    size_t metadata = 64;
    size_t queued_bytes = size_t{256} << 20;  // all kinds waiting; oldest dropped beyond
    size_t held = 256;  // captured frames not yet freed; beyond, captures fail
    transport::LinkOptions link;
};

// Lock order. The parts each guard their own state (listed_mutex_, for
// where discovery last listed the source, is a leaf of its own):
//   CameraClient::commands_mutex_  the last camera command sent
//   CameraClient::mutex_       tally state
//   RouteFollower::links_mutex_  the media link object (replaced on a redirect)
//   RouteFollower::mutex_      connection state and route
//   FrameQueue::mutex_         frames waiting for capture, status flag
//   CaptureLedger::mutex_      frames held by the caller, recycled buffers
//   ClientLink's own mutexes and its Channel::mutex  (leaves)
// A mutex may be taken while holding one above it in this list and never
// the other way round, with one exception: CameraClient::mutex_ is never
// held while taking either RouteFollower mutex (a media link being stopped
// under links_mutex_ may be waiting for it); commands_mutex_ neither. CaptureLedger::mutex_ and
// FrameQueue::mutex_ are never held together. No lock is held across a
// socket write: camera commands, tally and releases of shared frames are
// posted to the carrying link's channel and written by that link's thread;
// frames let go are destroyed after the lock that held them is released.
class Receiver final : private RouteFollower::Listener {
public:
    // resolver: where the source is now by its name, asked before every
    // connection of the home link; what it knows wins over the locator.
    // Unset: the locator alone. keyed: with a site key (limits.link.keys),
    // the name's instances are tried until one proves the key, rather
    // than the one the resolver answers; ignored without a key.
    explicit Receiver(ReceiverSettings settings, ReceiverLimits limits = {}, SourceResolver resolver = {},
                      KeyedLookup keyed = {});
    ~Receiver() override;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    // From now on, when the service lists the source (by name) at another
    // place, the receiver goes there at once rather than at its next retry
    // or after its dead connection falls silent. Once, after creation.
    void follow(discovery::DiscoveryService& service);

    int32_t capture(QRVlib_video_frame_v2_t* video, QRVlib_audio_frame_v2_t* audio,
                    QRVlib_metadata_frame_t* metadata, uint32_t timeout_ms);
    // Ends captures waiting now and later with nothing: the receiver is
    // being destroyed while another thread still waits on it.
    void close()
    {
        queue_.close();
        camera_.close();
    }
    void free_video(QRVlib_video_frame_v2_t* frame);
    void free_audio(QRVlib_audio_frame_v2_t* frame);
    void free_metadata(QRVlib_metadata_frame_t* frame);

    bool ptz_supported() const { return camera_.supported(); }
    bool ptz_recall_preset(int32_t preset, float speed) { return camera_.recall_preset(preset, speed); }
    bool ptz_store_preset(int32_t preset) { return camera_.store_preset(preset); }
    bool ptz_pan_tilt(float pan, float tilt) { return camera_.pan_tilt(pan, tilt); }
    bool ptz_zoom(float zoom) { return camera_.zoom(zoom); }
    // What became of the last camera command (CameraClient::wait_delivered).
    std::optional<CameraClient::Delivery> ptz_wait_delivered(std::chrono::milliseconds timeout)
    {
        return camera_.wait_delivered(timeout);
    }

    // Records the tally and sends it to the source that carries the media,
    // now when connected and again after every (re)connection.
    void set_tally(bool on_program, bool on_preview) { camera_.set_tally(on_program, on_preview); }

    QRVlib_recv_status_t status() const;
    // The tally of the source whose media this receiver gets, combined over
    // all that source's receivers, as the source last reported it.
    QRVlib_tally_t source_tally() const;
    QRVlib_recv_stats_t stats() const;
    QRVlib_recv_codec_stats_t codec_stats() const
    {
        return {compressed_frames_.load(), compressed_bytes_.load(), compressed_refused_.load()};
    }
    // Frames arrive over the same-host shared-memory path now.
    bool shared_memory() { return route_.shared(); }
    // Frames arrive from this multicast group now (empty: they do not).
    std::string multicast_group() { return route_.group(); }
    // Why its source was refused for the site key, if it was (see
    // ClientLink::refusal).
    std::string refusal() { return route_.refusal(); }

private:
    // From the links' threads.
    void on_status_changed() override { queue_.flag_status(); }
    void on_route_changed() override { queue_.clear(); }
    void on_carrier_up(transport::ClientLink::Channel& channel) override { camera_.carrier_up(channel); }
    void on_connected() override { ++connects_; }
    void on_media(transport::Message&& message) override { queue_.push(std::move(message)); }
    void on_bad() override { ++bad_messages_; }
    void on_skipped(bool unknown_type) override { ++(unknown_type ? unknown_messages_ : unknown_formats_); }
    void on_video_lost(uint64_t frames) override { video_lost_ += frames; }
    void on_media_lost(wire::MessageType type, uint64_t frames) override
    {
        (type == wire::MessageType::audio ? audio_lost_ : metadata_lost_) += frames;
    }
    void on_video_compressed(uint64_t bytes, bool decoded) override
    {
        if (decoded) {
            ++compressed_frames_;
            compressed_bytes_ += bytes;
        } else {
            ++compressed_refused_;
        }
    }

    // The service's list as it is now or changed (discovery's thread).
    void on_sources(const discovery::DiscoveryService& service, const std::vector<discovery::SourceEntry>& all);

    int32_t capture_video(transport::Message& m, QRVlib_video_frame_v2_t* video);
    // A frame taken off the queue that cannot be handed out because the
    // caller holds too many: counted as dropped, said in the last error and
    // the log; the capture's error code.
    int32_t drop_beyond_held(wire::MessageType type);

    const ReceiverSettings settings_;
    const KeyedLookup keyed_;  // set only with a site key
    FrameQueue queue_;
    CaptureLedger ledger_;
    std::atomic<uint64_t> connects_{0};
    std::atomic<uint64_t> bad_messages_{0};
    std::atomic<uint64_t> unknown_messages_{0};
    std::atomic<uint64_t> unknown_formats_{0};
    std::atomic<uint64_t> video_lost_{0};  // skipped at the source, undecodable, or beyond the held frames
    std::atomic<uint64_t> audio_lost_{0}, metadata_lost_{0};  // skipped at the source
    std::atomic<uint64_t> audio_held_dropped_{0}, metadata_held_dropped_{0};  // beyond the held frames
    std::atomic<bool> held_full_said_{false};  // the log's warning, once per receiver
    std::atomic<uint64_t> compressed_frames_{0}, compressed_bytes_{0}, compressed_refused_{0};
    // Its links are started once every part is in place, and stopped by
    // the destructor before any part goes.
    RouteFollower route_;
    CameraClient camera_{route_};
    std::mutex listed_mutex_;
    std::optional<Endpoint> listed_;  // where the service listed the source last
    bool listed_once_ = false;        // the list as it was at follow() came
    discovery::Subscription following_;  // ended first by the destructor
};

}  // namespace qrv

#endif
