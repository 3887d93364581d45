// "QRV Output": OBS's program, picture and mix, published as a source on
// the network. OBS lends the raw frames for the length of its callback
// only, so each is sent with the runtime's copying send: one copy.
// (OBS's audio planes are gathered into one block first.)
#include <obs-module.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "media_frames.h"
#include "network_sender.h"
#include "plugin.h"
#include "qrv/qrv_runtime.h"

namespace qrv_obs {

namespace {

constexpr const char* kName = "name";

struct QrvOutput {
    obs_output_t* output = nullptr;
    std::string name;
    std::atomic<std::shared_ptr<NetworkSender>> sender;
    // What start() decided: the layout of the frames OBS hands over.
    QRVlib_video_frame_v2_t video_template;
    int channels = 0;
    int sample_rate = 0;
    int64_t clock_offset = 0;  // Unix time minus OBS's clock, 100 ns units
    std::vector<float> planes;  // the audio thread's contiguous copy
};

const char* output_get_name(void*)
{
    return obs_module_text("QrvOutput");
}

void output_update(void* data, obs_data_t* settings)
{
    static_cast<QrvOutput*>(data)->name = obs_data_get_string(settings, kName);
}

void* output_create(obs_data_t* settings, obs_output_t* output)
{
    auto* o = new QrvOutput();
    o->output = output;
    output_update(o, settings);
    return o;
}

void output_destroy(void* data)
{
    delete static_cast<QrvOutput*>(data);
}

void output_defaults(obs_data_t* settings)
{
    obs_data_set_default_string(settings, kName, "OBS");
}

obs_properties_t* output_properties(void*)
{
    obs_properties_t* props = obs_properties_create();
    obs_properties_add_text(props, kName, obs_module_text("OutputName"), OBS_TEXT_DEFAULT);
    return props;
}

// The program in a layout the runtime takes: as OBS renders it when it can,
// else converted by OBS to UYVY. The output keeps a conversion from one
// start to the next, so it is set each time, to OBS's own layout and size
// when no conversion is needed.
void choose_video(QrvOutput* o)
{
    const video_output_info* info = video_output_get_info(obs_output_video(o->output));
    uint32_t fourcc = fourcc_of(info->format);
    video_scale_info conversion = {info->format, info->width, info->height, info->range, info->colorspace};
    if (!fourcc) {
        conversion = {VIDEO_FORMAT_UYVY, info->width, info->height, VIDEO_RANGE_PARTIAL, VIDEO_CS_709};
        fourcc = QRVlib_FourCC_type_UYVY;
    }
    obs_output_set_video_conversion(o->output, &conversion);
    o->video_template = QRVlib_video_frame_v2_t(int32_t(info->width), int32_t(info->height),
                                                QRVlib_FourCC_type_e(fourcc), int32_t(info->fps_num),
                                                int32_t(info->fps_den));
}

void choose_audio(QrvOutput* o)
{
    const audio_output_info* info = audio_output_get_info(obs_output_audio(o->output));
    audio_convert_info conversion = {info->samples_per_sec, AUDIO_FORMAT_FLOAT_PLANAR, info->speakers};
    obs_output_set_audio_conversion(o->output, &conversion);
    o->channels = int(get_audio_channels(info->speakers));
    o->sample_rate = int(info->samples_per_sec);
}

bool output_start(void* data)
{
    auto* o = static_cast<QrvOutput*>(data);
    if (o->name.empty()) {
        obs_output_set_last_error(o->output, obs_module_text("OutputNameMissing"));
        return false;
    }
    // The program as OBS renders it now: a video reset since the output was
    // made (a change of canvas size or layout) replaced OBS's video, and the
    // output would still hold the old one, which is gone.
    obs_output_set_media(o->output, obs_get_video(), obs_get_audio());
    if (!obs_output_can_begin_data_capture(o->output, 0))
        return false;
    choose_video(o);
    choose_audio(o);
    auto sender = std::make_shared<NetworkSender>(o->name);
    if (!sender->get()) {
        obs_output_set_last_error(o->output, sender->error().c_str());
        return false;
    }
    o->clock_offset = unix_minus_obs_clock();
    o->sender.store(std::move(sender));
    if (!obs_output_begin_data_capture(o->output, 0)) {
        o->sender.store(nullptr);
        return false;
    }
    QRV_OBS_LOG(LOG_INFO, "publishing the program as \"%s\" (%dx%d)", o->name.c_str(), o->video_template.width,
                o->video_template.height);
    return true;
}

void output_stop(void* data, uint64_t)
{
    auto* o = static_cast<QrvOutput*>(data);
    obs_output_end_data_capture(o->output);
    if (o->sender.exchange(nullptr))
        QRV_OBS_LOG(LOG_INFO, "stopped publishing \"%s\"", o->name.c_str());
}

void output_raw_video(void* data, video_data* frame)
{
    auto* o = static_cast<QrvOutput*>(data);
    const auto sender = o->sender.load();
    if (!sender)
        return;
    QRVlib_video_frame_v2_t out = o->video_template;
    out.data = frame->data[0];
    out.line_stride = int32_t(frame->linesize[0]);
    out.timecode = int64_t(frame->timestamp / 100) + o->clock_offset;
    QRVlib_send_send_video_v2(sender->get(), &out);
}

void output_raw_audio(void* data, audio_data* frames)
{
    auto* o = static_cast<QrvOutput*>(data);
    const auto sender = o->sender.load();
    if (!sender)
        return;
    sender->send_audio(frames->data, frames->frames, o->channels, o->sample_rate,
                       int64_t(frames->timestamp / 100) + o->clock_offset, o->planes);
}

}  // namespace

void register_output()
{
    obs_output_info info = {};
    info.id = "qrv_output";
    info.flags = OBS_OUTPUT_AV;
    info.get_name = output_get_name;
    info.create = output_create;
    info.destroy = output_destroy;
    info.update = output_update;
    info.get_defaults = output_defaults;
    info.get_properties = output_properties;
    info.start = output_start;
    info.stop = output_stop;
    info.raw_video = output_raw_video;
    info.raw_audio = output_raw_audio;
    obs_register_output(&info);
}

}  // namespace qrv_obs
