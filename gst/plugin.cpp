// The plugin "qrv": puts any pipeline onto the network (qrvsink), brings
// any source on the network into a pipeline (qrvsrc), and lists the sources
// for device monitors.
#include <gst/gst.h>

#include "elements.h"
#include "library_ref.h"

static gboolean plugin_init(GstPlugin* plugin)
{
    qrv_gst::install_log_forwarding();
    return qrv_gst::register_qrvsink(plugin) && qrv_gst::register_qrvsrc(plugin) &&
           qrv_gst::register_device_provider(plugin);
}

#define PACKAGE "qrv"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, qrv,
                  "Live video and audio between machines on a local network with the QRV runtime", plugin_init,
                  QRV_VERSION, "unknown", "qrv", "https://example.invalid/qrv")
