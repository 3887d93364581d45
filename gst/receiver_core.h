// The receiver behind qrvsrc: finds the source, captures its frames on a
// thread of its own and hands them to the element's video and audio
// branches, and maps the source's timecodes onto the pipeline's running
// time so that both branches stay in sync.
#ifndef QRV_GST_RECEIVER_CORE_H
#define QRV_GST_RECEIVER_CORE_H

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "library_ref.h"
#include "qrv/qrv_runtime.h"

namespace qrv_gst {

/// A receiver handle that lives as long as any frame it captured: the
/// runtime wants every captured frame freed before the receiver goes.
class RecvHandle {
public:
    RecvHandle(std::shared_ptr<LibraryRef> library, QRVlib_recv_instance_t receiver)
        : library_(std::move(library)), receiver_(receiver) {}
    ~RecvHandle() { QRVlib_recv_destroy(receiver_); }
    RecvHandle(const RecvHandle&) = delete;
    RecvHandle& operator=(const RecvHandle&) = delete;
    QRVlib_recv_instance_t get() const { return receiver_; }
    /// Frames handed out and not yet freed.
    std::atomic<int> outstanding{0};

private:
    std::shared_ptr<LibraryRef> library_;
    QRVlib_recv_instance_t receiver_;
};

/// One captured video or audio frame, freed with its receiver when the
/// object goes. Any thread may destroy it.
struct CapturedFrame {
    enum class Kind { video, audio };
    CapturedFrame(std::shared_ptr<RecvHandle> r, Kind k) : receiver(std::move(r)), kind(k)
    {
        receiver->outstanding.fetch_add(1);
    }
    ~CapturedFrame();
    CapturedFrame(const CapturedFrame&) = delete;
    CapturedFrame& operator=(const CapturedFrame&) = delete;

    std::shared_ptr<RecvHandle> receiver;
    Kind kind;
    int64_t arrived_us = 0;  ///< g_get_monotonic_time() when it was captured
    QRVlib_video_frame_v2_t video;
    QRVlib_audio_frame_v2_t audio;
};

/// Settings of a qrvsrc, copied when it starts.
struct ReceiverSettings {
    std::string source_name;
    std::string receiver_name = "GStreamer";
    std::chrono::milliseconds timeout{10000};
    QRVlib_recv_color_format_e color_format = QRVlib_recv_color_format_UYVY_BGRA;
    QRVlib_recv_bandwidth_e bandwidth = QRVlib_recv_bandwidth_highest;
    QRVlib_tally_t tally;
};

class ReceiverCore {
public:
    /// owner is the element that posts errors and messages; video_pad and
    /// audio_pad are its outward pads: media of a kind whose pad is not
    /// linked is not asked for. All three must outlive stop().
    ReceiverCore(GstElement* owner, GstPad* video_pad, GstPad* audio_pad, ReceiverSettings settings);
    ~ReceiverCore();
    ReceiverCore(const ReceiverCore&) = delete;
    ReceiverCore& operator=(const ReceiverCore&) = delete;

    /// Starts looking for the source and receiving, on a thread of its own.
    void start();
    /// Stops the thread, drops queued frames; frames already handed out stay
    /// valid until freed.
    void stop();

    /// Waits up to wait for the next frame of a kind; null when none came,
    /// at once when that kind is set flushing or the core stops (*flushing
    /// then true). Called from the branch's streaming thread.
    std::unique_ptr<CapturedFrame> pop(CapturedFrame::Kind kind, std::chrono::milliseconds wait, bool* flushing);

    /// How long the source has been connected without a break; zero while
    /// it is not.
    std::chrono::milliseconds connected_for();
    /// The timeout of the settings.
    std::chrono::milliseconds timeout() const { return settings_.timeout; }
    /// Makes pop() of a kind return at once (flushing) or wait again.
    void set_flushing(CapturedFrame::Kind kind, bool flushing);

    /// The running time of a frame's timecode (100 ns units): the first
    /// frame after a (re)connection is placed at arrival_running (the
    /// running time when it was captured, negative before the pipeline
    /// started playing), every later one as far from it as the source's
    /// timecodes say, for video and audio alike. A timecode that strays more
    /// than a second from arrival_running places the frame anew. Times
    /// before the start come out as 0.
    GstClockTime running_time_of(int64_t timecode, int64_t arrival_running);

    /// Tells the source it is on program and/or preview (kept for
    /// reconnections). Any thread.
    void set_tally(const QRVlib_tally_t& tally);

private:
    void run();
    void receive(QRVlib_recv_instance_t receiver, const std::shared_ptr<RecvHandle>& handle,
                 const std::string& name);
    void on_status(QRVlib_recv_instance_t receiver, const std::string& name);
    // Posts "qrv-tally" when the source's combined tally differs from the
    // one posted last (both off at first).
    void post_tally_change(QRVlib_recv_instance_t receiver, const std::string& name, QRVlib_tally_t& posted);
    void push(std::unique_ptr<CapturedFrame> frame);

    GstElement* owner_;
    GstPad* video_pad_;
    GstPad* audio_pad_;
    ReceiverSettings settings_;

    std::atomic<bool> stopping_{false};
    std::thread thread_;

    std::mutex mutex_;  // the queues, flushing flags, the receiver and the time anchor
    std::condition_variable changed_;
    std::deque<std::unique_ptr<CapturedFrame>> video_, audio_;
    bool video_flushing_ = false, audio_flushing_ = false;
    std::shared_ptr<RecvHandle> receiver_;
    bool anchored_ = false;
    int64_t offset_ns_ = 0;  // running time minus timecode
    bool was_connected_ = false;
    std::chrono::steady_clock::time_point connected_at_;
    uint64_t video_dropped_ = 0, audio_dropped_ = 0;
};

}  // namespace qrv_gst

#endif
