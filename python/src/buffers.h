// Captured frames that lend their memory to NumPy through the buffer
// protocol, read-only and without a copy, and give it back to the runtime
// when the last Python object viewing them goes.
#pragma once

#include "native.h"

namespace qrv_python {

/// Bytes per pixel of a delivered layout: 2 for UYVY, 4 for the others.
int bytes_per_pixel(QRVlib_FourCC_type_e fourcc);

using ReceiverHandle = Owned<QRVlib_recv_instance_t, QRVlib_recv_destroy>;

/// A captured video frame: its share of the receiver keeps the receiver
/// alive until the frame is freed.
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
/// Registers VideoBuffer and AudioBuffer with the module.
void register_buffers(py::module_& m);

}  // namespace qrv_python
