// The video workers of a source's server: the preview maker and, when
// compressing is on, an encoder of full frames and one of previews (at a
// lower quality, since previews are for a glance). Each works on its own
// thread over the newest frame handed to it and delivers what it made to
// the server, which sends it on to the receivers that take it.
#ifndef QRV_TRANSPORT_SOURCE_ENCODERS_H
#define QRV_TRANSPORT_SOURCE_ENCODERS_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "transport/preview_maker.h"
#include "transport/video_encoder.h"
#include "wire/packet.h"

namespace qrv::transport {

class SourceEncoders {
public:
    using Deliver = std::function<void(wire::PacketPtr)>;
    /// Where each worker delivers, called on that worker's thread.
    struct Outputs {
        Deliver preview;             // a raw preview made
        Deliver compressed;          // a full frame compressed (or raw when it could not be)
        Deliver compressed_preview;  // a preview compressed (likewise)
    };

    /// The threads start with the first frame each is handed.
    SourceEncoders(const VideoCodecSettings& codec, Outputs outputs);
    ~SourceEncoders() { stop(); }
    SourceEncoders(const SourceEncoders&) = delete;
    SourceEncoders& operator=(const SourceEncoders&) = delete;

    /// The encoder of full frames; null when video goes raw.
    const VideoEncoder* encoder() const { return encoder_.get(); }

    /// Hand a raw video message over and return at once; any thread, not
    /// after stop(). The compressing ones only when encoder() is not null.
    void make_preview(const wire::PacketPtr& frame) { previews_->offer(frame); }
    void compress(const wire::PacketPtr& frame) { encoder_->offer(frame); }
    void compress_preview(const wire::PacketPtr& frame) { preview_encoder_->offer(frame); }

    uint64_t previews_made() const { return previews_ ? previews_->made() : 0; }
    /// The full-frame encoder's counters; nullopt when video goes raw.
    std::optional<EncoderStats> compressed() const;

    /// Stops the threads (each delivers into the next, so the preview maker
    /// first) and drops frames still waiting. Not from a worker's thread;
    /// idempotent. While it runs, encoder() stays valid for the deliveries
    /// of the workers not stopped yet.
    void stop();

private:
    std::unique_ptr<PreviewMaker> previews_;
    std::unique_ptr<VideoEncoder> preview_encoder_;  // for previews sent to other hosts
    std::unique_ptr<VideoEncoder> encoder_;          // null: video goes raw
};

}  // namespace qrv::transport

#endif
