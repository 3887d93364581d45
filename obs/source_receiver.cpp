#include "source_receiver.h"

#include "media_frames.h"

namespace qrv_obs {

namespace {
// How long the receiving thread waits for the camera to acknowledge a batch
// of commands before it goes on with frames and logs the failure.
constexpr uint32_t kCameraAckWaitMs = 1000;
}  // namespace

SourceReceiver::SourceReceiver(obs_source_t* source) : source_(source)
{
    if (runtime_.ok())
        thread_ = std::thread([this] { run(); });
}

SourceReceiver::~SourceReceiver()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void SourceReceiver::set_wishes(ReceiverWishes wishes)
{
    std::lock_guard lock(mutex_);
    wishes_ = std::move(wishes);
    changed();
}

void SourceReceiver::set_showing(bool showing)
{
    std::lock_guard lock(mutex_);
    showing_ = showing;
    changed();
}

void SourceReceiver::set_on_program(bool on_program)
{
    std::lock_guard lock(mutex_);
    on_program_ = on_program;
    changed();
}

void SourceReceiver::camera(const CameraCommand& command)
{
    {
        std::lock_guard lock(mutex_);
        if (camera_commands_.size() < 16) {
            camera_commands_.push_back(command);
            wake_.notify_all();
            return;
        }
    }
    QRV_OBS_LOG(LOG_WARNING, "camera command dropped: %zu are still waiting to be sent", size_t(16));
}

std::string SourceReceiver::status()
{
    std::lock_guard lock(mutex_);
    return status_;
}

void SourceReceiver::set_status(std::string status)
{
    std::lock_guard lock(mutex_);
    status_ = std::move(status);
}

// Sends the waiting camera commands; without a receiver they have nowhere
// to go and are dropped.
void SourceReceiver::run_camera_commands()
{
    std::vector<CameraCommand> commands;
    {
        std::lock_guard lock(mutex_);
        commands.swap(camera_commands_);
    }
    bool any_sent = false;
    for (const auto& c : commands) {
        bool sent = false;
        switch (c.kind) {
        case CameraCommand::Kind::recall_preset:
            sent = QRVlib_recv_ptz_recall_preset(receiver_, c.preset, c.value_a);
            break;
        case CameraCommand::Kind::store_preset:
            sent = QRVlib_recv_ptz_store_preset(receiver_, c.preset);
            break;
        case CameraCommand::Kind::pan_tilt:
            sent = QRVlib_recv_ptz_pan_tilt(receiver_, c.value_a, c.value_b);
            break;
        case CameraCommand::Kind::zoom:
            sent = QRVlib_recv_ptz_zoom(receiver_, c.value_a);
            break;
        }
        if (!sent)
            QRV_OBS_LOG(LOG_WARNING, "camera command not sent to %s: not connected, or the source takes none",
                        made_.name.empty() ? "any source" : made_.name.c_str());
        any_sent = any_sent || sent;
    }
    // Commands arrive in order, so the last one's acknowledgement covers
    // the batch; the wait is short, as frames wait behind it.
    if (any_sent && QRVlib_recv_ptz_wait_delivered(receiver_, kCameraAckWaitMs) == QRVlib_ptz_delivery_failed)
        QRV_OBS_LOG(LOG_WARNING, "camera command to %s not delivered: %s",
                    made_.name.empty() ? "the source" : made_.name.c_str(), QRVlib_get_last_error());
}

void SourceReceiver::set_on_preview(bool on_preview)
{
    std::lock_guard lock(mutex_);
    on_preview_ = on_preview;
    changed();
}

// Called with mutex_ held.
void SourceReceiver::changed()
{
    ++generation_;
    wake_.notify_all();
}

void SourceReceiver::run()
{
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            // Without a receiver there is nothing to do until a wish changes.
            wake_.wait(lock, [&] {
                return stopping_ || receiver_ || generation_ != applied_ || !camera_commands_.empty();
            });
            if (stopping_)
                break;
        }
        const bool receiving = apply();
        run_camera_commands();
        if (receiving)
            capture_once();
    }
    remake(Made{});
}

bool SourceReceiver::apply()
{
    ReceiverWishes wishes;
    bool showing, on_program, on_preview;
    {
        std::lock_guard lock(mutex_);
        if (generation_ == applied_)
            return receiver_ != nullptr;
        applied_ = generation_;
        wishes = wishes_;
        showing = showing_;
        on_program = on_program_;
        on_preview = on_preview_;
    }
    audio_ = wishes.audio;
    // Hidden, the source either stops receiving or keeps a preview.
    Made wanted;
    if (!wishes.source_name.empty() && (showing || wishes.hidden_to_preview)) {
        wanted.name = wishes.source_name;
        const bool preview = wishes.preview || !showing;
        wanted.bandwidth = preview ? QRVlib_recv_bandwidth_lowest : QRVlib_recv_bandwidth_highest;
    }
    if (wanted.name != made_.name)
        needs_rgb_conversion_ = false;
    wanted.color = needs_rgb_conversion_ ? QRVlib_recv_color_format_BGRX_BGRA : QRVlib_recv_color_format_fastest;
    if (!(wanted == made_) || (!receiver_ && !wanted.name.empty()))
        remake(wanted);

    // The tally goes to the receiver, which keeps it across reconnections.
    QRVlib_tally_t tally;
    tally.on_program = on_program && receiver_ != nullptr;
    tally.on_preview = on_preview && receiver_ != nullptr;
    if (receiver_ && (tally.on_program != tally_sent_.on_program || tally.on_preview != tally_sent_.on_preview)) {
        QRVlib_recv_set_tally(receiver_, &tally);
        tally_sent_ = tally;
    }
    return receiver_ != nullptr;
}

// Replaces the receiver by one made for wanted (none for an empty name).
void SourceReceiver::remake(const Made& wanted)
{
    if (receiver_) {
        QRVlib_recv_destroy(receiver_);
        receiver_ = nullptr;
        QRV_OBS_LOG(LOG_INFO, "stopped receiving %s", made_.name.c_str());
    }
    made_ = wanted;
    tally_sent_ = QRVlib_tally_t{};
    camera_supported_ = false;
    if (wanted.name.empty()) {
        set_status("");
        return;
    }
    QRVlib_recv_create_v3_t settings;
    settings.source = QRVlib_source_t(wanted.name.c_str());
    settings.color_format = wanted.color;
    settings.bandwidth = wanted.bandwidth;
    settings.receiver_name = "OBS Studio";
    receiver_ = QRVlib_recv_create_v3(&settings);
    if (!receiver_) {
        const std::string reason = QRVlib_get_last_error();
        QRV_OBS_LOG(LOG_WARNING, "cannot receive %s: %s", wanted.name.c_str(), reason.c_str());
        set_status("cannot receive " + wanted.name + ": " + reason);
        return;
    }
    set_status("looking for " + wanted.name);
    QRV_OBS_LOG(LOG_INFO, "receiving %s (%s)", wanted.name.c_str(),
                wanted.bandwidth == QRVlib_recv_bandwidth_lowest ? "preview" : "full");
}

void SourceReceiver::capture_once()
{
    QRVlib_video_frame_v2_t video;
    QRVlib_audio_frame_v2_t audio;
    // The short wait keeps changes of wishes prompt.
    switch (QRVlib_recv_capture_v2(receiver_, &video, audio_ ? &audio : nullptr, nullptr, 50)) {
    case QRVlib_frame_type_video:
        output_video(video);
        break;
    case QRVlib_frame_type_audio:
        output_audio(audio);
        break;
    case QRVlib_frame_type_status_change: {
        QRVlib_recv_status_t status{};
        if (QRVlib_recv_get_status(receiver_, &status)) {
            QRV_OBS_LOG(LOG_INFO, "%s: %s", made_.name.c_str(), status.connected ? "connected" : "disconnected");
            camera_supported_ = status.connected && status.ptz_supported;
            set_status((status.connected ? "connected to " : "waiting for ") + made_.name);
        }
        break;
    }
    case QRVlib_frame_type_error:
        QRV_OBS_LOG(LOG_WARNING, "%s: %s", made_.name.c_str(), QRVlib_get_last_error());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        break;
    default:
        break;
    }
}

// OBS copies the pixels into its own cache during the call; the captured
// frame goes back to the runtime right after.
void SourceReceiver::output_video(QRVlib_video_frame_v2_t& frame)
{
    obs_source_frame2 out;
    if (describe_video(frame, &out)) {
        obs_source_output_video2(source_, &out);
    } else if (frame.fourcc == QRVlib_FourCC_type_RGBX && !needs_rgb_conversion_) {
        // OBS has no layout for RGB with an ignored fourth byte: ask the
        // runtime for BGRX instead.
        QRV_OBS_LOG(LOG_INFO, "%s sends RGBX; receiving it as BGRX", made_.name.c_str());
        needs_rgb_conversion_ = true;
        std::lock_guard lock(mutex_);
        changed();
    } else if (refused_frames_++ % 300 == 0) {
        QRV_OBS_LOG(LOG_WARNING, "%s: a video frame OBS cannot show (%dx%d, layout 0x%08x); %llu so far",
                    made_.name.c_str(), frame.width, frame.height, unsigned(frame.fourcc),
                    (unsigned long long)refused_frames_);
    }
    QRVlib_recv_free_video_v2(receiver_, &frame);
}

void SourceReceiver::output_audio(QRVlib_audio_frame_v2_t& frame)
{
    obs_source_audio out;
    int dropped = 0;
    if (describe_audio(frame, &out, &dropped)) {
        obs_source_output_audio(source_, &out);
        if (dropped > 0 && !told_dropped_channels_) {
            QRV_OBS_LOG(LOG_WARNING, "%s sends %d channels; OBS takes the first %d", made_.name.c_str(),
                        frame.no_channels, frame.no_channels - dropped);
            told_dropped_channels_ = true;
        }
    }
    QRVlib_recv_free_audio_v2(receiver_, &frame);
}

}  // namespace qrv_obs
