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

struct QrvSource {
    explicit QrvSource(obs_source_t* s) : source(s), finder(SourceFinder::acquire()), receiver(s) {}
    obs_source_t* source;
    std::shared_ptr<SourceFinder> finder;
    SourceReceiver receiver;
    std::string chosen;  // the source name the settings hold
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
}

void* source_create(obs_data_t* settings, obs_source_t* source)
{
    auto* s = new QrvSource(source);
    source_update(s, settings);
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

bool refresh_clicked(obs_properties_t* props, obs_property_t*, void* data)
{
    fill_source_list(obs_properties_get(props, kSourceName), static_cast<QrvSource*>(data));
    return true;
}

obs_properties_t* source_properties(void* data)
{
    auto* s = static_cast<QrvSource*>(data);
    obs_properties_t* props = obs_properties_create();
    obs_property_t* list = obs_properties_add_list(props, kSourceName, obs_module_text("SourceName"),
                                                   OBS_COMBO_TYPE_LIST, OBS_COMBO_FORMAT_STRING);
    fill_source_list(list, s);
    obs_properties_add_button2(props, "refresh", obs_module_text("RefreshSources"), refresh_clicked, s);
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
