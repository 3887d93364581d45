// late_binder: locating and loading the library, batches and their reports.
#include <gtest/gtest.h>

#include "program_runner.h"
#include "test_support.h"

using namespace qrv_test;

namespace {

const std::string reinstall = "Please re-install the Quorix QRV Runtimes from  to use this application.";

// Names the run's own folder, so that the library is found without the
// run path. Under the address sanitizer dlopen is called from the sanitizer
// runtime, whose run path is not the program's; the LateBinderRunPath cases
// therefore run in the plain build only.
std::map<std::string, std::string> beside(std::map<std::string, std::string> env = {})
{
    env["QRV_RUNTIME_DIR_V3"] = "@DIR@/";
    return env;
}

TEST(LateBinderProgram, BatchesReportThePacedRateAndAlternateAcrossTheSeam)
{
    // Ctrl-C inside send 450: two full batches and one of 50 frames.
    const RunResult r = run({"late_binder", Library::full, beside({{"QRV_DOUBLE_SIGINT", "send_send_video_v2:450"}})});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "200 frames sent, average fps=29.97\n200 frames sent, average fps=29.97\n"
                     "50 frames sent, average fps=29.97\n");
    EXPECT_EQ(r.sequence(), ops({{"v3_load"}, {"initialize"}, {"send_create"}, {"send_send_video_v2", 450},
                                 {"send_destroy"}, {"destroy"}}));
    const Call& create = *r.of("send_create")[0];
    EXPECT_EQ(create["name"], "My Video");
    EXPECT_EQ(create["option_text"], "null");
    EXPECT_EQ(create["pace_video"] + create["pace_audio"], "11");
    const auto sends = r.of("send_send_video_v2");
    for (int k = 0; k < 450; k++) {
        SCOPED_TRACE(k);
        const Call& c = *sends[k];
        EXPECT_EQ(c["sender"], "S1");
        EXPECT_EQ(c["width"], "1920");
        EXPECT_EQ(c["height"], "1080");
        EXPECT_EQ(c["fourcc"], "BGRA");
        EXPECT_EQ(c["line_stride"], "7680");
        EXPECT_EQ(c["frame_rate"], "30000/1001");
        EXPECT_EQ(c["timecode"], "9223372036854775807");
        EXPECT_EQ(c["bytes"], "8294400");
        EXPECT_EQ(c["uniform"], k % 2 ? "255" : "0");
        EXPECT_EQ(c["data"], (*sends[0])["data"]);
        if (HasFailure())
            break;
    }
}

TEST(LateBinderProgram, CtrlCBetweenAndBeforeBatches)
{
    // Inside the 200th send: that batch is full and reported, no other starts.
    RunResult r = run({"late_binder", Library::full, beside({{"QRV_DOUBLE_SIGINT", "send_send_video_v2:200"}})});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out, "200 frames sent, average fps=29.97\n");
    EXPECT_EQ(r.of("send_send_video_v2").size(), 200u);
    EXPECT_EQ(r.calls.back().op, "destroy");

    r = run({"late_binder", Library::full, beside({{"QRV_DOUBLE_SIGINT", "send_create:1"}})});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(r.sequence(), "v3_load initialize send_create send_destroy destroy");
}

TEST(LateBinderRunPath, FindsTheLibraryByRunPathOrDirectoryPrefix)
{
    struct Case {
        const char* what;
        bool set;
        const char* value;
        Library beside;  // the copy next to the program
        bool loads;      // the full library is reached
    };
    const Case cases[] = {
        {"unset: next to the program", false, "", Library::full, true},
        {"empty: as unset", true, "", Library::full, true},
        {"trailing slash: that folder", true, "@DIR@/lib/", Library::nulltable, true},
        {"no trailing slash: glued name", true, "@DIR@/lib", Library::full, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RunOptions o{"late_binder", c.beside, {{"QRV_DOUBLE_SIGINT", "send_send_video_v2:1"}}};
        o.extra_libraries["lib"] = Library::full;
        if (c.set)
            o.env["QRV_RUNTIME_DIR_V3"] = c.value;
        const RunResult r = run(o);
        ASSERT_TRUE(r.clean_exit());
        EXPECT_EQ(r.err, "");
        if (c.loads) {
            EXPECT_EQ(r.out, "1 frames sent, average fps=29.97\n");
            EXPECT_EQ(r.sequence(), "v3_load initialize send_create send_send_video_v2 send_destroy destroy");
        } else {
            EXPECT_EQ(r.out, reinstall);
            EXPECT_EQ(r.sequence(), "");
        }
    }
}

TEST(LateBinderProgram, LibraryWithoutUsableTableGetsTheReinstallMessage)
{
    RunResult r = run({"late_binder", Library::noload, beside()});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out, reinstall);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.sequence(), "");

    r = run({"late_binder", Library::nulltable, beside()});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out, reinstall);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.sequence(), "v3_load");

    r = run({"late_binder", Library::none, beside()});
    ASSERT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out, reinstall);
    EXPECT_EQ(r.sequence(), "");
}

}  // namespace
