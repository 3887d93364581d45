// The receiver: captures, status, counters, tally and camera commands.
#include "buffers.h"

#include <cstring>
#include <utility>

namespace qrv_python {
namespace {

/// Frames the caller holds at most before the runtime refuses to hand out
/// more (see QRVlib_frame_type_error).
constexpr int kHeldFramesCap = 256;

/// What one capture took: a frame of one kind, or a change of status.
struct Captured {
    int32_t type = QRVlib_frame_type_none;
    QRVlib_video_frame_v2_t video;
    QRVlib_audio_frame_v2_t audio;
    QRVlib_metadata_frame_t metadata{};
    std::string error;
};

enum Kinds : int { kVideo = 1, kAudio = 2, kMetadata = 4, kStatus = 8 };

class Receiver {
public:
    Receiver(const std::string& name, const std::string& locator, uint32_t color, uint32_t bandwidth,
             const std::optional<std::string>& receiver_name, float max_fps)
    {
        auto lib = Library::acquire();
        QRVlib_recv_create_v3_t s(QRVlib_source_t(name.empty() ? nullptr : name.c_str(),
                                                  locator.empty() ? nullptr : locator.c_str()),
                                  (QRVlib_recv_color_format_e)color, (QRVlib_recv_bandwidth_e)bandwidth, true,
                                  receiver_name ? receiver_name->c_str() : nullptr);
        QRVlib_recv_instance_t h = nullptr;
        {
            py::gil_scoped_release nogil;
            h = QRVlib_recv_create_with_rate(&s, max_fps);
        }
        if (!h)
            fail("could not create the receiver");
        owned_ = std::make_shared<ReceiverHandle>(std::move(lib), h);
    }

    /// Marks the receiver closed; the runtime's receiver goes when the last
    /// frame captured from it is freed.
    void close()
    {
        if (auto o = std::exchange(owned_, nullptr))
            o->closed = true;
    }

    py::object capture(int kinds, const py::object& timeout);
    py::dict stats() const;
    uint64_t undelivered() const { return undelivered_; }

    py::tuple status() const
    {
        QRVlib_recv_status_t st{};
        if (!QRVlib_recv_get_status(live(owned_, "receiver")->handle, &st))
            fail("could not read the receiver's status");
        return py::make_tuple(st.connected, st.ptz_supported, st.routed);
    }

    void set_tally(bool program, bool preview)
    {
        QRVlib_tally_t t{program, preview};
        if (!QRVlib_recv_set_tally(live(owned_, "receiver")->handle, &t))
            fail("could not set the tally");
    }

    py::tuple source_tally() const
    {
        QRVlib_tally_t t{};
        if (!QRVlib_recv_get_source_tally(live(owned_, "receiver")->handle, &t))
            fail("could not read the source's tally");
        return py::make_tuple(t.on_program, t.on_preview);
    }

    /// Camera commands: each runs one runtime call and raises its refusal.
    /// (Where the runtime can acknowledge a command, this is the one place
    /// that would wait for it.)
    template <class Call>
    void camera(const char* what, Call&& call)
    {
        auto o = live(owned_, "receiver");
        bool ok = false;
        std::string reason;
        {
            py::gil_scoped_release nogil;
            ok = call(o->handle);
            if (!ok)
                reason = QRVlib_get_last_error();
        }
        if (!ok)
            throw RuntimeFailure(std::string("the camera refused ") + what,
                                 reason.empty() ? "not connected, or the source takes no camera commands" : reason);
    }

    // Waits for the source to hold the last camera command: true when it
    // acknowledged, false when it is of a version that does not (written
    // only); raises when it refused, the connection ended or time ran out.
    bool wait_delivered(double timeout_s)
    {
        auto o = live(owned_, "receiver");
        if (!(timeout_s >= 0) || timeout_s > 3600)
            throw py::value_error("timeout must be between 0 and 3600 seconds");
        auto result = QRVlib_ptz_delivery_failed;
        std::string reason;
        // In slices, so that Ctrl-C ends the wait; a slice that only timed
        // out goes on, any other failure ends it.
        wait_sliced((uint64_t)(timeout_s * 1000), [&](uint32_t ms) {
            result = QRVlib_recv_ptz_wait_delivered(o->handle, ms);
            if (result != QRVlib_ptz_delivery_failed)
                return true;
            reason = QRVlib_get_last_error();
            return reason.rfind("the source did not acknowledge", 0) != 0;
        });
        if (result == QRVlib_ptz_delivery_failed)
            throw RuntimeFailure("the camera command was not delivered",
                                 reason.rfind("the source did not acknowledge", 0) == 0
                                     ? "the source did not acknowledge it in time" : reason);
        return result == QRVlib_ptz_delivery_acknowledged;
    }

    bool ptz_supported() const { return QRVlib_recv_ptz_is_supported(live(owned_, "receiver")->handle); }

    int capture_loop(int frames, const py::object& timeout);

private:
    bool capture_once(ReceiverHandle& o, int kinds, uint32_t ms, Captured& c);
    py::object wrap(const std::shared_ptr<ReceiverHandle>& o, Captured& c);

    std::shared_ptr<ReceiverHandle> owned_;
    std::atomic<uint64_t> undelivered_{0};
};

bool Receiver::capture_once(ReceiverHandle& o, int kinds, uint32_t ms, Captured& c)
{
    if (o.closed)
        return true;
    c.type = QRVlib_recv_capture_v2(o.handle, (kinds & kVideo) ? &c.video : nullptr,
                                    (kinds & kAudio) ? &c.audio : nullptr,
                                    (kinds & kMetadata) ? &c.metadata : nullptr, ms);
    switch (c.type) {
    case QRVlib_frame_type_none:
        return false;
    case QRVlib_frame_type_status_change:
        return (kinds & kStatus) != 0;
    case QRVlib_frame_type_error:
        c.error = QRVlib_get_last_error();
        return true;
    default:
        return true;
    }
}

py::object Receiver::capture(int kinds, const py::object& timeout)
{
    auto o = live(owned_, "receiver");
    Captured c;
    for (;;) {
        if (!wait_sliced(timeout_ms(timeout), [&](uint32_t ms) { return capture_once(*o, kinds, ms, c); }))
            return py::none();
        if (o->closed)
            throw py::value_error("the receiver is closed");
        if (c.type != QRVlib_frame_type_error)
            return wrap(o, c);
        // A frame that could not be delivered (malformed, or not convertible)
        // is skipped and counted; running out of frames to hand out is the
        // caller's to fix, so it is raised.
        if (o.use_count() > kHeldFramesCap)
            throw RuntimeFailure("no frame can be handed out", c.error);
        ++undelivered_;
    }
}

py::object Receiver::wrap(const std::shared_ptr<ReceiverHandle>& o, Captured& c)
{
    switch (c.type) {
    case QRVlib_frame_type_video:
        return py::make_tuple("video", py::cast(std::make_unique<VideoBuffer>(o, c.video)));
    case QRVlib_frame_type_audio:
        return py::make_tuple("audio", py::cast(std::make_unique<AudioBuffer>(o, c.audio)));
    case QRVlib_frame_type_metadata: {
        // Text is small: copied, and the frame freed at once.
        std::string text(c.metadata.p_data ? c.metadata.p_data : "");
        const int64_t timecode = c.metadata.timecode;
        QRVlib_recv_free_metadata(o->handle, &c.metadata);
        return py::make_tuple("metadata", network_text(text), timecode);
    }
    default: {
        QRVlib_recv_status_t st{};
        QRVlib_recv_get_status(o->handle, &st);
        return py::make_tuple("status", st.connected, st.ptz_supported, st.routed);
    }
    }
}

py::dict Receiver::stats() const
{
    QRVlib_recv_stats_t s{};
    if (!QRVlib_recv_get_stats(live(owned_, "receiver")->handle, &s))
        fail("could not read the receiver's counters");
    py::dict d;
    d["video_received"] = s.video_received;
    d["audio_received"] = s.audio_received;
    d["metadata_received"] = s.metadata_received;
    d["video_dropped"] = s.video_dropped;
    d["audio_dropped"] = s.audio_dropped;
    d["metadata_dropped"] = s.metadata_dropped;
    d["bad_messages"] = s.bad_messages;
    d["connects"] = s.connects;
    d["undelivered"] = undelivered_.load();
    return d;
}

/// Captures and frees video frames without making Python objects: the
/// benchmarks' yardstick for what the Python layer adds per frame.
int Receiver::capture_loop(int frames, const py::object& timeout)
{
    auto o = live(owned_, "receiver");
    int got = 0;
    while (got < frames) {
        Captured c;
        if (!wait_sliced(timeout_ms(timeout), [&](uint32_t ms) { return capture_once(*o, kVideo, ms, c); }))
            break;
        if (c.type == QRVlib_frame_type_video) {
            QRVlib_recv_free_video_v2(o->handle, &c.video);
            ++got;
        }
    }
    return got;
}

}  // namespace

void register_receiver(py::module_& m)
{
    register_buffers(m);
    m.attr("KIND_VIDEO") = (int)kVideo;
    m.attr("KIND_AUDIO") = (int)kAudio;
    m.attr("KIND_METADATA") = (int)kMetadata;
    m.attr("KIND_STATUS") = (int)kStatus;
    py::class_<Receiver>(m, "Receiver")
        .def(py::init<const std::string&, const std::string&, uint32_t, uint32_t, const std::optional<std::string>&,
                      float>())
        .def("close", &Receiver::close)
        .def("capture", &Receiver::capture)
        .def("capture_loop", &Receiver::capture_loop)
        .def("stats", &Receiver::stats)
        .def("status", &Receiver::status)
        .def("set_tally", &Receiver::set_tally)
        .def("source_tally", &Receiver::source_tally)
        .def("ptz_supported", &Receiver::ptz_supported)
        .def("wait_delivered", &Receiver::wait_delivered)
        .def("recall_preset", [](Receiver& r, int preset, float speed) {
            r.camera("the preset recall", [=](auto h) { return QRVlib_recv_ptz_recall_preset(h, preset, speed); });
        })
        .def("store_preset", [](Receiver& r, int preset) {
            r.camera("the preset store", [=](auto h) { return QRVlib_recv_ptz_store_preset(h, preset); });
        })
        .def("pan_tilt", [](Receiver& r, float pan, float tilt) {
            r.camera("pan and tilt", [=](auto h) { return QRVlib_recv_ptz_pan_tilt(h, pan, tilt); });
        })
        .def("zoom", [](Receiver& r, float zoom) {
            r.camera("the zoom", [=](auto h) { return QRVlib_recv_ptz_zoom(h, zoom); });
        });
}

}  // namespace qrv_python
