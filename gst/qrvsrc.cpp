// qrvsrc: one source on the network into a pipeline. A bin with a video and
// an audio pad; behind each a live push source fed by the shared receiver.

/**
 * SECTION:element-qrvsrc
 * @title: qrvsrc
 * @see_also: qrvsink
 *
 * qrvsrc receives one source on the local network: its video on the pad
 * "video" and its audio on the pad "audio", both live and timed on the
 * pipeline's clock. It finds the source by name ("HOST (name)" as listed,
 * or the source's own name alone), reconnects by itself when the source
 * comes back, and follows a router to whichever source it points at. Only
 * the kinds of media whose pads are linked are asked for. Changes of the
 * source's state are posted on the bus as "qrv-status" and its combined
 * tally as "qrv-tally"; the tally-program and tally-preview properties tell
 * the source that this receiver has it on program or on preview.
 *
 * ## Example launch line
 * |[
 * gst-launch-1.0 qrvsrc name=src source-name="HOST (Test Pattern)" src.video ! videoconvert ! autovideosink src.audio ! audioconvert ! autoaudiosink
 * ]|
 * Shows the video and plays the audio of the source "Test Pattern" on the
 * host HOST.
 * |[
 * gst-launch-1.0 qrvsrc source-name="Camera 1" bandwidth=lowest color-format=bgrx-bgra ! videoconvert ! autovideosink
 * ]|
 * Shows a preview picture of a source named "Camera 1" on any host.
 */

#include <gst/audio/audio.h>
#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <memory>
#include <string>
#include <utility>

#include "elements.h"
#include "properties.h"
#include "receiver_core.h"

GST_DEBUG_CATEGORY(qrvsrc_debug);
#define GST_CAT_DEFAULT qrvsrc_debug

using qrv_gst::CapturedFrame;
using qrv_gst::ReceiverCore;

namespace {

#define QRV_SRC_VIDEO_CAPS                                                                              \
    "video/x-raw, format=(string){ UYVY, BGRA, BGRx, RGBA, RGBx }, width=(int)[ 1, 16384 ], "           \
    "height=(int)[ 1, 16384 ], framerate=(fraction)[ 0/1, 1000/1 ]"
#define QRV_SRC_AUDIO_CAPS                                                                              \
    "audio/x-raw, format=(string)F32LE, layout=(string)non-interleaved, rate=(int)[ 8000, 768000 ], "   \
    "channels=(int)[ 1, 64 ]"

GstStaticPadTemplate video_template =
    GST_STATIC_PAD_TEMPLATE("video", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(QRV_SRC_VIDEO_CAPS));
GstStaticPadTemplate audio_template =
    GST_STATIC_PAD_TEMPLATE("audio", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(QRV_SRC_AUDIO_CAPS));
GstStaticPadTemplate branch_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(QRV_SRC_VIDEO_CAPS "; " QRV_SRC_AUDIO_CAPS));

// Frames handed out zero-copy at once; beyond, frames are copied so that
// the runtime's own limit on held frames is never reached by a pipeline
// that keeps many buffers.
constexpr int kMaxWrapped = 128;

const char* video_format_name(uint32_t fourcc)
{
    switch (fourcc) {
    case QRVlib_FourCC_type_UYVY:
        return "UYVY";
    case QRVlib_FourCC_type_BGRA:
        return "BGRA";
    case QRVlib_FourCC_type_BGRX:
        return "BGRx";
    case QRVlib_FourCC_type_RGBA:
        return "RGBA";
    case QRVlib_FourCC_type_RGBX:
        return "RGBx";
    default:
        return nullptr;
    }
}

// Caps of a received video frame; null for a layout GStreamer is not told
// about.
GstCaps* caps_of_video(const QRVlib_video_frame_v2_t& f)
{
    const char* format = video_format_name(f.fourcc);
    if (!format || f.width <= 0 || f.height <= 0)
        return nullptr;
    int par_n = 1, par_d = 1;
    if (f.aspect_ratio > 0.0f && std::isfinite(f.aspect_ratio)) {
        // Pixel aspect = picture aspect over the pixels' width/height ratio.
        const double par = (double)f.aspect_ratio * f.height / f.width;
        gst_util_double_to_fraction(par, &par_n, &par_d);
        if (par_n <= 0 || par_d <= 0)
            par_n = par_d = 1;
    }
    const bool rate_ok = f.frame_rate_num > 0 && f.frame_rate_den > 0;
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, format, "width", G_TYPE_INT, f.width,
                                        "height", G_TYPE_INT, f.height, "framerate", GST_TYPE_FRACTION,
                                        rate_ok ? f.frame_rate_num : 0, rate_ok ? f.frame_rate_den : 1,
                                        "pixel-aspect-ratio", GST_TYPE_FRACTION, par_n, par_d, "interlace-mode",
                                        G_TYPE_STRING, "progressive", nullptr);
    if (f.fourcc == QRVlib_FourCC_type_UYVY)
        gst_caps_set_simple(caps, "colorimetry", G_TYPE_STRING, "bt709", nullptr);
    return caps;
}

GstCaps* caps_of_audio(const QRVlib_audio_frame_v2_t& a)
{
    GstAudioInfo info;
    gst_audio_info_init(&info);
    GstAudioChannelPosition positions[64];
    const GstAudioChannelPosition* pos = nullptr;
    if (a.no_channels > 2) {
        // More than stereo carries no speaker positions.
        for (int c = 0; c < a.no_channels && c < 64; ++c)
            positions[c] = GST_AUDIO_CHANNEL_POSITION_NONE;
        pos = positions;
    }
    gst_audio_info_set_format(&info, GST_AUDIO_FORMAT_F32LE, a.sample_rate, a.no_channels, pos);
    info.layout = GST_AUDIO_LAYOUT_NON_INTERLEAVED;
    return gst_audio_info_to_caps(&info);
}

void free_captured(gpointer data)
{
    delete static_cast<CapturedFrame*>(data);
}

}  // namespace

// ---------------------------------------------------------------------------
// A branch: the video or the audio of the source
// ---------------------------------------------------------------------------

struct QrvSrcBranchState {
    CapturedFrame::Kind kind = CapturedFrame::Kind::video;
    std::shared_ptr<ReceiverCore> core;
    GstCaps* caps = nullptr;  // of the last frame pushed
    bool delivered = false;   // a frame went out since the start
    GstClockTime frame_duration = GST_CLOCK_TIME_NONE;
    std::mutex mutex;  // core and frame_duration, read by queries
};

struct GstQrvSrcBranch {
    GstPushSrc parent;
    QrvSrcBranchState* state;
};
struct GstQrvSrcBranchClass {
    GstPushSrcClass parent_class;
};

G_DEFINE_TYPE(GstQrvSrcBranch, gst_qrv_src_branch, GST_TYPE_PUSH_SRC)

static std::shared_ptr<ReceiverCore> branch_core(GstQrvSrcBranch* self)
{
    std::lock_guard lock(self->state->mutex);
    return self->state->core;
}

static GstClockTime branch_now_running(GstElement* element)
{
    GstClock* clock = gst_element_get_clock(element);
    if (!clock)
        return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const GstClockTime base = gst_element_get_base_time(element);
    return now >= base ? now - base : 0;
}

static GstBuffer* buffer_of(std::unique_ptr<CapturedFrame> frame, gsize size, const void* data)
{
    // A frame is wrapped as it is: the buffer frees it when it goes. Past
    // the limit of frames held at once, it is copied and freed at once.
    if (frame->receiver->outstanding.load() > kMaxWrapped)
        return gst_buffer_new_memdup(data, size);
    CapturedFrame* held = frame.release();
    return gst_buffer_new_wrapped_full(GST_MEMORY_FLAG_READONLY, const_cast<void*>(data), size, 0, size, held,
                                       free_captured);
}

// A frame taken from the receiver, with what GStreamer is told about it:
// its caps (owned; null while it cannot be described), its duration and
// the bytes its buffer covers.
struct BranchFrame {
    std::unique_ptr<CapturedFrame> frame;
    GstCaps* caps = nullptr;
    GstClockTime duration = GST_CLOCK_TIME_NONE;
    int64_t timecode = 0;
    gsize size = 0;
    const void* data = nullptr;
};

// Describes the video frame just taken. A frame without a rate has no
// duration (not that of a frame dropped before it).
static void describe_video(BranchFrame& f)
{
    const auto& v = f.frame->video;
    if (v.data && v.line_stride > 0)
        f.caps = caps_of_video(v);
    f.duration = v.frame_rate_num > 0 && v.frame_rate_den > 0
                     ? gst_util_uint64_scale_int(GST_SECOND, v.frame_rate_den, v.frame_rate_num)
                     : GST_CLOCK_TIME_NONE;
    f.timecode = v.timecode;
    f.size = (gsize)v.line_stride * (gsize)v.height;
    f.data = v.data;
}

// Describes the audio frame just taken: planes of 32-bit floats, one every
// channel_stride bytes.
static void describe_audio(BranchFrame& f)
{
    const auto& a = f.frame->audio;
    if (a.data && a.no_samples > 0 && a.no_channels > 0 && a.no_channels <= 64 && a.sample_rate > 0 &&
        a.channel_stride >= a.no_samples * 4) {
        f.caps = caps_of_audio(a);
        f.duration = gst_util_uint64_scale_int(GST_SECOND, a.no_samples, a.sample_rate);
    }
    f.timecode = a.timecode;
    f.size = (gsize)a.channel_stride * (gsize)a.no_channels;
    f.data = a.data;
}

// Waits for the next frame of the branch's kind that can be described to
// GStreamer; others are dropped. A flush ends the wait, and so does a
// source that sends none of this kind.
static GstFlowReturn branch_next_frame(GstPushSrc* src, QrvSrcBranchState& s, ReceiverCore& core, BranchFrame& f)
{
    const bool video = s.kind == CapturedFrame::Kind::video;
    while (!f.caps) {
        bool flushing = false;
        f.frame = core.pop(s.kind, std::chrono::milliseconds(100), &flushing);
        if (flushing)
            return GST_FLOW_FLUSHING;
        if (!f.frame) {
            // A linked pad whose media never comes would hold the whole
            // pipeline back (its sink never prerolls): it ends once the
            // source has been connected for the timeout without sending any.
            if (!s.delivered && core.connected_for() > core.timeout()) {
                GST_ELEMENT_WARNING(src, STREAM, FAILED, ("the source sends no %s", video ? "video" : "audio"),
                                    ("nothing came within %lld ms of the connection; the %s pad ends",
                                     (long long)core.timeout().count(), video ? "video" : "audio"));
                return GST_FLOW_EOS;
            }
            continue;
        }
        if (video)
            describe_video(f);
        else
            describe_audio(f);
        if (!f.caps)
            GST_WARNING_OBJECT(src, "dropped a frame that cannot be described to GStreamer");
    }
    return GST_FLOW_OK;
}

// Takes the caps of a frame: a change of size, layout, rate or channels
// renegotiates. False when downstream refuses them.
static bool branch_take_caps(GstPushSrc* src, QrvSrcBranchState& s, GstCaps* caps)
{
    bool accepted = true;
    if (!s.caps || !gst_caps_is_equal(caps, s.caps)) {
        GST_INFO_OBJECT(src, "caps now %" GST_PTR_FORMAT, caps);
        accepted = gst_base_src_set_caps(GST_BASE_SRC(src), caps);
        if (accepted)
            gst_caps_replace(&s.caps, caps);
    }
    gst_caps_unref(caps);
    return accepted;
}

// Tells downstream where each plane of an audio buffer starts.
static void add_planes_meta(GstBuffer* buffer, GstCaps* caps, int samples, int channels, int channel_stride)
{
    gsize offsets[64];
    for (int c = 0; c < channels && c < 64; ++c)
        offsets[c] = (gsize)c * (gsize)channel_stride;
    GstAudioInfo info;
    gst_audio_info_from_caps(&info, caps);
    gst_buffer_add_audio_meta(buffer, &info, samples, offsets);
}

// The buffer of a frame, timed on the pipeline's clock.
static GstBuffer* branch_buffer(GstPushSrc* src, QrvSrcBranchState& s, ReceiverCore& core, BranchFrame& f)
{
    const bool audio = s.kind == CapturedFrame::Kind::audio;
    const int samples = audio ? f.frame->audio.no_samples : 0;
    const int channels = audio ? f.frame->audio.no_channels : 0;
    const int channel_stride = audio ? f.frame->audio.channel_stride : 0;
    // A frame that waited in the queue (while paused, or behind a slow
    // pipeline) is placed at the running time when it arrived.
    const int64_t waited_ns = std::max<int64_t>(0, (g_get_monotonic_time() - f.frame->arrived_us) * 1000);
    const GstClockTime now = branch_now_running(GST_ELEMENT(src));
    GstBuffer* buffer = buffer_of(std::move(f.frame), f.size, f.data);
    if (audio)
        add_planes_meta(buffer, s.caps, samples, channels, channel_stride);
    const GstClockTime pts = GST_CLOCK_TIME_IS_VALID(now) ? core.running_time_of(f.timecode, (int64_t)now - waited_ns)
                                                          : GST_CLOCK_TIME_NONE;
    GST_BUFFER_PTS(buffer) = pts;
    GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
    GST_BUFFER_DURATION(buffer) = f.duration;
    return buffer;
}

static GstFlowReturn branch_create(GstPushSrc* src, GstBuffer** out)
{
    auto* self = reinterpret_cast<GstQrvSrcBranch*>(src);
    QrvSrcBranchState& s = *self->state;
    auto core = branch_core(self);
    if (!core)
        return GST_FLOW_FLUSHING;
    BranchFrame f;
    if (const GstFlowReturn waited = branch_next_frame(src, s, *core, f); waited != GST_FLOW_OK)
        return waited;
    s.delivered = true;
    if (!branch_take_caps(src, s, std::exchange(f.caps, nullptr))) {
        GST_ELEMENT_ERROR(src, CORE, NEGOTIATION, ("downstream does not accept the source's format"), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    GstBuffer* buffer = branch_buffer(src, s, *core, f);
    {
        std::lock_guard lock(s.mutex);
        s.frame_duration = f.duration;
    }
    *out = buffer;
    return GST_FLOW_OK;
}

static gboolean branch_negotiate(GstBaseSrc*)
{
    // The caps come from the frames themselves, set as each arrives.
    return TRUE;
}

static gboolean branch_query(GstBaseSrc* src, GstQuery* query)
{
    auto* self = reinterpret_cast<GstQrvSrcBranch*>(src);
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        GstClockTime frame;
        {
            std::lock_guard lock(self->state->mutex);
            frame = self->state->frame_duration;
        }
        const bool video = self->state->kind == CapturedFrame::Kind::video;
        if (!GST_CLOCK_TIME_IS_VALID(frame))
            frame = video ? GST_SECOND / 30 : 20 * GST_MSECOND;
        // A frame is stamped when it is due at the source; it reaches us up
        // to one frame later. Queued frames allow that much more.
        const GstClockTime min = frame;
        const GstClockTime max = frame * (video ? 2 : 64);
        gst_query_set_latency(query, TRUE, min, max);
        GST_DEBUG_OBJECT(src, "latency %" GST_TIME_FORMAT, GST_TIME_ARGS(min));
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_qrv_src_branch_parent_class)->query(src, query);
}

static gboolean branch_unlock(GstBaseSrc* src)
{
    auto* self = reinterpret_cast<GstQrvSrcBranch*>(src);
    if (auto core = branch_core(self))
        core->set_flushing(self->state->kind, true);
    return TRUE;
}

static gboolean branch_unlock_stop(GstBaseSrc* src)
{
    auto* self = reinterpret_cast<GstQrvSrcBranch*>(src);
    if (auto core = branch_core(self))
        core->set_flushing(self->state->kind, false);
    return TRUE;
}

static gboolean branch_stop(GstBaseSrc* src)
{
    auto* self = reinterpret_cast<GstQrvSrcBranch*>(src);
    gst_caps_replace(&self->state->caps, nullptr);
    self->state->delivered = false;
    std::lock_guard lock(self->state->mutex);
    self->state->core.reset();
    self->state->frame_duration = GST_CLOCK_TIME_NONE;
    return TRUE;
}

static void branch_finalize(GObject* object)
{
    auto* self = reinterpret_cast<GstQrvSrcBranch*>(object);
    gst_caps_replace(&self->state->caps, nullptr);
    delete self->state;
    G_OBJECT_CLASS(gst_qrv_src_branch_parent_class)->finalize(object);
}

static void gst_qrv_src_branch_class_init(GstQrvSrcBranchClass* klass)
{
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass* base_class = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass* push_class = GST_PUSH_SRC_CLASS(klass);
    object_class->finalize = branch_finalize;
    gst_element_class_add_static_pad_template(element_class, &branch_template);
    gst_element_class_set_static_metadata(element_class, "QRV source branch", "Source/Network",
                                          "The video or audio of a qrvsrc", "QRV");
    base_class->negotiate = GST_DEBUG_FUNCPTR(branch_negotiate);
    base_class->query = GST_DEBUG_FUNCPTR(branch_query);
    base_class->unlock = GST_DEBUG_FUNCPTR(branch_unlock);
    base_class->unlock_stop = GST_DEBUG_FUNCPTR(branch_unlock_stop);
    base_class->stop = GST_DEBUG_FUNCPTR(branch_stop);
    push_class->create = GST_DEBUG_FUNCPTR(branch_create);
}

static void gst_qrv_src_branch_init(GstQrvSrcBranch* self)
{
    self->state = new QrvSrcBranchState();
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    gst_base_src_set_do_timestamp(GST_BASE_SRC(self), FALSE);
}

// ---------------------------------------------------------------------------
// The element
// ---------------------------------------------------------------------------

enum QrvColorFormat {
    QRV_COLOR_UYVY_BGRA = QRVlib_recv_color_format_UYVY_BGRA,
    QRV_COLOR_BGRX_BGRA = QRVlib_recv_color_format_BGRX_BGRA,
    QRV_COLOR_RGBX_RGBA = QRVlib_recv_color_format_RGBX_RGBA,
    QRV_COLOR_UYVY_RGBA = QRVlib_recv_color_format_UYVY_RGBA,
    QRV_COLOR_FASTEST = QRVlib_recv_color_format_fastest,
};

enum QrvBandwidth {
    QRV_BANDWIDTH_HIGHEST = QRVlib_recv_bandwidth_highest,
    QRV_BANDWIDTH_LOWEST = QRVlib_recv_bandwidth_lowest,
    QRV_BANDWIDTH_AUDIO_ONLY = QRVlib_recv_bandwidth_audio_only,
};

static GType qrv_color_format_get_type()
{
    static GType type = 0;
    static const GEnumValue values[] = {
        {QRV_COLOR_UYVY_BGRA, "UYVY, or BGRA for video with alpha", "uyvy-bgra"},
        {QRV_COLOR_BGRX_BGRA, "BGRx, or BGRA for video with alpha", "bgrx-bgra"},
        {QRV_COLOR_RGBX_RGBA, "RGBx, or RGBA for video with alpha", "rgbx-rgba"},
        {QRV_COLOR_UYVY_RGBA, "UYVY, or RGBA for video with alpha", "uyvy-rgba"},
        {QRV_COLOR_FASTEST, "As the source sends it", "fastest"},
        {0, nullptr, nullptr},
    };
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstQrvColorFormat", values));
    return type;
}

static GType qrv_bandwidth_get_type()
{
    static GType type = 0;
    static const GEnumValue values[] = {
        {QRV_BANDWIDTH_HIGHEST, "Video and audio as sent", "highest"},
        {QRV_BANDWIDTH_LOWEST, "Preview video (a quarter of each dimension) and audio", "lowest"},
        {QRV_BANDWIDTH_AUDIO_ONLY, "Audio only", "audio-only"},
        {0, nullptr, nullptr},
    };
    if (g_once_init_enter(&type))
        g_once_init_leave(&type, g_enum_register_static("GstQrvBandwidth", values));
    return type;
}

struct QrvSrcState {
    qrv_gst::ReceiverSettings settings;
    std::shared_ptr<ReceiverCore> core;
    GstElement* video = nullptr;  // branches, owned by the bin
    GstElement* audio = nullptr;
    GstPad* video_pad = nullptr;  // ghost pads, owned by the element
    GstPad* audio_pad = nullptr;
};

struct GstQrvSrc {
    GstBin parent;
    QrvSrcState* state;
};
struct GstQrvSrcClass {
    GstBinClass parent_class;
};

G_DEFINE_TYPE(GstQrvSrc, gst_qrv_src, GST_TYPE_BIN)

enum {
    PROP_0,
    PROP_SOURCE_NAME,
    PROP_TIMEOUT,
    PROP_COLOR_FORMAT,
    PROP_BANDWIDTH,
    PROP_RECEIVER_NAME,
    PROP_TALLY_PROGRAM,
    PROP_TALLY_PREVIEW,
};

static void give_core(GstElement* branch, const std::shared_ptr<ReceiverCore>& core)
{
    auto* b = reinterpret_cast<GstQrvSrcBranch*>(branch);
    std::lock_guard lock(b->state->mutex);
    b->state->core = core;
}

static GstStateChangeReturn src_change_state(GstElement* element, GstStateChange transition)
{
    auto* self = reinterpret_cast<GstQrvSrc*>(element);
    QrvSrcState& s = *self->state;
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        GST_OBJECT_LOCK(element);
        qrv_gst::ReceiverSettings settings = s.settings;
        GST_OBJECT_UNLOCK(element);
        if (settings.source_name.empty()) {
            GST_ELEMENT_ERROR(element, RESOURCE, SETTINGS, ("source-name is not set"),
                              ("give the source as \"HOST (name)\" or its own name"));
            return GST_STATE_CHANGE_FAILURE;
        }
        auto core = std::make_shared<ReceiverCore>(element, s.video_pad, s.audio_pad, std::move(settings));
        give_core(s.video, core);
        give_core(s.audio, core);
        GST_OBJECT_LOCK(element);
        s.core = core;
        GST_OBJECT_UNLOCK(element);
        core->start();
    }
    GstStateChangeReturn result = GST_ELEMENT_CLASS(gst_qrv_src_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY ||
        (transition == GST_STATE_CHANGE_READY_TO_PAUSED && result == GST_STATE_CHANGE_FAILURE)) {
        GST_OBJECT_LOCK(element);
        std::shared_ptr<ReceiverCore> core = std::move(s.core);
        GST_OBJECT_UNLOCK(element);
        if (core)
            core->stop();
        give_core(s.video, nullptr);
        give_core(s.audio, nullptr);
    }
    return result;
}

// A change of tally goes to the source at once, when there is one.
static void send_tally(GObject* object)
{
    QrvSrcState& s = *reinterpret_cast<GstQrvSrc*>(object)->state;
    GST_OBJECT_LOCK(object);
    const QRVlib_tally_t tally = s.settings.tally;
    std::shared_ptr<ReceiverCore> core = s.core;
    GST_OBJECT_UNLOCK(object);
    if (core)
        core->set_tally(tally);
}

using qrv_gst::ReceiverSettings;

// In the order of the property ids.
static const qrv_gst::PropertyField<ReceiverSettings> src_properties[] = {
    qrv_gst::optional_text_property<&ReceiverSettings::source_name>(),
    qrv_gst::field_property<&ReceiverSettings::timeout>(),
    qrv_gst::field_property<&ReceiverSettings::color_format>(),
    qrv_gst::field_property<&ReceiverSettings::bandwidth>(),
    qrv_gst::field_property<&ReceiverSettings::receiver_name>(),
    {[](ReceiverSettings& s, const GValue* v) { s.tally.on_program = g_value_get_boolean(v); },
     [](const ReceiverSettings& s, GValue* v) { g_value_set_boolean(v, s.tally.on_program); }, send_tally},
    {[](ReceiverSettings& s, const GValue* v) { s.tally.on_preview = g_value_get_boolean(v); },
     [](const ReceiverSettings& s, GValue* v) { g_value_set_boolean(v, s.tally.on_preview); }, send_tally},
};
static_assert(G_N_ELEMENTS(src_properties) == PROP_TALLY_PREVIEW);

static void src_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    auto* self = reinterpret_cast<GstQrvSrc*>(object);
    qrv_gst::set_property(object, self->state->settings, src_properties, id, value, pspec);
}

static void src_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec)
{
    auto* self = reinterpret_cast<GstQrvSrc*>(object);
    qrv_gst::get_property(object, self->state->settings, src_properties, id, value, pspec);
}

static void src_finalize(GObject* object)
{
    auto* self = reinterpret_cast<GstQrvSrc*>(object);
    if (self->state->core)
        self->state->core->stop();
    delete self->state;
    G_OBJECT_CLASS(gst_qrv_src_parent_class)->finalize(object);
}

static void gst_qrv_src_class_init(GstQrvSrcClass* klass)
{
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    object_class->set_property = src_set_property;
    object_class->get_property = src_get_property;
    object_class->finalize = src_finalize;
    const auto ready_only = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY);
    const auto any_time = GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(
        object_class, PROP_SOURCE_NAME,
        g_param_spec_string("source-name", "Source name",
                            "The source to receive, as \"HOST (name)\" the way finders list it, or its own name alone.", nullptr,
                            ready_only));
    g_object_class_install_property(
        object_class, PROP_TIMEOUT,
        g_param_spec_uint("timeout", "Timeout", "How many milliseconds to wait for the source to appear before an error, and for the media of a linked pad once connected before that pad ends.", 0,
                          G_MAXUINT, 10000, ready_only));
    g_object_class_install_property(
        object_class, PROP_COLOR_FORMAT,
        g_param_spec_enum("color-format", "Color format", "The pixel layout the video is delivered in.",
                          qrv_color_format_get_type(), QRV_COLOR_UYVY_BGRA, ready_only));
    g_object_class_install_property(
        object_class, PROP_BANDWIDTH,
        g_param_spec_enum("bandwidth", "Bandwidth", "What the source is asked to send: everything, a preview picture with the audio, or the audio only.", qrv_bandwidth_get_type(),
                          QRV_BANDWIDTH_HIGHEST, ready_only));
    g_object_class_install_property(
        object_class, PROP_RECEIVER_NAME,
        g_param_spec_string("receiver-name", "Receiver name", "The name this receiver gives its source.",
                            "GStreamer", ready_only));
    g_object_class_install_property(
        object_class, PROP_TALLY_PROGRAM,
        g_param_spec_boolean("tally-program", "Tally program", "Whether to tell the source that this receiver has it on program (on air).", FALSE,
                             any_time));
    g_object_class_install_property(
        object_class, PROP_TALLY_PREVIEW,
        g_param_spec_boolean("tally-preview", "Tally preview", "Whether to tell the source that this receiver has it on preview.", FALSE,
                             any_time));
    gst_element_class_add_static_pad_template(element_class, &video_template);
    gst_element_class_add_static_pad_template(element_class, &audio_template);
    gst_element_class_set_static_metadata(element_class, "QRV network source", "Source/Network/Video/Audio",
                                          "Receives the video and audio of one source on the network", "QRV");
    element_class->change_state = GST_DEBUG_FUNCPTR(src_change_state);
    gst_type_mark_as_plugin_api(qrv_color_format_get_type(), GstPluginAPIFlags(0));
    gst_type_mark_as_plugin_api(qrv_bandwidth_get_type(), GstPluginAPIFlags(0));
}

static GstElement* add_branch(GstQrvSrc* self, CapturedFrame::Kind kind, GstStaticPadTemplate* templ,
                              GstPad** ghost_out)
{
    const bool video = kind == CapturedFrame::Kind::video;
    GstElement* branch = GST_ELEMENT(g_object_new(gst_qrv_src_branch_get_type(), "name",
                                                  video ? "video-branch" : "audio-branch", nullptr));
    reinterpret_cast<GstQrvSrcBranch*>(branch)->state->kind = kind;
    gst_bin_add(GST_BIN(self), branch);
    GstPad* target = gst_element_get_static_pad(branch, "src");
    GstPadTemplate* pad_template = gst_static_pad_template_get(templ);
    GstPad* ghost = gst_ghost_pad_new_from_template(video ? "video" : "audio", target, pad_template);
    gst_object_unref(pad_template);
    gst_object_unref(target);
    gst_element_add_pad(GST_ELEMENT(self), ghost);
    *ghost_out = ghost;
    return branch;
}

static void gst_qrv_src_init(GstQrvSrc* self)
{
    self->state = new QrvSrcState();
    self->state->video = add_branch(self, CapturedFrame::Kind::video, &video_template, &self->state->video_pad);
    self->state->audio = add_branch(self, CapturedFrame::Kind::audio, &audio_template, &self->state->audio_pad);
}

bool qrv_gst::register_qrvsrc(GstPlugin* plugin)
{
    GST_DEBUG_CATEGORY_INIT(qrvsrc_debug, "qrvsrc", 0, "QRV network source");
    return gst_element_register(plugin, "qrvsrc", GST_RANK_NONE, gst_qrv_src_get_type());
}
