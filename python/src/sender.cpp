// The sender: video from any suitable buffer without a copy, audio,
// metadata, tally, connections and the camera commands that reach it.
#include "native.h"


#include <climits>
#include <mutex>
#include <utility>

namespace qrv_python {
namespace {

using SenderHandle = Owned<QRVlib_send_instance_t, QRVlib_send_destroy>;

/// The bytes per pixel of a layout name, or 0 for a name not sendable.
int layout_bytes(const std::string& fourcc, uint32_t* code)
{
    static const std::pair<const char*, uint32_t> known[] = {
        {"UYVY", QRVlib_FourCC_type_UYVY}, {"BGRA", QRVlib_FourCC_type_BGRA}, {"BGRX", QRVlib_FourCC_type_BGRX},
        {"RGBA", QRVlib_FourCC_type_RGBA}, {"RGBX", QRVlib_FourCC_type_RGBX}};
    for (const auto& [name, value] : known)
        if (fourcc == name) {
            *code = value;
            return value == QRVlib_FourCC_type_UYVY ? 2 : 4;
        }
    return 0;
}

/// Checks that a buffer holds one frame of the layout, packed: (height,
/// width, bytes per pixel) of uint8, C-contiguous. Raises ValueError with
/// what is wrong.
void check_video(const py::buffer_info& b, const std::string& fourcc, int bpp)
{
    auto bad = [&](const std::string& why) { throw py::value_error("a " + fourcc + " frame " + why); };
    if (b.ndim != 3 || b.shape[2] != bpp)
        bad("is an array of shape (height, width, " + std::to_string(bpp) + ")");
    if (b.itemsize != 1 || (b.format != "B" && b.format != "b" && b.format != "c"))
        bad("holds uint8 values, not '" + b.format + "'");
    if (b.shape[0] < 1 || b.shape[1] < 1)
        bad("has at least one line and one pixel");
    if (bpp == 2 && b.shape[1] % 2 != 0)
        bad("has an even width (pixels come in pairs)");
    if (b.shape[0] > INT_MAX / 4 || b.shape[1] > INT_MAX / 4 / bpp)
        bad("of this size cannot be sent");
    if (b.strides[2] != 1 || b.strides[1] != bpp || b.strides[0] != b.shape[1] * bpp)
        bad("is C-contiguous (use numpy.ascontiguousarray)");
}

class Sender {
public:
    Sender(const std::string& name, const std::optional<std::string>& groups, bool pace_video, bool pace_audio)
    {
        auto lib = Library::acquire();
        QRVlib_send_create_t s(name.c_str(), groups ? groups->c_str() : nullptr, pace_video, pace_audio);
        QRVlib_send_instance_t h = nullptr;
        {
            py::gil_scoped_release nogil;
            h = QRVlib_send_create(&s);
        }
        if (!h)
            fail("could not create the sender '" + name + "'");
        owned_ = std::make_shared<SenderHandle>(std::move(lib), h);
    }
    ~Sender() { close(); }

    /// Waits until the runtime is done with the last frame, then lets the
    /// runtime's sender go (once no other thread is inside a call on it).
    void close()
    {
        auto o = std::exchange(owned_, nullptr);
        if (!o)
            return;
        o->closed = true;
        flush_with(*o);
    }

    void send_video(const py::buffer& frame, const std::string& fourcc, int num, int den, py::object metadata);
    void send_audio(const py::buffer& samples, int sample_rate);
    void send_audio_16s(const py::buffer& samples, int sample_rate);
    void send_metadata(const std::string& text);
    /// Waits until the runtime no longer reads the last frame sent.
    void flush() { flush_with(*live(owned_, "sender")); }

    int connections(const py::object& timeout)
    {
        auto o = live(owned_, "sender");
        int32_t n = 0;
        wait_sliced(timeout_ms(timeout), [&](uint32_t ms) {
            n = QRVlib_send_get_no_connections(o->handle, ms);
            return n != 0 || ms == 0 || o->closed;
        });
        return n;
    }

    /// Whether a receiver is ready for a new video frame, waiting up to the
    /// timeout for one.
    bool video_wanted(const py::object& timeout)
    {
        auto o = live(owned_, "sender");
        const bool wanted = wait_sliced(timeout_ms(timeout), [&](uint32_t ms) {
            return QRVlib_send_wait_video_wanted(o->handle, ms) == 1 || o->closed;
        });
        return wanted && !o->closed;
    }

    /// (changed, on_program, on_preview): changed when the combined tally
    /// changed since the previous call, waiting up to the timeout for one.
    py::tuple tally(const py::object& timeout)
    {
        auto o = live(owned_, "sender");
        QRVlib_tally_t t{};
        const bool changed = wait_sliced(timeout_ms(timeout), [&](uint32_t ms) {
            return QRVlib_send_get_tally(o->handle, &t, ms) || o->closed;
        });
        return py::make_tuple(changed && !o->closed, t.on_program, t.on_preview);
    }

    /// The next camera command as (command, preset, value_a, value_b), or
    /// None when none came in time.
    py::object command(const py::object& timeout)
    {
        auto o = live(owned_, "sender");
        QRVlib_ptz_command_t c{};
        bool got = false;
        wait_sliced(timeout_ms(timeout), [&](uint32_t ms) {
            got = QRVlib_send_get_ptz_command(o->handle, &c, ms);
            return got || o->closed;
        });
        if (!got)
            return py::none();
        return py::make_tuple((int)c.command, c.preset, c.value_a, c.value_b);
    }

    void set_ptz_supported(bool supported)
    {
        if (!QRVlib_send_set_ptz_supported(live(owned_, "sender")->handle, supported))
            fail("could not declare camera control");
    }

    std::string published_name() const
    {
        auto o = live(owned_, "sender");
        return read_text([&](char* t, uint32_t c) { return QRVlib_send_get_published_name(o->handle, t, c); });
    }
    std::string locator() const
    {
        auto o = live(owned_, "sender");
        return read_text([&](char* t, uint32_t c) { return QRVlib_send_get_locator(o->handle, t, c); });
    }
    py::dict stats() const;

    template <class Get>
    static std::string read_text(Get&& get)
    {
        const uint32_t need = get(nullptr, 0);
        if (need == 0)
            fail("could not read the text");
        std::string s(need, '\0');
        get(s.data(), need);
        s.resize(need - 1);
        return s;
    }

private:
    void flush_with(SenderHandle& o)
    {
        std::unique_ptr<py::buffer_info> done;
        {
            py::gil_scoped_release nogil;
            std::lock_guard lock(send_mutex_);
            QRVlib_send_send_video_async_v2(o.handle, nullptr);
            done = std::move(in_use_);
        }
        // The buffer's view is given back with the GIL held, here.
    }

    std::shared_ptr<SenderHandle> owned_;
    std::mutex send_mutex_;  // taken only with the GIL released
    std::unique_ptr<py::buffer_info> in_use_;  // the frame the runtime may still read
};

void Sender::send_video(const py::buffer& frame, const std::string& fourcc, int num, int den, py::object metadata)
{
    auto o = live(owned_, "sender");
    uint32_t code = 0;
    const int bpp = layout_bytes(fourcc, &code);
    if (!bpp)
        throw py::value_error("fourcc is one of UYVY, BGRA, BGRX, RGBA, RGBX, not '" + fourcc + "'");
    if (num <= 0 || den <= 0)
        throw py::value_error("the frame rate is a positive fraction");
    auto view = std::make_unique<py::buffer_info>(frame.request());
    check_video(*view, fourcc, bpp);
    std::string meta = metadata.is_none() ? std::string() : metadata.cast<std::string>();
    QRVlib_video_frame_v2_t f((int)view->shape[1], (int)view->shape[0], (QRVlib_FourCC_type_e)code, num, den);
    f.data = static_cast<uint8_t*>(view->ptr);
    f.line_stride = (int)(view->shape[1] * bpp);
    f.metadata = metadata.is_none() ? nullptr : meta.c_str();
    std::unique_ptr<py::buffer_info> done;
    bool refused = false;
    std::string reason;
    {
        py::gil_scoped_release nogil;
        std::lock_guard lock(send_mutex_);
        // The runtime reads the frame until the next call on this sender:
        // the view of the previous one is let go only now. A frame it
        // refuses is counted, and raised here rather than lost unseen.
        QRVlib_send_stats_t before{}, after{};
        QRVlib_send_get_stats(o->handle, &before);
        QRVlib_send_send_video_async_v2(o->handle, &f);
        QRVlib_send_get_stats(o->handle, &after);
        refused = after.refused != before.refused;
        if (refused) {
            reason = QRVlib_get_last_error();
            if (reason.empty())
                reason = "outside the runtime's limits (QRV_LOG=warn says which)";
        }
        done = std::exchange(in_use_, refused ? nullptr : std::move(view));
    }
    if (refused)
        throw RuntimeFailure("the frame was refused", reason);
}

void Sender::send_audio(const py::buffer& samples, int sample_rate)
{
    auto o = live(owned_, "sender");
    const py::buffer_info b = samples.request();
    if (b.ndim != 2 || b.format != "f" || b.itemsize != 4)
        throw py::value_error("audio is a float32 array of shape (channels, samples)");
    if (b.shape[0] < 1 || b.shape[0] > 64 || b.shape[1] < 1 || b.shape[1] > INT_MAX / 4)
        throw py::value_error("audio has 1 to 64 channels and at least one sample");
    if (b.strides[1] != 4 || b.strides[0] != b.shape[1] * 4)
        throw py::value_error("audio is C-contiguous (use numpy.ascontiguousarray)");
    if (sample_rate <= 0)
        throw py::value_error("the sample rate is positive");
    QRVlib_audio_frame_v2_t f(sample_rate, (int)b.shape[0], (int)b.shape[1]);
    f.data = static_cast<float*>(b.ptr);
    f.channel_stride = (int)(b.shape[1] * 4);
    py::gil_scoped_release nogil;
    QRVlib_send_send_audio_v2(o->handle, &f);
}

void Sender::send_audio_16s(const py::buffer& samples, int sample_rate)
{
    auto o = live(owned_, "sender");
    const py::buffer_info b = samples.request();
    if (b.ndim != 2 || b.itemsize != 2 || (b.format != "h" && b.format != "<h"))
        throw py::value_error("16-bit audio is an int16 array of shape (samples, channels)");
    if (b.shape[1] < 1 || b.shape[1] > 64 || b.shape[0] < 1 || b.shape[0] > INT_MAX / 128)
        throw py::value_error("audio has 1 to 64 channels and at least one sample");
    if (b.strides[1] != 2 || b.strides[0] != b.shape[1] * 2)
        throw py::value_error("audio is C-contiguous (use numpy.ascontiguousarray)");
    if (sample_rate <= 0)
        throw py::value_error("the sample rate is positive");
    QRVlib_audio_frame_interleaved_16s_t f(sample_rate, (int)b.shape[1], (int)b.shape[0]);
    f.data = static_cast<int16_t*>(b.ptr);
    py::gil_scoped_release nogil;
    QRVlib_util_send_send_audio_interleaved_16s(o->handle, &f);
}

void Sender::send_metadata(const std::string& text)
{
    auto o = live(owned_, "sender");
    if (text.find('\0') != std::string::npos)
        throw py::value_error("metadata text holds no NUL character");
    QRVlib_metadata_frame_t f{(int32_t)text.size(), QRVlib_send_timecode_synthesize, const_cast<char*>(text.c_str())};
    bool ok = false;
    {
        py::gil_scoped_release nogil;
        ok = QRVlib_send_send_metadata(o->handle, &f);
    }
    if (!ok)
        fail("the metadata was refused");
}

py::dict Sender::stats() const
{
    auto o = live(owned_, "sender");
    QRVlib_send_stats_t s{};
    QRVlib_send_transport_stats_t t{};
    if (!QRVlib_send_get_stats(o->handle, &s) || !QRVlib_send_get_transport_stats(o->handle, &t))
        fail("could not read the sender's counters");
    py::dict d;
    d["video_accepted"] = s.video_accepted;
    d["audio_accepted"] = s.audio_accepted;
    d["refused"] = s.refused;
    d["connections_accepted"] = t.accepted;
    d["video_dropped"] = t.video_dropped;
    d["audio_dropped"] = t.audio_dropped;
    return d;
}

}  // namespace

void register_sender(py::module_& m)
{
    py::class_<Sender>(m, "Sender")
        .def(py::init<const std::string&, const std::optional<std::string>&, bool, bool>())
        .def("close", &Sender::close)
        .def("send_video", &Sender::send_video)
        .def("send_audio", &Sender::send_audio)
        .def("send_audio_16s", &Sender::send_audio_16s)
        .def("send_metadata", &Sender::send_metadata)
        .def("flush", &Sender::flush)
        .def("connections", &Sender::connections)
        .def("video_wanted", &Sender::video_wanted)
        .def("tally", &Sender::tally)
        .def("command", &Sender::command)
        .def("set_ptz_supported", &Sender::set_ptz_supported)
        .def("published_name", &Sender::published_name)
        .def("locator", &Sender::locator)
        .def("stats", &Sender::stats);
}

}  // namespace qrv_python
