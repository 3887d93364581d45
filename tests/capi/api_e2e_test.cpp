// The C operations of transport, routing and camera control, in one process.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "transport_support.h"

using namespace std::chrono_literals;
using qrv_test::BgraFrame;

namespace {

std::string locator_of(QRVlib_send_instance_t s)
{
    const uint32_t n = QRVlib_send_get_locator(s, nullptr, 0);
    std::string text(n, '\0');
    EXPECT_EQ(QRVlib_send_get_locator(s, text.data(), n), n);
    text.resize(n ? n - 1 : 0);
    return text;
}

class ApiE2E : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QRVlib_initialize()); }
    void TearDown() override { QRVlib_destroy(); }

    QRVlib_send_instance_t sender(const char* name)
    {
        QRVlib_send_create_t s(name);
        s.pace_video = s.pace_audio = false;
        return QRVlib_send_create(&s);
    }
};

int next_byte(QRVlib_recv_instance_t r, std::chrono::milliseconds limit = 5s)
{
    int byte = -1;
    qrv_test::capture_until(
        [&](uint32_t t) {
            QRVlib_video_frame_v2_t v;
            const int32_t k = QRVlib_recv_capture_v2(r, &v, nullptr, nullptr, t);
            if (k == QRVlib_frame_type_video) {
                byte = v.data[0];
                QRVlib_recv_free_video_v2(r, &v);
            }
            return k;
        },
        [](int32_t k) { return k == QRVlib_frame_type_video; }, limit);
    return byte;
}

// Sends the frame until the receiver captures it (within 15 s). Other
// processes on this host (a panel's previews) may connect to a new source
// too, so its count of connections does not say that this receiver is back.
bool reaches(QRVlib_send_instance_t s, BgraFrame& frame, QRVlib_recv_instance_t r)
{
    const int want = frame.pixels[0];
    const auto give_up = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < give_up) {
        QRVlib_send_send_video_v2(s, &frame.record);
        if (next_byte(r, 200ms) == want)
            return true;
    }
    return false;
}

TEST_F(ApiE2E, PresetRecallReachesASenderThatDeclaredSupport)
{
    auto s = sender("Camera");
    ASSERT_TRUE(s);
    ASSERT_TRUE(QRVlib_send_set_ptz_supported(s, true));
    const std::string locator = locator_of(s);
    QRVlib_recv_create_v3_t settings(QRVlib_source_t("HOST (Camera)", locator.c_str()));
    settings.receiver_name = "Example PTZ Receiver";
    auto r = QRVlib_recv_create_v3(&settings);
    ASSERT_TRUE(r);
    // What preset_caller does: on a change of status, recall preset 3.
    bool recalled = false;
    ASSERT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) { return QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, t); },
        [&](int32_t k) {
            if (k == QRVlib_frame_type_status_change && QRVlib_recv_ptz_is_supported(r))
                recalled = QRVlib_recv_ptz_recall_preset(r, 3, 1.0f);
            return recalled;
        }));
    EXPECT_EQ(QRVlib_send_get_no_connections(s, 0), 1);
    QRVlib_ptz_command_t c{};
    ASSERT_TRUE(QRVlib_send_get_ptz_command(s, &c, 5000));
    EXPECT_EQ(c.command, QRVlib_ptz_recall_preset);
    EXPECT_EQ(c.preset, 3);
    EXPECT_EQ(c.value_a, 1.0f);
    QRVlib_recv_destroy(r);
    QRVlib_send_destroy(s);
}

TEST_F(ApiE2E, RoutingMovesAReceiverBetweenTwoSenders)
{
    auto a = sender("A"), b = sender("B");
    QRVlib_routing_create_t rs("Routing");
    auto router = QRVlib_routing_create(&rs);
    ASSERT_TRUE(a && b && router);
    std::string router_locator(QRVlib_routing_get_locator(router, nullptr, 0), '\0');
    QRVlib_routing_get_locator(router, router_locator.data(), (uint32_t)router_locator.size());
    QRVlib_recv_create_v3_t settings(QRVlib_source_t("HOST (Routing)", router_locator.c_str()));
    auto r = QRVlib_recv_create_v3(&settings);
    ASSERT_TRUE(r);
    ASSERT_EQ(QRVlib_routing_get_no_connections(router, 5000), 1);

    const std::string la = locator_of(a), lb = locator_of(b);
    QRVlib_source_t to_a("HOST (A)", la.c_str()), to_b("HOST (B)", lb.c_str());
    BgraFrame fa(8, 8, 0xA0), fb(8, 8, 0xB0);

    ASSERT_TRUE(QRVlib_routing_change(router, &to_a));
    ASSERT_EQ(QRVlib_send_get_no_connections(a, 5000), 1);
    QRVlib_send_send_video_v2(a, &fa.record);
    EXPECT_EQ(next_byte(r), 0xA0);

    ASSERT_TRUE(QRVlib_routing_change(router, &to_b));
    ASSERT_EQ(QRVlib_send_get_no_connections(b, 5000), 1);
    QRVlib_send_send_video_v2(b, &fb.record);
    EXPECT_EQ(next_byte(r), 0xB0);

    QRVlib_source_t bogus("HOST (X)", "not a locator");
    EXPECT_FALSE(QRVlib_routing_change(router, &bogus));
    // A router pointed at itself would carry nothing: refused, route kept.
    QRVlib_source_t itself("HOST (Routing)", router_locator.c_str());
    EXPECT_FALSE(QRVlib_routing_change(router, &itself));
    // Also when it is listed through another of its interfaces: the same
    // identity at another address and port.
    std::string elsewhere = router_locator;
    const size_t id_at = elsewhere.find("id=");
    ASSERT_NE(id_at, std::string::npos) << elsewhere;
    elsewhere = "qrv://10.9.9.9:4242?" + elsewhere.substr(id_at);
    QRVlib_source_t itself_elsewhere("OTHERHOST (Routing)", elsewhere.c_str());
    EXPECT_FALSE(QRVlib_routing_change(router, &itself_elsewhere)) << elsewhere;
    QRVlib_send_send_video_v2(b, &fb.record);
    EXPECT_EQ(next_byte(r), 0xB0);
    EXPECT_TRUE(QRVlib_routing_clear(router));
    // The clear shows as a change of status that leaves the receiver
    // without a route (earlier changes may be reported first).
    QRVlib_recv_status_t st{};
    EXPECT_TRUE(qrv_test::capture_until(
        [&](uint32_t t) { return QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, t); },
        [&](int32_t code) {
            QRVlib_recv_get_status(r, &st);
            return code == QRVlib_frame_type_status_change && !st.routed;
        }));
    QRVlib_send_send_video_v2(b, &fb.record);
    EXPECT_EQ(next_byte(r, 300ms), -1);
    // Shutting the library down with everything alive releases it all.
}

TEST_F(ApiE2E, ReceiverFindsItsSourceAgainByNameAtANewAddress)
{
    auto first = sender("Comes Back");
    ASSERT_TRUE(first);
    std::string published(QRVlib_send_get_published_name(first, nullptr, 0), '\0');
    QRVlib_send_get_published_name(first, published.data(), (uint32_t)published.size());
    published.resize(published.size() - 1);
    const std::string old_locator = locator_of(first);
    QRVlib_recv_create_v3_t settings(QRVlib_source_t(published.c_str(), old_locator.c_str()));
    auto r = QRVlib_recv_create_v3(&settings);
    ASSERT_TRUE(r);
    ASSERT_EQ(QRVlib_send_get_no_connections(first, 5000), 1);
    BgraFrame f1(8, 8, 0x11), f2(8, 8, 0x22);
    QRVlib_send_send_video_v2(first, &f1.record);
    EXPECT_EQ(next_byte(r), 0x11);

    // The source goes and comes back under the same name on another port.
    QRVlib_send_destroy(first);
    auto second = sender("Comes Back");
    ASSERT_TRUE(second);
    ASSERT_NE(locator_of(second), old_locator);
    EXPECT_TRUE(reaches(second, f2, r));
}

// The same through a router: the route follows its source by name to the
// new instance, and the routed receiver with it.
TEST_F(ApiE2E, ARouteFollowsItsSourceByNameWhenItComesBackElsewhere)
{
    auto first = sender("Routed Comes Back");
    ASSERT_TRUE(first);
    std::string published(QRVlib_send_get_published_name(first, nullptr, 0), '\0');
    QRVlib_send_get_published_name(first, published.data(), (uint32_t)published.size());
    published.resize(published.size() - 1);
    const std::string old_locator = locator_of(first);

    QRVlib_routing_create_t rs("Following Routing");
    auto router = QRVlib_routing_create(&rs);
    ASSERT_TRUE(router);
    std::string router_locator(QRVlib_routing_get_locator(router, nullptr, 0), '\0');
    QRVlib_routing_get_locator(router, router_locator.data(), (uint32_t)router_locator.size());
    router_locator.resize(router_locator.size() - 1);
    const QRVlib_source_t target(published.c_str(), old_locator.c_str());
    ASSERT_TRUE(QRVlib_routing_change(router, &target));

    QRVlib_recv_create_v3_t settings(QRVlib_source_t("HOST (Following Routing)", router_locator.c_str()));
    auto r = QRVlib_recv_create_v3(&settings);
    ASSERT_TRUE(r);
    ASSERT_EQ(QRVlib_send_get_no_connections(first, 5000), 1);
    BgraFrame f1(8, 8, 0x33), f2(8, 8, 0x44);
    QRVlib_send_send_video_v2(first, &f1.record);
    EXPECT_EQ(next_byte(r), 0x33);

    QRVlib_send_destroy(first);
    auto second = sender("Routed Comes Back");
    ASSERT_TRUE(second);
    ASSERT_NE(locator_of(second), old_locator);
    EXPECT_TRUE(reaches(second, f2, r)) << "the routed receiver reaches the new instance";
    QRVlib_recv_destroy(r);
    QRVlib_routing_destroy(router);
}

// Reads the sender's tally until it is the one wanted.
bool tally_becomes(QRVlib_send_instance_t s, bool program, bool preview, std::chrono::milliseconds limit = 5s)
{
    const auto end = qrv_test::Clock::now() + limit;
    for (;;) {
        QRVlib_tally_t t;
        QRVlib_send_get_tally(s, &t, 100);
        if (t.on_program == program && t.on_preview == preview)
            return true;
        if (qrv_test::Clock::now() >= end)
            return false;
    }
}

QRVlib_recv_instance_t receiver_of(const std::string& name, const std::string& locator)
{
    QRVlib_recv_create_v3_t settings(QRVlib_source_t(name.c_str(), locator.c_str()));
    return QRVlib_recv_create_v3(&settings);
}

TEST_F(ApiE2E, TallyCombinesTheReceiversAndForgetsThoseThatLeave)
{
    auto s = sender("Tally");
    ASSERT_TRUE(s);
    QRVlib_tally_t t{true, true};
    EXPECT_FALSE(QRVlib_send_get_tally(s, &t, 0)) << "no change yet";
    EXPECT_FALSE(t.on_program || t.on_preview);
    const std::string locator = locator_of(s);
    auto r1 = receiver_of("HOST (Tally)", locator), r2 = receiver_of("HOST (Tally)", locator);
    ASSERT_TRUE(r1 && r2);
    const auto end = qrv_test::Clock::now() + 5s;
    while (QRVlib_send_get_no_connections(s, 0) < 2 && qrv_test::Clock::now() < end)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(QRVlib_send_get_no_connections(s, 0), 2);

    const QRVlib_tally_t program{true, false}, preview{false, true}, off{false, false};
    ASSERT_TRUE(QRVlib_recv_set_tally(r1, &program));
    ASSERT_TRUE(QRVlib_send_get_tally(s, &t, 5000));
    EXPECT_TRUE(t.on_program);
    EXPECT_FALSE(t.on_preview);
    ASSERT_TRUE(QRVlib_recv_set_tally(r2, &preview));
    ASSERT_TRUE(QRVlib_send_get_tally(s, &t, 5000));
    EXPECT_TRUE(t.on_program && t.on_preview) << "on program when any says so, on preview likewise";
    // Saying the same again changes nothing.
    ASSERT_TRUE(QRVlib_recv_set_tally(r1, &program));
    EXPECT_FALSE(QRVlib_send_get_tally(s, &t, 300));
    EXPECT_TRUE(t.on_program && t.on_preview);

    QRVlib_recv_destroy(r2);
    ASSERT_TRUE(QRVlib_send_get_tally(s, &t, 5000));
    EXPECT_TRUE(t.on_program);
    EXPECT_FALSE(t.on_preview) << "the receiver that left no longer counts";
    ASSERT_TRUE(QRVlib_recv_set_tally(r1, &off));
    EXPECT_TRUE(tally_becomes(s, false, false));

    EXPECT_FALSE(QRVlib_recv_set_tally(nullptr, &off));
    EXPECT_FALSE(QRVlib_send_get_tally(s, nullptr, 0));
    QRVlib_recv_destroy(r1);
    QRVlib_send_destroy(s);
}

TEST_F(ApiE2E, TallyOfARoutedReceiverReachesTheSourceCarryingTheMedia)
{
    auto a = sender("Tally A"), b = sender("Tally B");
    QRVlib_routing_create_t rs("Tally Routing");
    auto router = QRVlib_routing_create(&rs);
    ASSERT_TRUE(a && b && router);
    std::string router_locator(QRVlib_routing_get_locator(router, nullptr, 0), '\0');
    QRVlib_routing_get_locator(router, router_locator.data(), (uint32_t)router_locator.size());
    auto r = receiver_of("HOST (Tally Routing)", router_locator.c_str());
    ASSERT_TRUE(r);
    const QRVlib_tally_t program{true, false};
    ASSERT_TRUE(QRVlib_recv_set_tally(r, &program));
    ASSERT_EQ(QRVlib_routing_get_no_connections(router, 5000), 1);

    const std::string la = locator_of(a), lb = locator_of(b);
    QRVlib_source_t to_a("HOST (Tally A)", la.c_str()), to_b("HOST (Tally B)", lb.c_str());
    ASSERT_TRUE(QRVlib_routing_change(router, &to_a));
    EXPECT_TRUE(tally_becomes(a, true, false));
    ASSERT_TRUE(QRVlib_routing_change(router, &to_b));
    EXPECT_TRUE(tally_becomes(b, true, false)) << "the tally follows the route";
    EXPECT_TRUE(tally_becomes(a, false, false)) << "and leaves the source routed away from";

    // The receiver learns the tally of the source that carries its media.
    auto watcher = receiver_of("HOST (Tally B)", lb);
    const QRVlib_tally_t preview{false, true};
    ASSERT_TRUE(QRVlib_recv_set_tally(watcher, &preview));
    const auto end = qrv_test::Clock::now() + 5s;
    QRVlib_tally_t seen{};
    while (qrv_test::Clock::now() < end && !(seen.on_program && seen.on_preview)) {
        ASSERT_TRUE(QRVlib_recv_get_source_tally(r, &seen));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(seen.on_program && seen.on_preview) << "B's tally over both its receivers, through the route";
    EXPECT_FALSE(QRVlib_recv_get_source_tally(r, nullptr));
    QRVlib_recv_destroy(watcher);
}

TEST_F(ApiE2E, AReceiverWithARateTakesFewerFramesAndCountsNoneDropped)
{
    auto s = sender("Rate");
    ASSERT_TRUE(s);
    const std::string locator = locator_of(s);
    QRVlib_recv_create_v3_t settings(QRVlib_source_t("HOST (Rate)", locator.c_str()));
    EXPECT_EQ(QRVlib_recv_create_with_rate(&settings, -1.0f), nullptr);
    EXPECT_EQ(QRVlib_recv_create_with_rate(&settings, std::nanf("")), nullptr);
    auto limited = QRVlib_recv_create_with_rate(&settings, 10.0f);
    ASSERT_TRUE(limited);
    ASSERT_EQ(QRVlib_send_get_no_connections(s, 5000), 1);
    ASSERT_GE(next_byte(limited, 1s), -1);  // connected: the status has arrived

    // A second of frames at 100 a second: about 10 of them are due.
    std::atomic<bool> sending{true};
    int captured = 0;
    std::thread capture([&] {
        while (sending) {
            QRVlib_video_frame_v2_t v;
            if (QRVlib_recv_capture_v2(limited, &v, nullptr, nullptr, 50) == QRVlib_frame_type_video) {
                ++captured;
                QRVlib_recv_free_video_v2(limited, &v);
            }
        }
    });
    BgraFrame f(64, 36, 7);
    for (int i = 0; i < 100; ++i) {
        QRVlib_send_send_video_v2(s, &f.record);
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(200ms);
    sending = false;
    capture.join();
    EXPECT_GE(captured, 5);
    EXPECT_LE(captured, 16);
    QRVlib_recv_stats_t st{};
    ASSERT_TRUE(QRVlib_recv_get_stats(limited, &st));
    EXPECT_EQ(st.video_dropped, 0u) << "frames skipped by the receiver's own wish are not drops";
    QRVlib_recv_destroy(limited);
    QRVlib_send_destroy(s);
}

TEST_F(ApiE2E, BadHandlesAndArgumentsAreRefused)
{
    EXPECT_EQ(QRVlib_send_get_no_connections(nullptr, 0), -1);
    EXPECT_EQ(QRVlib_send_get_locator(nullptr, nullptr, 0), 0u);
    EXPECT_FALSE(QRVlib_send_set_ptz_supported(nullptr, true));
    QRVlib_ptz_command_t c;
    EXPECT_FALSE(QRVlib_send_get_ptz_command(nullptr, &c, 0));
    QRVlib_recv_free_video_v2(nullptr, nullptr);
    auto s = sender("tiny");
    char small[4];
    const uint32_t needed = QRVlib_send_get_locator(s, small, sizeof small);
    EXPECT_GT(needed, sizeof small);
    QRVlib_metadata_frame_t m{0, 0, nullptr};
    EXPECT_TRUE(QRVlib_send_send_metadata(s, &m));
    std::string too_long(70000, 'x');
    m.p_data = too_long.data();
    EXPECT_FALSE(QRVlib_send_send_metadata(s, &m));
    QRVlib_send_destroy(s);
}

}  // namespace

namespace {

// Key files in a folder of their own, removed afterwards.
struct KeyFiles {
    std::string dir;
    KeyFiles()
    {
        char tmpl[] = "/tmp/qrv-keys-XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
    ~KeyFiles() { std::system(("rm -rf '" + dir + "'").c_str()); }
    std::string write(const char* name, const char* base64, mode_t mode = 0600) const
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << base64 << "\n";
        ::chmod(path.c_str(), mode);
        return path;
    }
};

}  // namespace

TEST_F(ApiE2E, ASiteKeyLetsInOverTcpOnlyReceiversThatHoldIt)
{
    KeyFiles keys;
    const std::string a = keys.write("a.key", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=");
    const std::string b = keys.write("b.key", "//////////////////////////////////////////8=");
    const std::string open = keys.write("open.key", "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", 0644);

    // A key file others can read, given by the environment: every create
    // fails and says why.
    QRVlib_destroy();
    ::setenv("QRV_KEY_FILE", open.c_str(), 1);
    ASSERT_TRUE(QRVlib_initialize());
    ::unsetenv("QRV_KEY_FILE");
    EXPECT_EQ(sender("Refused"), nullptr);
    EXPECT_NE(std::string(QRVlib_get_last_error()).find("(mode 0644)"), std::string::npos)
        << QRVlib_get_last_error();
    QRVlib_recv_create_v3_t anywhere(QRVlib_source_t(nullptr, "qrv://127.0.0.1:9"));
    EXPECT_EQ(QRVlib_recv_create_v3(&anywhere), nullptr);
    EXPECT_EQ(QRVlib_find_create_v2(nullptr), nullptr);
    EXPECT_NE(std::string(QRVlib_get_last_error()).find(open), std::string::npos);
    // Nor through the operation; what was in force stays.
    EXPECT_FALSE(QRVlib_set_key_files(open.c_str(), nullptr));
    EXPECT_FALSE(QRVlib_set_key_files(a.c_str(), (keys.dir + "/none").c_str()));

    // The sender and one receiver with key a, one with key b, one without.
    ASSERT_TRUE(QRVlib_set_key_files(a.c_str(), nullptr));
    auto s = sender("Keyed");
    ASSERT_TRUE(s);
    // TCP, not the same-host path: the locator without its Unix socket.
    const std::string full = locator_of(s), tcp = full.substr(0, full.find('?'));
    QRVlib_recv_create_v3_t settings(QRVlib_source_t(nullptr, tcp.c_str()));
    auto with_a = QRVlib_recv_create_v3(&settings);
    ASSERT_TRUE(QRVlib_set_key_files(b.c_str(), nullptr));
    auto with_b = QRVlib_recv_create_v3(&settings);
    ASSERT_TRUE(QRVlib_set_key_files(nullptr, nullptr));
    auto without = QRVlib_recv_create_v3(&settings);
    ASSERT_TRUE(with_a && with_b && without);

    std::atomic<bool> stop{false};
    std::thread pump([&] {
        BgraFrame f(8, 8, 0x5C);
        while (!stop) {
            QRVlib_send_send_video_v2(s, &f.record);
            std::this_thread::sleep_for(20ms);
        }
    });
    EXPECT_EQ(next_byte(with_a), 0x5C);
    EXPECT_EQ(next_byte(with_b, 300ms), -1);
    EXPECT_EQ(next_byte(without, 300ms), -1);
    stop = true;
    pump.join();

    QRVlib_recv_status_t st{};
    ASSERT_TRUE(QRVlib_recv_get_status(with_b, &st));
    EXPECT_FALSE(st.connected);
    EXPECT_STREQ(QRVlib_get_last_error(), "the source does not hold this site's key");
    QRVlib_send_security_stats_t sec{};
    ASSERT_TRUE(QRVlib_send_get_security_stats(s, &sec));
    EXPECT_TRUE(sec.key_required);
    EXPECT_GE(sec.refused_without_key, 2u);
    EXPECT_EQ(QRVlib_send_get_no_connections(s, 0), 1);
}
