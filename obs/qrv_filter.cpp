// "QRV Filter": publishes the scene or source it is added to on its own,
// picture and sound, as a source on the network. The picture is what the
// filters before this one made of the source: rendered into a texture once
// per OBS frame, read back and sent; the filter then draws that texture, so
// OBS shows the same picture.
#include <obs-module.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "network_sender.h"
#include "plugin.h"

namespace qrv_obs {

namespace {

constexpr const char* kName = "name";

struct QrvFilter {
    obs_source_t* context = nullptr;
    std::mutex name_mutex;  // name: updates come from OBS's UI thread and its video thread
    std::string name;       // as published; empty: none yet
    std::atomic<std::shared_ptr<NetworkSender>> sender;
    int64_t clock_offset = unix_minus_obs_clock();
    // Graphics thread only.
    gs_texrender_t* render = nullptr;
    gs_stagesurf_t* stage = nullptr;
    uint32_t stage_width = 0, stage_height = 0;
    uint64_t sent_frame_time = 0;  // the OBS frame last sent: a source shown twice is sent once
    // Audio thread only.
    std::vector<float> planes;
};

const char* filter_get_name(void*)
{
    return obs_module_text("QrvFilter");
}

// The name to publish: the settings', else the filtered source's own.
std::string wanted_name(QrvFilter* f, obs_data_t* settings)
{
    std::string name = obs_data_get_string(settings, kName);
    if (name.empty()) {
        obs_source_t* parent = obs_filter_get_parent(f->context);
        name = parent ? obs_source_get_name(parent) : "";
    }
    return name;
}

void filter_update(void* data, obs_data_t* settings)
{
    auto* f = static_cast<QrvFilter*>(data);
    const std::string name = wanted_name(f, settings);
    {
        std::lock_guard lock(f->name_mutex);
        if (name == f->name)
            return;
        f->name = name;
    }
    f->sender.store(name.empty() ? nullptr : std::make_shared<NetworkSender>(name));
    if (!name.empty())
        QRV_OBS_LOG(LOG_INFO, "a filter publishes \"%s\"", name.c_str());
}

void* filter_create(obs_data_t* settings, obs_source_t* context)
{
    auto* f = new QrvFilter();
    f->context = context;
    filter_update(f, settings);
    return f;
}

void filter_destroy(void* data)
{
    auto* f = static_cast<QrvFilter*>(data);
    obs_enter_graphics();
    gs_stagesurface_destroy(f->stage);
    gs_texrender_destroy(f->render);
    obs_leave_graphics();
    delete f;
}

obs_properties_t* filter_properties(void*)
{
    obs_properties_t* props = obs_properties_create();
    obs_properties_add_text(props, kName, obs_module_text("FilterName"), OBS_TEXT_DEFAULT);
    return props;
}

// The parent is given its first frame's name only once it exists: a filter
// loaded with its source has no parent yet at creation.
void filter_tick(void* data, float)
{
    auto* f = static_cast<QrvFilter*>(data);
    bool unnamed;
    {
        std::lock_guard lock(f->name_mutex);
        unnamed = f->name.empty();
    }
    if (unnamed) {
        obs_data_t* settings = obs_source_get_settings(f->context);
        filter_update(f, settings);
        obs_data_release(settings);
    }
}

// Reads the rendered picture back and sends it, once per OBS frame.
void send_rendered(QrvFilter* f, gs_texture_t* texture, uint32_t width, uint32_t height)
{
    const uint64_t frame_time = obs_get_video_frame_time();
    const auto sender = f->sender.load();
    if (!sender || !sender->get() || frame_time == f->sent_frame_time)
        return;
    f->sent_frame_time = frame_time;
    if (!f->stage || f->stage_width != width || f->stage_height != height) {
        gs_stagesurface_destroy(f->stage);
        f->stage = gs_stagesurface_create(width, height, GS_BGRA);
        f->stage_width = width;
        f->stage_height = height;
    }
    gs_stage_texture(f->stage, texture);
    uint8_t* pixels = nullptr;
    uint32_t line = 0;
    if (!gs_stagesurface_map(f->stage, &pixels, &line))
        return;
    obs_video_info ovi;
    obs_get_video_info(&ovi);
    QRVlib_video_frame_v2_t frame(int32_t(width), int32_t(height), QRVlib_FourCC_type_BGRA, int32_t(ovi.fps_num),
                                  int32_t(ovi.fps_den));
    frame.data = pixels;
    frame.line_stride = int32_t(line);
    frame.timecode = int64_t(frame_time / 100) + f->clock_offset;
    QRVlib_send_send_video_v2(sender->get(), &frame);
    gs_stagesurface_unmap(f->stage);
}

void filter_render(void* data, gs_effect_t*)
{
    auto* f = static_cast<QrvFilter*>(data);
    obs_source_t* target = obs_filter_get_target(f->context);
    const uint32_t width = target ? obs_source_get_base_width(target) : 0;
    const uint32_t height = target ? obs_source_get_base_height(target) : 0;
    if (!width || !height) {
        obs_source_skip_video_filter(f->context);
        return;
    }
    if (!f->render)
        f->render = gs_texrender_create(GS_BGRA, GS_ZS_NONE);
    gs_texrender_reset(f->render);
    if (!gs_texrender_begin(f->render, width, height)) {
        obs_source_skip_video_filter(f->context);
        return;
    }
    vec4 clear;
    vec4_zero(&clear);
    gs_clear(GS_CLEAR_COLOR, &clear, 0.0f, 0);
    gs_ortho(0.0f, float(width), 0.0f, float(height), -100.0f, 100.0f);
    gs_blend_state_push();
    gs_blend_function(GS_BLEND_ONE, GS_BLEND_ZERO);
    obs_source_skip_video_filter(f->context);
    gs_blend_state_pop();
    gs_texrender_end(f->render);

    gs_texture_t* texture = gs_texrender_get_texture(f->render);
    send_rendered(f, texture, width, height);

    gs_effect_t* effect = obs_get_base_effect(OBS_EFFECT_DEFAULT);
    gs_effect_set_texture(gs_effect_get_param_by_name(effect, "image"), texture);
    while (gs_effect_loop(effect, "Draw"))
        gs_draw_sprite(texture, 0, width, height);
}

obs_audio_data* filter_audio(void* data, obs_audio_data* audio)
{
    auto* f = static_cast<QrvFilter*>(data);
    if (const auto sender = f->sender.load()) {
        audio_t* mix = obs_get_audio();
        sender->send_audio(audio->data, audio->frames, int(audio_output_get_channels(mix)),
                           int(audio_output_get_sample_rate(mix)), int64_t(audio->timestamp / 100) + f->clock_offset,
                           f->planes);
    }
    return audio;
}

}  // namespace

void register_filter()
{
    obs_source_info info = {};
    info.id = "qrv_filter";
    info.type = OBS_SOURCE_TYPE_FILTER;
    info.output_flags = OBS_SOURCE_VIDEO | OBS_SOURCE_AUDIO;
    info.get_name = filter_get_name;
    info.create = filter_create;
    info.destroy = filter_destroy;
    info.update = filter_update;
    info.get_properties = filter_properties;
    info.video_tick = filter_tick;
    info.video_render = filter_render;
    info.filter_audio = filter_audio;
    obs_register_source(&info);
}

}  // namespace qrv_obs
