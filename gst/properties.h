// The elements' properties behind the GObject property calls: each property
// is bound to its part of the element's settings, read and written under the
// object lock, so that qrvsink and qrvsrc share one set_property and one
// get_property and list only their fields.
#ifndef QRV_GST_PROPERTIES_H
#define QRV_GST_PROPERTIES_H

#include <gst/gst.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <type_traits>

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

/// How one property reads and writes its part of an element's Settings.
/// store and load run with the object lock held; applied, when set, runs
/// after a store without the lock, for a setting that takes effect on a
/// running element at once.
template <typename Settings>
struct PropertyField {
    void (*store)(Settings& settings, const GValue* value);
    void (*load)(const Settings& settings, GValue* value);
    void (*applied)(GObject* object);
};

namespace detail {

template <typename T>
struct MemberOf;
template <typename Owner, typename Field>
struct MemberOf<Field Owner::*> {
    using owner = Owner;
};

inline void store_value(std::string& field, const GValue* v) { field = text_of(v); }
inline void store_value(bool& field, const GValue* v) { field = g_value_get_boolean(v); }
inline void store_value(std::chrono::milliseconds& field, const GValue* v)
{
    field = std::chrono::milliseconds(g_value_get_uint(v));
}
template <typename E, typename = std::enable_if_t<std::is_enum_v<E>>>
void store_value(E& field, const GValue* v)
{
    field = static_cast<E>(g_value_get_enum(v));
}

inline void load_value(const std::string& field, GValue* v) { g_value_set_string(v, field.c_str()); }
inline void load_value(bool field, GValue* v) { g_value_set_boolean(v, field); }
inline void load_value(std::chrono::milliseconds field, GValue* v) { g_value_set_uint(v, (guint)field.count()); }
template <typename E, typename = std::enable_if_t<std::is_enum_v<E>>>
void load_value(E field, GValue* v)
{
    g_value_set_enum(v, (gint)field);
}

}  // namespace detail

/// The property of one field of Settings (text, boolean, enumeration or
/// milliseconds), its value stored as given and read back as stored.
template <auto Member>
constexpr PropertyField<typename detail::MemberOf<decltype(Member)>::owner> field_property(
    void (*applied)(GObject*) = nullptr)
{
    using Settings = typename detail::MemberOf<decltype(Member)>::owner;
    return {[](Settings& s, const GValue* v) { detail::store_value(s.*Member, v); },
            [](const Settings& s, GValue* v) { detail::load_value(s.*Member, v); }, applied};
}

/// The property of a text field of Settings whose empty text reads as
/// unset (null).
template <auto Member>
constexpr PropertyField<typename detail::MemberOf<decltype(Member)>::owner> optional_text_property()
{
    using Settings = typename detail::MemberOf<decltype(Member)>::owner;
    return {[](Settings& s, const GValue* v) { s.*Member = text_of(v); },
            [](const Settings& s, GValue* v) { set_text_or_unset(v, s.*Member); }, nullptr};
}

/// set_property of an element whose property ids 1 to N are the entries of
/// fields in order.
template <typename Settings, size_t N>
void set_property(GObject* object, Settings& settings, const PropertyField<Settings> (&fields)[N], guint id,
                  const GValue* value, GParamSpec* pspec)
{
    if (id == 0 || id > N) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        return;
    }
    const PropertyField<Settings>& field = fields[id - 1];
    GST_OBJECT_LOCK(object);
    field.store(settings, value);
    GST_OBJECT_UNLOCK(object);
    if (field.applied)
        field.applied(object);
}

/// get_property of an element whose property ids 1 to N are the entries of
/// fields in order.
template <typename Settings, size_t N>
void get_property(GObject* object, const Settings& settings, const PropertyField<Settings> (&fields)[N], guint id,
                  GValue* value, GParamSpec* pspec)
{
    if (id == 0 || id > N) {
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        return;
    }
    GST_OBJECT_LOCK(object);
    fields[id - 1].load(settings, value);
    GST_OBJECT_UNLOCK(object);
}

}  // namespace qrv_gst

#endif
