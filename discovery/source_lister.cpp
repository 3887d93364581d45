// source_lister: for one minute, prints the list of visible sources each time
// it changes. No stop flag: Ctrl-C ends the process at once.
#include <chrono>
#include <cstdio>

#include "qrvlib.h"

int main(int, char**)
{
    if (!QRVlib_initialize())
        return 0;

    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    if (!finder)
        return 0;

    const auto start = std::chrono::system_clock::now();
    for (;;) {
        const int64_t elapsed_ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start).count();
        if (!(elapsed_ns < 60000000000LL))
            break;

        if (!QRVlib_find_wait_for_sources(finder, 5000)) {
            puts("No change to the sources found.");
            continue;
        }

        uint32_t no_sources = 0;
        const QRVlib_source_t* sources = QRVlib_find_get_current_sources(finder, &no_sources);
        printf("Network sources (%u found).\n", no_sources);
        for (uint32_t i = 0; i < no_sources; i++)
            printf("%u. %s\n", i + 1, sources[i].name);
    }

    QRVlib_find_destroy(finder);
    QRVlib_destroy();
    return 0;
}
