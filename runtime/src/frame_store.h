// The sender's own copy of the newest frames it accepted, from which
// receivers are served. Pixels are stored packed (no line padding); audio is
// stored as planar float whatever layout it arrived in.
#ifndef QRV_FRAME_STORE_H
#define QRV_FRAME_STORE_H

#include <cstdint>
#include <mutex>
#include <vector>

#include "frame_check.h"

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
    std::vector<uint8_t> pixels;
};

struct StoredAudio {
    AudioLayout layout;
    int64_t timecode = 0;
    uint64_t sequence = 0;
    std::vector<float> samples;  // channels * samples, channel after channel
};

class FrameStore {
public:
    // Copies the caller's pixels, line by line, into a spare buffer and then
    // makes it the newest frame. Only the bytes the layout describes are read.
    void put_video(const QRVlib_video_frame_v2_t& frame, const VideoLayout& layout, int64_t timecode);
    void put_audio(const QRVlib_audio_frame_v2_t& frame, const AudioLayout& layout, int64_t timecode);
    void put_audio(const QRVlib_audio_frame_interleaved_16s_t& frame, const AudioLayout& layout,
                   int64_t timecode);

    // Runs f(const StoredVideo&) on the newest video frame under the store's
    // lock; false when none was stored yet.
    template <class F>
    bool with_video(F&& f) const
    {
        std::lock_guard lock(mutex_);
        if (front_video_.sequence == 0)
            return false;
        f(front_video_);
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
    mutable std::mutex mutex_;
    StoredVideo front_video_;
    StoredVideo back_video_;  // written without the lock, then swapped in
    StoredAudio audio_;
    StoredAudio back_audio_;
    uint64_t video_sequence_ = 0;
    uint64_t audio_sequence_ = 0;
};

}  // namespace qrv

#endif
