// A receiver of one's own, built against an installed library: lists the
// sources it finds, connects to the first and reports its first audio frame.
#include <cstdio>

#include "qrv/qrv_runtime.h"

int main()
{
    if (!QRVlib_initialize())
        return 1;
    printf("library %s\n", QRVlib_version());

    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    uint32_t count = 0;
    const QRVlib_source_t* sources = nullptr;
    for (int i = 0; finder && count == 0 && i < 50; ++i) {
        QRVlib_find_wait_for_sources(finder, 200);
        sources = QRVlib_find_get_current_sources(finder, &count);
    }
    for (uint32_t i = 0; i < count; ++i)
        printf("source %s\n", sources[i].name);

    int status = 1;
    if (count > 0) {
        QRVlib_recv_create_v3_t settings;
        settings.source = sources[0];
        QRVlib_recv_instance_t receiver = QRVlib_recv_create_v3(&settings);
        for (int i = 0; receiver && status != 0 && i < 50; ++i) {
            QRVlib_audio_frame_v2_t audio;
            if (QRVlib_recv_capture_v2(receiver, nullptr, &audio, nullptr, 100) == QRVlib_frame_type_audio) {
                printf("audio %d Hz %d channels\n", audio.sample_rate, audio.no_channels);
                QRVlib_recv_free_audio_v2(receiver, &audio);
                status = 0;
            }
        }
        QRVlib_recv_destroy(receiver);
    }
    QRVlib_find_destroy(finder);
    QRVlib_destroy();
    return status;
}
