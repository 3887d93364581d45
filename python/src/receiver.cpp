// The receiver: captures frames into objects that lend their memory to
// NumPy without a copy and give it back to the runtime when they go.
#include "native.h"


#include <cstring>
#include <utility>

namespace qrv_python {
namespace {

using ReceiverHandle = Owned<QRVlib_recv_instance_t, QRVlib_recv_destroy>;

/// Frames the caller holds at most before the runtime refuses to hand out
/// more (see QRVlib_frame_type_error).
constexpr int kHeldFramesCap = 256;

std::string fourcc_text(uint32_t code)
{
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[i] = (char)((code >> (8 * i)) & 0xff);
    return s;
}

int bytes_per_pixel(QRVlib_FourCC_type_e fourcc)
{
    return fourcc == QRVlib_FourCC_type_UYVY ? 2 : 4;
}

/// A captured video frame: the receiver's share keeps the receiver alive
/// until the frame is freed.
class VideoBuffer {
public:
    VideoBuffer(std::shared_ptr<ReceiverHandle> rx, const QRVlib_video_frame_v2_t& f) : rx_(std::move(rx)), f_(f) {}
    ~VideoBuffer()
    {
        without_gil([this] { QRVlib_recv_free_video_v2(rx_->handle, &f_); });
    }
    VideoBuffer(const VideoBuffer&) = delete;
    VideoBuffer& operator=(const VideoBuffer&) = delete;

    py::buffer_info buffer() const
    {
        const py::ssize_t bpp = bytes_per_pixel(f_.fourcc);
        return py::buffer_info(f_.data, 1, py::format_descriptor<uint8_t>::format(), 3,
                               {(py::ssize_t)f_.height, (py::ssize_t)f_.width, bpp},
                               {(py::ssize_t)f_.line_stride, bpp, (py::ssize_t)1}, true);
    }
    const QRVlib_video_frame_v2_t& frame() const { return f_; }

private:
    std::shared_ptr<ReceiverHandle> rx_;
    QRVlib_video_frame_v2_t f_;
};

/// A captured audio frame, planar float: (channels, samples).
class AudioBuffer {
public:
    AudioBuffer(std::shared_ptr<ReceiverHandle> rx, const QRVlib_audio_frame_v2_t& f) : rx_(std::move(rx)), f_(f) {}
    ~AudioBuffer()
    {
        without_gil([this] { QRVlib_recv_free_audio_v2(rx_->handle, &f_); });
    }
    AudioBuffer(const AudioBuffer&) = delete;
    AudioBuffer& operator=(const AudioBuffer&) = delete;

    py::buffer_info buffer() const
    {
        return py::buffer_info(f_.data, sizeof(float), py::format_descriptor<float>::format(), 2,
                               {(py::ssize_t)f_.no_channels, (py::ssize_t)f_.no_samples},
                               {(py::ssize_t)f_.channel_stride, (py::ssize_t)sizeof(float)}, true);
    }
    const QRVlib_audio_frame_v2_t& frame() const { return f_; }

private:
    std::shared_ptr<ReceiverHandle> rx_;
    QRVlib_audio_frame_v2_t f_;
};

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
        return py::make_tuple("metadata", py::str(text), timecode);
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

void register_buffers(py::module_& m)
{
    py::class_<VideoBuffer>(m, "VideoBuffer", py::buffer_protocol())
        .def_buffer(&VideoBuffer::buffer)
        .def_property_readonly("width", [](const VideoBuffer& b) { return b.frame().width; })
        .def_property_readonly("height", [](const VideoBuffer& b) { return b.frame().height; })
        .def_property_readonly("fourcc", [](const VideoBuffer& b) { return fourcc_text(b.frame().fourcc); })
        .def_property_readonly("frame_rate",
                               [](const VideoBuffer& b) {
                                   return py::make_tuple(b.frame().frame_rate_num, b.frame().frame_rate_den);
                               })
        .def_property_readonly("aspect", [](const VideoBuffer& b) { return b.frame().aspect_ratio; })
        .def_property_readonly("timecode", [](const VideoBuffer& b) { return b.frame().timecode; })
        .def_property_readonly("timestamp", [](const VideoBuffer& b) { return b.frame().timestamp; })
        .def_property_readonly("metadata", [](const VideoBuffer& b) -> py::object {
            return b.frame().metadata ? py::object(py::str(b.frame().metadata)) : py::object(py::none());
        })
        .def_property_readonly("attributes", [](const VideoBuffer& b) {
            // All of the above in one call: the Python frame takes them at once.
            const auto& f = b.frame();
            py::dict d;
            d["fourcc"] = fourcc_text(f.fourcc);
            d["frame_rate"] = py::make_tuple(f.frame_rate_num, f.frame_rate_den);
            d["timecode"] = f.timecode;
            d["timestamp"] = f.timestamp;
            d["aspect"] = f.aspect_ratio;
            d["metadata"] = f.metadata ? py::object(py::str(f.metadata)) : py::object(py::none());
            return d;
        });
    py::class_<AudioBuffer>(m, "AudioBuffer", py::buffer_protocol())
        .def_buffer(&AudioBuffer::buffer)
        .def_property_readonly("sample_rate", [](const AudioBuffer& b) { return b.frame().sample_rate; })
        .def_property_readonly("timecode", [](const AudioBuffer& b) { return b.frame().timecode; })
        .def_property_readonly("timestamp", [](const AudioBuffer& b) { return b.frame().timestamp; })
        .def_property_readonly("metadata", [](const AudioBuffer& b) -> py::object {
            return b.frame().metadata ? py::object(py::str(b.frame().metadata)) : py::object(py::none());
        })
        .def_property_readonly("attributes", [](const AudioBuffer& b) {
            const auto& f = b.frame();
            py::dict d;
            d["sample_rate"] = f.sample_rate;
            d["timecode"] = f.timecode;
            d["timestamp"] = f.timestamp;
            d["metadata"] = f.metadata ? py::object(py::str(f.metadata)) : py::object(py::none());
            return d;
        });
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
