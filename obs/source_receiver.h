// The receiver behind one QRV Source: a thread of its own captures the
// sender's frames and hands them to OBS as they come. OBS's callbacks only
// record what is wanted (which source, what bandwidth, shown or hidden, on
// program or not); the thread makes the runtime's receiver match, so no
// OBS thread waits for the network.
#ifndef QRV_OBS_SOURCE_RECEIVER_H
#define QRV_OBS_SOURCE_RECEIVER_H

#include <obs.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plugin.h"
#include "qrv/qrv_runtime.h"

namespace qrv_obs {

/// What the source's properties ask of its receiver.
struct ReceiverWishes {
    std::string source_name;         ///< full name "HOST (name)"; empty: receive nothing
    bool preview = false;            ///< the preview picture instead of the full one
    bool audio = true;               ///< hand the sender's audio to OBS
    bool hidden_to_preview = false;  ///< while hidden keep a preview instead of stopping
};

/// A camera command for the sender, from the source's properties.
struct CameraCommand {
    enum class Kind { recall_preset, store_preset, pan_tilt, zoom };
    Kind kind = Kind::recall_preset;
    int preset = 0;      ///< for recalling and storing, 0 to 99
    float value_a = 0;   ///< recall speed, pan speed or zoom position
    float value_b = 0;   ///< tilt speed
};

class SourceReceiver {
public:
    /// source is the OBS source the frames go to; it must outlive this.
    explicit SourceReceiver(obs_source_t* source);
    /// Stops the thread and lets the receiver go.
    ~SourceReceiver();
    SourceReceiver(const SourceReceiver&) = delete;
    SourceReceiver& operator=(const SourceReceiver&) = delete;

    /// New wishes from the properties. Any thread; never blocks on the
    /// network.
    void set_wishes(ReceiverWishes wishes);
    /// Whether OBS shows the source anywhere (show and hide callbacks).
    void set_showing(bool showing);
    /// Whether the source is on OBS's program (activate and deactivate):
    /// told to the sender as program tally.
    void set_on_program(bool on_program);
    /// Whether the source is in the scene lined up on OBS's preview
    /// (studio mode, told by the frontend): told to the sender as preview
    /// tally.
    void set_on_preview(bool on_preview);

    /// Queues a camera command for the connected sender; the receiving
    /// thread sends it. Commands beyond a few waiting are dropped (logged).
    /// Any thread.
    void camera(const CameraCommand& command);
    /// Whether the connected sender takes camera commands. Any thread.
    bool camera_supported() const { return camera_supported_.load(); }
    /// What the receiver is doing, or why it cannot, for the properties.
    /// Any thread.
    std::string status();

private:
    // The receiver as last made: what it was made for.
    struct Made {
        std::string name;
        QRVlib_recv_bandwidth_e bandwidth = QRVlib_recv_bandwidth_highest;
        QRVlib_recv_color_format_e color = QRVlib_recv_color_format_fastest;
        bool operator==(const Made&) const = default;
    };

    void run();
    void changed();
    // Makes the receiver match what is wanted now; returns whether there
    // is one to capture from.
    bool apply();
    void remake(const Made& wanted);
    void capture_once();
    void output_video(QRVlib_video_frame_v2_t& frame);
    void output_audio(QRVlib_audio_frame_v2_t& frame);
    void run_camera_commands();
    void set_status(std::string status);

    obs_source_t* source_;
    RuntimeHold runtime_;
    std::thread thread_;

    std::mutex mutex_;  // the fields up to status_
    std::condition_variable wake_;
    ReceiverWishes wishes_;
    bool showing_ = false;
    bool on_program_ = false;
    bool on_preview_ = false;
    bool stopping_ = false;
    uint64_t generation_ = 1;
    std::vector<CameraCommand> camera_commands_;
    std::string status_;
    std::atomic<bool> camera_supported_{false};

    // The thread's own state.
    uint64_t applied_ = 0;
    bool audio_ = true;
    QRVlib_recv_instance_t receiver_ = nullptr;
    Made made_;
    QRVlib_tally_t tally_sent_;
    bool needs_rgb_conversion_ = false;  // the sender sends RGBX, which OBS cannot show as is
    uint64_t refused_frames_ = 0;
    bool told_dropped_channels_ = false;
};

}  // namespace qrv_obs

#endif
