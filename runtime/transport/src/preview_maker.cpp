#include "transport/preview_maker.h"

#include <cstring>
#include <utility>

namespace qrv::transport {

PreviewMaker::PreviewMaker(Deliver deliver) : deliver_(std::move(deliver)) {}

PreviewMaker::~PreviewMaker()
{
    wire::PacketPtr dropped;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped = std::move(pending_);
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void PreviewMaker::offer(wire::PacketPtr frame)
{
    wire::PacketPtr replaced;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        replaced = std::exchange(pending_, std::move(frame));
    }
    if (replaced)
        ++skipped_;
    wake_.notify_one();
}

void PreviewMaker::run()
{
    media::Scaler scaler;
    wire::PacketPool pool(4);
    for (;;) {
        wire::PacketPtr frame;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending_; });
            if (stopping_)
                return;
            frame = std::move(pending_);
        }
        auto preview = make(*frame, scaler, pool);
        frame.reset();  // the full frame's buffer is free for its pool again
        if (preview) {
            ++made_;
            deliver_(std::move(preview));
        }
    }
}

wire::PacketPtr PreviewMaker::make(const wire::Packet& frame, media::Scaler& scaler, wire::PacketPool& pool)
{
    // The message is our own, but it is read as any other: checked first.
    const std::span<const uint8_t> bytes = frame.bytes;
    if (frame.type != wire::MessageType::video || bytes.size() < wire::kHeaderBytes)
        return nullptr;
    const auto h = wire::decode_header(bytes.first<wire::kHeaderBytes>());
    if (!h || h->type != wire::MessageType::video ||
        bytes.size() < wire::kHeaderBytes + uint64_t{h->fixed_len} + h->text_len + h->data_len)
        return nullptr;
    const auto v = wire::decode_video(*h, bytes.subspan(wire::kHeaderBytes, h->fixed_len));
    if (!v)
        return nullptr;
    const size_t data_at = wire::kHeaderBytes + h->fixed_len + h->text_len;
    const auto text = bytes.subspan(wire::kHeaderBytes + h->fixed_len, h->text_len);

    const media::PictureSize size = media::preview_size(v->fourcc, v->width, v->height);
    wire::VideoFields f = *v;
    f.width = size.width;
    f.height = size.height;
    f.line_bytes = (uint32_t)((uint64_t)v->line_bytes / (uint64_t)v->width * (uint64_t)size.width);
    // An aspect ratio of 0 means square pixels, which a quarter of each
    // dimension (rounded) may not keep: the picture's shape is kept instead.
    if (f.aspect_ratio == 0.0f)
        f.aspect_ratio = (float)v->width / (float)v->height;
    const auto data_len = wire::video_data_bytes(f);
    if (!data_len)
        return nullptr;

    auto p = pool.acquire();
    p->type = wire::MessageType::video;
    const auto head = wire::encode_video(
        f, std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), *data_len);
    p->bytes.resize(head.size() + *data_len);
    std::memcpy(p->bytes.data(), head.data(), head.size());
    p->data_offset = head.size();
    const media::PictureView src{v->fourcc, v->width, v->height, bytes.data() + data_at, v->line_bytes};
    if (!scaler.scale(src, size, p->bytes.data() + p->data_offset, f.line_bytes))
        return nullptr;
    return p;
}

}  // namespace qrv::transport
