// switchboard: publishes the routed source "Routing" and, every 15 seconds,
// points it at a randomly chosen visible source, or clears it when none is
// visible; at most 1000 passes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "qrvlib.h"
#include "run_frame.h"

int main(int, char**)
{
    if (!QRVlib_initialize()) {
        printf("Cannot run QRV.");
        return 0;
    }
    signal(SIGINT, sigint_handler);

    QRVlib_routing_create_t routing_settings;
    routing_settings.name = "Routing";
    QRVlib_routing_instance_t router = QRVlib_routing_create(&routing_settings);
    if (!router)
        return 0;

    QRVlib_find_create_t find_settings;
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(&find_settings);
    if (!finder)
        return 0;

    for (int pass = 0; !exit_loop.load() && pass <= 999; pass++) {
        uint32_t no_sources = 0;
        const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &no_sources);
        if (no_sources) {
            const uint32_t index = (uint32_t)rand() % no_sources;
            printf("routing to %s \n", sources[index].name);
            QRVlib_routing_change(router, &sources[index]);
        } else {
            QRVlib_routing_clear(router);
        }
        std::this_thread::sleep_for(std::chrono::seconds(15));
    }

    QRVlib_find_destroy(finder);
    QRVlib_routing_destroy(router);
    QRVlib_destroy();
    return 0;
}
