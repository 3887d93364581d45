// qrvsink: publishes the pipeline's video and audio as one source on the
// network. A bin with a request pad for each kind of media; behind each pad
// a base sink that syncs on the pipeline clock and hands its buffers to the
// shared sender unpaced.

/**
 * SECTION:element-qrvsink
 * @title: qrvsink
 * @see_also: qrvsrc
 *
 * qrvsink publishes the video and audio of a pipeline as one source on the
 * local network, named "HOST (source-name)", for any receiver on the
 * network to find and connect to. Its request pads take raw video (UYVY,
 * BGRA, BGRx, RGBA or RGBx) and raw audio (planar 32-bit float or
 * interleaved signed 16-bit); each is optional. With sync on, every buffer
 * goes out when the pipeline clock reaches it and carries the wall-clock
 * time at which it was due, so that video and audio stay together. When
 * the combined tally of its receivers changes, it posts an element message
 * "qrv-tally" (on-program, on-preview) on the bus.
 *
 * ## Example launch line
 * |[
 * gst-launch-1.0 videotestsrc is-live=true ! video/x-raw,format=UYVY,width=1280,height=720,framerate=30/1 ! qrvsink name=sink source-name="Test Pattern" audiotestsrc is-live=true ! audioconvert ! sink.audio
 * ]|
 * Publishes a test pattern and a tone as the source "HOST (Test Pattern)".
 * |[
 * gst-launch-1.0 filesrc location=clip.mkv ! decodebin ! videoconvert ! qrvsink source-name=Clip groups=studio-a wait-for-connection=true
 * ]|
 * Publishes the video of a file in the group "studio-a" only, and starts
 * it when the first receiver connects.
 */

#include <gst/audio/audio.h>
#include <gst/base/gstbasesink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <time.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "elements.h"
#include "properties.h"
#include "sender_core.h"

GST_DEBUG_CATEGORY_STATIC(qrvsink_debug);
#define GST_CAT_DEFAULT qrvsink_debug

using qrv_gst::SenderCore;

namespace {

constexpr const char* kDefaultSourceName = "GStreamer";
// The largest frame the runtime carries.
constexpr guint64 kMaxFrameBytes = 256ull << 20;

// Layouts the runtime carries, by their GStreamer names.
#define QRV_SINK_VIDEO_CAPS                                                                             \
    "video/x-raw, format=(string){ UYVY, BGRA, BGRx, RGBA, RGBx }, width=(int)[ 1, 16384 ], "           \
    "height=(int)[ 1, 16384 ], framerate=(fraction)[ 0/1, 1000/1 ]"
#define QRV_SINK_AUDIO_CAPS                                                                             \
    "audio/x-raw, format=(string)F32LE, layout=(string)non-interleaved, rate=(int)[ 8000, 768000 ], "   \
    "channels=(int)[ 1, 64 ]; "                                                                         \
    "audio/x-raw, format=(string)S16LE, layout=(string)interleaved, rate=(int)[ 8000, 768000 ], "       \
    "channels=(int)[ 1, 64 ]"

GstStaticPadTemplate video_template =
    GST_STATIC_PAD_TEMPLATE("video", GST_PAD_SINK, GST_PAD_REQUEST, GST_STATIC_CAPS(QRV_SINK_VIDEO_CAPS));
GstStaticPadTemplate audio_template =
    GST_STATIC_PAD_TEMPLATE("audio", GST_PAD_SINK, GST_PAD_REQUEST, GST_STATIC_CAPS(QRV_SINK_AUDIO_CAPS));
GstStaticPadTemplate inner_video_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(QRV_SINK_VIDEO_CAPS));
GstStaticPadTemplate inner_audio_template =
    GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(QRV_SINK_AUDIO_CAPS));

int64_t realtime_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// The timecode of a buffer: the wall-clock time, in 100 ns units, at which
// the pipeline clock says it is due, so that video and audio rendered at
// the same moment carry the same time. Without a clock or sync, the
// runtime stamps the frame when it is sent.
int64_t due_timecode(GstBaseSink* sink, GstClockTime pts)
{
    if (!GST_CLOCK_TIME_IS_VALID(pts) || !gst_base_sink_get_sync(sink))
        return QRVlib_send_timecode_synthesize;
    GstClock* clock = gst_element_get_clock(GST_ELEMENT(sink));
    if (!clock)
        return QRVlib_send_timecode_synthesize;
    GST_OBJECT_LOCK(sink);
    const GstClockTime running = gst_segment_to_running_time(&sink->segment, GST_FORMAT_TIME, pts);
    GST_OBJECT_UNLOCK(sink);
    int64_t timecode = QRVlib_send_timecode_synthesize;
    if (GST_CLOCK_TIME_IS_VALID(running)) {
        const GstClockTime due = gst_element_get_base_time(GST_ELEMENT(sink)) + running +
                                 gst_base_sink_get_latency(sink) + gst_base_sink_get_render_delay(sink);
        const GstClockTimeDiff late = GST_CLOCK_DIFF(due, gst_clock_get_time(clock));
        timecode = (realtime_ns() - late) / 100;
    }
    gst_object_unref(clock);
    return timecode;
}

int64_t frame_timestamp(GstClockTime pts)
{
    return GST_CLOCK_TIME_IS_VALID(pts) ? (int64_t)(pts / 100) : QRVlib_recv_timestamp_undefined;
}

// What the video and the audio branch share: the sender they hand their
// buffers to, and the wait for a receiver that unlock() ends.
struct BranchCommon {
    std::shared_ptr<SenderCore> core;
    bool wait_for_connection = false;
    std::atomic<bool> unlocked{false};
};

// Holds a buffer back until a receiver is there, when the element asks for
// that. In preroll, so that a file starts playing only once it is watched;
// a flush or a state change lets go.
GstFlowReturn wait_in_preroll(BranchCommon& s)
{
    if (!s.wait_for_connection || !s.core || s.core->wait_for_receiver(s.unlocked))
        return GST_FLOW_OK;
    return GST_FLOW_FLUSHING;
}

// The same while playing (live pipelines do not preroll): a pause in the
// meantime waits for playing again, a flush ends the wait.
GstFlowReturn wait_in_render(GstBaseSink* sink, BranchCommon& s)
{
    while (s.wait_for_connection && s.core && !s.core->wait_for_receiver(s.unlocked)) {
        const GstFlowReturn r = gst_base_sink_wait_preroll(sink);
        if (r != GST_FLOW_OK)
            return r;
    }
    return GST_FLOW_OK;
}

// The base sink's preroll, unlock and unlock_stop for a branch type whose
// instances keep their state, derived from BranchCommon, behind `state`.
template <class Branch>
GstFlowReturn branch_preroll(GstBaseSink* sink, GstBuffer*)
{
    return wait_in_preroll(*reinterpret_cast<Branch*>(sink)->state);
}

template <class Branch>
gboolean branch_unlock(GstBaseSink* sink)
{
    reinterpret_cast<Branch*>(sink)->state->unlocked.store(true);
    return TRUE;
}

template <class Branch>
gboolean branch_unlock_stop(GstBaseSink* sink)
{
    reinterpret_cast<Branch*>(sink)->state->unlocked.store(false);
    return TRUE;
}

template <class Branch>
void install_branch_waits(GstBaseSinkClass* sink_class)
{
    sink_class->preroll = branch_preroll<Branch>;
    sink_class->unlock = branch_unlock<Branch>;
    sink_class->unlock_stop = branch_unlock_stop<Branch>;
}

}  // namespace

// ---------------------------------------------------------------------------
// The video branch
// ---------------------------------------------------------------------------

struct QrvVideoBranchState : BranchCommon {
    GstVideoInfo info{};
    bool have_info = false;
    QRVlib_FourCC_type_e fourcc = QRVlib_FourCC_type_UYVY;
    int32_t rate_num = 30000, rate_den = 1001;
    float aspect = 0.0f;
    // The frame lent to the runtime by the last asynchronous send, mapped
    // until the next send or flush returns.
    GstVideoFrame lent{};
    bool lending = false;
    uint64_t dropped = 0;  // buffers whose lines do not fit their memory
};

struct GstQrvVideoBranch {
    GstBaseSink parent;
    QrvVideoBranchState* state;
};
struct GstQrvVideoBranchClass {
    GstBaseSinkClass parent_class;
};

G_DEFINE_TYPE(GstQrvVideoBranch, gst_qrv_video_branch, GST_TYPE_BASE_SINK)

static void video_branch_release(GstQrvVideoBranch* self)
{
    QrvVideoBranchState& s = *self->state;
    if (s.core)
        QRVlib_send_send_video_async_v2(s.core->get(), nullptr);
    if (s.lending) {
        gst_video_frame_unmap(&s.lent);
        s.lending = false;
    }
}

// The runtime's name for a layout; nothing for one it does not carry.
static std::optional<QRVlib_FourCC_type_e> fourcc_of(GstVideoFormat format)
{
    switch (format) {
    case GST_VIDEO_FORMAT_UYVY:
        return QRVlib_FourCC_type_UYVY;
    case GST_VIDEO_FORMAT_BGRA:
        return QRVlib_FourCC_type_BGRA;
    case GST_VIDEO_FORMAT_BGRx:
        return QRVlib_FourCC_type_BGRX;
    case GST_VIDEO_FORMAT_RGBA:
        return QRVlib_FourCC_type_RGBA;
    case GST_VIDEO_FORMAT_RGBx:
        return QRVlib_FourCC_type_RGBX;
    default:
        return std::nullopt;
    }
}

static gboolean video_branch_set_caps(GstBaseSink* sink, GstCaps* caps)
{
    auto* self = reinterpret_cast<GstQrvVideoBranch*>(sink);
    QrvVideoBranchState& s = *self->state;
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps))
        return FALSE;
    const auto fourcc = fourcc_of(GST_VIDEO_INFO_FORMAT(&info));
    if (!fourcc)
        return FALSE;
    s.fourcc = *fourcc;
    if (s.fourcc == QRVlib_FourCC_type_UYVY && GST_VIDEO_INFO_WIDTH(&info) % 2 != 0) {
        GST_ELEMENT_ERROR(sink, STREAM, FORMAT, ("UYVY video needs an even width, not %d",
                                                 GST_VIDEO_INFO_WIDTH(&info)), (nullptr));
        return FALSE;
    }
    // The runtime refuses frames above 256 MiB and only counts them; say so
    // here rather than drop every frame without a word.
    const guint64 frame_bytes = (guint64)GST_VIDEO_INFO_WIDTH(&info) * (guint64)GST_VIDEO_INFO_HEIGHT(&info) *
                                (s.fourcc == QRVlib_FourCC_type_UYVY ? 2 : 4);
    if (frame_bytes > kMaxFrameBytes) {
        GST_ELEMENT_ERROR(sink, STREAM, FORMAT,
                          ("a %dx%d frame takes %" G_GUINT64_FORMAT " MiB, more than the 256 MiB a frame may hold",
                           GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info), frame_bytes >> 20),
                          (nullptr));
        return FALSE;
    }
    const int num = GST_VIDEO_INFO_FPS_N(&info), den = GST_VIDEO_INFO_FPS_D(&info);
    if (num > 0 && den > 0) {
        // The runtime carries one frame in 10 seconds to 1000 per second.
        if ((int64_t)num * 10 < den || num > (int64_t)den * 1000) {
            GST_ELEMENT_ERROR(sink, STREAM, FORMAT,
                              ("frame rate %d/%d is outside 1/10 to 1000 frames per second", num, den), (nullptr));
            return FALSE;
        }
        s.rate_num = num;
        s.rate_den = den;
    } else {
        // A variable rate: receivers are told the usual default.
        s.rate_num = 30000;
        s.rate_den = 1001;
    }
    const int par_n = GST_VIDEO_INFO_PAR_N(&info), par_d = GST_VIDEO_INFO_PAR_D(&info);
    s.aspect = (par_n > 0 && par_d > 0 && par_n != par_d)
                   ? (float)((double)GST_VIDEO_INFO_WIDTH(&info) * par_n /
                             ((double)GST_VIDEO_INFO_HEIGHT(&info) * par_d))
                   : 0.0f;
    s.info = info;
    s.have_info = true;
    GST_DEBUG_OBJECT(sink, "caps %" GST_PTR_FORMAT, caps);
    return TRUE;
}

// Whether the first plane of a mapped frame holds all of its lines. A
// GstVideoMeta from upstream gives the stride and offset; nothing checks
// them against the memory mapped, and the runtime reads every line.
static bool lines_fit(const GstVideoFrame& frame, QRVlib_FourCC_type_e fourcc)
{
    const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const guint64 line_bytes = (guint64)GST_VIDEO_FRAME_WIDTH(&frame) * (fourcc == QRVlib_FourCC_type_UYVY ? 2 : 4);
    const auto* start = static_cast<const guint8*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const guint8* mapped = frame.map[0].data;
    if (stride <= 0 || (guint64)stride < line_bytes || !start || start < mapped ||
        start > mapped + frame.map[0].size)
        return false;
    const guint64 span = (guint64)stride * (guint64)(GST_VIDEO_FRAME_HEIGHT(&frame) - 1) + line_bytes;
    return span <= (guint64)(mapped + frame.map[0].size - start);
}

// Drops a mapped frame whose lines do not fit its memory; warns on the bus
// the first time, and counts each in the debug log.
static void drop_misfit(GstBaseSink* sink, QrvVideoBranchState& s, GstVideoFrame& frame)
{
    const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    const gsize size = frame.map[0].size;
    gst_video_frame_unmap(&frame);
    if (s.dropped++ == 0)
        GST_ELEMENT_WARNING(sink, STREAM, FORMAT, ("dropped a video buffer whose lines run past its memory"),
                            ("line stride %d, %" G_GSIZE_FORMAT " bytes mapped", stride, size));
    GST_WARNING_OBJECT(sink, "dropped a video buffer whose lines (stride %d) run past its %" G_GSIZE_FORMAT
                       " bytes; %" G_GUINT64_FORMAT " so far", stride, size, s.dropped);
}

static GstFlowReturn video_branch_render(GstBaseSink* sink, GstBuffer* buffer)
{
    auto* self = reinterpret_cast<GstQrvVideoBranch*>(sink);
    QrvVideoBranchState& s = *self->state;
    if (!s.core || !s.have_info) {
        GST_ELEMENT_ERROR(sink, CORE, NEGOTIATION, ("video arrived before its format"), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    if (const GstFlowReturn waited = wait_in_render(sink, s); waited != GST_FLOW_OK)
        return waited;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &s.info, buffer, GST_MAP_READ)) {
        GST_ELEMENT_ERROR(sink, RESOURCE, READ, ("cannot read a video buffer"), (nullptr));
        return GST_FLOW_ERROR;
    }
    if (!lines_fit(frame, s.fourcc)) {
        drop_misfit(sink, s, frame);
        return GST_FLOW_OK;
    }
    QRVlib_video_frame_v2_t f;
    f.width = GST_VIDEO_FRAME_WIDTH(&frame);
    f.height = GST_VIDEO_FRAME_HEIGHT(&frame);
    f.fourcc = s.fourcc;
    f.frame_rate_num = s.rate_num;
    f.frame_rate_den = s.rate_den;
    f.aspect_ratio = s.aspect;
    f.data = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    f.line_stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    f.timecode = due_timecode(sink, GST_BUFFER_PTS(buffer));
    f.timestamp = frame_timestamp(GST_BUFFER_PTS(buffer));
    // The pixels stay lent to the runtime until the next send returns: the
    // buffer is kept mapped until then, so nothing is copied here.
    QRVlib_send_send_video_async_v2(s.core->get(), &f);
    if (s.lending)
        gst_video_frame_unmap(&s.lent);
    s.lent = frame;
    s.lending = true;
    s.core->poll_tally(GST_ELEMENT(GST_OBJECT_PARENT(sink) ? GST_OBJECT_PARENT(sink) : GST_OBJECT(sink)));
    return GST_FLOW_OK;
}

static gboolean video_branch_stop(GstBaseSink* sink)
{
    auto* self = reinterpret_cast<GstQrvVideoBranch*>(sink);
    video_branch_release(self);
    self->state->core.reset();
    self->state->have_info = false;
    return TRUE;
}

static gboolean video_branch_propose_allocation(GstBaseSink* sink, GstQuery* query)
{
    // A pool of frames that upstream fills again and again: fresh memory
    // for every frame would cost its page faults each time. It holds one
    // frame lent to the runtime besides those upstream works on.
    GstCaps* caps = nullptr;
    gboolean need_pool = FALSE;
    gst_query_parse_allocation(query, &caps, &need_pool);
    GstVideoInfo info;
    if (caps && gst_video_info_from_caps(&info, caps)) {
        GstBufferPool* pool = need_pool ? gst_video_buffer_pool_new() : nullptr;
        if (pool) {
            GstStructure* config = gst_buffer_pool_get_config(pool);
            gst_buffer_pool_config_set_params(config, caps, (guint)GST_VIDEO_INFO_SIZE(&info), 3, 0);
            gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
            if (!gst_buffer_pool_set_config(pool, config)) {
                GST_DEBUG_OBJECT(sink, "the pool refused its configuration");
                gst_object_unref(pool);
                pool = nullptr;
            }
        }
        gst_query_add_allocation_pool(query, pool, (guint)GST_VIDEO_INFO_SIZE(&info), 3, 0);
        if (pool)
            gst_object_unref(pool);
    }
    // Upstream may hand over buffers with padded lines: the runtime takes
    // any line stride.
    gst_query_add_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr);
    return TRUE;
}

static void video_branch_finalize(GObject* object)
{
    auto* self = reinterpret_cast<GstQrvVideoBranch*>(object);
    video_branch_release(self);
    delete self->state;
    G_OBJECT_CLASS(gst_qrv_video_branch_parent_class)->finalize(object);
}

static void gst_qrv_video_branch_class_init(GstQrvVideoBranchClass* klass)
{
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSinkClass* sink_class = GST_BASE_SINK_CLASS(klass);
    object_class->finalize = video_branch_finalize;
    gst_element_class_add_static_pad_template(element_class, &inner_video_template);
    gst_element_class_set_static_metadata(element_class, "QRV video branch", "Sink/Network/Video",
                                          "The video of a qrvsink", "QRV");
    sink_class->set_caps = GST_DEBUG_FUNCPTR(video_branch_set_caps);
    sink_class->render = GST_DEBUG_FUNCPTR(video_branch_render);
    sink_class->stop = GST_DEBUG_FUNCPTR(video_branch_stop);
    install_branch_waits<GstQrvVideoBranch>(sink_class);
    sink_class->propose_allocation = GST_DEBUG_FUNCPTR(video_branch_propose_allocation);
}

static void gst_qrv_video_branch_init(GstQrvVideoBranch* self)
{
    self->state = new QrvVideoBranchState();
}

// ---------------------------------------------------------------------------
// The audio branch
// ---------------------------------------------------------------------------

struct QrvAudioBranchState : BranchCommon {
    GstAudioInfo info{};
    bool have_info = false;
    std::vector<float> packed;  // planes gathered when upstream's are not evenly spaced
    std::vector<float> widened;  // 16-bit samples as float planes
};

struct GstQrvAudioBranch {
    GstBaseSink parent;
    QrvAudioBranchState* state;
};
struct GstQrvAudioBranchClass {
    GstBaseSinkClass parent_class;
};

G_DEFINE_TYPE(GstQrvAudioBranch, gst_qrv_audio_branch, GST_TYPE_BASE_SINK)

static gboolean audio_branch_set_caps(GstBaseSink* sink, GstCaps* caps)
{
    auto* self = reinterpret_cast<GstQrvAudioBranch*>(sink);
    GstAudioInfo info;
    if (!gst_audio_info_from_caps(&info, caps))
        return FALSE;
    self->state->info = info;
    self->state->have_info = true;
    GST_DEBUG_OBJECT(sink, "caps %" GST_PTR_FORMAT, caps);
    return TRUE;
}

// Sends planar float audio: one plane every channel_stride bytes, as the
// runtime reads them; planes spaced otherwise, or not at a float's address
// (which the runtime refuses), are gathered first.
static void send_planar(QrvAudioBranchState& s, const std::vector<const void*>& planes, int samples, int rate,
                        int64_t timecode, int64_t timestamp)
{
    const int channels = (int)planes.size();
    if (samples <= 0 || channels <= 0)
        return;
    const auto* first = static_cast<const uint8_t*>(planes[0]);
    const ptrdiff_t stride =
        channels > 1 ? static_cast<const uint8_t*>(planes[1]) - first : (ptrdiff_t)samples * 4;
    bool even = stride >= (ptrdiff_t)samples * 4 && stride <= INT32_MAX && stride % 4 == 0 &&
                reinterpret_cast<uintptr_t>(first) % alignof(float) == 0;
    for (int c = 2; even && c < channels; ++c)
        even = static_cast<const uint8_t*>(planes[c]) - first == (ptrdiff_t)c * stride;
    QRVlib_audio_frame_v2_t f;
    f.sample_rate = rate;
    f.no_channels = channels;
    f.no_samples = samples;
    f.timecode = timecode;
    f.timestamp = timestamp;
    if (even) {
        f.data = const_cast<float*>(reinterpret_cast<const float*>(first));
        f.channel_stride = (int32_t)stride;
    } else {
        s.packed.resize((size_t)channels * samples);
        for (int c = 0; c < channels; ++c)
            std::memcpy(s.packed.data() + (size_t)c * samples, planes[c], (size_t)samples * 4);
        f.data = s.packed.data();
        f.channel_stride = samples * 4;
    }
    QRVlib_send_send_audio_v2(s.core->get(), &f);
}

// Sends planar audio whose meta says where each plane lies. False when the
// buffer cannot be read.
static bool send_with_meta(QrvAudioBranchState& s, GstBuffer* buffer, int64_t timecode, int64_t timestamp)
{
    GstAudioBuffer audio;
    if (!gst_audio_buffer_map(&audio, &s.info, buffer, GST_MAP_READ))
        return false;
    const int samples = (int)GST_AUDIO_BUFFER_N_SAMPLES(&audio);
    std::vector<const void*> planes(audio.planes, audio.planes + GST_AUDIO_INFO_CHANNELS(&s.info));
    send_planar(s, planes, samples, GST_AUDIO_INFO_RATE(&s.info), timecode, timestamp);
    gst_audio_buffer_unmap(&audio);
    return true;
}

// Sends planar audio without a meta: the planes lie one after the other,
// each a channel's share of the buffer. False when it cannot be read.
static bool send_packed_planes(QrvAudioBranchState& s, GstBuffer* buffer, int64_t timecode, int64_t timestamp)
{
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return false;
    const int channels = GST_AUDIO_INFO_CHANNELS(&s.info);
    const size_t samples = map.size / ((size_t)channels * 4);
    std::vector<const void*> planes;
    for (int c = 0; c < channels; ++c)
        planes.push_back(map.data + (size_t)c * samples * 4);
    if (samples <= INT32_MAX)
        send_planar(s, planes, (int)samples, GST_AUDIO_INFO_RATE(&s.info), timecode, timestamp);
    gst_buffer_unmap(buffer, &map);
    return true;
}

// Sends interleaved 16-bit audio as float planes of value / 32768, as the
// runtime's own 16-bit send would make them, but with the buffer's
// timestamp, which that send has no room for. False when it cannot be read.
static bool send_widened(QrvAudioBranchState& s, GstBuffer* buffer, int64_t timecode, int64_t timestamp)
{
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_READ))
        return false;
    const int channels = GST_AUDIO_INFO_CHANNELS(&s.info);
    const size_t samples = map.size / ((size_t)channels * 2);
    if (samples > 0 && samples <= INT32_MAX / 4) {
        // Samples are read byte-wise: a buffer's memory need not start at
        // an even address.
        s.widened.resize((size_t)channels * samples);
        for (size_t c = 0; c < (size_t)channels; ++c)
            for (size_t i = 0; i < samples; ++i) {
                int16_t v;
                std::memcpy(&v, map.data + (i * channels + c) * 2, sizeof v);
                s.widened[c * samples + i] = (float)v * (1.0f / 32768.0f);
            }
        std::vector<const void*> planes;
        for (int c = 0; c < channels; ++c)
            planes.push_back(s.widened.data() + (size_t)c * samples);
        send_planar(s, planes, (int)samples, GST_AUDIO_INFO_RATE(&s.info), timecode, timestamp);
    }
    gst_buffer_unmap(buffer, &map);
    return true;
}

static GstFlowReturn audio_branch_render(GstBaseSink* sink, GstBuffer* buffer)
{
    auto* self = reinterpret_cast<GstQrvAudioBranch*>(sink);
    QrvAudioBranchState& s = *self->state;
    if (!s.core || !s.have_info) {
        GST_ELEMENT_ERROR(sink, CORE, NEGOTIATION, ("audio arrived before its format"), (nullptr));
        return GST_FLOW_NOT_NEGOTIATED;
    }
    if (const GstFlowReturn waited = wait_in_render(sink, s); waited != GST_FLOW_OK)
        return waited;
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const int64_t timecode = due_timecode(sink, pts);
    const int64_t timestamp = frame_timestamp(pts);
    bool read = false;
    if (GST_AUDIO_INFO_LAYOUT(&s.info) != GST_AUDIO_LAYOUT_NON_INTERLEAVED)
        read = send_widened(s, buffer, timecode, timestamp);
    else if (gst_buffer_get_audio_meta(buffer))
        read = send_with_meta(s, buffer, timecode, timestamp);
    else
        read = send_packed_planes(s, buffer, timecode, timestamp);
    if (!read) {
        GST_ELEMENT_ERROR(sink, RESOURCE, READ, ("cannot read an audio buffer"), (nullptr));
        return GST_FLOW_ERROR;
    }
    s.core->poll_tally(GST_ELEMENT(GST_OBJECT_PARENT(sink) ? GST_OBJECT_PARENT(sink) : GST_OBJECT(sink)));
    return GST_FLOW_OK;
}

static gboolean audio_branch_stop(GstBaseSink* sink)
{
    auto* self = reinterpret_cast<GstQrvAudioBranch*>(sink);
    self->state->core.reset();
    self->state->have_info = false;
    return TRUE;
}

static void audio_branch_finalize(GObject* object)
{
    delete reinterpret_cast<GstQrvAudioBranch*>(object)->state;
    G_OBJECT_CLASS(gst_qrv_audio_branch_parent_class)->finalize(object);
}

static void gst_qrv_audio_branch_class_init(GstQrvAudioBranchClass* klass)
{
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSinkClass* sink_class = GST_BASE_SINK_CLASS(klass);
    object_class->finalize = audio_branch_finalize;
    gst_element_class_add_static_pad_template(element_class, &inner_audio_template);
    gst_element_class_set_static_metadata(element_class, "QRV audio branch", "Sink/Network/Audio",
                                          "The audio of a qrvsink", "QRV");
    sink_class->set_caps = GST_DEBUG_FUNCPTR(audio_branch_set_caps);
    sink_class->render = GST_DEBUG_FUNCPTR(audio_branch_render);
    sink_class->stop = GST_DEBUG_FUNCPTR(audio_branch_stop);
    install_branch_waits<GstQrvAudioBranch>(sink_class);
}

static void gst_qrv_audio_branch_init(GstQrvAudioBranch* self)
{
    self->state = new QrvAudioBranchState();
}

// ---------------------------------------------------------------------------
// The element: a bin with a request pad per kind of media
// ---------------------------------------------------------------------------

struct QrvSinkState {
    std::string source_name = kDefaultSourceName;
    std::string groups;  // empty: the runtime's default group
    bool sync = true;
    bool wait_for_connection = false;
    std::shared_ptr<SenderCore> core;
    GstElement* video = nullptr;  // branches, each with a reference of ours
    GstElement* audio = nullptr;
};

struct GstQrvSink {
    GstBin parent;
    QrvSinkState* state;
};
struct GstQrvSinkClass {
    GstBinClass parent_class;
};

G_DEFINE_TYPE(GstQrvSink, gst_qrv_sink, GST_TYPE_BIN)

enum { PROP_0, PROP_SOURCE_NAME, PROP_GROUPS, PROP_SYNC, PROP_WAIT_FOR_CONNECTION };

static void give_core(GstElement* branch, const std::shared_ptr<SenderCore>& core, bool wait_for_connection)
{
    if (!branch)
        return;
    BranchCommon& s = G_TYPE_CHECK_INSTANCE_TYPE(branch, gst_qrv_video_branch_get_type())
                          ? static_cast<BranchCommon&>(*reinterpret_cast<GstQrvVideoBranch*>(branch)->state)
                          : *reinterpret_cast<GstQrvAudioBranch*>(branch)->state;
    s.core = core;
    s.wait_for_connection = wait_for_connection;
}

static GstPad* sink_request_new_pad(GstElement* element, GstPadTemplate* templ, const gchar*, const GstCaps*)
{
    auto* self = reinterpret_cast<GstQrvSink*>(element);
    QrvSinkState& s = *self->state;
    const bool video = std::strcmp(GST_PAD_TEMPLATE_NAME_TEMPLATE(templ), "video") == 0;
    GstElement*& slot = video ? s.video : s.audio;
    if (slot) {
        GST_WARNING_OBJECT(element, "qrvsink takes one %s stream", video ? "video" : "audio");
        return nullptr;
    }
    GstElement* branch = GST_ELEMENT(
        g_object_new(video ? gst_qrv_video_branch_get_type() : gst_qrv_audio_branch_get_type(), nullptr));
    g_object_set(branch, "sync", (gboolean)s.sync, nullptr);
    GST_OBJECT_LOCK(element);
    give_core(branch, s.core, s.wait_for_connection);
    GST_OBJECT_UNLOCK(element);
    gst_bin_add(GST_BIN(element), branch);
    GstPad* target = gst_element_get_static_pad(branch, "sink");
    GstPad* ghost = gst_ghost_pad_new_from_template(video ? "video" : "audio", target, templ);
    gst_object_unref(target);
    if (GST_STATE(element) > GST_STATE_NULL)
        gst_pad_set_active(ghost, TRUE);
    gst_element_add_pad(element, ghost);
    gst_element_sync_state_with_parent(branch);
    GST_OBJECT_LOCK(element);  // pass_sync_to_branches reads the slots
    slot = GST_ELEMENT(gst_object_ref(branch));
    GST_OBJECT_UNLOCK(element);
    return ghost;
}

static void sink_release_pad(GstElement* element, GstPad* pad)
{
    auto* self = reinterpret_cast<GstQrvSink*>(element);
    QrvSinkState& s = *self->state;
    const bool video = std::strcmp(GST_PAD_NAME(pad), "video") == 0;
    GstElement*& slot = video ? s.video : s.audio;
    GST_OBJECT_LOCK(element);  // pass_sync_to_branches reads the slots
    GstElement* branch = slot;
    slot = nullptr;
    GST_OBJECT_UNLOCK(element);
    gst_element_remove_pad(element, pad);
    if (branch) {
        // When the element goes, the bin has removed its children already.
        if (GST_OBJECT_PARENT(branch) == GST_OBJECT(element)) {
            gst_element_set_state(branch, GST_STATE_NULL);
            gst_bin_remove(GST_BIN(element), branch);
        }
        gst_object_unref(branch);
    }
}

static GstStateChangeReturn sink_change_state(GstElement* element, GstStateChange transition)
{
    auto* self = reinterpret_cast<GstQrvSink*>(element);
    QrvSinkState& s = *self->state;
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        std::string error;
        if (s.source_name.empty()) {
            GST_ELEMENT_ERROR(element, RESOURCE, SETTINGS, ("source-name is empty"), (nullptr));
            return GST_STATE_CHANGE_FAILURE;
        }
        auto core = SenderCore::create(s.source_name, s.groups.empty() ? nullptr : s.groups.c_str(), &error);
        if (!core) {
            GST_ELEMENT_ERROR(element, RESOURCE, OPEN_WRITE, ("cannot publish the source \"%s\": %s",
                                                              s.source_name.c_str(), error.c_str()),
                              (nullptr));
            return GST_STATE_CHANGE_FAILURE;
        }
        GST_OBJECT_LOCK(element);
        s.core = core;
        give_core(s.video, core, s.wait_for_connection);
        give_core(s.audio, core, s.wait_for_connection);
        GST_OBJECT_UNLOCK(element);
    }
    const GstStateChangeReturn result = GST_ELEMENT_CLASS(gst_qrv_sink_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_PAUSED_TO_READY || result == GST_STATE_CHANGE_FAILURE) {
        // The branches let go of the sender when they stop; the source is
        // withdrawn once the last of them has.
        GST_OBJECT_LOCK(element);
        std::shared_ptr<SenderCore> gone = std::move(s.core);
        GST_OBJECT_UNLOCK(element);
    }
    return result;
}

// A change of sync reaches the branches, which do the syncing, at once.
static void pass_sync_to_branches(GObject* object)
{
    QrvSinkState& s = *reinterpret_cast<GstQrvSink*>(object)->state;
    // The branches are held while they are set: a pad released meanwhile
    // may drop the element's own reference.
    GST_OBJECT_LOCK(object);
    const gboolean sync = s.sync;
    GstElement* branches[2] = {s.video, s.audio};
    for (GstElement* b : branches)
        if (b)
            gst_object_ref(b);
    GST_OBJECT_UNLOCK(object);
    for (GstElement* b : branches)
        if (b) {
            g_object_set(b, "sync", sync, nullptr);
            gst_object_unref(b);
        }
}

// In the order of the property ids.
static const qrv_gst::PropertyField<QrvSinkState> sink_properties[] = {
    qrv_gst::field_property<&QrvSinkState::source_name>(),
    qrv_gst::optional_text_property<&QrvSinkState::groups>(),
    qrv_gst::field_property<&QrvSinkState::sync>(pass_sync_to_branches),
    qrv_gst::field_property<&QrvSinkState::wait_for_connection>(),
};
static_assert(G_N_ELEMENTS(sink_properties) == PROP_WAIT_FOR_CONNECTION);

static void sink_set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec)
{
    qrv_gst::set_property(object, *reinterpret_cast<GstQrvSink*>(object)->state, sink_properties, id, value, pspec);
}

static void sink_get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec)
{
    qrv_gst::get_property(object, *reinterpret_cast<GstQrvSink*>(object)->state, sink_properties, id, value, pspec);
}

static void sink_finalize(GObject* object)
{
    QrvSinkState& s = *reinterpret_cast<GstQrvSink*>(object)->state;
    if (s.video)
        gst_object_unref(s.video);
    if (s.audio)
        gst_object_unref(s.audio);
    delete reinterpret_cast<GstQrvSink*>(object)->state;
    G_OBJECT_CLASS(gst_qrv_sink_parent_class)->finalize(object);
}

static void gst_qrv_sink_class_init(GstQrvSinkClass* klass)
{
    GObjectClass* object_class = G_OBJECT_CLASS(klass);
    GstElementClass* element_class = GST_ELEMENT_CLASS(klass);
    object_class->set_property = sink_set_property;
    object_class->get_property = sink_get_property;
    object_class->finalize = sink_finalize;
    g_object_class_install_property(
        object_class, PROP_SOURCE_NAME,
        g_param_spec_string("source-name", "Source name",
                            "The name under which the source is published; receivers see it as \"HOST (name)\".", kDefaultSourceName,
                            GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                        GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object_class, PROP_GROUPS,
        g_param_spec_string("groups", "Groups",
                            "The groups the source belongs to, comma-separated; when unset, the source is in the default group.", nullptr,
                            GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS |
                                        GST_PARAM_MUTABLE_READY)));
    g_object_class_install_property(
        object_class, PROP_SYNC,
        g_param_spec_boolean("sync", "Sync", "Whether each buffer is sent when the pipeline clock reaches it rather than as soon as it arrives.", TRUE,
                             GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS)));
    g_object_class_install_property(
        object_class, PROP_WAIT_FOR_CONNECTION,
        g_param_spec_boolean("wait-for-connection", "Wait for connection",
                             "Whether the first buffer is held back until a receiver is connected.", FALSE,
                             GParamFlags(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY)));
    gst_element_class_add_static_pad_template(element_class, &video_template);
    gst_element_class_add_static_pad_template(element_class, &audio_template);
    gst_element_class_set_static_metadata(
        element_class, "QRV network sink", "Sink/Network/Video/Audio",
        "Publishes the pipeline's video and audio as one source on the network", "QRV");
    element_class->request_new_pad = GST_DEBUG_FUNCPTR(sink_request_new_pad);
    element_class->release_pad = GST_DEBUG_FUNCPTR(sink_release_pad);
    element_class->change_state = GST_DEBUG_FUNCPTR(sink_change_state);
}

static void gst_qrv_sink_init(GstQrvSink* self)
{
    self->state = new QrvSinkState();
}

bool qrv_gst::register_qrvsink(GstPlugin* plugin)
{
    GST_DEBUG_CATEGORY_INIT(qrvsink_debug, "qrvsink", 0, "QRV network sink");
    return gst_element_register(plugin, "qrvsink", GST_RANK_NONE, gst_qrv_sink_get_type());
}
