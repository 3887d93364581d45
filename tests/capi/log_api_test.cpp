// Failures that say why, through the C interface: the last error of failed
// creates and refused operations, the log callback, and (in child
// processes) what reaches standard error with and without QRV_LOG, a start
// that cannot run, a server that cannot listen and a start without
// discovery.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "build_paths.h"
#include "sanitizers.h"
#include "child_process.h"
#include "qrv/qrv_runtime.h"

using namespace std::chrono_literals;
using qrv_test::Child;

namespace {

QRVlib_send_instance_t make_sender(const char* name)
{
    QRVlib_send_create_t settings;
    settings.name = name;
    settings.pace_video = false;
    return QRVlib_send_create(&settings);
}

std::string last_error()
{
    const char* text = QRVlib_get_last_error();
    EXPECT_NE(text, nullptr);
    return text ? text : "(null)";
}

// The program that logs in a process of its own.
std::string log_helper()
{
    return qrv_test::test_bin_dir() + "/qrv_log_helper";
}

// The helper's output (standard error included) once it ended.
std::string run_helper(const std::string& mode, std::map<std::string, std::string> env = {})
{
    unsetenv("QRV_LOG");
    Child child({log_helper(), mode}, std::move(env));
    const auto status = child.wait_exit(20s);
    EXPECT_EQ(status, std::optional<int>(0)) << child.output();
    return child.output();
}

std::vector<std::string> log_lines(const std::string& output)
{
    static const std::regex line(R"(qrv\[\d+\] \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (ERROR|WARN |INFO |DEBUG) [a-z]+: .*)");
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < output.size()) {
        const size_t end = std::min(output.find('\n', pos), output.size());
        const std::string l = output.substr(pos, end - pos);
        if (l.rfind("qrv[", 0) == 0) {
            EXPECT_TRUE(std::regex_match(l, line)) << l;
            out.push_back(l);
        }
        pos = end + 1;
    }
    return out;
}

bool has_line(const std::vector<std::string>& lines, const std::string& tail)
{
    for (const auto& l : lines)
        if (l.size() >= tail.size() && l.find(tail) != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST(ApiLastError, FailedCreatesSayWhyAndASuccessfulOneClearsIt)
{
    QRVlib_destroy();
    EXPECT_EQ(make_sender("Early"), nullptr);
    EXPECT_EQ(last_error(), "the library is not initialized");
    EXPECT_EQ(QRVlib_find_create_v2(nullptr), nullptr);
    EXPECT_EQ(last_error(), "the library is not initialized");

    ASSERT_TRUE(QRVlib_initialize());
    EXPECT_EQ(last_error(), "");
    EXPECT_EQ(QRVlib_send_create(nullptr), nullptr);
    EXPECT_EQ(last_error(), "the sender's settings are missing");
    EXPECT_EQ(make_sender(nullptr), nullptr);
    EXPECT_EQ(last_error(), "the sender name is missing");
    const std::string long_name(200, 'n');
    EXPECT_EQ(make_sender(long_name.c_str()), nullptr);
    EXPECT_EQ(last_error(), "the sender name is longer than 199 bytes");

    const QRVlib_recv_create_v3_t nowhere;
    EXPECT_EQ(QRVlib_recv_create_v3(&nowhere), nullptr);
    EXPECT_EQ(last_error(), "the receiver's source has no name or locator");
    const QRVlib_recv_create_v3_t unreadable(QRVlib_source_t(nullptr, "http://example"));
    EXPECT_EQ(QRVlib_recv_create_v3(&unreadable), nullptr);
    EXPECT_EQ(last_error(), "the receiver's source has no name, and its locator cannot be read: 'http://example'");

    const QRVlib_routing_create_t unnamed;
    EXPECT_EQ(QRVlib_routing_create(&unnamed), nullptr);
    EXPECT_EQ(last_error(), "the router name is missing");
    const std::string long_groups(5000, 'g');
    const QRVlib_find_create_t groups(true, long_groups.c_str());
    EXPECT_EQ(QRVlib_find_create_v2(&groups), nullptr);
    EXPECT_EQ(last_error(), "the finder's group list is longer than 4095 bytes");

    QRVlib_send_instance_t sender = make_sender("Fine");
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(last_error(), "");
    QRVlib_send_destroy(sender);
    QRVlib_destroy();
}

TEST(ApiLastError, RefusedOperationsSayWhyAndEachThreadHasItsOwn)
{
    ASSERT_TRUE(QRVlib_initialize());
    const QRVlib_routing_create_t settings("Router");
    QRVlib_routing_instance_t router = QRVlib_routing_create(&settings);
    ASSERT_NE(router, nullptr);

    QRVlib_send_stats_t stats;
    EXPECT_FALSE(QRVlib_send_get_stats(reinterpret_cast<QRVlib_send_instance_t>(router), &stats));
    EXPECT_EQ(last_error(), "not a live sender handle (null, destroyed, or of another kind)");

    char locator[512] = {};
    ASSERT_GT(QRVlib_routing_get_locator(router, locator, sizeof locator), 0u);
    const QRVlib_source_t itself("HOST (Router)", locator);
    EXPECT_FALSE(QRVlib_routing_change(router, &itself));
    EXPECT_EQ(last_error(), "a router cannot route to its own source");
    const QRVlib_source_t garbled("HOST (Else)", "qrv:/nowhere");
    EXPECT_FALSE(QRVlib_routing_change(router, &garbled));
    EXPECT_EQ(last_error(), "the route's locator cannot be read: 'qrv:/nowhere'");

    // Another thread's failure is its own.
    std::string other;
    std::thread([&] {
        EXPECT_EQ(last_error(), "");
        EXPECT_EQ(make_sender(""), nullptr);
        other = last_error();
    }).join();
    EXPECT_EQ(other, "the sender name is missing");
    EXPECT_EQ(last_error(), "the route's locator cannot be read: 'qrv:/nowhere'");

    EXPECT_EQ(QRVlib_discovery_resolve("HOST (Nobody)", nullptr, 0, 0), 0u);
    EXPECT_EQ(last_error(), "no source named 'HOST (Nobody)' was found within 0 ms");
    QRVlib_routing_destroy(router);
    QRVlib_destroy();
}

namespace {

struct Seen {
    QRVlib_log_level_e level;
    std::string category, message;
};

struct Collector {
    std::mutex mutex;
    std::vector<Seen> lines;
    bool contains(const std::string& category, const std::string& start, QRVlib_log_level_e level)
    {
        std::lock_guard lock(mutex);
        for (const auto& s : lines)
            if (s.category == category && s.message.rfind(start, 0) == 0 && s.level == level)
                return true;
        return false;
    }
};

void collect(void* user, QRVlib_log_level_e level, const char* category, const char* message)
{
    auto* c = static_cast<Collector*>(user);
    std::lock_guard lock(c->mutex);
    c->lines.push_back({level, category, message});
}

}  // namespace

TEST(LogCallback, ReceivesLinesUpToItsLevelAndNoneOnceRemoved)
{
    Collector collector;
    QRVlib_set_log_callback(collect, &collector, QRVlib_log_level_info);
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_instance_t sender = make_sender("Hooked");
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(make_sender(""), nullptr);
    // Metadata too long for a frame: the frame goes without it, and the
    // log says so once however often it happens.
    std::vector<uint8_t> pixels(16 * 16 * 4);
    std::string too_long(70000, 'x');
    QRVlib_video_frame_v2_t frame(16, 16, QRVlib_FourCC_type_BGRA);
    frame.data = pixels.data();
    frame.line_stride = 16 * 4;
    frame.metadata = too_long.c_str();
    for (int i = 0; i < 3; ++i)
        QRVlib_send_send_video_v2(sender, &frame);
    // So is a refused frame: its reason once, with the count.
    frame.data = nullptr;
    for (int i = 0; i < 3; ++i)
        QRVlib_send_send_video_v2(sender, &frame);
    QRVlib_send_destroy(sender);  // logged at debug: above the callback's level
    QRVlib_destroy();

    EXPECT_TRUE(collector.contains("library", "started; network scope: lo (127.0.0.1)", QRVlib_log_level_info));
    EXPECT_TRUE(collector.contains("discovery", "running on lo (127.0.0.1)", QRVlib_log_level_info));
    EXPECT_TRUE(collector.contains("sender", "'Hooked' created, listening at qrv://127.0.0.1:", QRVlib_log_level_info));
    EXPECT_TRUE(
        collector.contains("sender", "could not create a sender: the sender name is missing", QRVlib_log_level_warn));
    EXPECT_TRUE(collector.contains("sender",
                                   "'Hooked' sent a frame without its metadata: it holds more than 65535 bytes "
                                   "(1 such frames so far)",
                                   QRVlib_log_level_warn));
    EXPECT_TRUE(collector.contains("sender", "'Hooked' refused a video frame: it has no pixels (1 refused so far)",
                                   QRVlib_log_level_warn));
    for (const char* once : {"without its metadata", "refused a video frame"})
        EXPECT_EQ(std::count_if(collector.lines.begin(), collector.lines.end(),
                                [&](const Seen& s) { return s.message.find(once) != std::string::npos; }),
                  1)
            << once;
    EXPECT_TRUE(collector.contains("library", "stopped", QRVlib_log_level_info));
    EXPECT_FALSE(collector.contains("sender", "'Hooked' destroyed", QRVlib_log_level_debug));

    QRVlib_set_log_callback(nullptr, &collector, QRVlib_log_level_debug);
    const size_t before = collector.lines.size();
    ASSERT_TRUE(QRVlib_initialize());
    EXPECT_EQ(make_sender(""), nullptr);
    QRVlib_destroy();
    EXPECT_EQ(collector.lines.size(), before);
}

TEST(LogCallback, TellsOfARenameAfterANameConflict)
{
    const std::string name = "Contested " + std::to_string(getpid());
    unsetenv("QRV_LOG");
    Child first({log_helper(), "publish", name});
    ASSERT_TRUE(first.wait_for_output("ready", 10s)) << first.output();
    // Announced once its probes are over: within about 1.3 s.
    std::this_thread::sleep_for(2s);

    Collector collector;
    QRVlib_set_log_callback(collect, &collector, QRVlib_log_level_info);
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_instance_t second = make_sender(name.c_str());
    ASSERT_NE(second, nullptr);
    const std::string taken = " (" + name + ")' is taken on the network: renamed to '", renamed = " (" + name + " (2))'";
    bool told = false;
    for (auto end = std::chrono::steady_clock::now() + 10s; !told && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(50ms)) {
        std::lock_guard lock(collector.mutex);
        for (const auto& s : collector.lines)
            told = told || (s.category == "discovery" && s.message.find(taken) != std::string::npos &&
                            s.message.find(renamed) != std::string::npos);
    }
    EXPECT_TRUE(told);
    QRVlib_set_log_callback(nullptr, nullptr, QRVlib_log_level_none);
    QRVlib_send_destroy(second);
    QRVlib_destroy();
    first.close_input();
    EXPECT_EQ(first.wait_exit(10s), std::optional<int>(0));
}

// --- in child processes ----------------------------------------------------

TEST(LogOutput, SilentWithoutQrvLogEvenWithACallback)
{
    EXPECT_EQ(run_helper("sender"), "done\n");
    const std::string hooked = run_helper("hook");
    EXPECT_TRUE(log_lines(hooked).empty()) << hooked;
    EXPECT_NE(hooked.find("hook 3 sender 'Log Helper' created"), std::string::npos) << hooked;
    EXPECT_NE(hooked.find("done\n"), std::string::npos);
}

TEST(LogOutput, QrvLogSwitchesLinesOnPerLevelAndCategory)
{
    const auto all = log_lines(run_helper("sender", {{"QRV_LOG", "debug"}}));
    EXPECT_TRUE(has_line(all, " INFO  library: started; network scope: lo (127.0.0.1)"));
    EXPECT_TRUE(has_line(all, " INFO  sender: 'Log Helper' created, listening at qrv://127.0.0.1:"));
    EXPECT_TRUE(has_line(all, " DEBUG sender: 'Log Helper' destroyed"));
    EXPECT_TRUE(has_line(all, " INFO  library: stopped"));

    const auto some = log_lines(run_helper("sender", {{"QRV_LOG", "error,sender:info"}}));
    ASSERT_FALSE(some.empty());
    for (const auto& l : some)
        EXPECT_NE(l.find(" INFO  sender: "), std::string::npos) << l;
    EXPECT_FALSE(has_line(some, "destroyed"));
}

TEST(LogOutput, InitializeFailsWhenNoSocketCanBeCreated)
{
    QRV_SKIP_OUT_OF_DESCRIPTORS_UNDER_SANITIZERS();
    const std::string out = run_helper("no-descriptors", {{"QRV_LOG", "error"}});
    EXPECT_NE(out.find("initialize 0: cannot create an IPv4 socket: Too many open files\n"), std::string::npos) << out;
    EXPECT_TRUE(has_line(log_lines(out), " ERROR library: cannot run: cannot create an IPv4 socket: Too many open files"))
        << out;
}

TEST(LogOutput, ASenderThatCannotListenSaysWhere)
{
    QRV_SKIP_OUT_OF_DESCRIPTORS_UNDER_SANITIZERS();
    const std::string out = run_helper("no-listening", {{"QRV_LOG", "warn"}});
    EXPECT_NE(out.find("create 0: could not listen on 127.0.0.1: Too many open files\n"), std::string::npos) << out;
    EXPECT_TRUE(has_line(log_lines(out),
                         " WARN  sender: could not create a sender: could not listen on 127.0.0.1: Too many open files"))
        << out;
}

TEST(LogCallback, MayReadASendersCountersWhileItsReceiverJoinsAGroupAndBothAreDestroyed)
{
    // A hook that reads the sender on every line: lines logged under the
    // sender's locks would hang it, and a hook call still holding the sender
    // when it is destroyed must not leave its destruction to the thread of
    // the hook (one of its own, which cannot join itself).
    const std::string out = run_helper("group-hook");
    if (out == "skip\n")
        GTEST_SKIP() << "no network namespace here";
    EXPECT_NE(out.find("joined 239."), std::string::npos) << out;
    EXPECT_NE(out.find("done\n"), std::string::npos) << out;
}

TEST(LogOutput, DiscoveryThatCannotStartIsAnErrorButTheLibraryRuns)
{
    const std::string out = run_helper("no-discovery", {{"QRV_LOG", "error"}});
    if (out == "skip\n")
        GTEST_SKIP() << "no network namespace here";
    EXPECT_NE(out.find("initialize 1: discovery could not start: could not open the multicast DNS socket "
                       "(bind: Address already in use)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("running 0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("connections 1\n"), std::string::npos) << out;
    EXPECT_TRUE(has_line(log_lines(out), " ERROR discovery: could not start: bind: Address already in use")) << out;
}
