// "QRV Output": OBS's program, picture and mix, published as a source on
// the network. OBS lends the raw frames for the length of its callback
// only, so each is sent with the runtime's copying send: one copy.
#include <obs-module.h>
#include <util/platform.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "media_frames.h"
#include "plugin.h"
#include "qrv/qrv_runtime.h"

namespace qrv_obs {

namespace {

constexpr const char* kName = "name";

// A sender and the hold on the runtime that it needs. OBS may still be in
// a raw callback when the output stops, so the callbacks hold the sender
// through a shared pointer: the last of them lets it go.
class Sender {
public:
    explicit Sender(const std::string& name)
    {
        if (!runtime_.ok())
            return;
        // OBS paces the program itself: the sends return at once.
        QRVlib_send_create_t settings(name.c_str(), nullptr, false, false);
        sender_ = QRVlib_send_create(&settings);
    }
    ~Sender() { QRVlib_send_destroy(sender_); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    QRVlib_send_instance_t get() const { return sender_; }

private:
    RuntimeHold runtime_;
    QRVlib_send_instance_t sender_ = nullptr;
};

struct QrvOutput {
    obs_output_t* output = nullptr;
    std::string name;
    std::atomic<std::shared_ptr<Sender>> sender;
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
// else converted by OBS to UYVY.
void choose_video(QrvOutput* o)
{
    const video_output_info* info = video_output_get_info(obs_output_video(o->output));
    uint32_t fourcc = fourcc_of(info->format);
    if (!fourcc) {
        video_scale_info conversion = {VIDEO_FORMAT_UYVY, info->width, info->height, VIDEO_RANGE_PARTIAL,
                                       VIDEO_CS_709};
        obs_output_set_video_conversion(o->output, &conversion);
        fourcc = QRVlib_FourCC_type_UYVY;
    }
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
    if (!obs_output_can_begin_data_capture(o->output, 0))
        return false;
    choose_video(o);
    choose_audio(o);
    auto sender = std::make_shared<Sender>(o->name);
    if (!sender->get()) {
        const std::string reason = QRVlib_get_last_error();
        QRV_OBS_LOG(LOG_ERROR, "cannot publish \"%s\": %s", o->name.c_str(), reason.c_str());
        obs_output_set_last_error(o->output, reason.c_str());
        return false;
    }
    const auto unix_now = std::chrono::system_clock::now().time_since_epoch();
    o->clock_offset = std::chrono::duration_cast<std::chrono::nanoseconds>(unix_now).count() / 100 -
                      int64_t(os_gettime_ns() / 100);
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
    if (!sender || frames->frames == 0 || o->channels == 0)
        return;
    const size_t count = frames->frames;
    // The runtime wants the channels at equal distances from the first;
    // OBS's planes need not be, so they are gathered into one block.
    o->planes.resize(count * size_t(o->channels));
    for (int c = 0; c < o->channels; ++c) {
        if (frames->data[c])
            std::memcpy(&o->planes[size_t(c) * count], frames->data[c], count * sizeof(float));
        else
            std::memset(&o->planes[size_t(c) * count], 0, count * sizeof(float));
    }
    QRVlib_audio_frame_v2_t out(o->sample_rate, o->channels, int32_t(count),
                                int64_t(frames->timestamp / 100) + o->clock_offset, o->planes.data(),
                                int32_t(count * sizeof(float)));
    QRVlib_send_send_audio_v2(sender->get(), &out);
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
