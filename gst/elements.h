// Registration of the plugin's features.
#ifndef QRV_GST_ELEMENTS_H
#define QRV_GST_ELEMENTS_H

#include <gst/gst.h>

namespace qrv_gst {

/// Each registers one feature with the plugin; false when GStreamer refuses.
bool register_qrvsink(GstPlugin* plugin);
bool register_qrvsrc(GstPlugin* plugin);
bool register_device_provider(GstPlugin* plugin);

}  // namespace qrv_gst

#endif
