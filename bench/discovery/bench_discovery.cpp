// Discovery latency on loopback: from a sender's creation to a running
// finder's wait returning with its source, and from the sender's
// destruction to the source's removal; then the same with python3-zeroconf
// registering and browsing, run as a child in the same run. Prints a small
// table, times in milliseconds and the ratio of the medians.
//
//   bench_discovery [rounds]      (default 5)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "qrvlib.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

bool listed(QRVlib_find_instance_t finder, const std::string& suffix)
{
    uint32_t n = 0;
    const QRVlib_source_t* list = QRVlib_find_get_current_sources(finder, &n);
    for (uint32_t i = 0; i < n; ++i) {
        const std::string name = list[i].name ? list[i].name : "";
        if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    }
    return false;
}

// Waits on the finder until the source is (or is no longer) listed.
bool wait_until(QRVlib_find_instance_t finder, const std::string& suffix, bool present)
{
    const auto start = Clock::now();
    while (ms_since(start) < 20000) {
        if (listed(finder, suffix) == present)
            return true;
        QRVlib_find_wait_for_sources(finder, 500);
    }
    return false;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Row {
    std::vector<double> appear, remove;
};

void print_row(const char* what, const Row& r)
{
    auto mm = [](const std::vector<double>& v) {
        return v.empty() ? std::make_pair(-1.0, -1.0)
                         : std::make_pair(*std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end()));
    };
    const auto a = mm(r.appear), d = mm(r.remove);
    std::printf("%-18s %8.1f %8.1f %8.1f   %8.1f %8.1f %8.1f\n", what, median(r.appear), a.first, a.second,
                median(r.remove), d.first, d.second);
}

// python3-zeroconf's half of the measurement, which the build puts beside
// this program.
std::string zeroconf_script()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (exe.parent_path() / "discovery_zeroconf.py").string();
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!QRVlib_initialize())
        return 1;
    QRVlib_find_instance_t finder = QRVlib_find_create_v2(nullptr);
    if (!finder)
        return 1;
    Row ours;
    for (int i = 0; i < rounds; ++i) {
        const std::string name = "bench " + std::to_string(getpid()) + " " + std::to_string(i);
        const std::string suffix = "(" + name + ")";
        QRVlib_send_create_t settings;
        settings.name = name.c_str();
        const auto t0 = Clock::now();
        QRVlib_send_instance_t sender = QRVlib_send_create(&settings);
        if (!sender || !wait_until(finder, suffix, true))
            return 1;
        ours.appear.push_back(ms_since(t0));
        const auto t2 = Clock::now();
        QRVlib_send_destroy(sender);
        if (!wait_until(finder, suffix, false))
            return 1;
        ours.remove.push_back(ms_since(t2));
    }
    QRVlib_find_destroy(finder);
    QRVlib_destroy();

    Row theirs;
    const std::string command = "/usr/bin/python3 " + zeroconf_script() + " " + std::to_string(rounds);
    if (FILE* p = popen(command.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, p)) {
            double a = 0, r = 0;
            if (std::sscanf(line, "ROUND %lf %lf", &a, &r) == 2 && a >= 0) {
                theirs.appear.push_back(a);
                theirs.remove.push_back(r);
            }
        }
        pclose(p);
    }

    std::printf("discovery on loopback, %d rounds, milliseconds\n", rounds);
    std::printf("%-18s %8s %8s %8s   %8s %8s %8s\n", "", "appear", "min", "max", "remove", "min", "max");
    print_row("qrv runtime", ours);
    if (theirs.appear.empty()) {
        std::printf("%-18s (python3-zeroconf not available)\n", "python3-zeroconf");
    } else {
        print_row("python3-zeroconf", theirs);
        std::printf("ratio qrv/zeroconf: appear %.2f, remove %.2f\n", median(ours.appear) / median(theirs.appear),
                    median(ours.remove) / median(theirs.remove));
    }
    return 0;
}
