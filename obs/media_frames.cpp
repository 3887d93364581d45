#include "media_frames.h"

#include <util/platform.h>

#include <cstring>

namespace qrv_obs {

video_format obs_format_of(QRVlib_FourCC_type_e fourcc)
{
    switch (fourcc) {
    case QRVlib_FourCC_type_UYVY:
        return VIDEO_FORMAT_UYVY;
    case QRVlib_FourCC_type_BGRA:
        return VIDEO_FORMAT_BGRA;
    case QRVlib_FourCC_type_BGRX:
        return VIDEO_FORMAT_BGRX;
    case QRVlib_FourCC_type_RGBA:
        return VIDEO_FORMAT_RGBA;
    default:
        return VIDEO_FORMAT_NONE;
    }
}

uint32_t fourcc_of(video_format format)
{
    switch (format) {
    case VIDEO_FORMAT_UYVY:
        return QRVlib_FourCC_type_UYVY;
    case VIDEO_FORMAT_BGRA:
        return QRVlib_FourCC_type_BGRA;
    case VIDEO_FORMAT_BGRX:
        return QRVlib_FourCC_type_BGRX;
    case VIDEO_FORMAT_RGBA:
        return QRVlib_FourCC_type_RGBA;
    default:
        return 0;
    }
}

bool describe_video(const QRVlib_video_frame_v2_t& frame, obs_source_frame2* out)
{
    const video_format format = obs_format_of(frame.fourcc);
    if (format == VIDEO_FORMAT_NONE || !frame.data || frame.width <= 0 || frame.height <= 0 || frame.line_stride <= 0)
        return false;
    std::memset(out, 0, sizeof *out);
    out->data[0] = frame.data;
    out->linesize[0] = uint32_t(frame.line_stride);
    out->width = uint32_t(frame.width);
    out->height = uint32_t(frame.height);
    out->timestamp = obs_timestamp_of(frame.timecode);
    out->format = format;
    const bool yuv = format == VIDEO_FORMAT_UYVY;
    out->range = yuv ? VIDEO_RANGE_PARTIAL : VIDEO_RANGE_FULL;
    const video_colorspace space = frame.height >= 720 ? VIDEO_CS_709 : VIDEO_CS_601;
    video_format_get_parameters_for_format(space, out->range, format, out->color_matrix, out->color_range_min,
                                           out->color_range_max);
    return true;
}

namespace {

// The largest layout OBS has with at most the given number of channels.
speaker_layout speakers_for(int channels, int* used)
{
    static const struct {
        int channels;
        speaker_layout layout;
    } layouts[] = {{8, SPEAKERS_7POINT1}, {6, SPEAKERS_5POINT1}, {5, SPEAKERS_4POINT1}, {4, SPEAKERS_4POINT0},
                   {3, SPEAKERS_2POINT1}, {2, SPEAKERS_STEREO},  {1, SPEAKERS_MONO}};
    for (const auto& l : layouts)
        if (channels >= l.channels) {
            *used = l.channels;
            return l.layout;
        }
    *used = 0;
    return SPEAKERS_UNKNOWN;
}

}  // namespace

bool describe_audio(const QRVlib_audio_frame_v2_t& frame, obs_source_audio* out, int* dropped_channels)
{
    int used = 0;
    const speaker_layout layout = speakers_for(frame.no_channels, &used);
    if (!frame.data || frame.no_samples <= 0 || used == 0 || frame.sample_rate <= 0)
        return false;
    std::memset(out, 0, sizeof *out);
    const auto* base = reinterpret_cast<const uint8_t*>(frame.data);
    for (int c = 0; c < used; ++c)
        out->data[c] = base + size_t(c) * size_t(frame.channel_stride);
    out->frames = uint32_t(frame.no_samples);
    out->speakers = layout;
    out->format = AUDIO_FORMAT_FLOAT_PLANAR;
    out->samples_per_sec = uint32_t(frame.sample_rate);
    out->timestamp = obs_timestamp_of(frame.timecode);
    *dropped_channels = frame.no_channels - used;
    return true;
}

uint64_t obs_timestamp_of(int64_t timecode)
{
    if (timecode <= 0 || timecode == QRVlib_recv_timestamp_undefined)
        return os_gettime_ns();
    return uint64_t(timecode) * 100;
}

}  // namespace qrv_obs
