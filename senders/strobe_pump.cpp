// strobe_pump: streams up to 1000 alternating black and white 1920x1080 BGRA
// frames into the source "My Video" with asynchronous sends, two buffers
// taking turns so that the one the library may still read is never written.
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
    send_settings.name = "My Video";
    QRVlib_send_instance_t sender = QRVlib_send_create(&send_settings);
    if (!sender)
        return 0;

    QRVlib_video_frame_v2_t frame;
    frame.width = 1920;
    frame.height = 1080;
    frame.fourcc = QRVlib_FourCC_type_BGRA;
    frame.line_stride = 1920 * 4;

    const size_t frame_bytes = 1920 * 1080 * 4;
    uint8_t* buffers[2];
    buffers[0] = (uint8_t*)malloc(frame_bytes);
    buffers[1] = (uint8_t*)malloc(frame_bytes);
    if (!buffers[0] || !buffers[1]) {
        free(buffers[0]);
        free(buffers[1]);
        QRVlib_send_destroy(sender);
        QRVlib_destroy();
        return 0;
    }

    for (int i = 0; !exit_loop.load() && i < 1000; i++) {
        memset(buffers[i & 1], (i & 1) ? 255 : 0, frame_bytes);
        frame.data = buffers[i & 1];
        QRVlib_send_send_video_async_v2(sender, &frame);
    }

    // Wait until the library has let go of both buffers.
    QRVlib_send_send_video_async_v2(sender, nullptr);

    free(buffers[0]);
    free(buffers[1]);
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
    return 0;
}
