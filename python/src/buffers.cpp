// The captured frames' buffers and the attributes Python reads of them.
#include "buffers.h"

#include <cstring>

namespace qrv_python {
namespace {

py::object metadata_of(const char* text)
{
    return text ? py::object(network_text(text, std::strlen(text))) : py::object(py::none());
}

std::string fourcc_text(uint32_t code)
{
    std::string s(4, ' ');
    for (int i = 0; i < 4; ++i)
        s[i] = (char)((code >> (8 * i)) & 0xff);
    return s;
}

}  // namespace

int bytes_per_pixel(QRVlib_FourCC_type_e fourcc)
{
    return fourcc == QRVlib_FourCC_type_UYVY ? 2 : 4;
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
            return metadata_of(b.frame().metadata);
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
            d["metadata"] = metadata_of(f.metadata);
            return d;
        });
    py::class_<AudioBuffer>(m, "AudioBuffer", py::buffer_protocol())
        .def_buffer(&AudioBuffer::buffer)
        .def_property_readonly("sample_rate", [](const AudioBuffer& b) { return b.frame().sample_rate; })
        .def_property_readonly("timecode", [](const AudioBuffer& b) { return b.frame().timecode; })
        .def_property_readonly("timestamp", [](const AudioBuffer& b) { return b.frame().timestamp; })
        .def_property_readonly("metadata", [](const AudioBuffer& b) -> py::object {
            return metadata_of(b.frame().metadata);
        })
        .def_property_readonly("attributes", [](const AudioBuffer& b) {
            const auto& f = b.frame();
            py::dict d;
            d["sample_rate"] = f.sample_rate;
            d["timecode"] = f.timecode;
            d["timestamp"] = f.timestamp;
            d["metadata"] = metadata_of(f.metadata);
            return d;
        });
}

}  // namespace qrv_python
