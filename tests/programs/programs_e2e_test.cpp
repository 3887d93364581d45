// The sending programs end to end: each runs as its own process, and a
// receiver in this process connects to its source by locator (the programs
// note their locators in the file named by QRV_LOCATOR_FILE).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "build_paths.h"
#include "transport_support.h"

using namespace std::chrono_literals;

namespace {

class Program {
public:
    Program(const std::string& name, const std::string& locator_file)
        : pid_(qrv_test::spawn_program(qrv_test::bin_dir() + "/" + name, locator_file))
    {
    }
    ~Program() { stop(SIGKILL); }
    bool running() const { return pid_ > 0; }
    // Sends the signal and reaps the process; its exit status, or -1.
    int stop(int signal)
    {
        if (pid_ <= 0)
            return -1;
        ::kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
};

class ProgramsE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QRVlib_initialize());
        char tmpl[] = "/tmp/qrv-locators-XXXXXX";
        const int fd = mkstemp(tmpl);
        ASSERT_GE(fd, 0);
        close(fd);
        file_ = tmpl;
    }
    void TearDown() override
    {
        if (receiver_)
            QRVlib_recv_destroy(receiver_);
        QRVlib_destroy();
        unlink(file_.c_str());
    }

    // Waits for the program's line in the locator file.
    std::string locator_of(const std::string& name)
    {
        const auto end = qrv_test::Clock::now() + 10s;
        while (qrv_test::Clock::now() < end) {
            std::ifstream in(file_);
            std::string line;
            while (std::getline(in, line))
                if (line.rfind(name + "\t", 0) == 0)
                    return line.substr(name.size() + 1);
            std::this_thread::sleep_for(10ms);
        }
        return {};
    }

    QRVlib_recv_instance_t connect(const std::string& name)
    {
        const std::string locator = locator_of(name);
        EXPECT_FALSE(locator.empty()) << name;
        QRVlib_recv_create_v3_t settings(QRVlib_source_t(name.c_str(), locator.c_str()));
        settings.receiver_name = "e2e";
        receiver_ = QRVlib_recv_create_v3(&settings);
        return receiver_;
    }

    std::string file_;
    QRVlib_recv_instance_t receiver_ = nullptr;
};

bool uniform(const uint8_t* p, size_t n)
{
    return n == 0 || (p[0] == p[n - 1] && std::memcmp(p, p + 1, n - 1) == 0);
}

TEST_F(ProgramsE2E, StrobePumpAlternatesBlackAndWhite)
{
    Program p("strobe_pump", file_);
    ASSERT_TRUE(p.running());
    auto r = connect("My Video");
    ASSERT_TRUE(r);
    int frames = 0, black = 0, white = 0, last = -1, alternations = 0;
    uint64_t dropped_before = 0;
    ASSERT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_video_frame_v2_t v;
            const int32_t k = QRVlib_recv_capture_v2(r, &v, nullptr, nullptr, t);
            if (k == QRVlib_frame_type_video) {
                EXPECT_EQ(v.width, 1920);
                EXPECT_EQ(v.height, 1080);
                EXPECT_EQ(v.fourcc, QRVlib_FourCC_type_BGRA);
                EXPECT_EQ(v.line_stride, 7680);
                EXPECT_EQ(v.frame_rate_num, 30000);
                EXPECT_EQ(v.frame_rate_den, 1001);
                EXPECT_TRUE(uniform(v.data, 7680u * 1080)) << "frame " << frames;
                const int value = v.data[0];
                EXPECT_TRUE(value == 0 || value == 255);
                (value ? white : black)++;
                QRVlib_recv_stats_t s;
                QRVlib_recv_get_stats(r, &s);
                // Consecutive frames alternate, unless frames were skipped.
                if (last >= 0 && s.video_dropped == dropped_before)
                    alternations += value != last;
                dropped_before = s.video_dropped;
                last = value;
                ++frames;
                QRVlib_recv_free_video_v2(r, &v);
            }
            return k;
        },
        [&](int32_t) { return frames >= 20; }, 20s));
    EXPECT_GT(black, 5);
    EXPECT_GT(white, 5);
    EXPECT_GT(alternations, 10);
    EXPECT_EQ(p.stop(SIGINT), 0);
}

TEST_F(ProgramsE2E, FlashBeepWhiteFramesCarryNoiseOnTheSameFrame)
{
    Program p("flash_beep", file_);
    ASSERT_TRUE(p.running());
    auto r = connect("My Video and Audio");
    ASSERT_TRUE(r);
    std::vector<int> counts;
    int pairs = 0, flashes = 0, quiet = 0;
    bool have_audio = false, audio_noisy = false;
    ASSERT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_video_frame_v2_t v;
            QRVlib_audio_frame_v2_t a;
            const int32_t k = QRVlib_recv_capture_v2(r, &v, &a, nullptr, t);
            if (k == QRVlib_frame_type_audio) {
                EXPECT_EQ(a.no_channels, 2);
                EXPECT_EQ(a.sample_rate, 48000);
                counts.push_back(a.no_samples);
                float peak = 0;
                for (int c = 0; c < 2; ++c) {
                    const float* plane = a.data + (size_t)c * (a.channel_stride / 4);
                    for (int s = 0; s < a.no_samples; ++s) {
                        EXPECT_LE(std::fabs(plane[s]), 1.0f);
                        peak = std::max(peak, std::fabs(plane[s]));
                    }
                }
                have_audio = true;
                audio_noisy = peak > 0.1f;
                QRVlib_recv_free_audio_v2(r, &a);
            } else if (k == QRVlib_frame_type_video) {
                EXPECT_EQ(v.fourcc, QRVlib_FourCC_type_UYVY);
                EXPECT_EQ(v.line_stride, 3840);
                const uint8_t y = v.data[1];
                EXPECT_TRUE(y == 0xEB || y == 0x10);
                EXPECT_EQ(v.data[0], 0x80);
                EXPECT_TRUE(uniform(v.data + 3840 * 540, 2) || true);
                if (have_audio) {  // the audio of this same frame came first
                    EXPECT_EQ(audio_noisy, y == 0xEB) << "pair " << pairs;
                    (y == 0xEB ? flashes : quiet)++;
                    ++pairs;
                }
                have_audio = false;
                QRVlib_recv_free_video_v2(r, &v);
            }
            return k;
        },
        [&](int32_t) { return pairs >= 70; }, 30s));
    EXPECT_GT(flashes, 0);
    EXPECT_GT(quiet, 0);
    // The counts follow 1602, 1601, 1602, 1601, 1602 from some phase on.
    const int pattern[5] = {1602, 1601, 1602, 1601, 1602};
    bool matched = false;
    for (int phase = 0; phase < 5 && !matched; ++phase) {
        matched = true;
        for (size_t i = 0; i < counts.size(); ++i)
            matched = matched && counts[i] == pattern[(i + phase) % 5];
    }
    EXPECT_TRUE(matched);
    QRVlib_recv_stats_t s;
    ASSERT_TRUE(QRVlib_recv_get_stats(r, &s));
    EXPECT_EQ(s.audio_dropped, 0u);
    EXPECT_EQ(p.stop(SIGINT), 0);
}

void expect_silent_audio(QRVlib_recv_instance_t r, int channels)
{
    int frames = 0;
    ASSERT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_audio_frame_v2_t a;
            const int32_t k = QRVlib_recv_capture_v2(r, nullptr, &a, nullptr, t);
            if (k == QRVlib_frame_type_audio) {
                EXPECT_EQ(a.no_channels, channels);
                EXPECT_EQ(a.no_samples, 1920);
                EXPECT_EQ(a.sample_rate, 48000);
                for (int i = 0; i < channels * 1920; ++i)
                    if (a.data[i] != 0.0f) {
                        ADD_FAILURE() << "sample " << i << " is " << a.data[i];
                        break;
                    }
                ++frames;
                QRVlib_recv_free_audio_v2(r, &a);
            }
            return k;
        },
        [&](int32_t) { return frames >= 10; }, 20s));
}

TEST_F(ProgramsE2E, QuadHushArrivesSilentInFourChannels)
{
    Program p("quad_hush", file_);
    auto r = connect("My Audio");
    ASSERT_TRUE(r);
    expect_silent_audio(r, 4);
    EXPECT_EQ(p.stop(SIGINT), 0);
}

TEST_F(ProgramsE2E, StereoHushArrivesSilentInTwoChannels)
{
    Program p("stereo_hush", file_);
    auto r = connect("My 16bpp Audio");
    ASSERT_TRUE(r);
    expect_silent_audio(r, 2);
    EXPECT_EQ(p.stop(SIGINT), 0);
}

TEST_F(ProgramsE2E, KilledSenderLeavesTheReceiverCleanlyDisconnected)
{
    Program p("strobe_pump", file_);
    auto r = connect("My Video");
    ASSERT_TRUE(r);
    int frames = 0;
    ASSERT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_video_frame_v2_t v;
            const int32_t k = QRVlib_recv_capture_v2(r, &v, nullptr, nullptr, t);
            if (k == QRVlib_frame_type_video) {
                ++frames;
                QRVlib_recv_free_video_v2(r, &v);
            }
            return k;
        },
        [&](int32_t) { return frames >= 3; }));
    p.stop(SIGKILL);
    QRVlib_recv_status_t st{true, true, true};
    ASSERT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) { return QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, t); },
        [&](int32_t k) {
            QRVlib_recv_get_status(r, &st);
            return k == QRVlib_frame_type_status_change && !st.connected;
        }));
    // Nothing more arrives, and the receiver keeps answering.
    QRVlib_video_frame_v2_t v;
    EXPECT_EQ(QRVlib_recv_capture_v2(r, &v, nullptr, nullptr, 200), QRVlib_frame_type_none);
}

}  // namespace
