// "QRV Source": a source on the network as an asynchronous OBS source.
// The properties pick the source from the plugin's finder and say what to
// ask of it; OBS's show, hide, activate and deactivate drive receiving and
// the program tally.
#include <obs-module.h>

#include <algorithm>
#include <memory>
#include <string>

#include "plugin.h"
#include "source_finder.h"
#include "source_receiver.h"

namespace qrv_obs {

namespace {

constexpr const char* kSourceName = "source_name";
constexpr const char* kBandwidth = "bandwidth";
constexpr const char* kAudio = "audio";
constexpr const char* kLowLatency = "low_latency";
constexpr const char* kWhenHidden = "when_hidden";
constexpr const char* kStatus = "status";
constexpr const char* kCamera = "camera";
constexpr const char* kPreset = "camera_preset";
constexpr const char* kZoom = "camera_zoom";
constexpr float kMoveSpeed = 0.5f;

struct QrvSource {
    explicit QrvSource(obs_source_t* s) : source(s), finder(SourceFinder::acquire()), receiver(s) {}
    obs_source_t* source;
    std::shared_ptr<SourceFinder> finder;
    SourceReceiver receiver;
    std::string chosen;  // the source name the settings hold
    double zoom = -1;    // the zoom the settings held last; below 0 before the first update
};

const char* source_get_name(void*)
{
    return obs_module_text("QrvSource");
}

void source_update(void* data, obs_data_t* settings)
{
    auto* s = static_cast<QrvSource*>(data);
    ReceiverWishes wishes;
    wishes.source_name = obs_data_get_string(settings, kSourceName);
    wishes.preview = std::string(obs_data_get_string(settings, kBandwidth)) == "preview";
    wishes.audio = obs_data_get_bool(settings, kAudio);
    wishes.hidden_to_preview = std::string(obs_data_get_string(settings, kWhenHidden)) == "preview";
    s->chosen = wishes.source_name;
    obs_source_set_async_unbuffered(s->source, obs_data_get_bool(settings, kLowLatency));
    s->receiver.set_wishes(std::move(wishes));
    // The zoom slider moves the camera when it is moved, not when the
    // source is loaded.
    const double zoom = obs_data_get_double(settings, kZoom);
    if (s->zoom >= 0 && zoom != s->zoom)
        s->receiver.camera({CameraCommand::Kind::zoom, 0, float(zoom), 0});
    s->zoom = zoom;
}

// "qrv_set_preview": the frontend part of the plugin says whether the
// source is in the scene on OBS's preview (studio mode).
void set_preview_called(void* data, calldata_t* call)
{
    static_cast<QrvSource*>(data)->receiver.set_on_preview(calldata_bool(call, "on_preview"));
}

void* source_create(obs_data_t* settings, obs_source_t* source)
{
    auto* s = new QrvSource(source);
    source_update(s, settings);
    proc_handler_add(obs_source_get_proc_handler(source), "void qrv_set_preview(bool on_preview)",
                     set_preview_called, s);
    return s;
}

void source_destroy(void* data)
{
    delete static_cast<QrvSource*>(data);
}

void source_defaults(obs_data_t* settings)
{
    obs_data_set_default_string(settings, kBandwidth, "full");
    obs_data_set_default_bool(settings, kAudio, true);
    obs_data_set_default_bool(settings, kLowLatency, false);
    obs_data_set_default_string(settings, kWhenHidden, "stop");
    obs_data_set_default_int(settings, kPreset, 0);
    obs_data_set_default_double(settings, kZoom, 0.0);
}

// Fills the list with what the finder sees now. The chosen source stays in
// the list while it is away, so that opening the properties does not lose
// the choice.
void fill_source_list(obs_property_t* list, const QrvSource* s)
{
    obs_property_list_clear(list);
    std::vector<std::string> names;
    if (s && s->finder)
        names = s->finder->names();
    if (s && !s->chosen.empty() && std::find(names.begin(), names.end(), s->chosen) == names.end())
        names.insert(names.begin(), s->chosen);
    for (const auto& name : names)
        obs_property_list_add_string(list, name.c_str(), name.c_str());
}

// What the receiver is doing, and the camera controls when its sender
// takes camera commands.
void show_state(obs_properties_t* props, QrvSource* s)
{
    const std::string status = s ? s->receiver.status() : std::string();
    obs_property_t* text = obs_properties_get(props, kStatus);
    obs_property_set_description(text, status.c_str());
    obs_property_set_visible(text, !status.empty());
    obs_property_set_visible(obs_properties_get(props, kCamera), s && s->receiver.camera_supported());
}

bool refresh_clicked(obs_properties_t* props, obs_property_t*, void* data)
{
    auto* s = static_cast<QrvSource*>(data);
    fill_source_list(obs_properties_get(props, kSourceName), s);
    show_state(props, s);
    return true;
}

CameraCommand preset_command(QrvSource* s, CameraCommand::Kind kind)
{
    obs_data_t* settings = obs_source_get_settings(s->source);
    CameraCommand command{kind, int(obs_data_get_int(settings, kPreset)), 1.0f, 0};
    obs_data_release(settings);
    return command;
}

bool recall_clicked(obs_properties_t*, obs_property_t*, void* data)
{
    auto* s = static_cast<QrvSource*>(data);
    if (!s)
        return false;
    s->receiver.camera(preset_command(s, CameraCommand::Kind::recall_preset));
    return false;
}

bool store_clicked(obs_properties_t*, obs_property_t*, void* data)
{
    auto* s = static_cast<QrvSource*>(data);
    if (!s)
        return false;
    s->receiver.camera(preset_command(s, CameraCommand::Kind::store_preset));
    return false;
}

// The pan and tilt buttons: each moves at a fixed speed until Stop.
bool move_clicked(obs_properties_t*, obs_property_t* button, void* data)
{
    static const struct {
        const char* name;
        float pan, tilt;
    } moves[] = {{"camera_left", -kMoveSpeed, 0},  {"camera_right", kMoveSpeed, 0}, {"camera_up", 0, kMoveSpeed},
                 {"camera_down", 0, -kMoveSpeed}, {"camera_stop", 0, 0}};
    if (!data)
        return false;
    const std::string name = obs_property_name(button);
    for (const auto& m : moves)
        if (name == m.name)
            static_cast<QrvSource*>(data)->receiver.camera({CameraCommand::Kind::pan_tilt, 0, m.pan, m.tilt});
    return false;
}

void add_camera_controls(obs_properties_t* props, QrvSource* s)
{
    obs_properties_t* camera = obs_properties_create();
    obs_properties_add_int(camera, kPreset, obs_module_text("Camera.Preset"), 0, 9, 1);
    obs_properties_add_button2(camera, "camera_recall", obs_module_text("Camera.Recall"), recall_clicked, s);
    obs_properties_add_button2(camera, "camera_store", obs_module_text("Camera.Store"), store_clicked, s);
    for (const char* move : {"camera_left", "camera_right", "camera_up", "camera_down", "camera_stop"})
        obs_properties_add_button2(camera, move, obs_module_text(move), move_clicked, s);
    obs_properties_add_float_slider(camera, kZoom, obs_module_text("Camera.Zoom"), 0.0, 1.0, 0.05);
    obs_properties_add_group(props, kCamera, obs_module_text("Camera"), OBS_GROUP_NORMAL, camera);
}

obs_properties_t* source_properties(void* data)
{
    auto* s = static_cast<QrvSource*>(data);
    obs_properties_t* props = obs_properties_create();
    obs_property_t* list = obs_properties_add_list(props, kSourceName, obs_module_text("SourceName"),
                                                   OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
    fill_source_list(list, s);
    obs_properties_add_button2(props, "refresh", obs_module_text("RefreshSources"), refresh_clicked, s);
    obs_properties_add_text(props, kStatus, "", OBS_TEXT_INFO);
    if (s && !s->finder)
        obs_properties_add_text(props, "finder_error", obs_module_text("FinderError"), OBS_TEXT_INFO);

    obs_property_t* bandwidth = obs_properties_add_list(props, kBandwidth, obs_module_text("Bandwidth"),
                                                        OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
    obs_property_list_add_string(bandwidth, obs_module_text("Bandwidth.Full"), "full");
    obs_property_list_add_string(bandwidth, obs_module_text("Bandwidth.Preview"), "preview");
    obs_properties_add_bool(props, kAudio, obs_module_text("Audio"));
    obs_properties_add_bool(props, kLowLatency, obs_module_text("LowLatency"));
    obs_property_t* hidden = obs_properties_add_list(props, kWhenHidden, obs_module_text("WhenHidden"),
                                                     OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
    obs_property_list_add_string(hidden, obs_module_text("WhenHidden.Stop"), "stop");
    obs_property_list_add_string(hidden, obs_module_text("WhenHidden.Preview"), "preview");
    add_camera_controls(props, s);
    show_state(props, s);
    return props;
}

void source_show(void* data)
{
    static_cast<QrvSource*>(data)->receiver.set_showing(true);
}

void source_hide(void* data)
{
    static_cast<QrvSource*>(data)->receiver.set_showing(false);
}

void source_activate(void* data)
{
    static_cast<QrvSource*>(data)->receiver.set_on_program(true);
}

void source_deactivate(void* data)
{
    static_cast<QrvSource*>(data)->receiver.set_on_program(false);
}

}  // namespace

void register_source()
{
    obs_source_info info = {};
    info.id = "qrv_source";
    info.type = OBS_SOURCE_TYPE_INPUT;
    info.output_flags = OBS_SOURCE_ASYNC_VIDEO | OBS_SOURCE_AUDIO | OBS_SOURCE_DO_NOT_DUPLICATE;
    info.get_name = source_get_name;
    info.create = source_create;
    info.destroy = source_destroy;
    info.update = source_update;
    info.get_defaults = source_defaults;
    info.get_properties = source_properties;
    info.show = source_show;
    info.hide = source_hide;
    info.activate = source_activate;
    info.deactivate = source_deactivate;
    info.icon_type = OBS_ICON_TYPE_CAMERA;
    obs_register_source(&info);
}

}  // namespace qrv_obs
