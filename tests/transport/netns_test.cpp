// strobe_pump across two network namespaces joined by a veth pair: the
// program serves on its namespace's address, and a receiver in the other
// namespace (this binary again, in helper mode) takes its frames over TCP.
// Both namespaces are created and removed here; the test is skipped where
// namespaces cannot be made.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "support.h"

using namespace std::chrono_literals;

namespace {

std::string self_path;

int sh(const std::string& command)
{
    const int r = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
}

// Helper mode: connect to the locator, expect black and white frames.
int receive_frames(const char* locator)
{
    if (!QRVlib_initialize())
        return 2;
    QRVlib_recv_create_v3_t settings(QRVlib_source_t("My Video", locator));
    auto r = QRVlib_recv_create_v3(&settings);
    int black = 0, white = 0;
    const auto end = qrv_test::Clock::now() + 20s;
    while (r && qrv_test::Clock::now() < end && (black < 3 || white < 3)) {
        QRVlib_video_frame_v2_t v;
        if (QRVlib_recv_capture_v2(r, &v, nullptr, nullptr, 200) == QRVlib_frame_type_video) {
            if (v.width == 1920 && v.data[0] == 0 && v.data[7680 * 1080 - 1] == 0)
                ++black;
            if (v.width == 1920 && v.data[0] == 255 && v.data[7680 * 1080 - 1] == 255)
                ++white;
            QRVlib_recv_free_video_v2(r, &v);
        }
    }
    if (r)
        QRVlib_recv_destroy(r);
    QRVlib_destroy();
    return black >= 3 && white >= 3 ? 0 : 1;
}

class Namespaces {
public:
    Namespaces()
    {
        const std::string id = std::to_string(getpid() % 100000);
        a_ = "qrvdA" + id;
        b_ = "qrvdB" + id;
        va_ = "qda" + id;
        vb_ = "qdb" + id;
        ok_ = sh("ip netns add " + a_) == 0 && sh("ip netns add " + b_) == 0 &&
              sh("ip link add " + va_ + " type veth peer name " + vb_) == 0 &&
              sh("ip link set " + va_ + " netns " + a_) == 0 && sh("ip link set " + vb_ + " netns " + b_) == 0 &&
              sh(in_a("ip addr add 10.203.0.1/24 dev " + va_)) == 0 &&
              sh(in_b("ip addr add 10.203.0.2/24 dev " + vb_)) == 0 && sh(in_a("ip link set " + va_ + " up")) == 0 &&
              sh(in_b("ip link set " + vb_ + " up")) == 0 && sh(in_a("ip link set lo up")) == 0 &&
              sh(in_b("ip link set lo up")) == 0;
    }
    ~Namespaces()
    {
        sh("ip netns pids " + a_ + " | xargs -r kill -9");
        sh("ip netns pids " + b_ + " | xargs -r kill -9");
        sh("ip netns del " + a_);
        sh("ip netns del " + b_);
    }
    bool ok() const { return ok_; }
    std::string in_a(const std::string& c) const { return "ip netns exec " + a_ + " " + c; }
    std::string in_b(const std::string& c) const { return "ip netns exec " + b_ + " " + c; }
    const std::string& veth_a() const { return va_; }

private:
    std::string a_, b_, va_, vb_;
    bool ok_ = false;
};

TEST(Netns, StrobePumpReachesAReceiverInAnotherNamespace)
{
    if (geteuid() != 0 || sh("command -v ip") != 0)
        GTEST_SKIP() << "needs root and iproute2";
    Namespaces ns;
    if (!ns.ok())
        GTEST_SKIP() << "network namespaces refused here";
    char tmpl[] = "/tmp/qrv-netns-XXXXXX";
    const int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    close(fd);
    const std::string file = tmpl;
    sh(ns.in_a("env QRV_INTERFACES=" + ns.veth_a() + " QRV_LOCATOR_FILE=" + file + " " +
               std::string(QRV_BIN_DIR) + "/strobe_pump &"));
    std::string locator;
    const auto end = qrv_test::Clock::now() + 10s;
    while (locator.empty() && qrv_test::Clock::now() < end) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("My Video\t", 0) == 0)
                locator = line.substr(9);
        std::this_thread::sleep_for(20ms);
    }
    unlink(file.c_str());
    ASSERT_EQ(locator.rfind("qrv://10.203.0.1:", 0), 0u) << locator;
    EXPECT_EQ(sh(ns.in_b("env QRV_NETNS_RECEIVER='" + locator + "' " + self_path)), 0);
}

}  // namespace

int main(int argc, char** argv)
{
    if (const char* locator = std::getenv("QRV_NETNS_RECEIVER"))
        return receive_frames(locator);
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    self_path = n > 0 ? std::string(path, (size_t)n) : argv[0];
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
