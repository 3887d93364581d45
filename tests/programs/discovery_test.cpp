// source_lister, switchboard and preset_caller on the virtual clock.
#include <csignal>
#include <cstdlib>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "test_support.h"

using namespace qrv_test;

namespace {

constexpr long long ms = 1000000;  // nanoseconds

std::string repeat_list(const char* item, int times)
{
    std::string s;
    for (int i = 0; i < times; i++)
        s += (i ? "," : "") + std::string(item);
    return s;
}

// -------------------------------------------------------------- source_lister

TEST(SourceLister, EmptyNetworkRunsExactlyOneMinute)
{
    const RunResult r = run({"source_lister"});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    // Passes start at 0, 5, ..., 55 s; at exactly 60 s the loop ends.
    std::string expected;
    for (int i = 0; i < 12; i++)
        expected += "No change to the sources found.\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.sequence(),
              ops({{"initialize"}, {"find_create_v2"}, {"find_wait_for_sources", 12}, {"find_destroy"}, {"destroy"}}));
    EXPECT_EQ(r.calls[1]["settings"], "null");
    for (const Call* w : r.of("find_wait_for_sources")) {
        EXPECT_EQ((*w)["timeout_ms"], "5000");
        EXPECT_EQ((*w)["finder"], "F1");
    }
    EXPECT_EQ(r.of("find_wait_for_sources")[0]->num("t"), 0);
    EXPECT_EQ(r.of("find_destroy")[0]->num("t"), 60000 * ms);
}

TEST(SourceLister, PrintsEveryListingNumberedFromOne)
{
    const RunResult r = run({"source_lister", Library::full,
                             {{"QRV_DOUBLE_WAITS", "1@1000,0,1@200,1"},
                              {"QRV_DOUBLE_SOURCES", "HOST (A)|HOST (B)=qrv://10.0.0.2:5960;;OTHER (C)"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    // 6.2 s of scripted waits, then 5-s passes starting at 6.2 ... 56.2 s.
    std::string expected = "Network sources (2 found).\n1. HOST (A)\n2. HOST (B)\n"
                           "No change to the sources found.\n"
                           "Network sources (0 found).\n"
                           "Network sources (1 found).\n1. OTHER (C)\n";
    for (int i = 0; i < 11; i++)
        expected += "No change to the sources found.\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.sequence(), ops({{"initialize"}, {"find_create_v2"}, {"find_wait_for_sources"},
                                 {"find_get_current_sources"}, {"find_wait_for_sources"},
                                 {"find_wait_for_sources"}, {"find_get_current_sources"},
                                 {"find_wait_for_sources"}, {"find_get_current_sources"},
                                 {"find_wait_for_sources", 11}, {"find_destroy"}, {"destroy"}}));
}

TEST(SourceLister, WaitStartedJustBeforeTheMinuteRunsToItsEnd)
{
    const RunResult r = run({"source_lister", Library::full,
                             {{"QRV_DOUBLE_WAITS", repeat_list("0", 11) + ",0@4999,1@5000"},
                              {"QRV_DOUBLE_SOURCES", "LATE (X)"}}});
    ASSERT_TRUE(r.clean_exit());
    std::string expected;
    for (int i = 0; i < 12; i++)
        expected += "No change to the sources found.\n";
    expected += "Network sources (1 found).\n1. LATE (X)\n";
    EXPECT_EQ(r.out, expected);
    const auto waits = r.of("find_wait_for_sources");
    ASSERT_EQ(waits.size(), 13u);
    EXPECT_EQ(waits.back()->num("t"), 59999 * ms);
    EXPECT_EQ(r.of("find_destroy")[0]->num("t"), 64999 * ms);
    EXPECT_EQ(r.calls.back().op, "destroy");
}

TEST(SourceLister, CtrlCEndsTheProcessAtOnce)
{
    const RunResult r = run({"source_lister", Library::full, {{"QRV_DOUBLE_SIGINT", "find_wait_for_sources:2"}}});
    EXPECT_FALSE(r.exited);
    EXPECT_EQ(r.term_signal, SIGINT);
    // Output still buffered in the process is lost with it; no release.
    EXPECT_EQ(r.sequence(), "initialize find_create_v2 find_wait_for_sources find_wait_for_sources");
}

// ---------------------------------------------------------------- switchboard

TEST(Switchboard, ThousandPassesPickWithTheUnseededGenerator)
{
    // Query q sees q mod 5 sources, named after the query and the entry.
    std::string lists;
    std::vector<std::vector<std::string>> names(1000);
    for (int q = 0; q < 1000; q++) {
        if (q)
            lists += ";";
        for (int k = 0; k < q % 5; k++) {
            names[q].push_back("HOST" + std::to_string(q) + " (S" + std::to_string(k) + ")");
            lists += (k ? "|" : "") + names[q].back();
        }
    }
    const RunResult r = run({"switchboard", Library::full, {{"QRV_DOUBLE_SOURCES", lists}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");

    const auto creates = r.of("routing_create");
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ((*creates[0])["name"], "Routing");
    EXPECT_EQ((*creates[0])["option_text"], "null");
    const Call& finder = *r.of("find_create_v2")[0];
    EXPECT_EQ(finder["option_flag"], "1");
    EXPECT_EQ(finder["option_text_a"], "null");
    EXPECT_EQ(finder["option_text_b"], "null");

    std::srand(1);  // the state of a never seeded generator
    std::vector<Repeat> seq = {{"initialize"}, {"routing_create"}, {"find_create_v2"}};
    std::string out;
    for (int q = 0; q < 1000; q++) {
        seq.push_back({"find_get_current_sources"});
        seq.push_back({names[q].empty() ? "routing_clear" : "routing_change"});
    }
    seq.push_back({"find_destroy"});
    seq.push_back({"routing_destroy"});
    seq.push_back({"destroy"});
    ASSERT_EQ(r.sequence(), ops(seq));

    // Calls 3, 4 are pass 0's query and change or clear, and so on.
    for (int q = 0; q < 1000; q++) {
        SCOPED_TRACE(q);
        const Call& query = r.calls[3 + 2 * q];
        const Call& action = r.calls[4 + 2 * q];
        EXPECT_EQ(query.num("t"), q * 15000LL * ms);
        if (!names[q].empty()) {
            const uint32_t index = (uint32_t)std::rand() % (uint32_t)names[q].size();
            out += "routing to " + names[q][index] + " \n";
            EXPECT_EQ(action["entry"], std::to_string(index));  // by address, not a copy
            EXPECT_EQ(action["source.name"], names[q][index]);
            EXPECT_EQ(action["router"], "R1");
        }
        if (HasFailure())
            break;
    }
    EXPECT_EQ(r.out, out);
    // The last pass ends with its pause too.
    EXPECT_EQ(r.of("find_destroy")[0]->num("t"), 1000 * 15000LL * ms);
}

TEST(Switchboard, CtrlCBeforeAndDuringTheLoop)
{
    RunResult r = run({"switchboard", Library::full, {{"QRV_DOUBLE_SIGINT", "find_create_v2:1"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(), "initialize routing_create find_create_v2 find_destroy routing_destroy destroy");

    // During pass 2: it completes with its pause, then the release.
    r = run({"switchboard", Library::full,
             {{"QRV_DOUBLE_SIGINT", "find_get_current_sources:3"}, {"QRV_DOUBLE_SOURCES", "ONE (only)"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "routing to ONE (only) \nrouting to ONE (only) \nrouting to ONE (only) \n");
    EXPECT_EQ(r.sequence(), ops({{"initialize"}, {"routing_create"}, {"find_create_v2"},
                                 {"find_get_current_sources routing_change", 3}, {"find_destroy"},
                                 {"routing_destroy"}, {"destroy"}}));
    EXPECT_EQ(r.of("find_destroy")[0]->num("t"), 45000 * ms);
}

// -------------------------------------------------------------- preset_caller

TEST(PresetCaller, SearchesThenRecallsPresetOnEveryStatusChange)
{
    const RunResult r = run({"preset_caller", Library::full,
                             {{"QRV_DOUBLE_SOURCES", ";;CAM (first)=qrv://10.0.0.1:5960|CAM (second)"},
                              {"QRV_DOUBLE_CAPTURES", "0,100,100@5,0,100,7"},
                              {"QRV_DOUBLE_PTZ", "1"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    const std::string message = "This source supports PTZ functionality. Moving to preset #3.\n";
    EXPECT_EQ(r.out, message + message + message);

    // Captures take 1000 + 0 + 5 + 1000 + 0 + 0 ms, then 1000 ms each until
    // 30 s have passed: 28 more.
    const std::string ptz = "recv_capture_v2 recv_ptz_is_supported recv_ptz_recall_preset";
    EXPECT_EQ(r.sequence(),
              ops({{"initialize"}, {"find_create_v2"}, {"find_wait_for_sources find_get_current_sources", 3},
                   {"recv_create_v3"}, {"find_destroy"}, {"recv_capture_v2"}, {ptz, 2}, {"recv_capture_v2"},
                   {ptz}, {"recv_capture_v2", 29}, {"recv_destroy"}, {"destroy"}}));
    const Call& finder = *r.of("find_create_v2")[0];
    EXPECT_EQ(finder["option_flag"], "1");
    EXPECT_EQ(finder["option_text_a"], "null");
    for (const Call* w : r.of("find_wait_for_sources"))
        EXPECT_EQ((*w)["timeout_ms"], "1000");

    const Call& recv = *r.of("recv_create_v3")[0];
    EXPECT_EQ(recv["source.name"], "CAM (first)");
    EXPECT_EQ(recv["source.locator"], "qrv://10.0.0.1:5960");
    EXPECT_EQ(recv["color_format"], "1");
    EXPECT_EQ(recv["bandwidth"], "100");
    EXPECT_EQ(recv["option_flag"], "1");
    EXPECT_EQ(recv["receiver_name"], "Example PTZ Receiver");
    EXPECT_EQ(recv.result, "V1");

    for (const Call* c : r.of("recv_capture_v2")) {
        EXPECT_EQ((*c)["receiver"], "V1");
        EXPECT_EQ((*c)["video"] + (*c)["audio"] + (*c)["metadata"], "nullnullnull");
        EXPECT_EQ((*c)["timeout_ms"], "1000");
    }
    for (const Call* p : r.of("recv_ptz_recall_preset")) {
        EXPECT_EQ((*p)["preset"], "3");
        EXPECT_EQ((*p)["speed"], "1");
    }
    // The watch starts after the finder is gone and lasts 30 s.
    const long long watch_start = r.of("recv_capture_v2")[0]->num("t");
    EXPECT_EQ(watch_start, r.of("find_destroy")[0]->num("t"));
    EXPECT_LT(r.of("recv_capture_v2").back()->num("t") - watch_start, 30000 * ms);
    EXPECT_EQ(r.of("recv_destroy")[0]->num("t") - watch_start, 30005 * ms);
}

TEST(PresetCaller, SourceWithoutCameraControlIsWatchedSilently)
{
    const RunResult r = run({"preset_caller", Library::full,
                             {{"QRV_DOUBLE_SOURCES", "PLAIN (src)"}, {"QRV_DOUBLE_CAPTURES", "100,100"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.of("recv_ptz_is_supported").size(), 2u);
    EXPECT_TRUE(r.of("recv_ptz_recall_preset").empty());
    EXPECT_EQ(r.of("recv_capture_v2").size(), 32u);
    EXPECT_EQ(r.calls.back().op, "destroy");
}

TEST(PresetCaller, CtrlCAndFailedReceiver)
{
    // Ctrl-C while nothing is listed: nothing is created or released.
    RunResult r = run({"preset_caller", Library::full, {{"QRV_DOUBLE_SIGINT", "find_wait_for_sources:3"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(),
              ops({{"initialize"}, {"find_create_v2"}, {"find_wait_for_sources find_get_current_sources", 3}}));

    // Ctrl-C during the watch: the capture returns, then the release.
    r = run({"preset_caller", Library::full,
             {{"QRV_DOUBLE_SOURCES", "A (a)"}, {"QRV_DOUBLE_SIGINT", "recv_capture_v2:2"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(), "initialize find_create_v2 find_wait_for_sources find_get_current_sources "
                            "recv_create_v3 find_destroy recv_capture_v2 recv_capture_v2 recv_destroy destroy");

    // A failed receiver leaves the finder alive.
    r = run({"preset_caller", Library::full,
             {{"QRV_DOUBLE_SOURCES", "A (a)"}, {"QRV_DOUBLE_NULL_CREATE", "recv_create_v3"}}});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(), "initialize find_create_v2 find_wait_for_sources find_get_current_sources recv_create_v3");
}

}  // namespace
