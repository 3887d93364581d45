// A program for the log tests: does one thing with the library, named by
// its argument, and prints what came of it on standard output (standard
// error is the runtime's, unless the log is off).
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qrv/qrv_runtime.h"

namespace {

// From here on no new file descriptor can be opened.
void exhaust_descriptors()
{
    const int lowest_free = dup(0);
    close(lowest_free);
    const rlimit limit{rlim_t(lowest_free), rlim_t(lowest_free)};
    setrlimit(RLIMIT_NOFILE, &limit);
}

QRVlib_send_instance_t make_sender(const char* name)
{
    QRVlib_send_create_t settings;
    settings.name = name;
    return QRVlib_send_create(&settings);
}

void on_line(void* user, QRVlib_log_level_e level, const char* category, const char* message)
{
    ++*static_cast<int*>(user);
    std::printf("hook %d %s %s\n", int(level), category, message);
}

// In a network namespace of its own, with loopback up and the multicast
// DNS port held by a socket that shares it with no one.
bool isolate_with_mdns_port_taken()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    const int ctl = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    const bool up = ioctl(ctl, SIOCSIFFLAGS, &lo) == 0;
    close(ctl);
    if (!up)
        return false;
    const int holder = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(5353);
    return bind(holder, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;  // kept open until exit
}

// A hook that reads a sender's and a receiver's counters on every line, as
// the log callback's contract allows.
std::atomic<QRVlib_send_instance_t> hooked_sender{nullptr};
std::atomic<QRVlib_recv_instance_t> hooked_receiver{nullptr};

void read_counters(void*, QRVlib_log_level_e, const char*, const char*)
{
    if (QRVlib_recv_instance_t r = hooked_receiver.load()) {
        QRVlib_recv_status_t status;
        QRVlib_recv_get_status(r, &status);
        QRVlib_recv_stats_t stats;
        QRVlib_recv_get_stats(r, &stats);
        char group[64];
        QRVlib_recv_get_multicast_group(r, group, sizeof group);
    }
    if (QRVlib_send_instance_t s = hooked_sender.load()) {
        QRVlib_send_get_no_connections(s, 0);
        QRVlib_send_multicast_stats_t group;
        QRVlib_send_get_multicast_stats(s, &group);
        // A wait of its own holds the sender for a while: a destroy meanwhile
        // must not leave the last reference to this thread.
        QRVlib_tally_t tally;
        QRVlib_send_get_tally(s, &tally, 20);
    }
}

// In a network namespace of its own with a second interface, so that a
// receiver of this process reaching it counts as one on another host.
bool isolate_with_second_interface()
{
    return unshare(CLONE_NEWNET) == 0 &&
           std::system("ip link set lo up && ip link add qrvd0 type veth peer name qrvd1 && ip link set qrvd1 up && "
                       "ip link set qrvd0 up && "
                       "ip addr add 10.251.0.1/24 dev qrvd0") == 0;
}

// A receiver joins its source's group while the hook reads the source's
// counters on every line; prints the group it joined.
int group_with_hook()
{
    if (!isolate_with_second_interface()) {
        std::printf("skip\n");
        return 0;
    }
    setenv("QRV_INTERFACES", "qrvd0", 1);
    setenv("QRV_MULTICAST", "on", 1);
    QRVlib_set_log_callback(read_counters, nullptr, QRVlib_log_level_info);
    if (!QRVlib_initialize())
        return 1;
    QRVlib_send_instance_t sender = make_sender("Grouped");
    hooked_sender = sender;
    char locator[512] = {};
    QRVlib_send_get_locator(sender, locator, sizeof locator);
    // TCP alone, as from another host.
    const std::string tcp = std::string(locator).substr(0, std::string(locator).find('?'));
    QRVlib_recv_create_v3_t settings(QRVlib_source_t(nullptr, tcp.c_str()));
    QRVlib_recv_instance_t receiver = QRVlib_recv_create_v3(&settings);
    hooked_receiver = receiver;
    std::vector<uint8_t> pixels(64 * 32 * 2, 128);
    QRVlib_video_frame_v2_t frame(64, 32, QRVlib_FourCC_type_UYVY);
    frame.data = pixels.data();
    frame.line_stride = 64 * 2;
    char group[64] = {};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((QRVlib_recv_get_multicast_group(receiver, group, sizeof group), group[0] == 0) &&
           std::chrono::steady_clock::now() < end) {
        QRVlib_send_send_video_v2(sender, &frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::printf("joined %s\n", group);
    // The source hears of the join and sends to the group for a while.
    for (int i = 0; i < 10; ++i) {
        QRVlib_send_send_video_v2(sender, &frame);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The receiver leaves, and the source's side of its connection logs
    // that (a hook call holding the sender) while the sender is destroyed.
    QRVlib_recv_destroy(receiver);
    QRVlib_send_destroy(sender);
    hooked_receiver = nullptr;
    hooked_sender = nullptr;
    QRVlib_destroy();
    QRVlib_set_log_callback(nullptr, nullptr, QRVlib_log_level_none);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // in order with standard error

    if (mode == "sender") {
        if (!QRVlib_initialize())
            return 1;
        QRVlib_send_destroy(make_sender("Log Helper"));
        QRVlib_destroy();
    } else if (mode == "hook") {
        int lines = 0;
        QRVlib_set_log_callback(on_line, &lines, QRVlib_log_level_info);
        if (!QRVlib_initialize())
            return 1;
        QRVlib_send_destroy(make_sender("Log Helper"));
        QRVlib_destroy();
        QRVlib_set_log_callback(nullptr, nullptr, QRVlib_log_level_none);
        std::printf("lines %d\n", lines);
    } else if (mode == "publish" && argc > 2) {
        // Keeps the source until standard input closes.
        if (!QRVlib_initialize())
            return 1;
        QRVlib_send_instance_t sender = make_sender(argv[2]);
        std::printf("ready\n");
        while (std::getchar() != EOF) {
        }
        QRVlib_send_destroy(sender);
        QRVlib_destroy();
    } else if (mode == "group-hook") {
        if (const int rc = group_with_hook())
            return rc;
    } else if (mode == "no-descriptors") {
        exhaust_descriptors();
        const bool ok = QRVlib_initialize();
        std::printf("initialize %d: %s\n", ok, QRVlib_get_last_error());
    } else if (mode == "no-listening") {
        if (!QRVlib_initialize())
            return 1;
        exhaust_descriptors();
        const bool created = make_sender("Log Helper") != nullptr;
        std::printf("create %d: %s\n", created, QRVlib_get_last_error());
        QRVlib_destroy();
    } else if (mode == "no-discovery") {
        if (!isolate_with_mdns_port_taken()) {
            std::printf("skip\n");
            return 0;
        }
        const bool ok = QRVlib_initialize();
        std::printf("initialize %d: %s\n", ok, QRVlib_get_last_error());
        QRVlib_discovery_stats_t stats{};
        stats.running = 7;
        QRVlib_discovery_get_stats(&stats);
        std::printf("running %llu\n", (unsigned long long)stats.running);
        // Without discovery a source is still reached by its locator.
        QRVlib_send_instance_t sender = make_sender("Unlisted");
        char locator[512] = {};
        QRVlib_send_get_locator(sender, locator, sizeof locator);
        QRVlib_recv_create_v3_t settings(QRVlib_source_t(nullptr, locator));
        QRVlib_recv_instance_t receiver = QRVlib_recv_create_v3(&settings);
        std::printf("connections %d\n", QRVlib_send_get_no_connections(sender, 5000));
        QRVlib_recv_destroy(receiver);
        QRVlib_destroy();
    } else {
        return 2;
    }
    std::printf("done\n");
    return 0;
}
