#include "transport/video_encoder.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "base/log.h"
#include "media/jpeg_codec.h"

namespace qrv::transport {

namespace {

std::optional<double> number_from(const std::optional<std::string>& text)
{
    const char* v = text_of(text);
    if (!v || !*v)
        return std::nullopt;
    char* end = nullptr;
    const double d = std::strtod(v, &end);
    if (end == v || *end != '\0' || !(d >= 0))
        return std::nullopt;
    return d;
}

}  // namespace

bool video_codec_forced_raw(const Settings& settings)
{
    return settings.video_codec == "raw";
}

VideoCodecSettings VideoCodecSettings::from_settings(const Settings& settings)
{
    VideoCodecSettings s;
    s.compress = !video_codec_forced_raw(settings);
    if (const auto q = number_from(settings.video_quality); q && *q >= 1 && *q <= 100)
        s.quality = int(*q);
    s.min_quality = std::min(s.min_quality, s.quality);
    if (const auto m = number_from(settings.video_max_mbits); m && *m <= 1e6)
        s.max_bits_per_second = *m * 1e6;
    return s;
}

VideoEncoder::VideoEncoder(VideoCodecSettings settings, Deliver deliver, Encode encode)
    : settings_(settings),
      deliver_(std::move(deliver)),
      encode_(std::move(encode)),
      quality_(settings.quality),
      worker_("qrv-encode", [this](wire::PacketPtr&& frame) { work(std::move(frame)); })
{
}

void VideoEncoder::offer(wire::PacketPtr frame)
{
    if (worker_.offer(std::move(frame)))
        ++skipped_;
}

EncoderStats VideoEncoder::stats() const
{
    return {encoded_.load(), skipped_.load(), failed_.load(), bytes_.load(), quality_.load()};
}

void VideoEncoder::work(wire::PacketPtr frame)
{
    if (!encode_) {
        pool_ = std::make_unique<ThreadPool>(0, "qrv-encode");
        encode_ = [this](const media::PictureView& picture, int quality) {
            return media::encode_sliced_jpeg(picture, quality, *pool_, &slice_costs_);
        };
    }
    wire::PacketPtr out = compress(*frame);
    if (out) {
        ++encoded_;
        frame.reset();  // the raw frame's buffer is free for its pool again
    } else {
        ++failed_;
        out = std::move(frame);
    }
    deliver_(std::move(out));
}

wire::PacketPtr VideoEncoder::compress(const wire::Packet& frame)
{
    const auto m = wire::read_video(frame);
    if (!m || m->fields.format_tag != wire::kVideoRaw || !media::can_compress(m->fields.fourcc))
        return nullptr;
    const wire::VideoFields& v = m->fields;
    const int quality = quality_.load();
    const media::PictureView picture{v.fourcc, v.width, v.height, m->data.data(), v.line_bytes};
    const auto payload = encode_(picture, quality);
    if (!payload || payload->empty())
        return nullptr;
    wire::VideoFields f = v;
    f.format_tag = wire::kVideoSlicedJpeg;
    if (!wire::video_data_fits(f, payload->size()))
        return nullptr;
    adapt(payload->size(), f);

    auto p = wire::make_video(packets_, f, m->text, payload->size());
    std::memcpy(p->bytes.data() + p->data_offset, payload->data(), payload->size());
    bytes_ += payload->size();
    return p;
}

void VideoEncoder::adapt(uint64_t bytes, const wire::VideoFields& f)
{
    if (settings_.max_bits_per_second <= 0)
        return;
    // A frame's share of the ceiling at its own rate (60 per second when
    // the rate is not told).
    const double fps = f.frame_rate_num > 0 && f.frame_rate_den > 0
                           ? double(f.frame_rate_num) / double(f.frame_rate_den)
                           : 60.0;
    const double budget = settings_.max_bits_per_second / std::max(fps, 1.0);
    const double bits = double(bytes) * 8.0;
    int q = quality_.load();
    if (bits > budget) {
        // Far over: a bigger step, so that a few frames find the level.
        q -= bits > 1.5 * budget ? 6 : 3;
    } else if (bits < 0.75 * budget) {
        ++q;
    }
    q = std::clamp(q, settings_.min_quality, settings_.quality);
    if (q != quality_.load())
        QRV_LOG_AT(debug, sender, "video quality %d for %.0f Mbit/s against a ceiling of %.0f", q,
                   bits * fps / 1e6, settings_.max_bits_per_second / 1e6);
    quality_ = q;
}

}  // namespace qrv::transport
