// preset_caller: connects "Example PTZ Receiver" to the first source found
// and, for 30 seconds, recalls camera preset 3 on every change of status of
// a source that supports camera control.
#include <chrono>
#include <cstdio>

#include "qrvlib.h"
#include "run_frame.h"

int main(int, char**)
{
    if (!QRVlib_initialize()) {
        printf("Cannot run QRV.");
        return 0;
    }
    signal(SIGINT, sigint_handler);

    QRVlib_find_create_t find_settings;
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(&find_settings);
    if (!finder)
        return 0;

    uint32_t no_sources = 0;
    const QRVlib_source_t* sources = nullptr;
    while (!exit_loop.load() && !no_sources) {
        QRVlib_find_wait_for_sources(finder, 1000);
        sources = QRVlib_find_get_current_sources(finder, &no_sources);
    }
    if (!sources || !no_sources)
        return 0;

    QRVlib_recv_create_v3_t recv_settings;
    recv_settings.source = sources[0];
    recv_settings.receiver_name = "Example PTZ Receiver";
    QRVlib_recv_instance_t receiver = QRVlib_recv_create_v3(&recv_settings);
    if (!receiver)
        return 0;

    // The receiver took what it needs; the list dies with the finder.
    QRVlib_find_destroy(finder);

    const auto start = std::chrono::system_clock::now();
    while (!exit_loop.load() &&
           std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start).count() <
               30000000000LL) {
        if (QRVlib_recv_capture_v2(receiver, nullptr, nullptr, nullptr, 1000) == 100 &&
            QRVlib_recv_ptz_is_supported(receiver)) {
            puts("This source supports PTZ functionality. Moving to preset #3.");
            QRVlib_recv_ptz_recall_preset(receiver, 3, 1.0f);
        }
    }

    QRVlib_recv_destroy(receiver);
    QRVlib_destroy();
    return 0;
}
