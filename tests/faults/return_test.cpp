// A sender program killed mid-stream and started again: its receiver sees
// the loss as a change of status, and, through the resolver by name (here
// fed from the programs' locator file, later by discovery), follows the new
// process to its new port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "build_paths.h"
#include "objects/receiver.h"
#include "transport_support.h"

using namespace std::chrono_literals;

namespace {

pid_t spawn_program(const std::string& name, const std::string& file)
{
    return qrv_test::spawn_program(qrv_test::bin_dir() + "/" + name, file);
}

// The newest locator noted for the name, and how many lines named it.
std::pair<std::string, int> newest(const std::string& file, const std::string& name)
{
    std::ifstream in(file);
    std::string line, found;
    int count = 0;
    while (std::getline(in, line))
        if (line.rfind(name + "\t", 0) == 0) {
            found = line.substr(name.size() + 1);
            ++count;
        }
    return {found, count};
}

std::string wait_line(const std::string& file, const std::string& name, int count)
{
    const auto end = qrv_test::Clock::now() + 10s;
    while (qrv_test::Clock::now() < end) {
        auto [locator, n] = newest(file, name);
        if (n >= count)
            return locator;
        std::this_thread::sleep_for(10ms);
    }
    return {};
}

bool frames_arrive(qrv::Receiver& r, int wanted)
{
    int frames = 0;
    return qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_video_frame_v2_t v;
            const int32_t k = r.capture(&v, nullptr, nullptr, t);
            if (k == QRVlib_frame_type_video) {
                ++frames;
                r.free_video(&v);
            }
            return k;
        },
        [&](int32_t) { return frames >= wanted; }, 15s);
}

TEST(SenderReturn, ReceiverFollowsAKilledSenderThatComesBack)
{
    char tmpl[] = "/tmp/qrv-return-XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string file = tmpl;
    auto resolve = [file](const std::string& name) -> std::optional<qrv::Endpoint> {
        if (name != "My Video")
            return std::nullopt;
        return qrv::parse_locator(newest(file, name).first);
    };

    pid_t pid = spawn_program("strobe_pump", file);
    ASSERT_GT(pid, 0);
    const std::string first = wait_line(file, "My Video", 1);
    ASSERT_FALSE(first.empty());
    auto receiver =
        std::make_unique<qrv::Receiver>(qrv::ReceiverSettings{"My Video", first, "returning"}, qrv::ReceiverLimits{}, resolve);
    EXPECT_TRUE(frames_arrive(*receiver, 3));

    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) { return receiver->capture(nullptr, nullptr, nullptr, t); },
        [&](int32_t k) { return k == QRVlib_frame_type_status_change && !receiver->status().connected; }));

    pid = spawn_program("strobe_pump", file);
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(wait_line(file, "My Video", 2).empty());
    EXPECT_TRUE(frames_arrive(*receiver, 3));
    EXPECT_GE(receiver->stats().connects, 2u);

    receiver.reset();
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    unlink(file.c_str());
}

}  // namespace
