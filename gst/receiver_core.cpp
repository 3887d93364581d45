#include "receiver_core.h"

#include <cstdlib>

#include "source_lookup.h"

GST_DEBUG_CATEGORY_EXTERN(qrvsrc_debug);
#define GST_CAT_DEFAULT qrvsrc_debug

namespace qrv_gst {

namespace {

// Queued frames per kind; beyond, the oldest goes. Video keeps the newest
// frames, so a slow pipeline shows the present; audio keeps about a second.
constexpr size_t kVideoDepth = 2;
constexpr size_t kAudioDepth = 64;
constexpr auto kCaptureWait = std::chrono::milliseconds(100);
// Beyond this, a timecode is taken as a new time base (a source restarted
// or a router switched), not as a frame that is late or early.
constexpr int64_t kMaxStrayNs = 1000000000;

}  // namespace

CapturedFrame::~CapturedFrame()
{
    if (kind == Kind::video)
        QRVlib_recv_free_video_v2(receiver->get(), &video);
    else
        QRVlib_recv_free_audio_v2(receiver->get(), &audio);
    receiver->outstanding.fetch_sub(1);
}

ReceiverCore::ReceiverCore(GstElement* owner, GstPad* video_pad, GstPad* audio_pad, ReceiverSettings settings)
    : owner_(owner), video_pad_(video_pad), audio_pad_(audio_pad), settings_(std::move(settings))
{
}

ReceiverCore::~ReceiverCore()
{
    stop();
}

void ReceiverCore::start()
{
    stopping_.store(false);
    thread_ = std::thread([this] { run(); });
}

void ReceiverCore::stop()
{
    stopping_.store(true);
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
    std::deque<std::unique_ptr<CapturedFrame>> video, audio;
    std::shared_ptr<RecvHandle> receiver;
    {
        std::lock_guard lock(mutex_);
        video.swap(video_);
        audio.swap(audio_);
        receiver = std::move(receiver_);
    }
    // Frees happen here, outside the lock; the receiver goes with the last
    // of its frames.
}

void ReceiverCore::set_flushing(CapturedFrame::Kind kind, bool flushing)
{
    {
        std::lock_guard lock(mutex_);
        (kind == CapturedFrame::Kind::video ? video_flushing_ : audio_flushing_) = flushing;
    }
    changed_.notify_all();
}

std::unique_ptr<CapturedFrame> ReceiverCore::pop(CapturedFrame::Kind kind, std::chrono::milliseconds wait,
                                                 bool* flushing_out)
{
    const bool video = kind == CapturedFrame::Kind::video;
    std::unique_lock lock(mutex_);
    auto& queue = video ? video_ : audio_;
    const bool& flushing = video ? video_flushing_ : audio_flushing_;
    changed_.wait_for(lock, wait, [&] { return !queue.empty() || flushing || stopping_.load(); });
    *flushing_out = flushing || stopping_.load();
    if (*flushing_out || queue.empty())
        return nullptr;
    auto frame = std::move(queue.front());
    queue.pop_front();
    return frame;
}

GstClockTime ReceiverCore::running_time_of(int64_t timecode, int64_t arrival_running)
{
    if (timecode <= 0 || timecode > INT64_MAX / 100)
        return arrival_running < 0 ? 0 : (GstClockTime)arrival_running;
    const int64_t tc_ns = timecode * 100;
    std::lock_guard lock(mutex_);
    int64_t at = tc_ns + offset_ns_;
    if (!anchored_ || std::llabs(at - arrival_running) > kMaxStrayNs) {
        offset_ns_ = arrival_running - tc_ns;
        anchored_ = true;
        at = arrival_running;
    }
    return at < 0 ? 0 : (GstClockTime)at;
}

std::chrono::milliseconds ReceiverCore::connected_for()
{
    std::lock_guard lock(mutex_);
    if (!was_connected_)
        return std::chrono::milliseconds(0);
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - connected_at_);
}

void ReceiverCore::set_tally(const QRVlib_tally_t& tally)
{
    std::shared_ptr<RecvHandle> receiver;
    {
        std::lock_guard lock(mutex_);
        settings_.tally = tally;
        receiver = receiver_;
    }
    if (receiver)
        QRVlib_recv_set_tally(receiver->get(), &tally);
}

void ReceiverCore::push(std::unique_ptr<CapturedFrame> frame)
{
    std::unique_ptr<CapturedFrame> dropped;
    {
        std::lock_guard lock(mutex_);
        const bool video = frame->kind == CapturedFrame::Kind::video;
        auto& queue = video ? video_ : audio_;
        if (queue.size() >= (video ? kVideoDepth : kAudioDepth)) {
            dropped = std::move(queue.front());
            queue.pop_front();
            ++(video ? video_dropped_ : audio_dropped_);
        }
        queue.push_back(std::move(frame));
    }
    changed_.notify_all();
    // A dropped frame is freed here, outside the lock.
}

void ReceiverCore::run()
{
    std::string error;
    auto library = LibraryRef::acquire(&error);
    if (!library) {
        GST_ELEMENT_ERROR(owner_, LIBRARY, INIT, ("%s", error.c_str()), (nullptr));
        return;
    }
    // A short name is decided on once other hosts' answers have had a
    // moment to come in.
    const auto found = qrv_tools::find_source(settings_.source_name, settings_.timeout,
                                              std::chrono::milliseconds(1000), stopping_, &error);
    if (!found) {
        if (!stopping_.load())
            GST_ELEMENT_ERROR(owner_, RESOURCE, NOT_FOUND, ("%s", error.c_str()),
                              ("waited %lld ms for the source", (long long)settings_.timeout.count()));
        return;
    }
    QRVlib_recv_create_v3_t create;
    create.source.name = found->name.c_str();
    create.source.locator = found->locator.c_str();
    create.color_format = settings_.color_format;
    create.bandwidth = settings_.bandwidth;
    create.receiver_name = settings_.receiver_name.c_str();
    QRVlib_recv_instance_t receiver = QRVlib_recv_create_v3(&create);
    if (!receiver) {
        GST_ELEMENT_ERROR(owner_, RESOURCE, OPEN_READ, ("cannot receive %s: %s", found->name.c_str(),
                                                        QRVlib_get_last_error()),
                          (nullptr));
        return;
    }
    auto handle = std::make_shared<RecvHandle>(std::move(library), receiver);
    QRVlib_tally_t tally;
    {
        std::lock_guard lock(mutex_);
        receiver_ = handle;
        tally = settings_.tally;
    }
    if (tally.on_program || tally.on_preview)
        QRVlib_recv_set_tally(receiver, &tally);
    GST_INFO_OBJECT(owner_, "receiving %s", found->name.c_str());
    receive(receiver, handle, found->name);
}

void ReceiverCore::receive(QRVlib_recv_instance_t receiver, const std::shared_ptr<RecvHandle>& handle,
                           const std::string& name)
{
    QRVlib_tally_t posted{};  // off until the source says otherwise
    while (!stopping_.load()) {
        post_tally_change(receiver, name, posted);
        const bool want_video = gst_pad_is_linked(video_pad_);
        const bool want_audio = gst_pad_is_linked(audio_pad_);
        auto video = std::make_unique<QRVlib_video_frame_v2_t>();
        auto audio = std::make_unique<QRVlib_audio_frame_v2_t>();
        const int32_t code = QRVlib_recv_capture_v2(receiver, want_video ? video.get() : nullptr,
                                                    want_audio ? audio.get() : nullptr, nullptr,
                                                    (uint32_t)kCaptureWait.count());
        switch (code) {
        case QRVlib_frame_type_video: {
            auto frame = std::make_unique<CapturedFrame>(handle, CapturedFrame::Kind::video);
            frame->video = *video;
            frame->arrived_us = g_get_monotonic_time();
            push(std::move(frame));
            break;
        }
        case QRVlib_frame_type_audio: {
            auto frame = std::make_unique<CapturedFrame>(handle, CapturedFrame::Kind::audio);
            frame->audio = *audio;
            frame->arrived_us = g_get_monotonic_time();
            push(std::move(frame));
            break;
        }
        case QRVlib_frame_type_status_change:
            on_status(receiver, name);
            break;
        case QRVlib_frame_type_error:
            // Too many frames held downstream, or a frame the runtime could
            // not hand out: wait a moment rather than spin.
            GST_LOG_OBJECT(owner_, "capture refused a frame (%d held)", handle->outstanding.load());
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            break;
        default:
            break;
        }
    }
}

void ReceiverCore::post_tally_change(QRVlib_recv_instance_t receiver, const std::string& name,
                                     QRVlib_tally_t& posted)
{
    QRVlib_tally_t now{};
    if (!QRVlib_recv_get_source_tally(receiver, &now) ||
        (now.on_program == posted.on_program && now.on_preview == posted.on_preview))
        return;
    posted = now;
    GstStructure* s = gst_structure_new("qrv-tally", "source", G_TYPE_STRING, name.c_str(), "on-program",
                                        G_TYPE_BOOLEAN, (gboolean)now.on_program, "on-preview", G_TYPE_BOOLEAN,
                                        (gboolean)now.on_preview, nullptr);
    gst_element_post_message(owner_, gst_message_new_element(GST_OBJECT(owner_), s));
}

void ReceiverCore::on_status(QRVlib_recv_instance_t receiver, const std::string& name)
{
    QRVlib_recv_status_t status{};
    if (!QRVlib_recv_get_status(receiver, &status))
        return;
    GstStructure* s = gst_structure_new("qrv-status", "source", G_TYPE_STRING, name.c_str(), "connected",
                                        G_TYPE_BOOLEAN, (gboolean)status.connected, "routed", G_TYPE_BOOLEAN,
                                        (gboolean)status.routed, "ptz-supported", G_TYPE_BOOLEAN,
                                        (gboolean)status.ptz_supported, nullptr);
    gst_element_post_message(owner_, gst_message_new_element(GST_OBJECT(owner_), s));
    bool lost;
    {
        std::lock_guard lock(mutex_);
        lost = was_connected_ && !status.connected;
        // A new connection or route brings a new time base.
        if (status.connected != was_connected_ || status.routed)
            anchored_ = false;
        if (status.connected && !was_connected_)
            connected_at_ = std::chrono::steady_clock::now();
        was_connected_ = status.connected;
    }
    // A routed receiver loses its link each time the router points it at
    // another source; that is a switch, not a lost connection.
    if (lost && status.routed)
        GST_INFO_OBJECT(owner_, "%s: following its router to another source", name.c_str());
    else if (lost)
        GST_ELEMENT_WARNING(owner_, RESOURCE, READ,
                            ("lost the connection to %s; waiting for it to come back", name.c_str()), (nullptr));
    else
        GST_INFO_OBJECT(owner_, "%s: %s%s%s", name.c_str(), status.connected ? "connected" : "not connected",
                        status.routed ? ", routed" : "", status.ptz_supported ? ", camera control" : "");
}

}  // namespace qrv_gst
