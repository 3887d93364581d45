// late_binder against the real runtime: it loads libqrv.so.3 from its own
// folder, and its first batch of 200 paced frames reports about 29.97 fps.
// It runs on a pseudo-terminal so that its output is line buffered and the
// first line can be seen while it runs; Ctrl-C then ends it.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "build_paths.h"

namespace {

struct Run {
    std::string output;
    int status = -1;
};

// Reads from fd until `until` returns true for the output so far or the time
// is up; false on time-out.
template <class Pred>
bool read_until(int fd, std::string& out, std::chrono::seconds limit, Pred until)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!until(out)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, (int)left.count()) <= 0)
            continue;
        char buf[512];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return until(out);  // EIO: the child closed the terminal
        out.append(buf, (size_t)n);
    }
    return true;
}

}  // namespace

TEST(LateBinder, FirstBatchReportsThePacedFrameRate)
{
    const std::string bin = qrv_test::bin_dir();
    const std::string program = bin + "/late_binder";
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
#ifdef QRV_LOAD_BY_FOLDER
        setenv("QRV_RUNTIME_DIR_V3", (bin + "/").c_str(), 1);
#else
        unsetenv("QRV_RUNTIME_DIR_V3");  // found by bare name in the program's own folder
#endif
        execl(program.c_str(), "late_binder", (char*)nullptr);
        _exit(127);
    }
    std::string out;
    const bool got_line =
        read_until(master, out, std::chrono::seconds(30), [](const std::string& s) { return s.find('\n') != std::string::npos; });
    kill(pid, SIGINT);
    read_until(master, out, std::chrono::seconds(15), [](const std::string&) { return false; });
    int status = -1;
    waitpid(pid, &status, 0);
    close(master);

    ASSERT_TRUE(got_line) << "no report within 30 s; output: " << out;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "; output: " << out;
    const std::string first = out.substr(0, out.find_first_of("\r\n"));
    std::printf("late_binder reported: %s\n", first.c_str());
    float fps = 0;
    ASSERT_EQ(std::sscanf(first.c_str(), "200 frames sent, average fps=%f", &fps), 1) << first;
    EXPECT_EQ(first.rfind("200 frames sent, average fps=", 0), 0u) << first;
    // The batch's average includes its start; a loaded machine delays it by
    // a frame or so. A wrong rate (unpaced, 25 or 60 fps) is far outside.
    EXPECT_GE(fps, 29.0f) << first;
    EXPECT_LE(fps, 30.5f) << first;
}
