// String properties of the elements, kept as std::string behind the
// GObject property calls.
#ifndef QRV_GST_PROPERTIES_H
#define QRV_GST_PROPERTIES_H

#include <glib-object.h>

#include <string>

namespace qrv_gst {

/// The text of a string property's new value; unset (null) becomes empty.
inline std::string text_of(const GValue* value)
{
    const gchar* v = g_value_get_string(value);
    return v ? v : "";
}

/// Gives a string property's value; empty text reads as unset (null).
inline void set_text_or_unset(GValue* value, const std::string& text)
{
    g_value_set_string(value, text.empty() ? nullptr : text.c_str());
}

}  // namespace qrv_gst

#endif
