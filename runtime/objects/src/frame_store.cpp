#include "objects/frame_store.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qrv {


std::string_view metadata_text(const char* text)
{
    if (!text)
        return {};
    const size_t n = strnlen(text, kMaxMetadataBytes + 1);
    return n > kMaxMetadataBytes ? std::string_view() : std::string_view(text, n);
}

wire::PacketPtr FrameStore::put_video(const QRVlib_video_frame_v2_t& frame, const VideoLayout& layout,
                                      int64_t timecode, std::string_view metadata, bool shared)
{
    VideoDraft draft = start_video(frame, layout, timecode, metadata, shared);
    for (size_t i = 0; i < draft.pieces(); ++i)
        draft.copy_piece(i);
    return keep_video(std::move(draft));
}

VideoDraft FrameStore::start_video(const QRVlib_video_frame_v2_t& frame, const VideoLayout& layout,
                                   int64_t timecode, std::string_view metadata, bool shared)
{
    wire::VideoFields f;
    f.width = layout.width;
    f.height = layout.height;
    f.fourcc = layout.fourcc;
    f.frame_rate_num = frame.frame_rate_num;
    f.frame_rate_den = frame.frame_rate_den;
    f.aspect_ratio = frame.aspect_ratio;
    f.frame_format = frame.frame_format;
    f.timecode = timecode;
    f.timestamp = frame.timestamp;
    f.line_bytes = static_cast<uint32_t>(layout.line_bytes);
    {
        // Sends are serialised: this frame takes the next number.
        std::lock_guard lock(mutex_);
        f.frame_number = video_sequence_ + 1;
    }
    const size_t data_len = layout.packed_bytes();

    // The pool hands out a message that nobody references any more, so the
    // only writers of its buffer are this draft's pieces (the sender
    // serialises sends).
    VideoDraft d;
    d.packet_ = wire::make_video(shared ? shared_video_pool_ : video_pool_, f, metadata, data_len);
    d.src_ = frame.data;
    d.dst_ = d.packet_->bytes.data() + d.packet_->data_offset;
    const size_t line = std::max<size_t>(layout.line_bytes, 1);
    d.lines_per_piece_ = (int32_t)std::clamp<size_t>(kDraftPieceBytes / line, 1, (size_t)std::max(layout.height, 1));
    d.pieces_ = layout.height > 0 ? ((size_t)layout.height + d.lines_per_piece_ - 1) / d.lines_per_piece_ : 0;

    StoredVideo& v = d.record_;
    v.layout = layout;
    v.frame_rate_num = frame.frame_rate_num;
    v.frame_rate_den = frame.frame_rate_den;
    v.aspect_ratio = frame.aspect_ratio;
    v.frame_format = frame.frame_format;
    v.timecode = timecode;
    v.timestamp = frame.timestamp;
    v.pixels = std::span<const uint8_t>(d.dst_, data_len);
    return d;
}

void VideoDraft::copy_piece(size_t i) const
{
    if (i >= pieces_)
        return;
    const VideoLayout& layout = record_.layout;
    const int32_t first = (int32_t)i * lines_per_piece_;
    const int32_t lines = std::min(lines_per_piece_, layout.height - first);
    if (lines <= 0)
        return;
    uint8_t* dst = dst_ + (size_t)first * layout.line_bytes;
    const uint8_t* src = src_ + (size_t)first * layout.line_stride;
    if (layout.line_stride == layout.line_bytes) {
        std::memcpy(dst, src, (size_t)lines * layout.line_bytes);
        return;
    }
    for (int32_t y = 0; y < lines; ++y)
        std::memcpy(dst + (size_t)y * layout.line_bytes, src + (size_t)y * layout.line_stride, layout.line_bytes);
}

wire::PacketPtr FrameStore::keep_video(VideoDraft&& draft)
{
    StoredVideo v = std::move(draft.record_);
    v.packet = std::move(draft.packet_);
    wire::PacketPtr p = v.packet;
    StoredVideo old;
    {
        std::lock_guard lock(mutex_);
        v.sequence = ++video_sequence_;
        old = std::exchange(video_, std::move(v));
    }
    return p;
}

std::shared_ptr<wire::Packet> FrameStore::start_audio(const AudioLayout& layout, int64_t timecode,
                                                           int64_t timestamp, std::string_view text)
{
    wire::AudioFields f;
    f.sample_rate = layout.sample_rate;
    f.channels = layout.channels;
    f.samples = layout.samples;
    f.timecode = timecode;
    f.timestamp = timestamp;
    {
        // Sends are serialised: this frame takes the next number.
        std::lock_guard lock(mutex_);
        f.frame_number = audio_sequence_ + 1;
    }
    const size_t data_len = layout.samples_total() * sizeof(float);
    auto p = audio_pool_.acquire();
    p->type = wire::MessageType::audio;
    auto head = wire::encode_audio(f, text, data_len);
    p->bytes.resize(head.size() + data_len);
    std::memcpy(p->bytes.data(), head.data(), head.size());
    p->data_offset = head.size();
    return p;
}

void FrameStore::keep_audio(const AudioLayout& layout, int64_t timecode,
                            const std::shared_ptr<wire::Packet>& p)
{
    StoredAudio a;
    a.layout = layout;
    a.timecode = timecode;
    a.packet = p;
    a.sample_bytes = std::span<const uint8_t>(p->bytes.data() + p->data_offset,
                                              layout.samples_total() * sizeof(float));
    StoredAudio old;
    std::lock_guard lock(mutex_);
    a.sequence = ++audio_sequence_;
    old = std::exchange(audio_, std::move(a));
}

wire::PacketPtr FrameStore::put_audio(const QRVlib_audio_frame_v2_t& frame, const AudioLayout& layout,
                                           int64_t timecode, std::string_view metadata)
{
    auto p = start_audio(layout, timecode, frame.timestamp, metadata);
    const uint8_t* base = reinterpret_cast<const uint8_t*>(frame.data);
    uint8_t* dst = p->bytes.data() + p->data_offset;
    const size_t plane = (size_t)layout.samples * sizeof(float);
    for (int32_t c = 0; c < layout.channels; ++c)
        std::memcpy(dst + (size_t)c * plane, base + (size_t)c * layout.channel_stride, plane);
    keep_audio(layout, timecode, p);
    return p;
}

wire::PacketPtr FrameStore::put_audio(const QRVlib_audio_frame_interleaved_16s_t& frame,
                                           const AudioLayout& layout, int64_t timecode, std::string_view metadata)
{
    auto p = start_audio(layout, timecode, 0, metadata);
    uint8_t* dst = p->bytes.data() + p->data_offset;
    const size_t channels = (size_t)layout.channels;
    for (size_t c = 0; c < channels; ++c) {
        for (size_t s = 0; s < (size_t)layout.samples; ++s) {
            const float v = (float)frame.data[s * channels + c] * (1.0f / 32768.0f);
            std::memcpy(dst + (c * (size_t)layout.samples + s) * sizeof(float), &v, sizeof v);
        }
    }
    keep_audio(layout, timecode, p);
    return p;
}

}  // namespace qrv
