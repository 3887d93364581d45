// Translation between the runtime's frames and OBS's: the pixel layouts
// both sides know, the speaker layouts, and the time stamps. The records
// filled in point at the given frame's data; nothing is copied.
#ifndef QRV_OBS_MEDIA_FRAMES_H
#define QRV_OBS_MEDIA_FRAMES_H

#include <obs.h>

#include "qrv/qrv_runtime.h"

namespace qrv_obs {

/// OBS's layout of a runtime pixel layout; VIDEO_FORMAT_NONE for one that
/// OBS does not take as it is (RGBX).
video_format obs_format_of(QRVlib_FourCC_type_e fourcc);

/// The runtime's layout of an OBS layout; 0 for one the runtime does not
/// take (the planar ones OBS renders its program in).
uint32_t fourcc_of(video_format format);

/// Fills *out to hand the received frame to obs_source_output_video2: its
/// pixels in place, colour parameters of its layout and size (BT.709
/// limited range for YUV of 720 lines or more, BT.601 below, full range
/// RGB). False, and *out untouched, when OBS cannot take the layout or the
/// geometry is not usable.
bool describe_video(const QRVlib_video_frame_v2_t& frame, obs_source_frame2* out);

/// Fills *out to hand received planar float audio to
/// obs_source_output_audio, its planes in place. Channels beyond the
/// largest speaker layout that fits are left out (*dropped_channels says
/// how many). False for a frame without samples or channels.
bool describe_audio(const QRVlib_audio_frame_v2_t& frame, obs_source_audio* out, int* dropped_channels);

/// The OBS time stamp (ns) of a frame's timecode (100 ns units since the
/// Unix epoch). Video and audio of one sender carry timecodes of the same
/// clock, so equal offsets keep picture and sound together in OBS. A
/// timecode that is missing gives the present time of OBS's clock.
uint64_t obs_timestamp_of(int64_t timecode);

}  // namespace qrv_obs

#endif
