#include "transport/video_decoder.h"

#include <utility>

#include "media/jpeg_codec.h"

namespace qrv::transport {

bool VideoDecoder::compressed(const Message& m)
{
    if (m.header.type != wire::MessageType::video)
        return false;
    const auto f = wire::decode_video(m.header, m.fixed);
    return f && f->format_tag != wire::kVideoRaw;
}

bool VideoDecoder::decode(Message& m)
{
    auto f = wire::decode_video(m.header, m.fixed);
    if (!f || f->format_tag != wire::kVideoSlicedJpeg || !m.data || m.data->size() != m.header.data_len) {
        ++refused_;
        return false;
    }
    wire::VideoFields raw = *f;
    raw.format_tag = wire::kVideoRaw;
    const auto size = wire::video_data_bytes(raw);
    if (!size) {
        ++refused_;
        return false;
    }
    if (!pool_)
        pool_ = std::make_unique<ThreadPool>(0, "qrv-decode");
    auto out = buffers_.acquire();
    out->resize(*size);
    if (!media::decode_sliced_jpeg(std::span<const uint8_t>(m.data->data(), m.data->size()), f->fourcc, f->width,
                                   f->height, out->data(), f->line_bytes, *pool_)) {
        ++refused_;
        return false;
    }
    // The fixed fields as the raw frame's, the frame's number kept.
    auto head = wire::encode_video(raw, {}, *size);
    m.fixed.assign(head.begin() + wire::kHeaderBytes, head.end());
    m.header.fixed_len = static_cast<uint32_t>(m.fixed.size());
    m.header.data_len = *size;
    m.data = std::move(out);
    ++decoded_;
    return true;
}

DecodeStage::DecodeStage(VideoDecoder& decoder, Deliver deliver, Lost lost, Compressed compressed)
    : decoder_(decoder),
      deliver_(std::move(deliver)),
      lost_(std::move(lost)),
      compressed_(std::move(compressed)),
      worker_("qrv-decode", [this](Message&& m) { work(std::move(m)); })
{
}

void DecodeStage::offer(Message&& m)
{
    if (worker_.offer(std::move(m)))
        lost_(1);
}

void DecodeStage::work(Message&& m)
{
    if (VideoDecoder::compressed(m)) {
        const uint64_t bytes = m.header.data_len;
        const bool decoded = decoder_.decode(m);
        compressed_(bytes, decoded);
        if (!decoded) {
            lost_(1);
            return;
        }
    }
    deliver_(std::move(m));
}

}  // namespace qrv::transport
