#include "sender.h"

#include <chrono>

namespace qrv {

Sender::Sender(SenderSettings settings) : settings_(std::move(settings)) {}

Sender::~Sender()
{
    worker_.wait_idle();
}

int64_t Sender::resolve_timecode(int64_t timecode)
{
    if (timecode != QRVlib_send_timecode_synthesize)
        return timecode;
    // Synthesised: the wall clock in 100 ns units since the epoch.
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
}

void Sender::pace_video(const QRVlib_video_frame_v2_t& frame)
{
    if (settings_.pace_video && frame.frame_rate_num > 0 && frame.frame_rate_den > 0)
        video_clock_.pace(1, frame.frame_rate_num, frame.frame_rate_den);
}

void Sender::send_video(const QRVlib_video_frame_v2_t& frame)
{
    std::lock_guard lock(send_mutex_);
    worker_.wait_idle();
    const auto layout = check_video(frame);
    if (!layout) {
        ++refused_;
        return;
    }
    store_.put_video(frame, *layout, resolve_timecode(frame.timecode));
    ++video_accepted_;
    pace_video(frame);
}

void Sender::send_video_async(const QRVlib_video_frame_v2_t* frame)
{
    std::lock_guard lock(send_mutex_);
    if (!frame) {
        worker_.wait_idle();
        return;
    }
    const auto layout = check_video(*frame);
    if (!layout) {
        // The previous buffer is still released by this call.
        worker_.wait_idle();
        ++refused_;
        return;
    }
    // The record lives only for this call: the job keeps its own copy.
    const QRVlib_video_frame_v2_t copy = *frame;
    const int64_t timecode = resolve_timecode(frame->timecode);
    worker_.submit([this, copy, layout = *layout, timecode] {
        store_.put_video(copy, layout, timecode);
        ++video_accepted_;
    });
    pace_video(copy);
}

void Sender::send_audio(const QRVlib_audio_frame_v2_t& frame)
{
    std::lock_guard lock(send_mutex_);
    const auto layout = check_audio(frame);
    if (!layout) {
        ++refused_;
        return;
    }
    store_.put_audio(frame, *layout, resolve_timecode(frame.timecode));
    ++audio_accepted_;
    if (settings_.pace_audio)
        audio_clock_.pace(layout->samples, layout->sample_rate, 1);
}

void Sender::send_audio(const QRVlib_audio_frame_interleaved_16s_t& frame)
{
    std::lock_guard lock(send_mutex_);
    const auto layout = check_audio(frame);
    if (!layout) {
        ++refused_;
        return;
    }
    store_.put_audio(frame, *layout, resolve_timecode(frame.timecode));
    ++audio_accepted_;
    if (settings_.pace_audio)
        audio_clock_.pace(layout->samples, layout->sample_rate, 1);
}

QRVlib_send_stats_t Sender::stats() const
{
    QRVlib_send_stats_t s{};
    s.video_accepted = video_accepted_.load();
    s.audio_accepted = audio_accepted_.load();
    s.refused = refused_.load();
    s.pacing_resyncs = video_clock_.resyncs() + audio_clock_.resyncs();
    return s;
}

}  // namespace qrv
