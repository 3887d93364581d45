// qrv-obs-frontend: the parts of the plugin that need OBS Studio's window,
// in a module of their own so that qrv-obs loads without it (headless, or
// in programs that embed libobs). It keeps one QRV Output for the program,
// set up, started and stopped from a dialog in the Tools menu or started
// when OBS has loaded, and tells every QRV Source whether it is on the
// preview in studio mode.
#include <obs-frontend-api.h>
#include <obs-module.h>

#include <string>

#include "output_control.h"

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("qrv-obs-frontend", "en-US")

namespace {

using namespace qrv_obs_frontend;

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
        std::string error;
        if (load_output_settings().start_at_launch)
            start_output(&error);
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
    obs_frontend_add_tools_menu_item(obs_module_text("OutputMenu"), [](void*) { show_output_dialog(); }, nullptr);
    obs_frontend_add_event_callback(on_event, nullptr);
    return true;
}

void obs_module_unload(void)
{
    obs_frontend_remove_event_callback(on_event, nullptr);
    release_output();
}
