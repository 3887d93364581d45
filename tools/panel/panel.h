// The state behind the control panel: the sources a finder sees, a
// low-bandwidth receiver per source for its preview, levels, status and the
// panel's tally, and the outputs (routers) the panel owns, kept in a file.
#ifndef QRV_PANEL_PANEL_H
#define QRV_PANEL_PANEL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "qrv/qrv_runtime.h"

namespace qrv_panel {

// What an operation answers: an HTTP-like status and a message.
struct Outcome {
    int status = 200;
    std::string message;
    static Outcome ok() { return {}; }
};

// Sources shown at most. A new source beyond them takes the place of the
// one gone longest that no output is routed to; without such, it is not
// shown.
inline constexpr size_t kMaxTiles = 128;

// A camera command as the page sends it.
struct CameraCommand {
    std::string action;  // recall, store, pan_tilt, zoom
    int preset = 0;
    double speed = 1.0, pan = 0.0, tilt = 0.0, zoom = 0.0;
};

// Checks a command's values against the ranges the runtime accepts; the
// reason when one is out of range (refused, never clamped here: the operator
// sees what was wrong).
std::optional<std::string> refuse_camera_command(const CameraCommand& c);

class Panel {
public:
    // state_file: where the outputs are kept (written atomically and synced
    // to disk; a change that cannot be kept is answered with a 500).
    // groups: comma-separated groups whose sources the panel shows, and
    // which its outputs join; empty: every source, outputs in the default
    // group.
    explicit Panel(std::filesystem::path state_file, std::string groups = {});
    ~Panel();
    Panel(const Panel&) = delete;
    Panel& operator=(const Panel&) = delete;

    // Sources, outputs and their state as JSON for the page.
    nlohmann::json snapshot() const;
    // Waits until the state changed after version seen, or the timeout; the
    // current version.
    uint64_t wait_change(uint64_t seen, std::chrono::milliseconds timeout) const;
    uint64_t version() const { return version_.load(); }
    // The newest preview of a source as JPEG; empty when there is none.
    std::string preview(const std::string& source) const;

    Outcome add_output(std::string name);
    Outcome route(const std::string& output, const std::optional<std::string>& source);
    Outcome set_tally(const std::string& source, bool program, bool preview);
    Outcome camera(const std::string& source, const CameraCommand& command);

    // Ends the threads; the destructor calls it.
    void stop();

private:
    struct Tile;
    struct Output {
        std::string name;
        std::string source;  // routed to, by name; empty: nowhere
        QRVlib_routing_instance_t router = nullptr;
    };

    void watch_sources();
    void take_previews();
    // The preview thread's work on one tile, each true when the page should
    // hear of it: the frames that arrived, one video frame, and the tile's
    // status, tally and levels.
    bool take_frames(Tile& t);
    bool take_video(Tile& t, const QRVlib_video_frame_v2_t& v);
    bool take_tile_state(Tile& t);
    void update_sources(const std::vector<std::pair<std::string, std::string>>& seen);
    // At the limit of tiles: moves the tile of the source gone longest that
    // no output is routed to into evicted; false when there is none.
    bool make_room_locked(std::vector<std::shared_ptr<Tile>>& evicted);
    // The state to keep, taken under the lock and written outside it.
    struct StateToKeep {
        uint64_t generation = 0;  // later changes have higher ones
        std::string text;
    };
    void restore();
    StateToKeep state_to_keep_locked();
    // Writes the state unless a newer one was written or tried; the reason
    // when the state that holds this change could not be kept.
    std::optional<std::string> keep(const StateToKeep& state);
    void apply_route_locked(Output& out);
    void changed();

    const std::filesystem::path state_file_;
    const std::string groups_;
    // Settings of an output of that name, in the panel's groups.
    QRVlib_routing_create_t output_settings(const std::string& name) const;
    mutable std::mutex mutex_;
    mutable std::condition_variable change_;
    std::atomic<uint64_t> version_{1};
    std::map<std::string, std::shared_ptr<Tile>> tiles_;  // by full name
    std::vector<Output> outputs_;
    uint64_t state_generation_ = 0;  // under mutex_
    // Writers of the state file, one at a time, newest state wins.
    std::mutex keep_mutex_;
    uint64_t kept_generation_ = 0;        // under keep_mutex_: the newest written or tried
    std::optional<std::string> kept_error_;  // under keep_mutex_: why that one failed
    QRVlib_find_instance_t finder_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread finder_thread_, preview_thread_;
};

}  // namespace qrv_panel

#endif
