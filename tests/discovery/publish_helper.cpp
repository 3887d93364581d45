// A small program for the discovery tests: publishes one source through
// the library (a sender, or a router with "route") and keeps it until its
// standard input closes or says "quit", then destroys it and shuts the
// library down. Prints "ready" once the source exists.
//
//   qrv_publish_helper send NAME [GROUPS]
//   qrv_publish_helper route NAME
//   qrv_publish_helper resolve FULL_NAME [MS]   (prints "locator TEXT" or
//                                              "none" after MS, 5000 unless given)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "qrv/qrv_runtime.h"
#include "qrvlib.h"

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    if (!QRVlib_initialize())
        return 3;
    if (std::strcmp(argv[1], "resolve") == 0) {
        char locator[1024];
        const uint32_t timeout_ms = argc > 3 ? (uint32_t)std::strtoul(argv[3], nullptr, 10) : 5000;
        const uint32_t n = QRVlib_discovery_resolve(argv[2], locator, sizeof locator, timeout_ms);
        std::printf(n && n <= sizeof locator ? "locator %s\n" : "none\n", locator);
        QRVlib_destroy();
        return 0;
    }
    const bool route = std::strcmp(argv[1], "route") == 0;
    QRVlib_send_instance_t sender = nullptr;
    QRVlib_routing_instance_t router = nullptr;
    if (route) {
        QRVlib_routing_create_t settings;
        settings.name = argv[2];
        router = QRVlib_routing_create(&settings);
    } else {
        QRVlib_send_create_t settings;
        settings.name = argv[2];
        settings.option_text = argc > 3 ? argv[3] : nullptr;
        sender = QRVlib_send_create(&settings);
    }
    if (!sender && !router)
        return 4;
    std::puts("ready");
    std::fflush(stdout);
    if (sender) {
        // Once announced, the name in use (after any renaming).
        char name[256];
        for (int i = 0; i < 100; ++i) {
            if (QRVlib_send_get_published_name(sender, name, sizeof name) && i > 20) {
                std::printf("published %s\n", name);
                std::fflush(stdout);
                break;
            }
            QRVlib_discovery_stats_t stats;
            if (!QRVlib_discovery_get_stats(&stats))
                break;
            struct timespec pause = {0, 50 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    char line[64];
    while (std::fgets(line, sizeof line, stdin))
        if (std::strncmp(line, "quit", 4) == 0)
            break;
    // For the message of a failed test.
    QRVlib_discovery_stats_t stats;
    if (QRVlib_discovery_get_stats(&stats))
        std::printf("before withdrawing: received %llu, sent %llu, conflicts %llu\n",
                    (unsigned long long)stats.packets_received, (unsigned long long)stats.packets_sent,
                    (unsigned long long)stats.conflicts);
    if (sender)
        QRVlib_send_destroy(sender);
    if (router)
        QRVlib_routing_destroy(router);
    QRVlib_destroy();
    std::puts("done");
    return 0;
}
