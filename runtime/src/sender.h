// A sender: accepts frames from its caller, keeps its own copy of each, and
// paces the calls when asked to.
#ifndef QRV_SENDER_H
#define QRV_SENDER_H

#include <atomic>
#include <mutex>
#include <string>

#include "async_worker.h"
#include "frame_store.h"
#include "locator.h"
#include "pacing_clock.h"
#include "qrv/qrv_runtime.h"

namespace qrv {

struct SenderSettings {
    std::string name;
    std::string groups;
    bool pace_video = true;
    bool pace_audio = true;
};

class Sender {
public:
    explicit Sender(SenderSettings settings);
    ~Sender();
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    const SenderSettings& settings() const { return settings_; }
    // Where receivers connect to this sender (no port until it serves).
    Endpoint endpoint() const { return Endpoint{"127.0.0.1", 0, {}, {}}; }

    void send_video(const QRVlib_video_frame_v2_t& frame);
    // Null: waits until no caller buffer is in use.
    void send_video_async(const QRVlib_video_frame_v2_t* frame);
    void send_audio(const QRVlib_audio_frame_v2_t& frame);
    void send_audio(const QRVlib_audio_frame_interleaved_16s_t& frame);

    QRVlib_send_stats_t stats() const;
    const FrameStore& store() const { return store_; }

private:
    static int64_t resolve_timecode(int64_t timecode);
    void pace_video(const QRVlib_video_frame_v2_t& frame);

    const SenderSettings settings_;
    FrameStore store_;
    // Sends on one sender are serialised; the worker copies asynchronous
    // video frames while the caller goes on.
    std::mutex send_mutex_;
    PacingClock video_clock_;
    PacingClock audio_clock_;
    std::atomic<uint64_t> video_accepted_{0};
    std::atomic<uint64_t> audio_accepted_{0};
    std::atomic<uint64_t> refused_{0};
    AsyncWorker worker_;  // last member: its thread stops before the rest goes
};

}  // namespace qrv

#endif
