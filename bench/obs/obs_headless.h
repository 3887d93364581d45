// Starts libobs without a window for the OBS benchmarks: the OpenGL
// graphics module at a given canvas, stereo audio at 48 kHz, and the plugin
// loaded from its build folder (only it: the other modules want OBS Studio).
#pragma once

#include <obs.h>

#include <cstring>
#include <string>

namespace qrv_bench {

inline void load_qrv_plugin(void* loaded, const obs_module_info2* info)
{
    if (std::strcmp(info->name, "qrv-obs") != 0)
        return;
    obs_module_t* module = nullptr;
    if (obs_open_module(&module, info->bin_path, info->data_path) == MODULE_SUCCESS && obs_init_module(module))
        *static_cast<bool*>(loaded) = true;
}

// False when libobs, its video or audio, or the plugin did not start.
inline bool start_headless_obs(const std::string& plugin_dir, uint32_t width, uint32_t height,
                               video_format format, video_range_type range)
{
    if (!obs_startup("en-US", nullptr, nullptr))
        return false;
    obs_video_info ovi = {};
    ovi.graphics_module = "libobs-opengl";
    ovi.fps_num = 30;
    ovi.fps_den = 1;
    ovi.base_width = ovi.output_width = width;
    ovi.base_height = ovi.output_height = height;
    ovi.output_format = format;
    ovi.colorspace = VIDEO_CS_709;
    ovi.range = range;
    ovi.scale_type = OBS_SCALE_BICUBIC;
    ovi.gpu_conversion = true;
    obs_audio_info oai = {48000, SPEAKERS_STEREO};
    if (obs_reset_video(&ovi) != OBS_VIDEO_SUCCESS || !obs_reset_audio(&oai))
        return false;
    obs_add_module_path(plugin_dir.c_str(), (plugin_dir + "/data").c_str());
    bool loaded = false;
    obs_find_modules2(load_qrv_plugin, &loaded);
    return loaded;
}

}  // namespace qrv_bench
