// The QRV Output that OBS Studio's Tools menu controls: one for the
// program, with its settings kept in output.json in this module's
// configuration folder. All calls come from OBS's UI thread.
#ifndef QRV_OBS_FRONTEND_OUTPUT_CONTROL_H
#define QRV_OBS_FRONTEND_OUTPUT_CONTROL_H

#include <string>

namespace qrv_obs_frontend {

struct OutputSettings {
    std::string name = "OBS";      ///< the source name on the network
    bool start_at_launch = false;  ///< start once OBS has loaded
};

/// The saved settings; a missing or unreadable file gives the defaults.
OutputSettings load_output_settings();
/// Saves the settings; false (logged) when the file cannot be written.
bool save_output_settings(const OutputSettings& settings);

/// Starts publishing the program with the saved settings, restarting an
/// output that runs under another name. False with *error when it did not
/// start.
bool start_output(std::string* error);
void stop_output();
bool output_running();
/// Stops and frees the output (OBS exiting, module unloading).
void release_output();

/// Shows the Tools menu's dialog (one at a time) over OBS's main window.
void show_output_dialog();

}  // namespace qrv_obs_frontend

#endif
