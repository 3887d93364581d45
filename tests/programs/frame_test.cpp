// What every program shares: the start check, failed creates, status 0.
#include <gtest/gtest.h>

#include "program_runner.h"

using namespace qrv_test;

namespace {

const char* const linked_programs[] = {"strobe_pump", "rate_probe", "flash_beep", "quad_hush",
                                       "stereo_hush", "switchboard", "preset_caller", "late_binder"};

TEST(RunFrame, FailedStartPrintsTheMessageWithoutNewlineAndCallsNothingElse)
{
    for (const char* program : linked_programs) {
        SCOPED_TRACE(program);
        RunOptions o{program, Library::full, {{"QRV_DOUBLE_INIT_FAIL", "1"}}};
        if (std::string(program) == "late_binder")
            o.env["QRV_RUNTIME_DIR_V3"] = "@DIR@/";  // see late_binder_test.cpp
        const RunResult r = run(o);
        EXPECT_TRUE(r.clean_exit());
        EXPECT_EQ(r.out, "Cannot run QRV.");
        EXPECT_EQ(r.err, "");
        const std::string expected =
            std::string(program) == "late_binder" ? "v3_load initialize" : "initialize";
        EXPECT_EQ(r.sequence(), expected);
    }
}

TEST(RunFrame, SourceListerFailsToStartSilently)
{
    const RunResult r = run({"source_lister", Library::full, {{"QRV_DOUBLE_INIT_FAIL", "1"}}});
    EXPECT_TRUE(r.clean_exit());
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.sequence(), "initialize");
}

// A failed create ends the program at once: no output, nothing destroyed,
// no shut-down.
TEST(RunFrame, FailedCreateReleasesNothing)
{
    struct Case {
        const char* program;
        const char* null_create;
        const char* sequence;
        const char* out;
    };
    const Case cases[] = {
        {"strobe_pump", "send_create", "initialize send_create", ""},
        {"rate_probe", "send_create", "initialize send_create", "Generating content for benchmark ...\n"},
        {"flash_beep", "send_create", "initialize send_create", ""},
        {"quad_hush", "send_create", "initialize send_create", ""},
        {"stereo_hush", "send_create", "initialize send_create", ""},
        {"source_lister", "find_create_v2", "initialize find_create_v2", ""},
        {"switchboard", "routing_create", "initialize routing_create", ""},
        {"switchboard", "find_create_v2", "initialize routing_create find_create_v2", ""},
        {"preset_caller", "find_create_v2", "initialize find_create_v2", ""},
        {"late_binder", "send_create", "v3_load initialize send_create", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " / " + c.null_create);
        RunOptions o{c.program, Library::full, {{"QRV_DOUBLE_NULL_CREATE", c.null_create}}};
        if (std::string(c.program) == "late_binder")
            o.env["QRV_RUNTIME_DIR_V3"] = "@DIR@/";
        const RunResult r = run(o);
        EXPECT_TRUE(r.clean_exit());
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.sequence(), c.sequence);
        ASSERT_FALSE(r.calls.empty());
        EXPECT_EQ(r.calls.back().result, "null");
    }
}

}  // namespace
