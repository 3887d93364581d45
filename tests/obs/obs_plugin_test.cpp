// The OBS plugin in a headless libobs: run_obs_test.sh starts this binary
// under Xvfb (Mesa's software renderer draws OBS's canvas) inside a network
// namespace of its own. libobs is started once for all cases; only the
// plugin from the build folder is loaded, since OBS's own UI modules want a
// Qt application.
#include <gtest/gtest.h>
#include <obs.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "build_paths.h"
#include "child_process.h"
#include "picture.h"
#include "qrv/qrv_runtime.h"

using namespace std::chrono_literals;
using qrv_test::Child;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kBin = qrv_test::bin_dir();
const std::string kPluginDir = qrv_test::build_dir() + "/obs";
const std::string kPicture = kPluginDir + "/canvas.png";
constexpr uint32_t kCanvasWidth = 1280, kCanvasHeight = 720;

// Loads qrv-obs from the build folder alone among the modules found.
void load_plugin(void* loaded, const obs_module_info2* info)
{
    if (std::strcmp(info->name, "qrv-obs") != 0 || std::string(info->bin_path).rfind(kPluginDir, 0) != 0)
        return;
    obs_module_t* module = nullptr;
    if (obs_open_module(&module, info->bin_path, info->data_path) == MODULE_SUCCESS && obs_init_module(module))
        *static_cast<bool*>(loaded) = true;
}

// OBS's video at 30 frames a second: by default as the application
// renders, NV12 at the canvas size, which the output converts.
obs_video_info video_settings(video_format format = VIDEO_FORMAT_NV12, uint32_t width = kCanvasWidth,
                              uint32_t height = kCanvasHeight)
{
    obs_video_info ovi = {};
    ovi.graphics_module = "libobs-opengl";
    ovi.fps_num = 30;
    ovi.fps_den = 1;
    ovi.base_width = ovi.output_width = width;
    ovi.base_height = ovi.output_height = height;
    ovi.output_format = format;
    ovi.colorspace = VIDEO_CS_709;
    ovi.range = VIDEO_RANGE_PARTIAL;
    ovi.scale_type = OBS_SCALE_BICUBIC;
    ovi.gpu_conversion = true;
    return ovi;
}

class ObsEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_TRUE(obs_startup("en-US", nullptr, nullptr));
        obs_video_info ovi = video_settings();
        ASSERT_EQ(obs_reset_video(&ovi), OBS_VIDEO_SUCCESS);
        obs_audio_info oai = {48000, SPEAKERS_STEREO};
        ASSERT_TRUE(obs_reset_audio(&oai));
        obs_add_module_path(kPluginDir.c_str(), (kPluginDir + "/data").c_str());
        bool loaded = false;
        obs_find_modules2(load_plugin, &loaded);
        ASSERT_TRUE(loaded) << "qrv-obs.so did not load from " << kPluginDir;
    }
    void TearDown() override
    {
        obs_set_output_source(0, nullptr);
        obs_shutdown();
    }
};

// An OBS object released at the end of the scope.
struct DataRef {
    obs_data_t* p = obs_data_create();
    ~DataRef() { obs_data_release(p); }
};

// The names of the QRV Source's property list, as the properties show them.
std::vector<std::string> listed_sources(obs_source_t* source)
{
    std::vector<std::string> names;
    obs_properties_t* props = obs_source_properties(source);
    obs_property_t* list = obs_properties_get(props, "source_name");
    for (size_t i = 0; list && i < obs_property_list_item_count(list); ++i)
        names.emplace_back(obs_property_list_item_string(list, i));
    obs_properties_destroy(props);
    return names;
}

// Waits for the list to show a source of the given short name; its full name.
std::string wait_listed(obs_source_t* source, const std::string& short_name, std::chrono::seconds limit)
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        for (const auto& name : listed_sources(source))
            if (name.size() > short_name.size() + 2 &&
                name.compare(name.size() - short_name.size() - 1, std::string::npos, short_name + ")") == 0)
                return name;
        std::this_thread::sleep_for(100ms);
    }
    return {};
}

// The canvas OBS last rendered, read back through a texture render and a
// staging surface as RGBA.
std::vector<uint8_t> read_canvas()
{
    std::vector<uint8_t> rgba;
    obs_enter_graphics();
    gs_texrender_t* render = gs_texrender_create(GS_RGBA, GS_ZS_NONE);
    gs_stagesurf_t* stage = gs_stagesurface_create(kCanvasWidth, kCanvasHeight, GS_RGBA);
    if (gs_texrender_begin(render, kCanvasWidth, kCanvasHeight)) {
        vec4 clear;
        vec4_zero(&clear);
        gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
        gs_ortho(0.0f, float(kCanvasWidth), 0.0f, float(kCanvasHeight), -100.0f, 100.0f);
        obs_render_main_texture();
        gs_texrender_end(render);
        gs_stage_texture(stage, gs_texrender_get_texture(render));
        uint8_t* data = nullptr;
        uint32_t linesize = 0;
        if (gs_stagesurface_map(stage, &data, &linesize)) {
            rgba.resize(size_t(kCanvasWidth) * kCanvasHeight * 4);
            for (uint32_t y = 0; y < kCanvasHeight; ++y)
                std::memcpy(&rgba[size_t(y) * kCanvasWidth * 4], data + size_t(y) * linesize, kCanvasWidth * 4);
            gs_stagesurface_unmap(stage);
        }
    }
    gs_stagesurface_destroy(stage);
    gs_texrender_destroy(render);
    obs_leave_graphics();
    return rgba;
}

// The mean of the red, green and blue of the canvas's middle pixel.
int middle_level(const std::vector<uint8_t>& rgba)
{
    const size_t at = (size_t(kCanvasHeight / 2) * kCanvasWidth + kCanvasWidth / 2) * 4;
    return (rgba[at] + rgba[at + 1] + rgba[at + 2]) / 3;
}

// A scene holding the source scaled to the canvas, made OBS's program.
class ProgramScene {
public:
    explicit ProgramScene(obs_source_t* source) : scene_(obs_scene_create("QRV test scene"))
    {
        item_ = obs_scene_add(scene_, source);
        obs_sceneitem_set_bounds_type(item_, OBS_BOUNDS_SCALE_INNER);
        vec2 bounds;
        vec2_set(&bounds, float(kCanvasWidth), float(kCanvasHeight));
        obs_sceneitem_set_bounds(item_, &bounds);
        obs_set_output_source(0, obs_scene_get_source(scene_));
    }
    ~ProgramScene()
    {
        obs_set_output_source(0, nullptr);
        obs_scene_release(scene_);
    }

    /// Shows or hides the source in the scene (OBS's eye button).
    void set_visible(bool visible) { obs_sceneitem_set_visible(item_, visible); }

private:
    obs_scene_t* scene_;
    obs_sceneitem_t* item_ = nullptr;
};

// A QRV Source, released with the object.
class QrvSource {
public:
    QrvSource() : source_(obs_source_create("qrv_source", "QRV", nullptr, nullptr)) {}
    ~QrvSource() { obs_source_release(source_); }
    obs_source_t* get() const { return source_; }
    void receive(const std::string& name, const char* when_hidden = "stop")
    {
        DataRef settings;
        obs_data_set_string(settings.p, "source_name", name.c_str());
        obs_data_set_string(settings.p, "when_hidden", when_hidden);
        obs_source_update(source_, settings.p);
    }

private:
    obs_source_t* source_;
};

TEST(ObsPlugin, SourceListsTheSenderAndOBSRendersItsFrames)
{
    Child pump({kBin + "/strobe_pump"});
    ASSERT_TRUE(pump.started());
    QrvSource source;
    ASSERT_NE(source.get(), nullptr) << "the plugin registered no qrv_source";
    const std::string name = wait_listed(source.get(), "My Video", 10s);
    ASSERT_FALSE(name.empty()) << "the property list never showed My Video";
    source.receive(name);
    ProgramScene scene(source.get());

    // strobe_pump alternates black and white frames: the canvas must show both.
    bool black = false, white = false;
    const auto end = Clock::now() + 15s;
    while (!(black && white) && Clock::now() < end) {
        const auto canvas = read_canvas();
        ASSERT_FALSE(canvas.empty()) << "the canvas could not be read back";
        const int level = middle_level(canvas);
        black = black || level < 30;
        white = white || level > 225;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(black && white) << "black seen: " << black << ", white seen: " << white;
    EXPECT_EQ(obs_source_get_width(source.get()), 1920u);
    EXPECT_EQ(obs_source_get_height(source.get()), 1080u);
}

TEST(ObsPlugin, ProgramTallyAndCameraCommandsReachTheSenderAndTheCanvasIsSaved)
{
    Child camera({kBin + "/qrv_test_camera", "--name", "Camera"});
    ASSERT_TRUE(camera.started());
    QrvSource source;
    const std::string name = wait_listed(source.get(), "Camera", 10s);
    ASSERT_FALSE(name.empty());
    source.receive(name);
    {
        ProgramScene scene(source.get());
        EXPECT_TRUE(camera.wait_for_output("tally: program on", 10s)) << camera.output();
        // Studio mode's preview, as the frontend part of the plugin tells it.
        calldata_t call;
        calldata_init(&call);
        calldata_set_bool(&call, "on_preview", true);
        EXPECT_TRUE(proc_handler_call(obs_source_get_proc_handler(source.get()), "qrv_set_preview", &call));
        calldata_free(&call);
        EXPECT_TRUE(camera.wait_for_output("tally: program on, preview on", 10s)) << camera.output();

        // The camera takes commands: the properties show the controls and
        // their buttons reach it.
        bool controls = false;
        for (const auto end = Clock::now() + 10s; !controls && Clock::now() < end;) {
            obs_properties_t* props = obs_source_properties(source.get());
            controls = obs_property_visible(obs_properties_get(props, "camera"));
            obs_properties_destroy(props);
            if (!controls)
                std::this_thread::sleep_for(50ms);
        }
        ASSERT_TRUE(controls) << "no camera controls in the properties";
        {
            DataRef preset;
            obs_data_set_int(preset.p, "camera_preset", 3);
            obs_source_update(source.get(), preset.p);
        }
        obs_properties_t* props = obs_source_properties(source.get());
        EXPECT_NE(std::string(obs_property_description(obs_properties_get(props, "status"))).find("connected to"),
                  std::string::npos);
        obs_property_button_clicked(obs_properties_get(props, "camera_recall"), source.get());
        obs_property_button_clicked(obs_properties_get(props, "camera_left"), source.get());
        obs_properties_destroy(props);
        EXPECT_TRUE(camera.wait_for_output("recall preset 3 at speed 1.0", 10s)) << camera.output();
        EXPECT_TRUE(camera.wait_for_output("pan at -0.50, tilt at 0.00", 10s)) << camera.output();

        // The colour bars on the canvas: white at the left, black at the right.
        // Once OBS has the camera's first frame, the next renders show it.
        const auto end = Clock::now() + 10s;
        while (obs_source_get_width(source.get()) == 0 && Clock::now() < end)
            std::this_thread::sleep_for(50ms);
        std::this_thread::sleep_for(200ms);
        const std::vector<uint8_t> canvas = read_canvas();
        ASSERT_FALSE(canvas.empty());
        // Every bar of the pattern is on the middle line in its colour: a
        // wrong pixel layout or colour matrix would not give pure red and
        // pure blue.
        bool red = false, blue = false;
        for (uint32_t x = 0; x < kCanvasWidth; ++x) {
            const uint8_t* p = &canvas[(size_t(kCanvasHeight / 2) * kCanvasWidth + x) * 4];
            red = red || (p[0] > 200 && p[1] < 40 && p[2] < 40);
            blue = blue || (p[0] < 40 && p[1] < 40 && p[2] > 200);
        }
        EXPECT_TRUE(red && blue) << "red bar seen: " << red << ", blue bar seen: " << blue;
        auto picture = qrv::tools::rgb_from_rgba(canvas.data(), kCanvasWidth, kCanvasHeight, kCanvasWidth * 4,
                                                 canvas.size());
        ASSERT_TRUE(picture.has_value());
        std::filesystem::create_directories(std::filesystem::path(kPicture).parent_path());
        EXPECT_EQ(qrv::tools::write_png(kPicture, *picture), "");
    }
    // Off the program, the sender hears so.
    EXPECT_TRUE(camera.wait_for_output("tally: program off", 10s)) << camera.output();
}

// Waits until the sender has the given number of receivers.
bool wait_connections(QRVlib_send_instance_t sender, int wanted, std::chrono::seconds limit)
{
    const auto end = Clock::now() + limit;
    while (QRVlib_send_get_no_connections(sender, 0) != wanted) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

TEST(ObsPlugin, HiddenSourceStopsReceivingOrKeepsAPreviewAndResumesWhenShown)
{
    // A sender in this process: its count of receivers shows what the
    // QRV Source does.
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_create_t send_settings("Shy");
    QRVlib_send_instance_t sender = QRVlib_send_create(&send_settings);
    ASSERT_NE(sender, nullptr);
    {
        QrvSource source;
        const std::string name = wait_listed(source.get(), "Shy", 10s);
        ASSERT_FALSE(name.empty());
        source.receive(name);
        ProgramScene scene(source.get());
        EXPECT_TRUE(wait_connections(sender, 1, 10s)) << "shown, the source does not receive";
        scene.set_visible(false);
        EXPECT_TRUE(wait_connections(sender, 0, 10s)) << "hidden, the source still receives";
        scene.set_visible(true);
        EXPECT_TRUE(wait_connections(sender, 1, 10s)) << "shown again, the source does not resume";

        source.receive(name, "preview");
        scene.set_visible(false);
        std::this_thread::sleep_for(500ms);
        EXPECT_TRUE(wait_connections(sender, 1, 10s)) << "hidden with a preview wanted, the source stopped";
    }
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
}

// Waits until the source's picture has the given width.
bool wait_width(obs_source_t* source, uint32_t width, std::chrono::seconds limit)
{
    const auto end = Clock::now() + limit;
    while (obs_source_get_width(source) != width) {
        if (Clock::now() >= end)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

TEST(ObsRecovery, SourceFollowsItsSenderAcrossARestartAndARouterSwitch)
{
    QrvSource source;
    ProgramScene scene(source.get());
    {
        auto camera = std::make_unique<Child>(std::vector<std::string>{kBin + "/qrv_test_camera", "--name", "Phoenix"});
        const std::string name = wait_listed(source.get(), "Phoenix", 10s);
        ASSERT_FALSE(name.empty());
        source.receive(name);
        ASSERT_TRUE(wait_width(source.get(), 1280, 10s));
        // The sender goes and comes back with another picture size.
        camera.reset();
        camera = std::make_unique<Child>(std::vector<std::string>{kBin + "/qrv_test_camera", "--name", "Phoenix",
                                                                  "--width", "640", "--height", "360"});
        EXPECT_TRUE(wait_width(source.get(), 640, 15s)) << "the source did not follow its restarted sender";
    }

    // A router in this process, switched between two cameras of different
    // sizes: the source follows each switch.
    Child wide({kBin + "/qrv_test_camera", "--name", "Wide", "--width", "960", "--height", "540"});
    Child narrow({kBin + "/qrv_test_camera", "--name", "Narrow", "--width", "320", "--height", "180"});
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_routing_create_t router_settings("Switcher");
    QRVlib_routing_instance_t router = QRVlib_routing_create(&router_settings);
    ASSERT_NE(router, nullptr);
    const std::string wide_name = wait_listed(source.get(), "Wide", 10s);
    const std::string narrow_name = wait_listed(source.get(), "Narrow", 10s);
    const std::string switcher = wait_listed(source.get(), "Switcher", 10s);
    ASSERT_FALSE(wide_name.empty() || narrow_name.empty() || switcher.empty());
    char wide_at[512] = "", narrow_at[512] = "";
    ASSERT_GT(QRVlib_discovery_resolve(wide_name.c_str(), wide_at, sizeof wide_at, 5000), 0u);
    ASSERT_GT(QRVlib_discovery_resolve(narrow_name.c_str(), narrow_at, sizeof narrow_at, 5000), 0u);
    QRVlib_source_t wide_source(wide_name.c_str(), wide_at), narrow_source(narrow_name.c_str(), narrow_at);
    ASSERT_TRUE(QRVlib_routing_change(router, &wide_source));
    source.receive(switcher);
    EXPECT_TRUE(wait_width(source.get(), 960, 15s)) << "no picture through the router";
    ASSERT_TRUE(QRVlib_routing_change(router, &narrow_source));
    EXPECT_TRUE(wait_width(source.get(), 320, 15s)) << "the source did not follow the router's switch";
    source.receive("");
    QRVlib_routing_destroy(router);
    QRVlib_destroy();
}

// Counts the audio OBS takes from a source.
struct AudioSeen {
    std::atomic<uint64_t> frames{0};
    static void on_audio(void* param, obs_source_t*, const audio_data* data, bool)
    {
        static_cast<AudioSeen*>(param)->frames += data->frames;
    }
};

TEST(ObsRecovery, SourceWithAudioAloneIsHeard)
{
    Child hush({kBin + "/quad_hush"});
    QrvSource source;
    const std::string name = wait_listed(source.get(), "My Audio", 10s);
    ASSERT_FALSE(name.empty());
    AudioSeen seen;
    obs_source_add_audio_capture_callback(source.get(), AudioSeen::on_audio, &seen);
    source.receive(name);
    {
        ProgramScene scene(source.get());
        const auto end = Clock::now() + 10s;
        while (seen.frames.load() < 48000 && Clock::now() < end)
            std::this_thread::sleep_for(50ms);
    }
    obs_source_remove_audio_capture_callback(source.get(), AudioSeen::on_audio, &seen);
    EXPECT_GE(seen.frames.load(), 48000u) << "less than a second of the sender's audio reached OBS";
    EXPECT_EQ(obs_source_get_width(source.get()), 0u);
}

TEST(ObsPublish, FilterPublishesItsSourceAlone)
{
    Child camera({kBin + "/qrv_test_camera", "--name", "Small", "--width", "640", "--height", "360"});
    QrvSource source;
    const std::string name = wait_listed(source.get(), "Small", 10s);
    ASSERT_FALSE(name.empty());
    source.receive(name);
    DataRef settings;
    obs_data_set_string(settings.p, "name", "Filtered");
    obs_source_t* filter = obs_source_create("qrv_filter", "QRV filter", settings.p, nullptr);
    ASSERT_NE(filter, nullptr) << "the plugin registered no qrv_filter";
    obs_source_filter_add(source.get(), filter);
    {
        ProgramScene scene(source.get());
        Child monitor({kBin + "/qrv_monitor", "watch", "Filtered", "--seconds", "3"});
        // The source at its own size, not the canvas's, with its sound.
        EXPECT_TRUE(monitor.wait_for_output("640x360 BGRA", 15s)) << monitor.output();
        monitor.wait_exit(10s);
        EXPECT_NE(monitor.output().find("audio 48000 Hz 2 ch"), std::string::npos) << monitor.output();
    }
    obs_source_filter_remove(source.get(), filter);
    obs_source_release(filter);
}

TEST(ObsPublish, OutputPublishesTheProgramAtTheCanvasSize)
{
    Child pump({kBin + "/strobe_pump"});
    QrvSource source;
    const std::string name = wait_listed(source.get(), "My Video", 10s);
    ASSERT_FALSE(name.empty());
    source.receive(name);
    ProgramScene scene(source.get());

    DataRef settings;
    obs_data_set_string(settings.p, "name", "OBS Program");
    obs_output_t* output = obs_output_create("qrv_output", "QRV", settings.p, nullptr);
    ASSERT_NE(output, nullptr) << "the plugin registered no qrv_output";
    ASSERT_TRUE(obs_output_start(output)) << obs_output_get_last_error(output);

    Child monitor({kBin + "/qrv_monitor", "watch", "OBS Program", "--seconds", "4"});
    const bool seen = monitor.wait_for_output("1280x720", 15s);
    EXPECT_TRUE(seen) << monitor.output();
    monitor.wait_exit(10s);
    // At OBS's frame rate (30 a second, give or take the software
    // renderer's stalls, which OBS fills with repeated frames) and with its
    // stereo mix.
    int best_rate = 0;
    std::istringstream lines(monitor.output());
    for (std::string line; std::getline(lines, line);) {
        int rate = 0;
        if (std::sscanf(line.c_str(), "video %d fps 1280x720", &rate) == 1 && 
            std::abs(rate - 30) < std::abs(best_rate - 30))
            best_rate = rate;
    }
    EXPECT_NEAR(best_rate, 30, 6) << monitor.output();
    EXPECT_NE(monitor.output().find("audio 48000 Hz 2 ch"), std::string::npos) << monitor.output();
    obs_output_stop(output);
    obs_output_release(output);
}

// The first video frame of a source of the given short name, received
// here as it was sent: its size, layout and first four bytes.
struct FirstFrame {
    int width = 0, height = 0;
    uint32_t fourcc = 0;
    std::vector<uint8_t> first;
};

FirstFrame first_frame_of(const std::string& short_name, std::chrono::seconds limit)
{
    FirstFrame out;
    if (!QRVlib_initialize())
        return out;
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    QRVlib_recv_instance_t receiver = nullptr;
    const auto end = Clock::now() + limit;
    while (Clock::now() < end && out.first.empty()) {
        uint32_t n = 0;
        const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &n);
        for (uint32_t i = 0; i < n && !receiver; ++i) {
            const std::string name = sources[i].name ? sources[i].name : "";
            const std::string tail = "(" + short_name + ")";
            if (name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
                QRVlib_recv_create_v3_t settings;
                settings.source = sources[i];
                settings.color_format = QRVlib_recv_color_format_fastest;
                receiver = QRVlib_recv_create_v3(&settings);
            }
        }
        QRVlib_video_frame_v2_t video;
        if (!receiver)
            QRVlib_find_wait_for_sources(finder, 100);
        else if (QRVlib_recv_capture_v2(receiver, &video, nullptr, nullptr, 200) == QRVlib_frame_type_video) {
            out = {video.width, video.height, uint32_t(video.fourcc), {video.data, video.data + 4}};
            QRVlib_recv_free_video_v2(receiver, &video);
        }
    }
    QRVlib_recv_destroy(receiver);
    QRVlib_find_destroy(finder);
    QRVlib_destroy();
    return out;
}

// Resets OBS's video once the last output has let go of it (an output's
// stop ends its capture on a thread of its own).
int reset_video_when_idle(obs_video_info ovi)
{
    const auto end = Clock::now() + 5s;
    while (obs_video_active() && Clock::now() < end)
        std::this_thread::sleep_for(10ms);
    return obs_reset_video(&ovi);
}

// The output started once while OBS renders NV12 (which it has converted),
// then again after OBS's video was reset to BGRA at another size: the
// second run sends OBS's own BGRA frames, not the old conversion's.
TEST(ObsPublish, OutputRestartedAfterAVideoResetSendsTheNewLayout)
{
    DataRef settings;
    obs_data_set_string(settings.p, "name", "OBS Relayout");
    obs_output_t* output = obs_output_create("qrv_output", "QRV", settings.p, nullptr);
    ASSERT_NE(output, nullptr);
    ASSERT_TRUE(obs_output_start(output)) << obs_output_get_last_error(output);
    obs_output_stop(output);
    ASSERT_EQ(reset_video_when_idle(video_settings(VIDEO_FORMAT_BGRA, 640, 360)), OBS_VIDEO_SUCCESS);
    FirstFrame frame;
    const bool restarted = obs_output_start(output);
    if (restarted)
        frame = first_frame_of("OBS Relayout", 10s);
    const char* reason = restarted ? nullptr : obs_output_get_last_error(output);
    const std::string error = reason ? reason : "";
    obs_output_stop(output);
    obs_output_release(output);
    ASSERT_EQ(reset_video_when_idle(video_settings()), OBS_VIDEO_SUCCESS);

    ASSERT_TRUE(restarted) << error;
    ASSERT_EQ(frame.first.size(), 4u) << "no frame from the restarted output";
    EXPECT_EQ(frame.width, 640);
    EXPECT_EQ(frame.height, 360);
    EXPECT_EQ(frame.fourcc, uint32_t(QRVlib_FourCC_type_BGRA));
    // The empty program is black: B, G and R all 0 (UYVY's black would
    // read 0x80 0x10 0x80).
    EXPECT_EQ(std::vector<uint8_t>(frame.first.begin(), frame.first.begin() + 3), (std::vector<uint8_t>{0, 0, 0}));
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new ObsEnvironment());
    return RUN_ALL_TESTS();
}
