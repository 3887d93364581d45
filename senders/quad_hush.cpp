// quad_hush: sends up to 1000 frames of four-channel planar float silence,
// 1920 samples per channel at 48 kHz, into "My Audio", paced by the library.
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
    send_settings.name = "My Audio";
    send_settings.pace_audio = true;
    QRVlib_send_instance_t sender = QRVlib_send_create(&send_settings);
    if (!sender)
        return 0;

    QRVlib_audio_frame_v2_t audio_frame;
    audio_frame.sample_rate = 48000;
    audio_frame.no_channels = 4;
    audio_frame.no_samples = 1920;
    audio_frame.data = (float*)malloc(1920 * 4 * sizeof(float));
    audio_frame.channel_stride = 1920 * sizeof(float);

    if (audio_frame.data) {
        for (int i = 0; !exit_loop.load() && i < 1000; i++) {
            for (int ch = 0; ch < 4; ch++) {
                float* plane = (float*)((uint8_t*)audio_frame.data + ch * audio_frame.channel_stride);
                for (int s = 0; s < 1920; s++)
                    plane[s] = 0.0f;
            }
            QRVlib_send_send_audio_v2(sender, &audio_frame);
            printf("Frame number %d sent.\n", i);
        }
    }

    free(audio_frame.data);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return 0;
}
