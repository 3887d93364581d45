// The video workers of a source's server, made and stopped together.
#include "transport/source_encoders.h"

#include <algorithm>
#include <utility>

namespace qrv::transport {

namespace {

constexpr int kPreviewQuality = 80;

}  // namespace

SourceEncoders::SourceEncoders(const VideoCodecSettings& codec, Outputs outputs)
{
    previews_ = std::make_unique<PreviewMaker>(std::move(outputs.preview));
    if (codec.compress) {
        encoder_ = std::make_unique<VideoEncoder>(codec, std::move(outputs.compressed));
        // Previews are small pictures for a glance: a lower quality keeps
        // a wall of them cheap on the network.
        VideoCodecSettings preview = codec;
        preview.quality = std::min(preview.quality, kPreviewQuality);
        preview.min_quality = std::min(preview.min_quality, preview.quality);
        preview_encoder_ = std::make_unique<VideoEncoder>(preview, std::move(outputs.compressed_preview));
    }
}

std::optional<EncoderStats> SourceEncoders::compressed() const
{
    if (!encoder_)
        return std::nullopt;
    return encoder_->stats();
}

void SourceEncoders::stop()
{
    previews_.reset();  // before the preview encoder it hands previews to
    preview_encoder_.reset();
    encoder_.reset();
}

}  // namespace qrv::transport
