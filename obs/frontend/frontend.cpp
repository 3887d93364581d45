// qrv-obs-frontend: the parts of the plugin that need OBS Studio's window,
// in a module of their own so that qrv-obs loads without it (headless, or
// in programs that embed libobs). It keeps one QRV Output for the program,
// started and stopped from the Tools menu or at start-up, and tells every
// QRV Source whether it is on the preview in studio mode.
//
// The output's settings are read from output.json in this module's
// configuration folder (~/.config/obs-studio/plugin_config/qrv-obs-frontend):
//   {"name": "OBS", "start_at_launch": false}
#include <obs-frontend-api.h>
#include <obs-module.h>

#include <string>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("qrv-obs-frontend", "en-US")

#define FRONTEND_LOG(level, format, ...) blog(level, "[qrv-obs] " format, ##__VA_ARGS__)

namespace {

obs_output_t* program_output = nullptr;

// The output's settings, with their defaults; a missing or unreadable file
// gives the defaults.
obs_data_t* load_settings()
{
    char* path = obs_module_config_path("output.json");
    obs_data_t* settings = path ? obs_data_create_from_json_file_safe(path, "bak") : nullptr;
    bfree(path);
    if (!settings)
        settings = obs_data_create();
    obs_data_set_default_string(settings, "name", "OBS");
    obs_data_set_default_bool(settings, "start_at_launch", false);
    return settings;
}

void start_output()
{
    if (!program_output) {
        obs_data_t* settings = load_settings();
        program_output = obs_output_create("qrv_output", "QRV Output", settings, nullptr);
        obs_data_release(settings);
        if (!program_output) {
            FRONTEND_LOG(LOG_ERROR, "cannot create the QRV Output: is the qrv-obs module loaded?");
            return;
        }
    }
    if (!obs_output_active(program_output) && !obs_output_start(program_output)) {
        const char* reason = obs_output_get_last_error(program_output);
        FRONTEND_LOG(LOG_ERROR, "the QRV Output did not start: %s", reason ? reason : "see the log");
    }
}

void stop_output()
{
    if (program_output && obs_output_active(program_output))
        obs_output_stop(program_output);
}

void release_output()
{
    stop_output();
    obs_output_release(program_output);
    program_output = nullptr;
}

// Tells every QRV Source whether the preview scene (in studio mode) holds it.
void update_preview_tally()
{
    obs_source_t* preview = obs_frontend_preview_program_mode_active() ? obs_frontend_get_current_preview_scene()
                                                                       : nullptr;
    obs_scene_t* scene = preview ? obs_scene_from_source(preview) : nullptr;
    auto tell = [](void* param, obs_source_t* source) {
        if (std::string(obs_source_get_unversioned_id(source)) != "qrv_source")
            return true;
        auto* in = static_cast<obs_scene_t*>(param);
        calldata_t call;
        calldata_init(&call);
        calldata_set_bool(&call, "on_preview",
                          in && obs_scene_find_source_recursive(in, obs_source_get_name(source)) != nullptr);
        proc_handler_call(obs_source_get_proc_handler(source), "qrv_set_preview", &call);
        calldata_free(&call);
        return true;
    };
    obs_enum_sources(tell, scene);
    obs_source_release(preview);
}

void on_event(enum obs_frontend_event event, void*)
{
    switch (event) {
    case OBS_FRONTEND_EVENT_FINISHED_LOADING: {
        obs_data_t* settings = load_settings();
        if (obs_data_get_bool(settings, "start_at_launch"))
            start_output();
        obs_data_release(settings);
        update_preview_tally();
        break;
    }
    case OBS_FRONTEND_EVENT_STUDIO_MODE_ENABLED:
    case OBS_FRONTEND_EVENT_STUDIO_MODE_DISABLED:
    case OBS_FRONTEND_EVENT_PREVIEW_SCENE_CHANGED:
    case OBS_FRONTEND_EVENT_SCENE_CHANGED:
        update_preview_tally();
        break;
    case OBS_FRONTEND_EVENT_EXIT:
        release_output();
        break;
    default:
        break;
    }
}

}  // namespace

MODULE_EXPORT const char* obs_module_description(void)
{
    return "The QRV Output in OBS Studio's Tools menu, and preview tally in studio mode";
}

bool obs_module_load(void)
{
    obs_frontend_add_tools_menu_item(obs_module_text("StartOutput"), [](void*) { start_output(); }, nullptr);
    obs_frontend_add_tools_menu_item(obs_module_text("StopOutput"), [](void*) { stop_output(); }, nullptr);
    obs_frontend_add_event_callback(on_event, nullptr);
    return true;
}

void obs_module_unload(void)
{
    obs_frontend_remove_event_callback(on_event, nullptr);
    release_output();
}
