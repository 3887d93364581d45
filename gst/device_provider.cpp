// The device provider: the sources on the network as devices, each making
// a ready qrvsrc for its full name. While started, a thread of its own
// follows the finder and adds and removes devices as sources come and go.

/**
 * SECTION:provider-qrvdeviceprovider
 * @title: qrvdeviceprovider
 * @see_also: qrvsrc
 *
 * The sources on the local network as devices of the class
 * "Video/Audio/Source/Network", for device monitors and applications that
 * offer their user a list of inputs. Each device is named after its
 * source's full name, "HOST (name)", carries the property
 * "qrv.source-name" and makes a qrvsrc for that source. Devices are added
 * and removed as sources appear and end.
 *
 * ## Example launch line
 * |[
 * gst-device-monitor-1.0 Video/Source/Network
 * ]|
 * Lists the sources on the network, each with its properties and a launch
 * line such as the following.
 * |[
 * gst-launch-1.0 qrvsrc source-name="HOST (Test Pattern)" ! videoconvert ! autovideosink
 * ]|
 */

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "elements.h"
#include "library_ref.h"
#include "qrv/qrv_runtime.h"

GST_DEBUG_CATEGORY_STATIC(qrvdevice_debug);
#define GST_CAT_DEFAULT qrvdevice_debug

namespace {

// A first listing waits this long for the sources to answer, and returns
// once no new answer came for kSettle.
constexpr auto kFirstListing = std::chrono::milliseconds(1500);
constexpr uint32_t kSettleMs = 300;

#define QRV_DEVICE_CAPS                                                                                 \
    "video/x-raw, format=(string){ UYVY, BGRA, BGRx, RGBA, RGBx }; "                                    \
    "audio/x-raw, format=(string)F32LE, layout=(string)non-interleaved"

}  // namespace

// ---------------------------------------------------------------------------
// A device: one source
// ---------------------------------------------------------------------------

struct GstQrvDevice {
    GstDevice parent;
    gchar* source_name;  // full name, "HOST (name)"
};
struct GstQrvDeviceClass {
    GstDeviceClass parent_class;
};

G_DEFINE_TYPE(GstQrvDevice, gst_qrv_device, GST_TYPE_DEVICE)

static GstElement* device_create_element(GstDevice* device, const gchar* name)
{
    auto* self = reinterpret_cast<GstQrvDevice*>(device);
    GstElement* element = gst_element_factory_make("qrvsrc", name);
    if (element)
        g_object_set(element, "source-name", self->source_name, nullptr);
    return element;
}

static gboolean device_reconfigure_element(GstDevice* device, GstElement* element)
{
    auto* self = reinterpret_cast<GstQrvDevice*>(device);
    if (g_strcmp0(GST_OBJECT_NAME(gst_element_get_factory(element)), "qrvsrc") != 0)
        return FALSE;
    g_object_set(element, "source-name", self->source_name, nullptr);
    return TRUE;
}

static void device_finalize(GObject* object)
{
    g_free(reinterpret_cast<GstQrvDevice*>(object)->source_name);
    G_OBJECT_CLASS(gst_qrv_device_parent_class)->finalize(object);
}

static void gst_qrv_device_class_init(GstQrvDeviceClass* klass)
{
    G_OBJECT_CLASS(klass)->finalize = device_finalize;
    GST_DEVICE_CLASS(klass)->create_element = GST_DEBUG_FUNCPTR(device_create_element);
    GST_DEVICE_CLASS(klass)->reconfigure_element = GST_DEBUG_FUNCPTR(device_reconfigure_element);
}

static void gst_qrv_device_init(GstQrvDevice*) {}

static GstDevice* make_device(const std::string& name, const std::string& locator)
{
    GstCaps* caps = gst_caps_from_string(QRV_DEVICE_CAPS);
    GstStructure* props = gst_structure_new("qrv-source", "qrv.source-name", G_TYPE_STRING, name.c_str(),
                                            "qrv.locator", G_TYPE_STRING, locator.c_str(), nullptr);
    auto* device = reinterpret_cast<GstQrvDevice*>(g_object_new(gst_qrv_device_get_type(), "display-name",
                                                                 name.c_str(), "caps", caps, "device-class",
                                                                 "Video/Audio/Source/Network", "properties", props,
                                                                 nullptr));
    device->source_name = g_strdup(name.c_str());
    gst_caps_unref(caps);
    gst_structure_free(props);
    return GST_DEVICE(device);
}

// ---------------------------------------------------------------------------
// The provider
// ---------------------------------------------------------------------------

// Sources as a finder lists them: full name to locator.
using SourceList = std::map<std::string, std::string>;

static SourceList current_sources(QRVlib_find_instance_t finder)
{
    SourceList list;
    uint32_t count = 0;
    const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &count);
    for (uint32_t i = 0; i < count; ++i)
        if (sources[i].name)
            list[sources[i].name] = sources[i].locator ? sources[i].locator : "";
    return list;
}

// A finder given time for the sources to answer: returns once some are
// listed and the list has not changed for a moment, or after kFirstListing
// (an empty network takes that long).
static void settle(QRVlib_find_instance_t finder)
{
    const auto end = std::chrono::steady_clock::now() + kFirstListing;
    while (std::chrono::steady_clock::now() < end) {
        if (QRVlib_find_wait_for_sources(finder, kSettleMs))
            continue;
        uint32_t count = 0;
        QRVlib_find_get_current_sources(finder, &count);
        if (count > 0)
            return;
    }
}

struct QrvProviderState {
    std::shared_ptr<qrv_gst::LibraryRef> library;
    QRVlib_find_instance_t finder = nullptr;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::map<std::string, GstDevice*> devices;  // those announced, by full name; only the thread touches it
};

struct GstQrvDeviceProvider {
    GstDeviceProvider parent;
    QrvProviderState* state;
};
struct GstQrvDeviceProviderClass {
    GstDeviceProviderClass parent_class;
};

G_DEFINE_TYPE(GstQrvDeviceProvider, gst_qrv_device_provider, GST_TYPE_DEVICE_PROVIDER)

static GList* provider_probe(GstDeviceProvider* provider)
{
    std::string error;
    auto library = qrv_gst::LibraryRef::acquire(&error);
    if (!library) {
        GST_WARNING_OBJECT(provider, "%s", error.c_str());
        return nullptr;
    }
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    if (!finder)
        return nullptr;
    settle(finder);
    GList* devices = nullptr;
    for (const auto& [name, locator] : current_sources(finder))
        devices = g_list_append(devices, gst_object_ref_sink(make_device(name, locator)));
    QRVlib_find_destroy(finder);
    return devices;
}

// Announces what came and withdraws what went since the last call.
static void provider_update(GstDeviceProvider* provider, QrvProviderState& s)
{
    const SourceList now = current_sources(s.finder);
    for (auto it = s.devices.begin(); it != s.devices.end();) {
        if (now.count(it->first)) {
            ++it;
            continue;
        }
        GST_INFO_OBJECT(provider, "source gone: %s", it->first.c_str());
        gst_device_provider_device_remove(provider, it->second);
        gst_object_unref(it->second);
        it = s.devices.erase(it);
    }
    for (const auto& [name, locator] : now) {
        if (s.devices.count(name))
            continue;
        GST_INFO_OBJECT(provider, "source found: %s", name.c_str());
        GstDevice* device = GST_DEVICE(gst_object_ref_sink(make_device(name, locator)));
        s.devices[name] = GST_DEVICE(gst_object_ref(device));
        gst_device_provider_device_add(provider, device);
        gst_object_unref(device);
    }
}

static gboolean provider_start(GstDeviceProvider* provider)
{
    auto* self = reinterpret_cast<GstQrvDeviceProvider*>(provider);
    QrvProviderState& s = *self->state;
    std::string error;
    s.library = qrv_gst::LibraryRef::acquire(&error);
    if (!s.library) {
        GST_WARNING_OBJECT(provider, "%s", error.c_str());
        return FALSE;
    }
    s.finder = QRVlib_find_create_v2(nullptr);
    if (!s.finder) {
        GST_WARNING_OBJECT(provider, "cannot look for sources: %s", QRVlib_get_last_error());
        s.library.reset();
        return FALSE;
    }
    // The sources already there are listed when start returns, as monitors
    // that list once expect.
    settle(s.finder);
    provider_update(provider, s);
    s.stopping.store(false);
    s.thread = std::thread([provider, &s] {
        while (!s.stopping.load())
            if (QRVlib_find_wait_for_sources(s.finder, 200))
                provider_update(provider, s);
    });
    return TRUE;
}

static void provider_stop(GstDeviceProvider* provider)
{
    auto* self = reinterpret_cast<GstQrvDeviceProvider*>(provider);
    QrvProviderState& s = *self->state;
    s.stopping.store(true);
    if (s.thread.joinable())
        s.thread.join();
    // The base class drops the devices it was given once stop returns.
    for (auto& [name, device] : s.devices)
        gst_object_unref(device);
    s.devices.clear();
    if (s.finder)
        QRVlib_find_destroy(s.finder);
    s.finder = nullptr;
    s.library.reset();
}

static void provider_finalize(GObject* object)
{
    auto* self = reinterpret_cast<GstQrvDeviceProvider*>(object);
    delete self->state;
    G_OBJECT_CLASS(gst_qrv_device_provider_parent_class)->finalize(object);
}

static void gst_qrv_device_provider_class_init(GstQrvDeviceProviderClass* klass)
{
    GstDeviceProviderClass* provider_class = GST_DEVICE_PROVIDER_CLASS(klass);
    G_OBJECT_CLASS(klass)->finalize = provider_finalize;
    provider_class->probe = GST_DEBUG_FUNCPTR(provider_probe);
    provider_class->start = GST_DEBUG_FUNCPTR(provider_start);
    provider_class->stop = GST_DEBUG_FUNCPTR(provider_stop);
    gst_device_provider_class_set_static_metadata(provider_class, "QRV source provider",
                                                  "Video/Audio/Source/Network",
                                                  "Lists the video and audio sources on the network", "QRV");
}

static void gst_qrv_device_provider_init(GstQrvDeviceProvider* self)
{
    self->state = new QrvProviderState();
}

bool qrv_gst::register_device_provider(GstPlugin* plugin)
{
    GST_DEBUG_CATEGORY_INIT(qrvdevice_debug, "qrvdeviceprovider", 0, "QRV source provider");
    return gst_device_provider_register(plugin, "qrvdeviceprovider", GST_RANK_PRIMARY,
                                        gst_qrv_device_provider_get_type());
}
