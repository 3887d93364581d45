#include "output_control.h"

#include <obs-module.h>
#include <util/platform.h>

namespace qrv_obs_frontend {

namespace {

obs_output_t* program_output = nullptr;

std::string config_file()
{
    char* path = obs_module_config_path("output.json");
    std::string file = path ? path : "";
    bfree(path);
    return file;
}

obs_data_t* to_data(const OutputSettings& settings)
{
    obs_data_t* data = obs_data_create();
    obs_data_set_string(data, "name", settings.name.c_str());
    obs_data_set_bool(data, "start_at_launch", settings.start_at_launch);
    return data;
}

}  // namespace

OutputSettings load_output_settings()
{
    OutputSettings settings;
    const std::string file = config_file();
    obs_data_t* data = file.empty() ? nullptr : obs_data_create_from_json_file_safe(file.c_str(), "bak");
    if (!data)
        return settings;
    obs_data_set_default_string(data, "name", settings.name.c_str());
    obs_data_set_default_bool(data, "start_at_launch", settings.start_at_launch);
    settings.name = obs_data_get_string(data, "name");
    settings.start_at_launch = obs_data_get_bool(data, "start_at_launch");
    obs_data_release(data);
    return settings;
}

bool save_output_settings(const OutputSettings& settings)
{
    const std::string file = config_file();
    char* folder = obs_module_config_path("");
    if (folder)
        os_mkdirs(folder);
    bfree(folder);
    obs_data_t* data = to_data(settings);
    const bool saved = !file.empty() && obs_data_save_json_safe(data, file.c_str(), "tmp", "bak");
    obs_data_release(data);
    if (!saved)
        blog(LOG_WARNING, "[qrv-obs] cannot save the QRV Output's settings to %s", file.c_str());
    return saved;
}

bool start_output(std::string* error)
{
    obs_data_t* data = to_data(load_output_settings());
    if (!program_output)
        program_output = obs_output_create("qrv_output", "QRV Output", data, nullptr);
    else
        obs_output_update(program_output, data);
    obs_data_release(data);
    if (!program_output) {
        *error = "the QRV Output cannot be created: is the qrv-obs module loaded?";
        blog(LOG_ERROR, "[qrv-obs] %s", error->c_str());
        return false;
    }
    // A running output publishes under the name it started with.
    if (obs_output_active(program_output))
        obs_output_stop(program_output);
    if (!obs_output_start(program_output)) {
        const char* reason = obs_output_get_last_error(program_output);
        *error = reason ? reason : "see OBS's log";
        blog(LOG_ERROR, "[qrv-obs] the QRV Output did not start: %s", error->c_str());
        return false;
    }
    return true;
}

void stop_output()
{
    if (program_output && obs_output_active(program_output))
        obs_output_stop(program_output);
}

bool output_running()
{
    return program_output && obs_output_active(program_output);
}

void release_output()
{
    stop_output();
    obs_output_release(program_output);
    program_output = nullptr;
}

}  // namespace qrv_obs_frontend
