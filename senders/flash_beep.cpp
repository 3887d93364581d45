// flash_beep: sends 1000 paced 1920x1080 UYVY frames with matching stereo
// audio into "My Video and Audio": white with a burst of noise on the first
// 11 frames of every 50, black and silent otherwise.
#include <cstdio>
#include <cstdlib>

#include "qrvlib.h"
#include "run_frame.h"

int main(int, char**)
{
    if (!QRVlib_initialize()) {
        printf("Cannot run QRV.");
        return 0;
    }
    signal(SIGINT, sigint_handler);

    QRVlib_send_create_t send_settings;
    send_settings.name = "My Video and Audio";
    QRVlib_send_instance_t sender = QRVlib_send_create(&send_settings);
    if (!sender)
        return 0;

    QRVlib_video_frame_v2_t video_frame;
    video_frame.width = 1920;
    video_frame.height = 1080;
    video_frame.fourcc = QRVlib_FourCC_type_UYVY;
    video_frame.data = (uint8_t*)malloc(1920 * 1080 * 2);
    video_frame.line_stride = 1920 * 2;

    QRVlib_audio_frame_v2_t audio_frame;
    audio_frame.sample_rate = 48000;
    audio_frame.no_channels = 2;
    audio_frame.no_samples = 1602;
    audio_frame.data = (float*)malloc(2 * 1602 * sizeof(float));
    audio_frame.channel_stride = 1602 * sizeof(float);

    // Five frames at 30000/1001 carry exactly 8008 samples at 48 kHz.
    static const int audio_no_samples[5] = {1602, 1601, 1602, 1601, 1602};

    if (video_frame.data && audio_frame.data) {
        for (int i = 0; !exit_loop.load() && i < 1000; i++) {
            const bool flash = (i % 50) <= 10;
            audio_frame.no_samples = audio_no_samples[i % 5];

            // Always 1602 samples per channel, whatever no_samples says.
            const float amplitude = flash ? 2.0f : 0.0f;
            for (int ch = 0; ch < 2; ch++) {
                float* plane = (float*)((uint8_t*)audio_frame.data + ch * audio_frame.channel_stride);
                for (int s = 0; s < 1602; s++)
                    plane[s] = ((float)rand() / 2147483648.0f - 0.5f) * amplitude;
            }
            QRVlib_send_send_audio_v2(sender, &audio_frame);

            uint16_t* words = (uint16_t*)video_frame.data;
            const uint16_t fill = flash ? 0xEB80 : 0x1080;
            for (int w = 0; w < 1920 * 1080; w++)
                words[w] = fill;
            QRVlib_send_send_video_v2(sender, &video_frame);

            printf("Frame number %d send.\n", i);
        }
    }

    free(video_frame.data);
    free(audio_frame.data);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return 0;
}
