// The sender's own copy of each frame it accepts, made once, straight into
// the encoded message that every receiver is sent (one copy serves all).
// Pixels are stored packed (no line padding); audio as planar float
// whatever layout it arrived in. The newest frame of each kind stays
// readable here.
#ifndef QRV_FRAME_STORE_H
#define QRV_FRAME_STORE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>

#include "media/frame_check.h"
#include "wire/packet.h"

namespace qrv {

struct StoredVideo {
    VideoLayout layout;
    int32_t frame_rate_num = 0;
    int32_t frame_rate_den = 0;
    float aspect_ratio = 0.0f;
    uint32_t frame_format = 0;
    int64_t timecode = 0;
    int64_t timestamp = 0;
    uint64_t sequence = 0;  // 1 for the first frame stored
    wire::PacketPtr packet;
    std::span<const uint8_t> pixels;  // inside packet
};

struct StoredAudio {
    AudioLayout layout;
    int64_t timecode = 0;
    uint64_t sequence = 0;
    wire::PacketPtr packet;
    // channels * samples float32 values, channel after channel (not
    // necessarily aligned for float: copy out before use)
    std::span<const uint8_t> sample_bytes;
};

// Metadata text longer than this is not sent with a frame.
inline constexpr size_t kMaxMetadataBytes = 64 * 1024 - 1;

// A video frame on its way into the store: its message is taken from a pool
// and its header written; its pixels are copied in pieces (bands of about
// kDraftPieceBytes), each exactly once, possibly on several threads at a
// time, before FrameStore::keep_video makes it the newest frame. Reads the
// caller's pixels only in copy_piece.
inline constexpr size_t kDraftPieceBytes = size_t{1} << 20;

class VideoDraft {
public:
    size_t pieces() const { return pieces_; }
    // Copies the lines of piece i. Threads may copy different pieces at once.
    void copy_piece(size_t i) const;

private:
    friend class FrameStore;
    std::shared_ptr<wire::Packet> packet_;
    StoredVideo record_;
    const uint8_t* src_ = nullptr;
    uint8_t* dst_ = nullptr;
    int32_t lines_per_piece_ = 1;
    size_t pieces_ = 0;
};

class FrameStore {
public:
    // Copies the caller's pixels, line by line, into a pooled message and
    // makes it the newest frame; only the bytes the layout describes are
    // read. Returns the message for the receivers. shared: the message is
    // placed in shared memory, for receivers on this host; otherwise in
    // ordinary memory, which is far cheaper to fault in for a new stream.
    // The metadata text is passed apart from the record: an asynchronous
    // send copies it during the call, since the caller lends only pixels.
    wire::PacketPtr put_video(const QRVlib_video_frame_v2_t& frame, const VideoLayout& layout,
                              int64_t timecode, std::string_view metadata, bool shared = true);
    // put_video in steps: start_video takes the message and writes all but
    // the pixels (frame.data is kept for copy_piece, the record and text are
    // not); keep_video, once every piece is copied, makes it the newest
    // frame and returns the message. One draft at a time: the frame number
    // is taken at the start, the sequence at the keep.
    VideoDraft start_video(const QRVlib_video_frame_v2_t& frame, const VideoLayout& layout, int64_t timecode,
                           std::string_view metadata, bool shared = true);
    wire::PacketPtr keep_video(VideoDraft&& draft);
    wire::PacketPtr put_audio(const QRVlib_audio_frame_v2_t& frame, const AudioLayout& layout,
                                   int64_t timecode, std::string_view metadata);
    wire::PacketPtr put_audio(const QRVlib_audio_frame_interleaved_16s_t& frame, const AudioLayout& layout,
                                   int64_t timecode, std::string_view metadata);

    // Runs f(const StoredVideo&) on the newest video frame under the store's
    // lock; false when none was stored yet.
    template <class F>
    bool with_video(F&& f) const
    {
        std::lock_guard lock(mutex_);
        if (video_.sequence == 0)
            return false;
        f(video_);
        return true;
    }

    template <class F>
    bool with_audio(F&& f) const
    {
        std::lock_guard lock(mutex_);
        if (audio_.sequence == 0)
            return false;
        f(audio_);
        return true;
    }

private:
    std::shared_ptr<wire::Packet> start_audio(const AudioLayout& layout, int64_t timecode,
                                                   int64_t timestamp, std::string_view text);
    void keep_audio(const AudioLayout& layout, int64_t timecode, const std::shared_ptr<wire::Packet>& p);

    mutable std::mutex mutex_;
    // Twice the frames one receiver on this host may hold at once
    // (QueueLimits::shared_held): one that holds its share leaves room for
    // the others' frames to be recycled, not made anew for every frame
    // (which the others' cached mappings would then keep alive).
    wire::PacketPool shared_video_pool_{16, true};
    wire::PacketPool video_pool_{8};
    wire::PacketPool audio_pool_{16};
    StoredVideo video_;
    StoredAudio audio_;
    uint64_t video_sequence_ = 0;
    uint64_t audio_sequence_ = 0;
};

// The metadata text of a frame record, or empty when it is absent or too long.
std::string_view metadata_text(const char* text);

}  // namespace qrv

#endif
