// stereo_hush: sends up to 1000 frames of stereo interleaved 16-bit silence,
// 1920 samples per channel at 48 kHz, into "My 16bpp Audio".
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
    send_settings.name = "My 16bpp Audio";
    send_settings.pace_audio = true;
    QRVlib_send_instance_t sender = QRVlib_send_create(&send_settings);
    if (!sender)
        return 0;

    QRVlib_audio_frame_interleaved_16s_t audio_frame;
    audio_frame.sample_rate = 48000;
    audio_frame.no_channels = 2;
    audio_frame.no_samples = 1920;
    audio_frame.data = (int16_t*)malloc(1920 * 2 * sizeof(int16_t));

    if (audio_frame.data) {
        for (int i = 0; !exit_loop.load() && i < 1000; i++) {
            memset(audio_frame.data, 0, (size_t)(audio_frame.no_samples * audio_frame.no_channels) * sizeof(int16_t));
            QRVlib_util_send_send_audio_interleaved_16s(sender, &audio_frame);
            printf("Frame number %d sent.\n", i);
        }
    }

    free(audio_frame.data);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return 0;
}
