// The compressed pictures of a source, for receivers on other hosts that
// can decode them. As with previews, the thread that publishes a frame only
// hands its message over; the encoder's own thread compresses the newest
// frame handed over (slices in parallel on a small pool), once for every
// such receiver. Frames handed over while it is busy replace each other and
// are counted as skipped: a slow encoder costs frames, never the sender's
// time. The quality steps down when a frame exceeds its share of the bit
// rate ceiling and climbs back when there is room.
#ifndef QRV_TRANSPORT_VIDEO_ENCODER_H
#define QRV_TRANSPORT_VIDEO_ENCODER_H

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/newest_worker.h"
#include "base/settings.h"
#include "base/thread_pool.h"
#include "media/convert.h"
#include "media/slice_plan.h"
#include "wire/packet.h"

namespace qrv::transport {

/// How a source compresses video for other hosts.
struct VideoCodecSettings {
    bool compress = true;  // false: raw pixels to every receiver
    int quality = 95;      // JPEG quality of 1 to 100 when the link has room
    int min_quality = 50;  // the lowest the ceiling may push it
    double max_bits_per_second = 800e6;  // per source; 0: no ceiling
    // Receivers on this host are sent raw pixels, also over TCP on
    // loopback; true compresses for them as well (tests, measurements).
    bool on_this_host = false;

    /// The defaults above, changed by the library's settings:
    /// QRV_VIDEO_CODEC=raw (no compression; "jpeg" or unset: compress),
    /// QRV_VIDEO_QUALITY (1 to 100), QRV_VIDEO_MAX_MBITS (megabits per
    /// second, 0 for none). Values that do not parse are ignored.
    static VideoCodecSettings from_settings(const Settings& settings);
};

/// True when QRV_VIDEO_CODEC=raw: receivers then ask for raw pixels only.
bool video_codec_forced_raw(const Settings& settings);

/// Counters of one encoder, all since it was made.
struct EncoderStats {
    uint64_t encoded = 0;  // frames compressed and delivered
    uint64_t skipped = 0;  // replaced by a newer frame before their turn
    uint64_t failed = 0;   // could not be compressed: delivered raw
    uint64_t bytes = 0;    // of compressed payloads
    int quality = 0;       // of the last frame
};

class VideoEncoder {
public:
    /// Called on the encoder's thread with each message made (compressed,
    /// or the raw message itself when it could not be compressed).
    using Deliver = std::function<void(wire::PacketPtr)>;
    /// Compresses a picture at a quality; by default the sliced JPEG codec
    /// on the encoder's pool. Tests put a slow one in its place.
    using Encode = std::function<std::optional<std::vector<uint8_t>>(const media::PictureView&, int quality)>;

    /// The thread stops with the encoder; a frame handed over and not yet
    /// encoded is dropped.
    VideoEncoder(VideoCodecSettings settings, Deliver deliver, Encode encode = {});
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    /// Hands over a raw video message as the source publishes it; returns
    /// at once. The thread (and its pool) start with the first one.
    /// Thread-safe.
    void offer(wire::PacketPtr frame);

    EncoderStats stats() const;
    const VideoCodecSettings& settings() const { return settings_; }

private:
    void work(wire::PacketPtr frame);
    // The compressed message of a raw one; null when it cannot be made.
    wire::PacketPtr compress(const wire::Packet& frame);
    void adapt(uint64_t bytes, const wire::VideoFields& f);

    const VideoCodecSettings settings_;
    Deliver deliver_;
    Encode encode_;                     // set on the worker when not given
    std::unique_ptr<ThreadPool> pool_;  // made on the worker's thread
    media::SliceCosts slice_costs_;     // the worker's own: last frame's cost per slice
    wire::PacketPool packets_{4};       // the worker's own
    std::atomic<uint64_t> encoded_{0}, skipped_{0}, failed_{0}, bytes_{0};
    std::atomic<int> quality_;
    NewestWorker<wire::PacketPtr> worker_;  // last: its thread uses the above
};

}  // namespace qrv::transport

#endif
