// Starting and shutting down, objects left alive at shut-down, and the C
// boundary's answers to handles and settings that it cannot use.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qrv/qrv_runtime.h"
#include "guarded_buffer.h"

using qrv_test::GuardedBuffer;

namespace {

QRVlib_send_instance_t make_sender(const char* name = "Life")
{
    QRVlib_send_create_t settings;
    settings.name = name;
    settings.pace_video = false;
    return QRVlib_send_create(&settings);
}

bool alive(QRVlib_send_instance_t sender)
{
    QRVlib_send_stats_t stats;
    return QRVlib_send_get_stats(sender, &stats);
}

// Every operation on handles that are not (or no longer) the library's:
// nothing happens, nothing crashes, results are null, false or empty.
void expect_inert(QRVlib_send_instance_t s, QRVlib_find_instance_t f, QRVlib_recv_instance_t r,
                  QRVlib_routing_instance_t rt)
{
    uint8_t pixels[64 * 4 * 2] = {};
    QRVlib_video_frame_v2_t v;
    v.width = 64;
    v.height = 2;
    v.fourcc = QRVlib_FourCC_type_BGRA;
    v.line_stride = 256;
    v.data = pixels;
    QRVlib_send_send_video_v2(s, &v);
    QRVlib_send_send_video_async_v2(s, &v);
    QRVlib_send_send_video_async_v2(s, nullptr);
    float samples[2 * 16] = {};
    QRVlib_audio_frame_v2_t a;
    a.no_samples = 16;
    a.channel_stride = 64;
    a.data = samples;
    QRVlib_send_send_audio_v2(s, &a);
    QRVlib_audio_frame_interleaved_16s_t i;
    int16_t values[32] = {};
    i.no_samples = 16;
    i.data = values;
    QRVlib_util_send_send_audio_interleaved_16s(s, &i);
    QRVlib_send_stats_t stats;
    EXPECT_FALSE(QRVlib_send_get_stats(s, &stats));
    QRVlib_video_frame_v2_t out;
    uint64_t needed = 0;
    EXPECT_FALSE(QRVlib_send_peek_video(s, &out, pixels, sizeof pixels, &needed));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(QRVlib_find_wait_for_sources(f, 5000));  // does not wait for an unknown finder
    EXPECT_LT(qrv_test::seconds_since(start), 1.0);
    uint32_t count = 77;
    EXPECT_EQ(QRVlib_find_get_current_sources(f, &count), nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(QRVlib_find_get_current_sources(f, nullptr), nullptr);

    EXPECT_NE(QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, 5000), QRVlib_frame_type_status_change);
    EXPECT_FALSE(QRVlib_recv_ptz_is_supported(r));
    EXPECT_FALSE(QRVlib_recv_ptz_recall_preset(r, 3, 1.0f));

    const QRVlib_source_t source("HOST (x)", "qrv://127.0.0.1:5960");
    EXPECT_FALSE(QRVlib_routing_change(rt, &source));
    EXPECT_FALSE(QRVlib_routing_clear(rt));

    QRVlib_send_destroy(s);
    QRVlib_find_destroy(f);
    QRVlib_recv_destroy(r);
    QRVlib_routing_destroy(rt);
    EXPECT_LT(qrv_test::seconds_since(start), 1.0);
}

template <class H>
H fake(uintptr_t value)
{
    return reinterpret_cast<H>(value);
}

}  // namespace

TEST(Lifecycle, NothingIsCreatedBeforeTheStart)
{
    QRVlib_destroy();  // a shut-down without a start does nothing
    EXPECT_EQ(make_sender(), nullptr);
    EXPECT_EQ(QRVlib_find_create_v2(nullptr), nullptr);
    const QRVlib_routing_create_t routing("Routing");
    EXPECT_EQ(QRVlib_routing_create(&routing), nullptr);
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_instance_t s = make_sender();
    EXPECT_NE(s, nullptr);
    QRVlib_destroy();
    EXPECT_FALSE(alive(s));
    EXPECT_EQ(make_sender(), nullptr);  // and none after the shut-down
}

TEST(Lifecycle, StartsNest)
{
    ASSERT_TRUE(QRVlib_initialize());
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_instance_t s = make_sender();
    ASSERT_NE(s, nullptr);
    QRVlib_destroy();
    EXPECT_TRUE(alive(s));  // one start is still open
    EXPECT_NE(QRVlib_find_create_v2(nullptr), nullptr);
    QRVlib_destroy();
    EXPECT_FALSE(alive(s));
    QRVlib_destroy();  // one more than the starts: nothing happens

    // A fresh start after the end works as the first one.
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_instance_t again = make_sender();
    EXPECT_NE(again, nullptr);
    EXPECT_NE(again, s);
    EXPECT_FALSE(alive(s));
    QRVlib_destroy();
}

TEST(Lifecycle, ShutDownReleasesLiveObjectsAndTheirLoans)
{
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_instance_t s = make_sender();
    QRVlib_find_instance_t f = QRVlib_find_create_v2(nullptr);
    const QRVlib_routing_create_t routing("Routing");
    QRVlib_routing_instance_t rt = QRVlib_routing_create(&routing);
    QRVlib_recv_create_v3_t recv;
    recv.source = QRVlib_source_t("HOST (Somewhere)", "qrv://127.0.0.1:1");
    recv.receiver_name = "Receiver";
    QRVlib_recv_instance_t r = QRVlib_recv_create_v3(&recv);
    ASSERT_TRUE(s && f && rt && r);

    // An asynchronous frame left in flight, no flush: the shut-down ends the
    // loan, so the buffer can go away right after it.
    GuardedBuffer buf(1920 * 1080 * 4, true);
    std::memset(buf.data(), 9, buf.size());
    QRVlib_video_frame_v2_t v;
    v.width = 1920;
    v.height = 1080;
    v.fourcc = QRVlib_FourCC_type_BGRA;
    v.line_stride = 7680;
    v.data = buf.data();
    QRVlib_send_send_video_async_v2(s, &v);
    QRVlib_destroy();
    buf.lock();

    expect_inert(s, f, r, rt);
}

TEST(Lifecycle, DestroyedAndForeignHandlesAreInert)
{
    ASSERT_TRUE(QRVlib_initialize());
    QRVlib_send_instance_t s = make_sender();
    QRVlib_find_instance_t f = QRVlib_find_create_v2(nullptr);
    const QRVlib_routing_create_t routing("Routing");
    QRVlib_routing_instance_t rt = QRVlib_routing_create(&routing);
    QRVlib_recv_create_v3_t recv;
    recv.source = QRVlib_source_t("HOST (Somewhere)", nullptr);
    QRVlib_recv_instance_t r = QRVlib_recv_create_v3(&recv);
    ASSERT_TRUE(s && f && rt && r);

    // Handles of one kind given to the operations of another.
    expect_inert(reinterpret_cast<QRVlib_send_instance_t>(f), reinterpret_cast<QRVlib_find_instance_t>(s),
                 reinterpret_cast<QRVlib_recv_instance_t>(rt), reinterpret_cast<QRVlib_routing_instance_t>(r));
    EXPECT_TRUE(alive(s));
    // The finder still answers; what it lists by now (this process's own
    // sender, other tests' sources) depends on the host, so only its
    // answer's consistency is checked.
    uint32_t listed = 77;
    const QRVlib_source_t* sources = QRVlib_find_get_current_sources(f, &listed);
    EXPECT_EQ(sources == nullptr, listed == 0);
    EXPECT_TRUE(QRVlib_routing_clear(rt));

    // Null, made-up and stale handles.
    expect_inert(nullptr, nullptr, nullptr, nullptr);
    int local = 0;
    expect_inert(fake<QRVlib_send_instance_t>((uintptr_t)&local), fake<QRVlib_find_instance_t>(1),
                 fake<QRVlib_recv_instance_t>(UINTPTR_MAX), fake<QRVlib_routing_instance_t>(0xdeadbeef));
    QRVlib_send_destroy(s);
    QRVlib_find_destroy(f);
    QRVlib_recv_destroy(r);
    QRVlib_routing_destroy(rt);
    expect_inert(s, f, r, rt);  // destroys them a second time too

    // A handle is never handed out again, even when a new object takes the
    // old one's memory.
    for (int i = 0; i < 50; ++i) {
        QRVlib_send_instance_t n = make_sender();
        ASSERT_NE(n, s);
        QRVlib_send_destroy(n);
    }
    EXPECT_FALSE(alive(s));
    QRVlib_destroy();
}

TEST(Lifecycle, SettingsThatCannotBeUsedGiveNoObject)
{
    ASSERT_TRUE(QRVlib_initialize());
    EXPECT_EQ(QRVlib_send_create(nullptr), nullptr);
    EXPECT_EQ(make_sender(nullptr), nullptr);  // no name
    EXPECT_EQ(make_sender(""), nullptr);
    const std::string long_name(300, 'n'), huge_name(100 * 1024, 'n');
    EXPECT_EQ(make_sender(long_name.c_str()), nullptr);
    EXPECT_EQ(make_sender(huge_name.c_str()), nullptr);
    // Published names must be text that others can read.
    for (const char* bad : {"Cam\xff", "Cam\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_EQ(make_sender(bad), nullptr) << "a name with invalid UTF-8";
        EXPECT_NE(std::string(QRVlib_get_last_error()).find("UTF-8"), std::string::npos);
    }
    auto accented = make_sender("Cam\xc3\xa9ra \xf0\x9f\x8e\xa5");  // "Caméra" and a movie camera
    EXPECT_NE(accented, nullptr);
    QRVlib_send_destroy(accented);
    // A name without a terminator, ending at a guard page: read no further
    // than the cap on names.
    GuardedBuffer unterminated(4096);
    std::memset(unterminated.data(), 'A', unterminated.size());
    EXPECT_EQ(make_sender(reinterpret_cast<const char*>(unterminated.data())), nullptr);
    QRVlib_send_create_t groups;
    groups.name = "Groups";
    groups.option_text = reinterpret_cast<const char*>(unterminated.data());  // unterminated, under the cap
    EXPECT_EQ(QRVlib_send_create(&groups), nullptr);
    const std::string long_groups(5000, 'g');
    groups.option_text = long_groups.c_str();
    EXPECT_EQ(QRVlib_send_create(&groups), nullptr);

    EXPECT_EQ(QRVlib_routing_create(nullptr), nullptr);
    const QRVlib_routing_create_t unnamed;
    EXPECT_EQ(QRVlib_routing_create(&unnamed), nullptr);

    EXPECT_EQ(QRVlib_recv_create_v3(nullptr), nullptr);
    const QRVlib_recv_create_v3_t nowhere;  // neither a name nor a locator
    EXPECT_EQ(QRVlib_recv_create_v3(&nowhere), nullptr);

    QRVlib_find_create_t find;
    find.option_text_b = long_groups.c_str();
    EXPECT_EQ(QRVlib_find_create_v2(&find), nullptr);
    QRVlib_find_instance_t f = QRVlib_find_create_v2(nullptr);  // null: the defaults
    EXPECT_NE(f, nullptr);
    QRVlib_destroy();
}

TEST(Lifecycle, ObjectsBehaveWithoutANetwork)
{
    ASSERT_TRUE(QRVlib_initialize());
    const QRVlib_find_create_t only_here(false, "nobody-uses-this-group");
    QRVlib_find_instance_t f = QRVlib_find_create_v2(&only_here);
    ASSERT_NE(f, nullptr);
    EXPECT_FALSE(QRVlib_find_wait_for_sources(f, 0));
    uint32_t count = 5;
    EXPECT_EQ(QRVlib_find_get_current_sources(f, &count), nullptr);
    EXPECT_EQ(count, 0u);

    QRVlib_recv_create_v3_t recv;
    recv.source = QRVlib_source_t("HOST (Nobody)", "qrv://127.0.0.1:1");
    QRVlib_recv_instance_t r = QRVlib_recv_create_v3(&recv);
    ASSERT_NE(r, nullptr);
    const int32_t code = QRVlib_recv_capture_v2(r, nullptr, nullptr, nullptr, 0);
    EXPECT_TRUE(code == QRVlib_frame_type_none || code == QRVlib_frame_type_status_change) << code;
    // Refused camera commands say why: a bad value first, then the link.
    EXPECT_FALSE(QRVlib_recv_ptz_recall_preset(r, -1, 1.0f));
    EXPECT_STREQ(QRVlib_get_last_error(), "a camera command takes numbers (not NaN) and presets 0 to 99");
    EXPECT_FALSE(QRVlib_recv_ptz_pan_tilt(r, std::nanf(""), 0.0f));
    EXPECT_STREQ(QRVlib_get_last_error(), "a camera command takes numbers (not NaN) and presets 0 to 99");
    EXPECT_FALSE(QRVlib_recv_ptz_zoom(r, 0.5f));
    EXPECT_STREQ(QRVlib_get_last_error(), "not connected to the source");

    const QRVlib_routing_create_t routing("Routing");
    QRVlib_routing_instance_t rt = QRVlib_routing_create(&routing);
    ASSERT_NE(rt, nullptr);
    EXPECT_FALSE(QRVlib_routing_change(rt, nullptr));
    const QRVlib_source_t empty;
    EXPECT_FALSE(QRVlib_routing_change(rt, &empty));
    const QRVlib_source_t target("HOST (Nobody)", "qrv://127.0.0.1:1");
    EXPECT_TRUE(QRVlib_routing_change(rt, &target));
    EXPECT_TRUE(QRVlib_routing_clear(rt));
    EXPECT_TRUE(QRVlib_routing_clear(rt));

    QRVlib_routing_destroy(rt);
    QRVlib_recv_destroy(r);
    QRVlib_find_destroy(f);
    QRVlib_destroy();
}

// Calls that block for a long time return soon after what they wait on is
// destroyed, by its own destroy or by the library's shut-down.
TEST(Lifecycle, BlockingCallsReturnWhenTheirObjectGoes)
{
    using namespace std::chrono;
    ASSERT_TRUE(QRVlib_initialize());
    auto time_blocked = [](auto call, auto destroy) {
        const auto start = steady_clock::now();
        std::thread waiter(call);
        std::this_thread::sleep_for(milliseconds(200));
        destroy();
        waiter.join();
        return steady_clock::now() - start;
    };
    QRVlib_find_create_t only_mine;
    only_mine.option_text_a = "nobody-publishes-this-group";
    auto finder = QRVlib_find_create_v2(&only_mine);
    ASSERT_NE(finder, nullptr);
    QRVlib_find_wait_for_sources(finder, 0);
    EXPECT_LT(time_blocked([&] { EXPECT_FALSE(QRVlib_find_wait_for_sources(finder, 20000)); },
                           [&] { QRVlib_find_destroy(finder); }),
              seconds(5));

    auto sender = make_sender("Nobody Connects");
    ASSERT_NE(sender, nullptr);
    EXPECT_LT(time_blocked([&] { QRVlib_send_get_no_connections(sender, 20000); },
                           [&] { QRVlib_send_destroy(sender); }),
              seconds(5));
    // A tally and a camera command that never come.
    sender = make_sender("Nobody Connects");
    QRVlib_tally_t tally;
    QRVlib_send_get_tally(sender, &tally, 0);
    EXPECT_LT(time_blocked([&] { EXPECT_FALSE(QRVlib_send_get_tally(sender, &tally, 20000)); },
                           [&] { QRVlib_send_destroy(sender); }),
              seconds(5));
    sender = make_sender("Nobody Connects");
    QRVlib_ptz_command_t command;
    EXPECT_LT(time_blocked([&] { EXPECT_FALSE(QRVlib_send_get_ptz_command(sender, &command, 20000)); },
                           [&] { QRVlib_send_destroy(sender); }),
              seconds(5));

    // A capture waiting for a source that never answers; changes of status
    // are reported and the wait goes on until the receiver goes.
    QRVlib_recv_create_v3_t rs(QRVlib_source_t("HOST (Nobody)", "qrv://127.0.0.1:1"));
    auto capture_until_gone = [](QRVlib_recv_instance_t r) {
        return [r] {
            QRVlib_video_frame_v2_t v;
            while (QRVlib_recv_capture_v2(r, &v, nullptr, nullptr, 20000) == QRVlib_frame_type_status_change) {
            }
        };
    };
    auto receiver = QRVlib_recv_create_v3(&rs);
    ASSERT_NE(receiver, nullptr);
    EXPECT_LT(time_blocked(capture_until_gone(receiver), [&] { QRVlib_recv_destroy(receiver); }), seconds(5));

    // The library's shut-down ends the waits of objects left alive.
    finder = QRVlib_find_create_v2(&only_mine);
    ASSERT_NE(finder, nullptr);
    QRVlib_find_wait_for_sources(finder, 0);
    EXPECT_LT(time_blocked([&] { EXPECT_FALSE(QRVlib_find_wait_for_sources(finder, 20000)); },
                           [&] { QRVlib_destroy(); }),
              seconds(5));
    ASSERT_TRUE(QRVlib_initialize());
    receiver = QRVlib_recv_create_v3(&rs);
    ASSERT_NE(receiver, nullptr);
    EXPECT_LT(time_blocked(capture_until_gone(receiver), [&] { QRVlib_destroy(); }), seconds(5));
}

// Several threads at once: each sends on its own sender while others
// capture from one shared receiver, list sources, and one destroys the
// shared receiver in the middle of it all. Nothing may crash or hang, and
// calls on the destroyed handle are inert.
TEST(Lifecycle, CallsFromSeveralThreadsAtOnce)
{
    using namespace std::chrono;
    ASSERT_TRUE(QRVlib_initialize());
    auto target = make_sender("Crowded");
    ASSERT_NE(target, nullptr);
    const uint32_t n = QRVlib_send_get_locator(target, nullptr, 0);
    std::string locator(n, '\0');
    QRVlib_send_get_locator(target, locator.data(), n);
    QRVlib_recv_create_v3_t rs(QRVlib_source_t("HOST (Crowded)", locator.c_str()));
    auto shared_receiver = QRVlib_recv_create_v3(&rs);
    ASSERT_NE(shared_receiver, nullptr);
    std::vector<uint8_t> pixels(16 * 16 * 4, 0x40);

    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            const std::string name = "Crowd " + std::to_string(t);
            for (int round = 0; round < 3; ++round) {
                auto s = make_sender(name.c_str());
                QRVlib_video_frame_v2_t f;
                f.width = f.height = 16;
                f.line_stride = 64;
                f.data = pixels.data();
                for (int i = 0; i < 20 && s; ++i) {
                    QRVlib_send_send_video_v2(s, &f);
                    QRVlib_send_send_video_v2(target, &f);
                }
                QRVlib_send_destroy(s);
            }
        });
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&] {
            const auto end = steady_clock::now() + milliseconds(600);
            while (steady_clock::now() < end) {
                QRVlib_video_frame_v2_t v;
                if (QRVlib_recv_capture_v2(shared_receiver, &v, nullptr, nullptr, 20) == QRVlib_frame_type_video)
                    QRVlib_recv_free_video_v2(shared_receiver, &v);
            }
        });
    threads.emplace_back([] {
        auto f = QRVlib_find_create_v2(nullptr);
        for (int i = 0; i < 20; ++i) {
            uint32_t count = 0;
            QRVlib_find_get_current_sources(f, &count);
            QRVlib_find_wait_for_sources(f, 10);
        }
        QRVlib_find_destroy(f);
    });
    std::this_thread::sleep_for(milliseconds(300));
    QRVlib_recv_destroy(shared_receiver);
    for (auto& t : threads)
        t.join();
    QRVlib_recv_destroy(shared_receiver);  // a second destroy does nothing
    QRVlib_send_destroy(target);
    QRVlib_destroy();
}
