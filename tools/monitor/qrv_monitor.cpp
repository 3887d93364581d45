// qrv_monitor: lists the sources on the network, watches one, saves a
// picture or its sound, sends camera commands and sets a source's tally.
#include <CLI/CLI.hpp>
#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "picture.h"
#include "qrv/qrv_runtime.h"
#include "sound.h"
#include "source_lookup.h"

namespace {

using Clock = std::chrono::steady_clock;
std::atomic<bool> stop_requested{false};

void on_interrupt(int)
{
    stop_requested.store(true);
}

int fail(const std::string& message)
{
    fprintf(stderr, "qrv_monitor: %s\n", message.c_str());
    return 1;
}

std::string fourcc_text(uint32_t code)
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        const char c = (char)((code >> (8 * i)) & 0xff);
        s += (c >= 32 && c < 127) ? c : '?';
    }
    return s;
}

// Seconds from the command line held to about 30 years (as good as no end)
// where they become whole clock ticks or samples, which a larger number
// would overflow; not a number counts as 0.
double bounded_seconds(double seconds)
{
    return seconds > 0 ? std::min(seconds, 1e9) : 0.0;
}

// What the receiver asks of its source: the pixel layout and bandwidth
// codes of its settings, by the names the options take.
const std::map<std::string, QRVlib_recv_color_format_e> kColorFormats = {
    {"uyvy-bgra", QRVlib_recv_color_format_UYVY_BGRA}, {"bgrx-bgra", QRVlib_recv_color_format_BGRX_BGRA},
    {"rgbx-rgba", QRVlib_recv_color_format_RGBX_RGBA}, {"uyvy-rgba", QRVlib_recv_color_format_UYVY_RGBA},
    {"fastest", QRVlib_recv_color_format_fastest},
};
const std::map<std::string, QRVlib_recv_bandwidth_e> kBandwidths = {
    {"highest", QRVlib_recv_bandwidth_highest},
    {"lowest", QRVlib_recv_bandwidth_lowest},
    {"audio", QRVlib_recv_bandwidth_audio_only},
    {"metadata", QRVlib_recv_bandwidth_metadata_only},
};

struct Wishes {
    std::string color_format = "uyvy-bgra";
    std::string bandwidth = "highest";
};

// A receiver connected to the named source, destroyed with this object.
class Connection {
public:
    static std::optional<Connection> open(const std::string& wanted, double timeout_s, std::string* error,
                                          const Wishes& wishes = {})
    {
        // A short name is decided on once other hosts' answers have had a
        // moment to come in.
        const auto timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::duration<double>(bounded_seconds(timeout_s)));
        auto found = qrv_tools::find_source(wanted, timeout, std::chrono::milliseconds(1500), stop_requested, error);
        if (!found)
            return std::nullopt;
        QRVlib_recv_create_v3_t settings;
        settings.source.name = found->name.c_str();
        settings.source.locator = found->locator.c_str();
        settings.color_format = kColorFormats.at(wishes.color_format);
        settings.bandwidth = kBandwidths.at(wishes.bandwidth);
        settings.receiver_name = "qrv_monitor";
        QRVlib_recv_instance_t r = QRVlib_recv_create_v3(&settings);
        if (!r) {
            *error = "cannot connect to " + found->name;
            return std::nullopt;
        }
        return Connection(r, found->name);
    }
    Connection(Connection&& other) noexcept : receiver_(other.receiver_), name_(std::move(other.name_))
    {
        other.receiver_ = nullptr;
    }
    ~Connection()
    {
        if (receiver_)
            QRVlib_recv_destroy(receiver_);
    }
    QRVlib_recv_instance_t get() const { return receiver_; }
    const std::string& name() const { return name_; }

private:
    Connection(QRVlib_recv_instance_t r, std::string name) : receiver_(r), name_(std::move(name)) {}
    QRVlib_recv_instance_t receiver_;
    std::string name_;
};

// Names in QRV_INTERFACES that match no interface here: said once, since
// the runtime then searches without them.
void warn_unknown_interfaces()
{
    const char* value = getenv("QRV_INTERFACES");
    if (!value)
        return;
    std::string list(value);
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string::npos)
            end = list.size();
        std::string name = list.substr(at, end - at);
        name.erase(0, name.find_first_not_of(' '));
        name.erase(name.find_last_not_of(' ') + 1);
        if (!name.empty() && name != "all" && if_nametoindex(name.c_str()) == 0)
            fprintf(stderr, "qrv_monitor: QRV_INTERFACES names \"%s\", which is no interface of this host\n",
                    name.c_str());
        at = end + 1;
    }
}

int run_list(double seconds)
{
    warn_unknown_interfaces();
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    if (!finder)
        return fail("cannot create a finder");
    bool reminded = false;
    const auto remind_at = Clock::now() + std::chrono::seconds(3);
    std::map<std::string, std::string> shown;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    bool first = true;
    while (!stop_requested.load() && (seconds <= 0 || Clock::now() < end)) {
        const bool changed = QRVlib_find_wait_for_sources(finder, 500);
        if (shown.empty() && !first && !reminded && Clock::now() >= remind_at && !getenv("QRV_INTERFACES")) {
            // Nothing after discovery had time to answer: by default only
            // this host is searched.
            puts("(nothing found on this host; set QRV_INTERFACES to search other machines too)");
            fflush(stdout);
            reminded = true;
        }
        if (!changed && !first)
            continue;
        first = false;
        uint32_t count = 0;
        const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &count);
        std::map<std::string, std::string> now;
        for (uint32_t i = 0; i < count; ++i)
            if (sources[i].name)
                now[sources[i].name] = sources[i].locator ? sources[i].locator : "";
        for (const auto& [name, locator] : now)
            if (!shown.count(name))
                printf("+ %s  %s\n", name.c_str(), locator.c_str());
        for (const auto& [name, locator] : shown)
            if (!now.count(name))
                printf("- %s\n", name.c_str());
        fflush(stdout);
        shown = std::move(now);
    }
    QRVlib_find_destroy(finder);
    return 0;
}

void print_status(QRVlib_recv_instance_t receiver)
{
    QRVlib_recv_status_t status{};
    if (!QRVlib_recv_get_status(receiver, &status))
        return;
    printf("status: %s%s%s\n", status.connected ? "connected" : "disconnected",
           status.ptz_supported ? ", camera control supported" : "", status.routed ? ", routed" : "");
}

// What a watch has seen since its last line, and the counters that line
// is measured from.
struct WatchState {
    int video_frames = 0;
    QRVlib_video_frame_v2_t last_video;
    QRVlib_audio_frame_v2_t last_audio;
    bool have_video = false, have_audio = false;
    std::vector<double> peaks;
    int64_t video_tc = 0, audio_tc = 0;
    Clock::time_point video_at{}, audio_at{};
    QRVlib_recv_stats_t before{};
    QRVlib_recv_codec_stats_t codec_before{};
};

void note_audio(WatchState& w, const QRVlib_audio_frame_v2_t& audio)
{
    w.last_audio = audio;
    w.have_audio = true;
    w.peaks.resize(audio.no_channels, -INFINITY);
    for (int c = 0; c < audio.no_channels; ++c) {
        const float* plane = (const float*)((const uint8_t*)audio.data + (size_t)c * audio.channel_stride);
        w.peaks[c] = std::fmax(w.peaks[c], qrv::tools::peak_dbfs(plane, audio.no_samples));
    }
    w.audio_tc = audio.timecode;
    w.audio_at = Clock::now();
}

// Waits up to 100 ms for one frame and notes what it says.
void take_watch_frame(QRVlib_recv_instance_t r, WatchState& w)
{
    QRVlib_video_frame_v2_t video;
    QRVlib_audio_frame_v2_t audio;
    QRVlib_metadata_frame_t metadata{};
    switch (QRVlib_recv_capture_v2(r, &video, &audio, &metadata, 100)) {
    case QRVlib_frame_type_video:
        ++w.video_frames;
        w.last_video = video;
        w.have_video = true;
        w.video_tc = video.timecode;
        w.video_at = Clock::now();
        QRVlib_recv_free_video_v2(r, &video);
        break;
    case QRVlib_frame_type_audio:
        note_audio(w, audio);
        QRVlib_recv_free_audio_v2(r, &audio);
        break;
    case QRVlib_frame_type_metadata:
        QRVlib_recv_free_metadata(r, &metadata);
        break;
    case QRVlib_frame_type_status_change:
        print_status(r);
        // A new connection or route may carry other media: what was
        // seen before no longer holds.
        w.have_video = w.have_audio = false;
        w.peaks.clear();
        break;
    default:
        break;
    }
}

// Media that stopped arriving are not reported as if they were.
void forget_stale_media(WatchState& w)
{
    const auto stale = Clock::now() - std::chrono::seconds(2);
    if (w.have_video && w.video_at < stale)
        w.have_video = false;
    if (w.have_audio && w.audio_at < stale) {
        w.have_audio = false;
        w.peaks.clear();
    }
}

std::string video_text(QRVlib_recv_instance_t r, const WatchState& w, const QRVlib_recv_stats_t& stats,
                       const QRVlib_recv_codec_stats_t& codec)
{
    if (!w.have_video)
        return "no video";
    std::string line;
    char part[256];
    snprintf(part, sizeof part, "video %d fps %dx%d %s", w.video_frames, w.last_video.width, w.last_video.height,
             fourcc_text(w.last_video.fourcc).c_str());
    line += part;
    // How the frames travelled: compressed (with the bit rate of
    // the last second) or raw.
    if (codec.frames > w.codec_before.frames)
        snprintf(part, sizeof part, " jpeg %.1f Mbit/s", double(codec.bytes - w.codec_before.bytes) * 8 / 1e6);
    else
        snprintf(part, sizeof part, " raw");
    line += part;
    snprintf(part, sizeof part, " dropped %llu", (unsigned long long)(stats.video_dropped - w.before.video_dropped));
    line += part;
    // Frames from a multicast group say which; the line is as it
    // always was when they come over the connection.
    char group[64] = {};
    if (QRVlib_recv_get_multicast_group(r, group, sizeof group) > 1)
        line += std::string(" multicast ") + group;
    return line;
}

std::string audio_text(const WatchState& w)
{
    if (!w.have_audio)
        return " | no audio";
    std::string line;
    char part[256];
    snprintf(part, sizeof part, " | audio %d Hz %d ch peak", w.last_audio.sample_rate, w.last_audio.no_channels);
    line += part;
    for (double p : w.peaks) {
        snprintf(part, sizeof part, std::isinf(p) ? " -inf" : " %.1f", p);
        line += part;
    }
    line += " dBFS";
    return line;
}

// Timecodes are in 100 ns units; the offset is how far the audio's time
// runs ahead of the video's at arrival.
std::string av_offset_text(const WatchState& w)
{
    if (!w.have_video || !w.have_audio)
        return "";
    const double tc_ms = (double)(w.audio_tc - w.video_tc) / 1e4;
    const double arrival_ms = std::chrono::duration<double, std::milli>(w.audio_at - w.video_at).count();
    char part[256];
    snprintf(part, sizeof part, " | a/v offset %+.1f ms", tc_ms - arrival_ms);
    return part;
}

// The line of the second that passed; the counts start again after it.
void print_watch_line(QRVlib_recv_instance_t r, WatchState& w)
{
    QRVlib_recv_stats_t stats{};
    QRVlib_recv_get_stats(r, &stats);
    QRVlib_recv_codec_stats_t codec{};
    QRVlib_recv_get_codec_stats(r, &codec);
    forget_stale_media(w);
    QRVlib_recv_status_t status{};
    QRVlib_recv_get_status(r, &status);
    if (!status.connected) {
        char part[256];
        if (stats.bad_messages > 0)
            snprintf(part, sizeof part, "not connected: the source answered with %llu invalid messages",
                     (unsigned long long)stats.bad_messages);
        else
            snprintf(part, sizeof part, "not connected");
        puts(part);
    } else {
        const std::string line = video_text(r, w, stats, codec) + audio_text(w) + av_offset_text(w);
        puts(line.c_str());
        w.peaks.assign(w.peaks.size(), -INFINITY);
    }
    fflush(stdout);
    w.video_frames = 0;
    w.before = stats;
    w.codec_before = codec;
}

int run_watch(const std::string& wanted, double find_timeout, double seconds, const Wishes& wishes)
{
    std::string error;
    auto connection = Connection::open(wanted, find_timeout, &error, wishes);
    if (!connection)
        return fail(error);
    QRVlib_recv_instance_t r = connection->get();
    printf("watching %s\n", connection->name().c_str());

    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    auto next_report = Clock::now() + std::chrono::seconds(1);
    WatchState w;
    QRVlib_recv_get_stats(r, &w.before);
    QRVlib_recv_get_codec_stats(r, &w.codec_before);
    while (!stop_requested.load() && (seconds <= 0 || Clock::now() < end)) {
        take_watch_frame(r, w);
        if (Clock::now() < next_report)
            continue;
        next_report += std::chrono::seconds(1);
        print_watch_line(r, w);
    }
    return 0;
}

int run_snapshot(const std::string& wanted, const std::string& path, double find_timeout, double timeout,
                 const Wishes& wishes)
{
    std::string error;
    auto connection = Connection::open(wanted, find_timeout, &error, wishes);
    if (!connection)
        return fail(error);
    QRVlib_recv_instance_t r = connection->get();
    const auto end = Clock::now() + std::chrono::duration<double>(timeout);
    while (!stop_requested.load() && Clock::now() < end) {
        QRVlib_video_frame_v2_t video;
        if (QRVlib_recv_capture_v2(r, &video, nullptr, nullptr, 200) != QRVlib_frame_type_video)
            continue;
        const size_t size = (size_t)video.line_stride * (size_t)video.height;
        std::optional<qrv::tools::RgbPicture> picture;
        if (video.fourcc == QRVlib_FourCC_type_UYVY)
            picture = qrv::tools::rgb_from_uyvy(video.data, video.width, video.height, video.line_stride, size);
        else if (video.fourcc == QRVlib_FourCC_type_BGRA || video.fourcc == QRVlib_FourCC_type_BGRX)
            picture = qrv::tools::rgb_from_bgra(video.data, video.width, video.height, video.line_stride, size);
        else if (video.fourcc == QRVlib_FourCC_type_RGBA || video.fourcc == QRVlib_FourCC_type_RGBX)
            picture = qrv::tools::rgb_from_rgba(video.data, video.width, video.height, video.line_stride, size);
        const std::string layout = fourcc_text(video.fourcc);
        QRVlib_recv_free_video_v2(r, &video);
        if (!picture)
            return fail("cannot convert a frame of pixel layout " + layout);
        const std::string failure = qrv::tools::write_png(path, *picture);
        if (!failure.empty())
            return fail(failure);
        printf("wrote %s (%dx%d from %s)\n", path.c_str(), picture->width, picture->height, layout.c_str());
        return 0;
    }
    return fail(connection->name() + " sent no video");
}

std::string audio_format_text(int rate, int channels)
{
    return std::to_string(rate) + " Hz, " + std::to_string(channels) + (channels == 1 ? " channel" : " channels");
}

// Closes the recording at a change of the source's audio format, and says so.
int end_at_format_change(std::unique_ptr<qrv::tools::WavWriter> wav, const std::string& path,
                         const std::string& source, const std::string& now)
{
    const double kept = (double)wav->frames_written() / wav->sample_rate();
    const std::string was = audio_format_text(wav->sample_rate(), wav->channels());
    const std::string failure = wav->close();
    if (!failure.empty())
        return fail(failure);
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.2f", kept);
    return fail("the audio of " + source + " changed from " + was + " to " + now + " after " + seconds +
                " s; the recording ends there: " + path + " holds those " + seconds + " s");
}

// A file in the format of the first audio frame. Audio always arrives as
// float; 16-bit audio arrives as v / 32768 and is stored in 16 bits again.
std::unique_ptr<qrv::tools::WavWriter> open_wav_for(const std::string& path, const QRVlib_audio_frame_v2_t& audio,
                                                    size_t stride, std::string* error)
{
    const auto format = qrv::tools::holds_16bit_samples(audio.data, audio.no_channels, audio.no_samples, stride)
                            ? qrv::tools::WavSamples::pcm16
                            : qrv::tools::WavSamples::float32;
    return qrv::tools::WavWriter::open(path, audio.sample_rate, audio.no_channels, format, error);
}

// Closes a finished recording and says what it holds.
int close_recording(std::unique_ptr<qrv::tools::WavWriter> wav, const std::string& path)
{
    const long long frames = wav->frames_written();
    const int rate = wav->sample_rate(), channels = wav->channels();
    const bool pcm16 = wav->format() == qrv::tools::WavSamples::pcm16;
    const std::string failure = wav->close();
    if (!failure.empty())
        return fail(failure);
    printf("wrote %s (%.2f s, %d channel%s at %d Hz, %s)\n", path.c_str(), (double)frames / rate, channels,
           channels == 1 ? "" : "s", rate, pcm16 ? "16-bit integer" : "32-bit float");
    return 0;
}

int run_record(const std::string& wanted, const std::string& path, double find_timeout, double seconds,
               const Wishes& wishes)
{
    std::string error;
    auto connection = Connection::open(wanted, find_timeout, &error, wishes);
    if (!connection)
        return fail(error);
    QRVlib_recv_instance_t r = connection->get();
    std::unique_ptr<qrv::tools::WavWriter> wav;
    long long wanted_frames = 0;
    const auto give_up = Clock::now() + std::chrono::duration<double>(find_timeout + seconds);
    while (!stop_requested.load() && Clock::now() < give_up && (!wav || wav->frames_written() < wanted_frames)) {
        QRVlib_audio_frame_v2_t audio;
        if (QRVlib_recv_capture_v2(r, nullptr, &audio, nullptr, 200) != QRVlib_frame_type_audio)
            continue;
        const size_t stride = (size_t)audio.channel_stride / sizeof(float);
        if (!wav && audio.no_samples <= 0) {
            QRVlib_recv_free_audio_v2(r, &audio);
            continue;
        }
        if (!wav) {
            wav = open_wav_for(path, audio, stride, &error);
            if (!wav) {
                QRVlib_recv_free_audio_v2(r, &audio);
                return fail(error);
            }
            wanted_frames = (long long)std::llround(bounded_seconds(seconds) * audio.sample_rate);
        }
        if (audio.sample_rate != wav->sample_rate() || audio.no_channels != wav->channels()) {
            // A file has one format: written on, the rest would play at the
            // wrong speed or with its channels mixed up. What came before
            // the change stays, as a file of its own format.
            const std::string now = audio_format_text(audio.sample_rate, audio.no_channels);
            QRVlib_recv_free_audio_v2(r, &audio);
            return end_at_format_change(std::move(wav), path, connection->name(), now);
        }
        const int take = (int)std::min<long long>(audio.no_samples, wanted_frames - wav->frames_written());
        const bool ok = wav->write_planar(audio.data, audio.no_channels, take, stride);
        QRVlib_recv_free_audio_v2(r, &audio);
        if (!ok)
            return fail("cannot write " + path + ": the audio format changed or the disk is full");
    }
    if (!wav)
        return fail(connection->name() + " sent no audio");
    return close_recording(std::move(wav), path);
}

int run_ptz(const std::string& wanted, double find_timeout, const std::string& command, int preset, float a,
            float b)
{
    std::string error;
    auto connection = Connection::open(wanted, find_timeout, &error);
    if (!connection)
        return fail(error);
    QRVlib_recv_instance_t r = connection->get();
    // Camera support is learnt on connecting: wait for it briefly.
    const auto end = Clock::now() + std::chrono::duration<double>(find_timeout);
    while (!QRVlib_recv_ptz_is_supported(r) && Clock::now() < end && !stop_requested.load())
        QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, 100);
    if (!QRVlib_recv_ptz_is_supported(r))
        return fail(connection->name() + " does not support camera control");
    bool ok = false;
    if (command == "recall")
        ok = QRVlib_recv_ptz_recall_preset(r, preset, a);
    else if (command == "store")
        ok = QRVlib_recv_ptz_store_preset(r, preset);
    else if (command == "pan-tilt")
        ok = QRVlib_recv_ptz_pan_tilt(r, a, b);
    else if (command == "zoom")
        ok = QRVlib_recv_ptz_zoom(r, a);
    if (!ok)
        return fail("the camera command was refused");
    // "sent" only once the camera has it; a camera of an older version
    // cannot say, and the command was written before the receiver closes.
    const auto ack_timeout = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(std::clamp(find_timeout, 2.0, 30.0)));
    switch (QRVlib_recv_ptz_wait_delivered(r, (uint32_t)ack_timeout.count())) {
    case QRVlib_ptz_delivery_acknowledged:
        printf("sent %s to %s\n", command.c_str(), connection->name().c_str());
        return 0;
    case QRVlib_ptz_delivery_unconfirmed:
        printf("sent %s to %s (unconfirmed: the source does not acknowledge camera commands)\n", command.c_str(),
               connection->name().c_str());
        return 0;
    default:
        break;
    }
    // A source that wants its operator key proved says so: told as the
    // source's refusal, not as a command lost on the way.
    const std::string why = QRVlib_get_last_error();
    if (why.starts_with("the source refused") && why.find("operator key") != std::string::npos)
        return fail(connection->name() + why.substr(std::string("the source").size()));
    return fail("the camera command did not reach " + connection->name() + ": " + why);
}

// Says the source is on program and/or preview, and keeps saying so for as
// long as the receiver is held; the source forgets it when the receiver goes.
int run_tally(const std::string& wanted, double find_timeout, const std::string& state, double seconds)
{
    std::string error;
    auto connection = Connection::open(wanted, find_timeout, &error);
    if (!connection)
        return fail(error);
    QRVlib_recv_instance_t r = connection->get();
    QRVlib_recv_status_t status{};
    const auto end = Clock::now() + std::chrono::duration<double>(find_timeout);
    while (!stop_requested.load() && Clock::now() < end && !(QRVlib_recv_get_status(r, &status) && status.connected))
        QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, 100);
    if (!status.connected)
        return fail("cannot connect to " + connection->name());
    const QRVlib_tally_t tally{state == "program" || state == "both", state == "preview" || state == "both"};
    if (!QRVlib_recv_set_tally(r, &tally))
        return fail("the tally was refused");
    printf("tally of %s: program %s, preview %s, for %g s\n", connection->name().c_str(),
           tally.on_program ? "on" : "off", tally.on_preview ? "on" : "off", seconds);
    fflush(stdout);
    const auto hold = Clock::now() + std::chrono::duration<double>(seconds);
    while (!stop_requested.load() && Clock::now() < hold)
        QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, 100);
    return 0;
}

// Every option of every command, as the command line sets them.
struct Options {
    double find_timeout = 5.0;
    double seconds = 0;
    std::string name, file;
    Wishes wishes;
    double timeout = 5.0;
    double record_seconds = 0;
    std::string tally_state;
    double hold_seconds = 3.0;
    int preset = 0;
    float value_a = 1.0f, value_b = 0.0f;
};

// The commands, to tell which one the command line gave.
struct Commands {
    CLI::App *list, *watch, *snapshot, *record, *tally, *ptz;
    std::vector<CLI::App*> camera;  // ptz's own: recall, store, pan-tilt, zoom
};

void add_color_format(CLI::App* sub, Wishes& wishes)
{
    std::vector<std::string> names;
    for (const auto& [n, code] : kColorFormats)
        names.push_back(n);
    sub->add_option("--color-format", wishes.color_format, "pixel layout to receive video in (default uyvy-bgra)")
        ->check(CLI::IsMember(names));
}

void add_bandwidth(CLI::App* sub, Wishes& wishes, const std::vector<std::string>& allowed)
{
    sub->add_option("--bandwidth", wishes.bandwidth, "what the source sends (default highest)")
        ->check(CLI::IsMember(allowed));
}

std::vector<std::string> all_bandwidths()
{
    std::vector<std::string> names;
    for (const auto& [n, code] : kBandwidths)
        names.push_back(n);
    return names;
}

void add_program_options(CLI::App& app, Options& o)
{
    app.set_version_flag("--version", std::string("qrv_monitor ") + QRV_VERSION);
    app.set_help_all_flag("--help-all", "Print this help with the help of every command and exit");
    app.require_subcommand(1);
    // Options of the whole program may also follow the subcommand.
    app.fallthrough();
    app.add_option("--find-timeout", o.find_timeout, "seconds to wait for the source to appear")
        ->check(CLI::NonNegativeNumber);
}

CLI::App* add_list(CLI::App& app, Options& o)
{
    auto* list = app.add_subcommand("list", "show the visible sources as they come and go");
    list->add_option("--seconds", o.seconds, "stop after this long (default: until Ctrl-C)");
    return list;
}

CLI::App* add_watch(CLI::App& app, Options& o)
{
    auto* watch = app.add_subcommand("watch", "print what a source sends, once a second");
    watch->add_option("name", o.name, "source name")->required();
    watch->add_option("--seconds", o.seconds, "stop after this long (default: until Ctrl-C)");
    add_color_format(watch, o.wishes);
    add_bandwidth(watch, o.wishes, all_bandwidths());
    return watch;
}

CLI::App* add_snapshot(CLI::App& app, Options& o)
{
    auto* snapshot = app.add_subcommand("snapshot", "write the next video frame as a PNG file");
    snapshot->add_option("name", o.name, "source name")->required();
    snapshot->add_option("file", o.file, "PNG file to write")->required();
    snapshot->add_option("--timeout", o.timeout, "seconds to wait for a frame")->check(CLI::PositiveNumber);
    add_color_format(snapshot, o.wishes);
    add_bandwidth(snapshot, o.wishes, {"highest", "lowest"});
    return snapshot;
}

CLI::App* add_record(CLI::App& app, Options& o)
{
    auto* record = app.add_subcommand("record-audio", "write a source's audio as a WAV file");
    record->footer(
        "The file is an extensible WAV (WAVE_FORMAT_EXTENSIBLE) whose channel mask gives channels 1 to 8\n"
        "their usual speaker positions in order: 1 C; 2 L R; 3 L R C; 4 L R BL BR; 5 L R C BL BR;\n"
        "6 (5.1) L R C LFE BL BR; 7 (6.1) L R C LFE BC SL SR; 8 (7.1) L R C LFE BL BR SL SR (left,\n"
        "right, centre, low frequency, back left, right and centre, side left and right). More\n"
        "channels have no positions.\n"
        "Samples are stored as 16-bit integers when every sample of the first audio frame is a 16-bit\n"
        "value (times 32768 a whole number from -32768 to 32767), as audio sent in 16 bits always is\n"
        "and silence is too; later samples are then rounded to 16 bits. Otherwise they are stored as\n"
        "32-bit floats.\n"
        "A change of the source's sample rate or channel count (a router switching sources) ends the\n"
        "recording with an error; the file keeps what came before the change.");
    record->add_option("name", o.name, "source name")->required();
    record->add_option("file", o.file, "WAV file to write")->required();
    record->add_option("--seconds", o.record_seconds, "length to record")->required()->check(CLI::PositiveNumber);
    add_bandwidth(record, o.wishes, {"highest", "lowest", "audio"});
    return record;
}

CLI::App* add_tally(CLI::App& app, Options& o)
{
    auto* tally = app.add_subcommand("tally", "tell a source it is on program and/or preview, for a while");
    tally->add_option("name", o.name, "source name")->required();
    tally->add_option("state", o.tally_state, "program, preview, both or off")
        ->required()
        ->check(CLI::IsMember({"program", "preview", "both", "off"}));
    tally->add_option("--seconds", o.hold_seconds, "how long to hold it (default 3)")->check(CLI::NonNegativeNumber);
    return tally;
}

// ptz and its camera commands, which are kept in c.camera.
CLI::App* add_ptz(CLI::App& app, Options& o, Commands& c)
{
    auto* ptz = app.add_subcommand("ptz", "send a camera command");
    ptz->add_option("name", o.name, "source name")->required();
    ptz->require_subcommand(1);
    auto* recall = ptz->add_subcommand("recall", "recall a stored preset");
    recall->add_option("preset", o.preset, "preset number")->required()->check(CLI::Range(0, 99));
    recall->add_option("--speed", o.value_a, "speed, 0.0 to 1.0")->check(CLI::Range(0.0, 1.0));
    auto* store = ptz->add_subcommand("store", "store the current position as a preset");
    store->add_option("preset", o.preset, "preset number")->required()->check(CLI::Range(0, 99));
    auto* pan_tilt = ptz->add_subcommand("pan-tilt", "move at a pan and a tilt speed");
    pan_tilt->add_option("pan", o.value_a, "pan speed, -1.0 to 1.0")->required()->check(CLI::Range(-1.0, 1.0));
    pan_tilt->add_option("tilt", o.value_b, "tilt speed, -1.0 to 1.0")->required()->check(CLI::Range(-1.0, 1.0));
    auto* zoom = ptz->add_subcommand("zoom", "zoom to a position");
    zoom->add_option("position", o.value_a, "0.0 (wide) to 1.0 (tele)")->required()->check(CLI::Range(0.0, 1.0));
    c.camera = {recall, store, pan_tilt, zoom};
    return ptz;
}

int run_command(const Commands& c, const Options& o)
{
    if (*c.list)
        return run_list(o.seconds);
    if (*c.watch)
        return run_watch(o.name, o.find_timeout, o.seconds, o.wishes);
    if (*c.snapshot)
        return run_snapshot(o.name, o.file, o.find_timeout, o.timeout, o.wishes);
    if (*c.record)
        return run_record(o.name, o.file, o.find_timeout, o.record_seconds, o.wishes);
    if (*c.tally)
        return run_tally(o.name, o.find_timeout, o.tally_state, o.hold_seconds);
    if (*c.ptz) {
        std::string command;
        for (auto* sub : c.camera)
            if (*sub)
                command = sub->get_name();
        return run_ptz(o.name, o.find_timeout, command, o.preset, o.value_a, o.value_b);
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Looks at what is on the network: sources, pictures, sound, camera control"};
    Options o;
    Commands c{};
    add_program_options(app, o);
    c.list = add_list(app, o);
    c.watch = add_watch(app, o);
    c.snapshot = add_snapshot(app, o);
    c.record = add_record(app, o);
    c.tally = add_tally(app, o);
    c.ptz = add_ptz(app, o, c);

    CLI11_PARSE(app, argc, argv);

    if (!QRVlib_initialize())
        return fail("the library cannot run here");
    signal(SIGINT, on_interrupt);
    signal(SIGTERM, on_interrupt);

    const int status = run_command(c, o);
    QRVlib_destroy();
    return status;
}
