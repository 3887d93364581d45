// Processor time of one 1920x1080 30 fps source received into OBS through
// the QRV Source, next to the same source received by qrv_monitor watch in
// the same run. libobs runs headless (under Xvfb, as run_bench_obs.sh
// starts it) with a 1920x1080 canvas at 30 fps. OBS's own cost with an
// empty scene is measured first and taken off. The source is marked shown
// without being drawn, so the figure is the receiving and OBS's copy of
// each frame into its cache; drawing it as well is measured after, but on
// this machine Mesa's software renderer does the GPU's work on the
// processor, so that figure says little about a machine with a GPU.
//
// Usage: bench_obs_receive BIN_DIR PLUGIN_DIR [SECONDS]
// Prints "key value" lines and "row" lines for the report.
#include <obs.h>

#include "obs_headless.h"
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double cpu_seconds_self()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

pid_t spawn(const std::vector<std::string>& argv)
{
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return -1;
    return pid;
}

// Processor time of this process over a number of seconds, per second.
double self_load(double seconds)
{
    const double before = cpu_seconds_self();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return (cpu_seconds_self() - before) / std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_obs_receive BIN_DIR PLUGIN_DIR [SECONDS]\n");
        return 2;
    }
    const std::string bin = argv[1];
    const double seconds = argc > 3 ? std::atof(argv[3]) : 10.0;
    base_set_log_handler([](int, const char*, va_list, void*) {}, nullptr);
    if (!qrv_bench::start_headless_obs(argv[2], 1920, 1080, VIDEO_FORMAT_NV12, VIDEO_RANGE_PARTIAL)) {
        std::fprintf(stderr, "bench_obs_receive: libobs or the plugin did not start\n");
        return 1;
    }
    const pid_t camera = spawn({bin + "/qrv_test_camera", "--name", "Bench", "--width", "1920", "--height", "1080",
                                "--rate-num", "30", "--rate-den", "1"});
    obs_scene_t* scene = obs_scene_create("bench");
    obs_set_output_source(0, obs_scene_get_source(scene));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const double idle = self_load(seconds);

    obs_data_t* settings = obs_data_create();
    char full_name[256];
    std::snprintf(full_name, sizeof full_name, "%s (Bench)", [] {
        static char host[128];
        gethostname(host, sizeof host);
        return host;
    }());
    obs_data_set_string(settings, "source_name", full_name);
    obs_source_t* source = obs_source_create("qrv_source", "Bench", settings, nullptr);
    obs_data_release(settings);
    obs_source_inc_showing(source);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const bool receiving = obs_source_get_width(source) == 1920;
    const double with_source = self_load(seconds);
    obs_scene_add(scene, source);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double drawn = self_load(seconds);
    obs_source_dec_showing(source);

    // The same source into qrv_monitor, in the same run.
    char watch_seconds[32];
    std::snprintf(watch_seconds, sizeof watch_seconds, "%.0f", seconds);
    const pid_t monitor = spawn({bin + "/qrv_monitor", "watch", "Bench", "--seconds", watch_seconds});
    int status = 0;
    rusage usage{};
    const auto start = Clock::now();
    wait4(monitor, &status, 0, &usage);
    const double monitor_wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double monitor_load = (double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6) /
                                monitor_wall;

    obs_set_output_source(0, nullptr);
    obs_source_release(source);
    obs_scene_release(scene);
    if (camera > 0) {
        kill(camera, SIGINT);
        waitpid(camera, nullptr, 0);
    }
    obs_shutdown();

    std::printf("obs_receiving %d\n", receiving ? 1 : 0);
    std::printf("obs_idle_cpu %.3f\n", idle);
    std::printf("obs_with_source_cpu %.3f\n", with_source);
    std::printf("obs_with_source_drawn_cpu %.3f\n", drawn);
    std::printf("monitor_watch_cpu %.3f\n", monitor_load);
    // The source's cost is what OBS spends beyond its idle rendering; a run
    // too short for that difference to stand out of the idle's own swing
    // says so instead of printing a negative cost.
    char cost[96];
    if (with_source >= idle)
        std::snprintf(cost, sizeof cost, "%.1f %% of a core", (with_source - idle) * 100);
    else
        std::snprintf(cost, sizeof cost, "within the idle's swing (idle %.1f %%, with it %.1f %%)", idle * 100,
                      with_source * 100);
    std::printf("row OBS: processor per 1920x1080 30 fps source received (QRV Source) | %s%s | "
                "qrv_monitor watch %.1f %% | close to qrv_monitor watch plus OBS's copy into its cache\n",
                cost, receiving ? "" : " (not receiving!)", monitor_load * 100);
    return receiving ? 0 : 1;
}
