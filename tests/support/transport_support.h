// Helpers of the transport tests: frames to send and a capture loop that
// gives up after a deadline.
#ifndef QRV_TRANSPORT_TEST_SUPPORT_H
#define QRV_TRANSPORT_TEST_SUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <spawn.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "qrv/qrv_runtime.h"

extern char** environ;

namespace qrv_test {

using Clock = std::chrono::steady_clock;

// Starts a program with its standard output discarded and QRV_LOCATOR_FILE
// naming the file where it notes its sources' locators; -1 on failure.
inline pid_t spawn_program(const std::string& path, const std::string& locator_file)
{
    std::vector<std::string> text;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "QRV_LOCATOR_FILE=", 17) != 0)
            text.push_back(*e);
    text.push_back("QRV_LOCATOR_FILE=" + locator_file);
    std::vector<char*> env;
    for (auto& t : text)
        env.push_back(t.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, env.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Calls capture until on_result returns true or the time is up; returns
// whether on_result accepted a result.
inline bool capture_until(const std::function<int32_t(uint32_t)>& capture,
                          const std::function<bool(int32_t)>& on_result,
                          std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end)
        if (on_result(capture(100)))
            return true;
    return false;
}

// Captures (status only) until a receiver of the core reports the wanted
// connection state; false when the time is up.
template <class Receiver>
bool wait_status(Receiver& r, bool connected, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        r.capture(nullptr, nullptr, nullptr, 50);
        if (r.status().connected == connected)
            return true;
    }
    return false;
}

template <class Receiver>
bool wait_connected(Receiver& r, std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    return wait_status(r, true, limit);
}

// In a child process: takes every free descriptor below a low limit but
// one, so that the next open succeeds and the one after fails.
// The descriptors this process has open now.
inline size_t open_descriptors()
{
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

inline void leave_one_free_descriptor()
{
    rlimit tight{0, 0};
    for (rlim_t n = 0; n < 4096; ++n)
        if (fcntl((int)n, F_GETFD) != -1)
            tight.rlim_cur = tight.rlim_max = n + 2;
    setrlimit(RLIMIT_NOFILE, &tight);
    int last = -1;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        last = fd;
    if (last >= 0)
        close(last);
}

struct BgraFrame {
    std::vector<uint8_t> pixels;
    QRVlib_video_frame_v2_t record;
    BgraFrame(int w, int h, uint8_t fill) : pixels((size_t)w * h * 4, fill)
    {
        record.width = w;
        record.height = h;
        record.fourcc = QRVlib_FourCC_type_BGRA;
        record.line_stride = w * 4;
        record.data = pixels.data();
    }
};

}  // namespace qrv_test

#endif
