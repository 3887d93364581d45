#include "panel.h"

#include <fcntl.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

#include "source_id.h"

namespace qrv_panel {

namespace {

using Clock = std::chrono::steady_clock;

// Previews are small and few: a handful of pictures a second per tile.
// Tiles show a few pictures a second, and ask their sources for no more.
constexpr float kPreviewFps = 4.0f;
constexpr auto kPreviewInterval = std::chrono::milliseconds(250);

std::string fourcc_text(uint32_t code)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((code >> (8 * i)) & 0xff);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

// Encodes a BGRX or BGRA picture as JPEG; empty when it cannot.
std::string encode_jpeg(const QRVlib_video_frame_v2_t& v)
{
    if (!v.data || v.width <= 0 || v.height <= 0 || v.line_stride < v.width * 4)
        return {};
    tjhandle tj = tjInitCompress();
    if (!tj)
        return {};
    unsigned char* out = nullptr;
    unsigned long size = 0;
    std::string jpeg;
    if (tjCompress2(tj, v.data, v.width, v.line_stride, v.height, TJPF_BGRX, &out, &size, TJSAMP_420, 75,
                    TJFLAG_FASTDCT) == 0)
        jpeg.assign(reinterpret_cast<const char*>(out), size);
    tjFree(out);
    tjDestroy(tj);
    return jpeg;
}

// Raises each channel's peak to the loudest sample of the frame (16
// channels at most).
void raise_peaks(std::vector<float>& peaks, const QRVlib_audio_frame_v2_t& a)
{
    peaks.resize(static_cast<size_t>(std::clamp(a.no_channels, 0, 16)), 0.0f);
    for (size_t c = 0; c < peaks.size(); ++c)
        for (int s = 0; s < a.no_samples; ++s)
            peaks[c] = std::max(peaks[c], std::fabs(a.data[c * (size_t)a.channel_stride / 4 + (size_t)s]));
}

// A file descriptor, closed with the object.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Closes now; false (errno set) when closing reports an error.
    bool close()
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string failed(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// Writes text to a file beside path, syncs it to disk, renames it over path
// and syncs the folder, so that a crash or a power cut leaves the old
// content or the new, never half of one. The reason on failure.
std::optional<std::string> write_durably(const std::filesystem::path& path, const std::string& text)
{
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec)
        return "cannot make the folder " + folder.string() + ": " + ec.message();
    const std::string tmp = path.string() + ".tmp";
    {
        Descriptor out(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (out.get() < 0)
            return failed("cannot create " + tmp);
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(out.get(), text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const std::string why = failed("cannot write " + tmp);
                ::unlink(tmp.c_str());
                return why;
            }
            done += static_cast<size_t>(n);
        }
        if (::fsync(out.get()) != 0 || !out.close()) {
            const std::string why = failed("cannot write " + tmp + " to disk");
            ::unlink(tmp.c_str());
            return why;
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string why = failed("cannot rename " + tmp + " to " + path.string());
        ::unlink(tmp.c_str());
        return why;
    }
    Descriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0 || ::fsync(dir.get()) != 0)
        return failed("cannot write the folder " + folder.string() + " to disk");
    return std::nullopt;
}

}  // namespace

std::optional<std::string> refuse_camera_command(const CameraCommand& c)
{
    auto in = [](double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; };
    if (c.action == "recall" || c.action == "store") {
        if (c.preset < 0 || c.preset > 99)
            return "the preset must be 0 to 99";
        if (c.action == "recall" && !in(c.speed, 0.0, 1.0))
            return "the speed must be 0.0 to 1.0";
        return std::nullopt;
    }
    if (c.action == "pan_tilt")
        return in(c.pan, -1.0, 1.0) && in(c.tilt, -1.0, 1.0) ? std::nullopt
                                                              : std::optional<std::string>("pan and tilt must be -1.0 to 1.0");
    if (c.action == "zoom")
        return in(c.zoom, 0.0, 1.0) ? std::nullopt : std::optional<std::string>("the zoom must be 0.0 to 1.0");
    return "unknown camera command '" + c.action + "'";
}

struct Panel::Tile {
    std::string name, locator;
    QRVlib_recv_instance_t receiver = nullptr;
    bool present = true;
    Clock::time_point gone_at{};  // when present last became false
    // Written by the preview thread, read under the panel's lock.
    QRVlib_recv_status_t status{};
    QRVlib_tally_t tally{};         // the panel's own, as its buttons set it
    QRVlib_tally_t source_tally{};  // the source's, over all its receivers
    int width = 0, height = 0;
    uint32_t fourcc = 0;
    double fps = 0;  // the source's frame rate, as its frames say
    std::vector<double> levels_db;
    std::string jpeg;
    uint64_t picture = 0;  // counts previews, so that the page reloads only new ones
    // The preview thread's own.
    Clock::time_point window = Clock::now(), last_jpeg{};
    std::vector<float> peaks;

    ~Tile()
    {
        if (receiver)
            QRVlib_recv_destroy(receiver);
    }
};

QRVlib_routing_create_t Panel::output_settings(const std::string& name) const
{
    QRVlib_routing_create_t rs(name.c_str());
    rs.option_text = groups_.empty() ? nullptr : groups_.c_str();
    return rs;
}

Panel::Panel(std::filesystem::path state_file, std::string groups)
    : state_file_(std::move(state_file)), groups_(std::move(groups))
{
    QRVlib_find_create_t fs;
    fs.option_flag = true;  // the panel's own outputs are sources too
    fs.option_text_a = groups_.empty() ? nullptr : groups_.c_str();
    finder_ = QRVlib_find_create_v2(&fs);
    if (!finder_)
        throw std::runtime_error(std::string("cannot look for sources: ") + QRVlib_get_last_error());
    restore();
    finder_thread_ = std::thread([this] { watch_sources(); });
    preview_thread_ = std::thread([this] { take_previews(); });
}

Panel::~Panel()
{
    stop();
    std::lock_guard lock(mutex_);
    tiles_.clear();
    for (auto& o : outputs_)
        QRVlib_routing_destroy(o.router);
    QRVlib_find_destroy(finder_);
}

void Panel::stop()
{
    if (stopping_.exchange(true))
        return;
    change_.notify_all();
    if (finder_thread_.joinable())
        finder_thread_.join();
    if (preview_thread_.joinable())
        preview_thread_.join();
}

void Panel::changed()
{
    ++version_;
    change_.notify_all();
}

uint64_t Panel::wait_change(uint64_t seen, std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex_);
    change_.wait_for(lock, timeout, [&] { return version_.load() != seen || stopping_.load(); });
    return version_.load();
}

void Panel::watch_sources()
{
    while (!stopping_) {
        QRVlib_find_wait_for_sources(finder_, 200);
        uint32_t n = 0;
        const QRVlib_source_t* all = QRVlib_find_get_current_sources(finder_, &n);
        std::vector<std::pair<std::string, std::string>> seen;
        for (uint32_t i = 0; i < n; ++i)
            if (all[i].name && all[i].locator)
                seen.emplace_back(all[i].name, all[i].locator);
        update_sources(seen);
    }
}

bool Panel::make_room_locked(std::vector<std::shared_ptr<Tile>>& evicted)
{
    auto oldest = tiles_.end();
    for (auto it = tiles_.begin(); it != tiles_.end(); ++it) {
        const bool routed =
            std::any_of(outputs_.begin(), outputs_.end(), [&](const Output& o) { return o.source == it->first; });
        if (it->second->present || routed)
            continue;
        if (oldest == tiles_.end() || it->second->gone_at < oldest->second->gone_at)
            oldest = it;
    }
    if (oldest == tiles_.end())
        return false;
    evicted.push_back(std::move(oldest->second));
    tiles_.erase(oldest);
    return true;
}

void Panel::update_sources(const std::vector<std::pair<std::string, std::string>>& seen)
{
    bool any = false;
    std::vector<std::shared_ptr<Tile>> evicted;  // their receivers go after the lock
    std::lock_guard lock(mutex_);
    for (auto& [name, tile] : tiles_) {
        const bool here = std::any_of(seen.begin(), seen.end(), [&](const auto& s) { return s.first == name; });
        if (tile->present != here) {
            tile->present = here;
            tile->gone_at = Clock::now();
            any = true;
        }
    }
    for (const auto& [name, locator] : seen) {
        auto it = tiles_.find(name);
        if (it != tiles_.end()) {
            it->second->locator = locator;
            continue;
        }
        if (tiles_.size() >= kMaxTiles && !make_room_locked(evicted))
            continue;
        auto tile = std::make_shared<Tile>();
        tile->name = name;
        tile->locator = locator;
        // A preview, never the full stream: the smallest picture the
        // source offers, in an order the JPEG encoder takes as it is.
        QRVlib_recv_create_v3_t rs(QRVlib_source_t(name.c_str(), locator.c_str()),
                                   QRVlib_recv_color_format_BGRX_BGRA, QRVlib_recv_bandwidth_lowest, false,
                                   "Control Panel");
        tile->receiver = QRVlib_recv_create_with_rate(&rs, kPreviewFps);
        tiles_.emplace(name, std::move(tile));
        any = true;
    }
    // Outputs restored from the file are pointed at their sources once
    // those are seen.
    for (auto& o : outputs_)
        apply_route_locked(o);
    if (any)
        changed();
}

void Panel::take_previews()
{
    while (!stopping_) {
        std::vector<std::shared_ptr<Tile>> tiles;
        {
            std::lock_guard lock(mutex_);
            for (auto& [name, tile] : tiles_)
                tiles.push_back(tile);
        }
        bool any = false;
        for (auto& t : tiles) {
            if (!t->receiver)
                continue;
            any |= take_frames(*t);
            any |= take_tile_state(*t);
        }
        if (any) {
            std::lock_guard lock(mutex_);  // a waiter between its check and its wait is not missed
            changed();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
}

bool Panel::take_frames(Tile& t)
{
    bool any = false;
    // Takes what has arrived; the newest picture counts.
    for (int i = 0; i < 64; ++i) {
        QRVlib_video_frame_v2_t v;
        QRVlib_audio_frame_v2_t a;
        const int32_t kind = QRVlib_recv_capture_v2(t.receiver, &v, &a, nullptr, 0);
        if (kind == QRVlib_frame_type_video) {
            any |= take_video(t, v);
            QRVlib_recv_free_video_v2(t.receiver, &v);
        } else if (kind == QRVlib_frame_type_audio) {
            raise_peaks(t.peaks, a);
            QRVlib_recv_free_audio_v2(t.receiver, &a);
        } else if (kind == QRVlib_frame_type_status_change) {
            any = true;
        } else {
            break;
        }
    }
    return any;
}

bool Panel::take_video(Tile& t, const QRVlib_video_frame_v2_t& v)
{
    const auto now = Clock::now();
    std::string jpeg;
    // Half the interval: pictures arrive about an interval
    // apart, and a source that sends more is still held back.
    if (now - t.last_jpeg >= kPreviewInterval / 2) {
        jpeg = encode_jpeg(v);
        t.last_jpeg = now;
    }
    std::lock_guard lock(mutex_);
    t.width = v.width, t.height = v.height, t.fourcc = v.fourcc;
    t.fps = v.frame_rate_den > 0 ? double(v.frame_rate_num) / double(v.frame_rate_den) : 0.0;
    if (jpeg.empty())
        return false;
    t.jpeg = std::move(jpeg);
    ++t.picture;
    return true;
}

bool Panel::take_tile_state(Tile& t)
{
    bool any = false;
    QRVlib_recv_status_t st{};
    QRVlib_recv_get_status(t.receiver, &st);
    QRVlib_tally_t on_air{};
    QRVlib_recv_get_source_tally(t.receiver, &on_air);
    const auto now = Clock::now();
    const double span = std::chrono::duration<double>(now - t.window).count();
    std::lock_guard lock(mutex_);
    if (st.connected != t.status.connected || st.routed != t.status.routed ||
        st.ptz_supported != t.status.ptz_supported)
        any = true;
    t.status = st;
    if (on_air.on_program != t.source_tally.on_program || on_air.on_preview != t.source_tally.on_preview)
        any = true;
    t.source_tally = on_air;
    if (span >= 1.0) {
        t.window = now;
        t.levels_db.clear();
        for (float p : t.peaks)
            t.levels_db.push_back(p > 1e-6f ? std::max(-60.0, 20.0 * std::log10(p)) : -60.0);
        std::fill(t.peaks.begin(), t.peaks.end(), 0.0f);
        any = true;
    }
    return any;
}

nlohmann::json Panel::snapshot() const
{
    using nlohmann::json;
    std::lock_guard lock(mutex_);
    json sources = json::array();
    for (const auto& [name, t] : tiles_) {
        sources.push_back({{"name", name},
                           {"id", source_id(name)},
                           {"present", t->present},
                           {"connected", t->status.connected},
                           {"routed", t->status.routed},
                           {"ptz", t->status.ptz_supported},
                           {"width", t->width},
                           {"height", t->height},
                           {"format", t->fourcc ? fourcc_text(t->fourcc) : ""},
                           {"fps", std::round(t->fps * 10) / 10},
                           {"levels", t->levels_db},
                           {"tally", {{"program", t->tally.on_program}, {"preview", t->tally.on_preview}}},
                           {"on_air",
                            {{"program", t->source_tally.on_program}, {"preview", t->source_tally.on_preview}}},
                           {"picture", t->picture}});
    }
    json outputs = json::array();
    for (const auto& o : outputs_)
        outputs.push_back({{"name", o.name}, {"source", o.source}, {"source_id", source_id(o.source)}});
    return {{"version", version_.load()}, {"sources", sources}, {"outputs", outputs}};
}

std::string Panel::preview(const std::string& source) const
{
    std::lock_guard lock(mutex_);
    auto it = tiles_.find(source);
    return it == tiles_.end() ? std::string() : it->second->jpeg;
}

Outcome Panel::add_output(std::string name)
{
    StateToKeep state;
    {
        std::lock_guard lock(mutex_);
        if (name.empty()) {
            for (int n = 1; name.empty(); ++n) {
                std::string candidate = "Panel Output " + std::to_string(n);
                if (std::none_of(outputs_.begin(), outputs_.end(),
                                 [&](const Output& o) { return o.name == candidate; }))
                    name = candidate;
            }
        }
        if (name.size() > 100)
            return {400, "the output name is longer than 100 bytes"};
        // The runtime takes C text: past a NUL its source would be named
        // otherwise than the output.
        if (name.find('\0') != std::string::npos)
            return {400, "the output name must not contain a NUL character"};
        if (std::any_of(outputs_.begin(), outputs_.end(), [&](const Output& o) { return o.name == name; }))
            return {409, "an output named '" + name + "' exists"};
        if (outputs_.size() >= 32)
            return {409, "the panel has 32 outputs already"};
        const QRVlib_routing_create_t rs = output_settings(name);
        Output o{name, "", QRVlib_routing_create(&rs)};
        if (!o.router)
            return {400, std::string("the output cannot be made: ") + QRVlib_get_last_error()};
        outputs_.push_back(std::move(o));
        state = state_to_keep_locked();
        changed();
    }
    if (auto why = keep(state))
        return {500, "the output '" + name + "' is made but cannot be kept: " + *why};
    return {200, name};
}

void Panel::apply_route_locked(Output& o)
{
    if (o.source.empty())
        return;
    auto it = tiles_.find(o.source);
    if (it == tiles_.end() || !it->second->present)
        return;  // routed once the source is seen
    const QRVlib_source_t s(o.source.c_str(), it->second->locator.c_str());
    QRVlib_routing_change(o.router, &s);  // the same route again changes nothing
}

Outcome Panel::route(const std::string& output, const std::optional<std::string>& source)
{
    StateToKeep state;
    {
        std::lock_guard lock(mutex_);
        auto o = std::find_if(outputs_.begin(), outputs_.end(), [&](const Output& x) { return x.name == output; });
        if (o == outputs_.end())
            return {404, "no output named '" + output + "'"};
        if (!source) {
            QRVlib_routing_clear(o->router);
            o->source.clear();
        } else {
            auto it = tiles_.find(*source);
            if (it == tiles_.end() || !it->second->present)
                return {404, "no source named '" + *source + "'"};
            const QRVlib_source_t s(source->c_str(), it->second->locator.c_str());
            if (!QRVlib_routing_change(o->router, &s))
                return {409, std::string("the route is refused: ") + QRVlib_get_last_error()};
            o->source = *source;
        }
        state = state_to_keep_locked();
        changed();
    }
    if (auto why = keep(state))
        return {500, "the route is made but cannot be kept: " + *why};
    return Outcome::ok();
}

Outcome Panel::set_tally(const std::string& source, bool program, bool preview)
{
    std::lock_guard lock(mutex_);
    auto it = tiles_.find(source);
    if (it == tiles_.end() || !it->second->receiver)
        return {404, "no source named '" + source + "'"};
    const QRVlib_tally_t t{program, preview};
    QRVlib_recv_set_tally(it->second->receiver, &t);
    it->second->tally = t;
    changed();
    return Outcome::ok();
}

Outcome Panel::camera(const std::string& source, const CameraCommand& c)
{
    if (auto why = refuse_camera_command(c))
        return {400, *why};
    std::lock_guard lock(mutex_);
    auto it = tiles_.find(source);
    if (it == tiles_.end() || !it->second->receiver)
        return {404, "no source named '" + source + "'"};
    QRVlib_recv_instance_t r = it->second->receiver;
    bool sent = false;
    if (c.action == "recall")
        sent = QRVlib_recv_ptz_recall_preset(r, c.preset, static_cast<float>(c.speed));
    else if (c.action == "store")
        sent = QRVlib_recv_ptz_store_preset(r, c.preset);
    else if (c.action == "pan_tilt")
        sent = QRVlib_recv_ptz_pan_tilt(r, static_cast<float>(c.pan), static_cast<float>(c.tilt));
    else
        sent = QRVlib_recv_ptz_zoom(r, static_cast<float>(c.zoom));
    return sent ? Outcome::ok() : Outcome{409, "the source does not take camera commands now"};
}

namespace {

// The source an output in the state file was routed to: by its id, which
// holds every byte of the name; by its text in a file written without ids.
std::string kept_source(const nlohmann::json& output)
{
    if (output.contains("source_id") && output["source_id"].is_string())
        if (auto name = source_name(output["source_id"].get<std::string>()))
            return *name;
    return output.contains("source") && output["source"].is_string() ? output["source"].get<std::string>() : "";
}

}  // namespace

void Panel::restore()
{
    std::ifstream in(state_file_);
    if (!in)
        return;
    const auto state = nlohmann::json::parse(in, nullptr, false);
    if (state.is_discarded() || !state.is_object() || !state.contains("outputs") || !state["outputs"].is_array())
        return;  // an unreadable file is replaced at the next change
    std::lock_guard lock(mutex_);
    for (const auto& o : state["outputs"]) {
        if (!o.is_object() || !o.contains("name") || !o["name"].is_string() || outputs_.size() >= 32)
            continue;
        const std::string name = o["name"];
        if (name.empty() || name.size() > 100 || name.find('\0') != std::string::npos)
            continue;
        const QRVlib_routing_create_t rs = output_settings(name);
        Output out{name, kept_source(o), QRVlib_routing_create(&rs)};
        if (out.router)
            outputs_.push_back(std::move(out));
    }
}

Panel::StateToKeep Panel::state_to_keep_locked()
{
    nlohmann::json outputs = nlohmann::json::array();
    for (const auto& o : outputs_)
        outputs.push_back({{"name", o.name}, {"source", o.source}, {"source_id", source_id(o.source)}});
    // A source's name that is not UTF-8 is kept exactly by its id; its text,
    // for whoever reads the file, shows such bytes as U+FFFD.
    const nlohmann::json state{{"outputs", outputs}};
    return {++state_generation_, state.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"};
}

std::optional<std::string> Panel::keep(const StateToKeep& state)
{
    std::lock_guard lock(keep_mutex_);
    // A newer state, which holds this change too, was written (or tried)
    // meanwhile: its outcome is this change's.
    if (state.generation <= kept_generation_)
        return kept_error_;
    kept_generation_ = state.generation;
    kept_error_ = write_durably(state_file_, state.text);
    if (kept_error_)
        fprintf(stderr, "qrv_panel: cannot keep the panel's state in %s: %s\n", state_file_.c_str(),
                kept_error_->c_str());
    return kept_error_;
}

}  // namespace qrv_panel
