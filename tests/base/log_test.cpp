// The log: QRV_LOG values, the line format and its single write, what a
// disabled level costs, and the hook's removal. (What a hook receives, and
// the last error, are tested through the C interface.)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"

using namespace qrv;
using namespace std::chrono_literals;
using log::Category;
using log::Level;

namespace {

log::Thresholds all(Level level)
{
    log::Thresholds t;
    t.fill(level);
    return t;
}

// Points the log's standard-error output at a pipe for one test, and
// collects what arrives there on a thread of its own (so that writers never
// block on a full pipe).
class Capture {
public:
    Capture()
    {
        EXPECT_EQ(pipe2(fds_, O_CLOEXEC), 0);
        log::set_output_fd(fds_[1]);
        reader_ = std::thread([this] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = read(fds_[0], buffer, sizeof buffer);
                if (n <= 0)
                    return;
                text_.append(buffer, size_t(n));
            }
        });
    }
    ~Capture()
    {
        finish();
        close(fds_[0]);
    }
    // Everything written, once the writing end is closed.
    const std::string& finish()
    {
        if (reader_.joinable()) {
            log::set_output_fd(STDERR_FILENO);
            close(fds_[1]);
            reader_.join();
        }
        return text_;
    }

private:
    int fds_[2] = {-1, -1};
    std::thread reader_;
    std::string text_;
};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        out.push_back(text.substr(pos, end - pos));
        if (end == std::string::npos)
            break;
        pos = end + 1;
    }
    return out;
}

const std::regex kLine(R"(qrv\[\d+\] \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (ERROR|WARN |INFO |DEBUG) [a-z]+: .*)");

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { log::set_thresholds(all(Level::none)); }
    void TearDown() override
    {
        log::set_hook({}, Level::none);
        log::set_thresholds(all(Level::none));
    }
};

}  // namespace

TEST(LogLevels, ParsesDefaultsCategoriesAndIgnoresTheRest)
{
    EXPECT_EQ(log::parse_thresholds(nullptr), all(Level::none));
    EXPECT_EQ(log::parse_thresholds(""), all(Level::none));
    EXPECT_EQ(log::parse_thresholds("debug"), all(Level::debug));
    EXPECT_EQ(log::parse_thresholds("WARN"), all(Level::warn));
    EXPECT_EQ(log::parse_thresholds("warning"), all(Level::warn));
    EXPECT_EQ(log::parse_thresholds("off"), all(Level::none));
    EXPECT_EQ(log::parse_thresholds("loud"), all(Level::none));

    // A category's level wins over the default wherever each stands.
    for (const char* value : {"warn,discovery:debug", "discovery:debug,warn", " warn , Discovery : DEBUG "}) {
        SCOPED_TRACE(value);
        auto expected = all(Level::warn);
        expected[size_t(Category::discovery)] = Level::debug;
        EXPECT_EQ(log::parse_thresholds(value), expected);
    }
    auto only_transport = all(Level::none);
    only_transport[size_t(Category::transport)] = Level::error;
    EXPECT_EQ(log::parse_thresholds("transport:error,nowhere:debug,sender:loud,:info"), only_transport);
    // The last of several defaults counts.
    EXPECT_EQ(log::parse_thresholds("error,info"), all(Level::info));

}

TEST_F(LogTest, WritesFormattedLinesUpToTheThresholdOfTheirCategory)
{
    auto t = all(Level::warn);
    t[size_t(Category::receiver)] = Level::debug;
    log::set_thresholds(t);
    Capture capture;
    QRV_LOG_AT(warn, discovery, "could not join %s: %d", "eth1", 19);
    QRV_LOG_AT(info, discovery, "not wanted");
    QRV_LOG_AT(debug, receiver, "wanted");
    QRV_LOG_AT(error, library, "line\nbreak\tand \x1b[31mcolour");
    const auto lines = lines_of(capture.finish());
    ASSERT_EQ(lines.size(), 3u) << capture.finish();
    for (const auto& l : lines)
        EXPECT_TRUE(std::regex_match(l, kLine)) << l;
    EXPECT_NE(lines[0].find(" WARN  discovery: could not join eth1: 19"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(" DEBUG receiver: wanted"), std::string::npos) << lines[1];
    // Nothing in a message starts another line or steers a terminal.
    EXPECT_NE(lines[2].find(" ERROR library: line?break?and ?[31mcolour"), std::string::npos) << lines[2];
}

TEST_F(LogTest, DisabledLevelsEvaluateNothingAndLinesLeaveErrnoAndStayOneLine)
{
    log::set_thresholds(all(Level::error));
    int evaluated = 0;
    auto count = [&] { return ++evaluated; };
    QRV_LOG_AT(warn, sender, "%d", count());
    QRV_LOG_AT(debug, sender, "%d", count());
    EXPECT_EQ(evaluated, 0);

    Capture capture;
    const std::string huge(10000, 'x');
    errno = ECONNREFUSED;
    QRV_LOG_AT(error, sender, "%s", huge.c_str());
    EXPECT_EQ(errno, ECONNREFUSED);  // callers may still read theirs
    const auto lines = lines_of(capture.finish());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].size(), 1200u);
    EXPECT_EQ(lines[0].substr(lines[0].size() - 4), "x...");
}

TEST_F(LogTest, LinesOfManyThreadsNeverInterleave)
{
    log::set_thresholds(all(Level::info));
    Capture capture;
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::string filler(200 + t * 50, char('a' + t));
            for (int i = 0; i < kLines; ++i)
                QRV_LOG_AT(info, transport, "thread %d line %d %s end", t, i, filler.c_str());
        });
    for (auto& t : threads)
        t.join();
    const auto lines = lines_of(capture.finish());
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    const std::regex whole(R"(.* INFO  transport: thread (\d) line \d+ ([a-d])+ end)");
    for (const auto& l : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, whole)) << l;
        EXPECT_EQ(m[2].str()[0], char('a' + std::stoi(m[1].str())));
    }
}

TEST_F(LogTest, RemovalWaitsForCallsInProgressAndNoneFollow)
{
    std::atomic<int> inside{0};
    std::atomic<int> calls{0};
    std::atomic<bool> stop{false};
    log::set_hook(
        [&](Level, Category, const char*) {
            ++inside;
            ++calls;
            std::this_thread::sleep_for(200us);
            --inside;
        },
        Level::debug);
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t)
        loggers.emplace_back([&] {
            while (!stop.load())
                QRV_LOG_AT(debug, discovery, "busy");
        });
    while (calls.load() < 100)
        std::this_thread::yield();
    log::set_hook({}, Level::none);
    // Returned: no call is running, and none starts any more.
    EXPECT_EQ(inside.load(), 0);
    const int after = calls.load();
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(calls.load(), after);
    stop = true;
    for (auto& t : loggers)
        t.join();
}

TEST_F(LogTest, AHookMayLogAndRemoveItselfWithoutRecursionOrDeadlock)
{
    int calls = 0;
    log::set_hook(
        [&](Level, Category, const char*) {
            ++calls;
            QRV_LOG_AT(error, library, "from inside the hook");  // not handed to the hook again
            log::set_hook({}, Level::none);
        },
        Level::error);
    QRV_LOG_AT(error, library, "first");
    QRV_LOG_AT(error, library, "second");
    EXPECT_EQ(calls, 1);
}

TEST_F(LogTest, LinesLoggedUnderAQuietLockGoOutInOrderOnceItIsReleasedAndBounded)
{
    // The hook takes the lock its line was logged under, as a hook that
    // reads the runtime's counters would.
    std::mutex runtime_lock;
    std::vector<std::string> seen;
    log::set_hook(
        [&](Level, Category, const char* message) {
            std::unique_lock taken(runtime_lock, std::try_to_lock);
            seen.push_back(std::string(message) + (taken.owns_lock() ? "" : " (under the lock)"));
        },
        Level::info);
    log::set_thresholds(all(Level::info));
    Capture capture;
    {
        const log::QuietLock lock(runtime_lock);
        QRV_LOG_AT(info, sender, "first");
        {
            log::HeldLines nested;  // the outermost one decides
            QRV_LOG_AT(warn, sender, "second");
        }
        EXPECT_TRUE(seen.empty());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
    // Held lines keep the time they were logged and reach standard error too.
    const auto lines = lines_of(capture.finish());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" INFO  sender: first"), std::string::npos) << lines[0];

    // Beyond the bound, lines are counted, not kept.
    log::set_thresholds(all(Level::none));
    seen.clear();
    {
        const log::QuietLock lock(runtime_lock);
        for (size_t i = 0; i < log::kMaxHeldLines + 5; ++i)
            QRV_LOG_AT(info, sender, "line %zu", i);
    }
    ASSERT_EQ(seen.size(), log::kMaxHeldLines + 1);
    EXPECT_EQ(seen.front(), "line 0");
    EXPECT_EQ(seen.back(), "5 more lines logged under a lock were dropped");
}

TEST(LogThrottle, LetsOneLineThroughPerIntervalAndCountsTheRest)
{
    log::Throttle throttle(100ms);
    uint64_t suppressed = 99;
    EXPECT_TRUE(throttle.allow(suppressed));
    EXPECT_EQ(suppressed, 0u);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(throttle.allow(suppressed));
    std::this_thread::sleep_for(120ms);
    EXPECT_TRUE(throttle.allow(suppressed));
    EXPECT_EQ(suppressed, 5u);
}
