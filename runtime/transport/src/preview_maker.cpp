#include "transport/preview_maker.h"

#include <utility>

namespace qrv::transport {

PreviewMaker::PreviewMaker(Deliver deliver)
    : deliver_(std::move(deliver)), worker_("qrv-preview", [this](wire::PacketPtr&& frame) { work(std::move(frame)); })
{
}

void PreviewMaker::offer(wire::PacketPtr frame)
{
    if (worker_.offer(std::move(frame)))
        ++skipped_;
}

void PreviewMaker::work(wire::PacketPtr frame)
{
    auto preview = make(*frame, scaler_, pool_);
    frame.reset();  // the full frame's buffer is free for its pool again
    if (preview) {
        ++made_;
        deliver_(std::move(preview));
    }
}

wire::PacketPtr PreviewMaker::make(const wire::Packet& frame, media::Scaler& scaler, wire::PacketPool& pool)
{
    const auto m = wire::read_video(frame);
    if (!m)
        return nullptr;
    const wire::VideoFields& v = m->fields;
    const media::PictureSize size = media::preview_size(v.fourcc, v.width, v.height);
    wire::VideoFields f = v;
    f.width = size.width;
    f.height = size.height;
    f.line_bytes = (uint32_t)((uint64_t)v.line_bytes / (uint64_t)v.width * (uint64_t)size.width);
    // An aspect ratio of 0 means square pixels, which a quarter of each
    // dimension (rounded) may not keep: the picture's shape is kept instead.
    if (f.aspect_ratio == 0.0f)
        f.aspect_ratio = (float)v.width / (float)v.height;
    const auto data_len = wire::video_data_bytes(f);
    if (!data_len)
        return nullptr;

    auto p = wire::make_video(pool, f, m->text, *data_len);
    const media::PictureView src{v.fourcc, v.width, v.height, m->data.data(), v.line_bytes};
    if (!scaler.scale(src, size, p->bytes.data() + p->data_offset, f.line_bytes))
        return nullptr;
    return p;
}

}  // namespace qrv::transport
