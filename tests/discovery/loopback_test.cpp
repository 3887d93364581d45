// The discovery service across processes on this host's loopback: sources
// of helper processes and of the real programs appear in a finder of this
// process, leave with a goodbye, expire when killed, and get distinct names
// when they share one. Other software on the host may publish as well, so
// every name here carries this process's id.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "build_paths.h"
#include "child_process.h"
#include "discovery/discovery.h"
#include "objects/finder.h"

using namespace std::chrono_literals;
using qrv::discovery::DiscoveryService;
using qrv_test::Child;

namespace {

const std::string kBin = qrv_test::bin_dir();
const std::string kHelper = qrv_test::test_bin_dir() + "/qrv_publish_helper";

std::string tag(const std::string& what)
{
    return "t" + std::to_string(getpid()) + " " + what;
}

// What the service counted, for the message of a failed check.
std::string counters(const DiscoveryService& s)
{
    const auto c = s.stats();
    return "received " + std::to_string(c.packets_received) + ", rejected " + std::to_string(c.packets_rejected) +
           ", malformed " + std::to_string(c.packets_malformed) + ", sent " + std::to_string(c.packets_sent) +
           ", send failures " + std::to_string(c.send_failures);
}

std::shared_ptr<DiscoveryService> service()
{
    return DiscoveryService::create(qrv::Scope::from_value(nullptr));
}

// Waits until no source of that name is visible; the time it took.
std::optional<std::chrono::milliseconds> wait_gone(DiscoveryService& s, const std::string& name,
                                                   std::chrono::milliseconds limit)
{
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < limit) {
        if (!s.find(name))
            return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

}  // namespace

TEST(DiscoveryLoopback, SourceOfAnotherProcessAppearsAndLeavesWithGoodbye)
{
    auto s = service();
    ASSERT_GE(s->stats().interfaces, 1u);
    Child helper({kHelper, "send", tag("appear"), "public,studio"});
    ASSERT_TRUE(helper.wait_for_output("ready", 5s)) << helper.output();
    const std::string name = s->host() + " (" + tag("appear") + ")";
    auto found = s->wait_for(name, 5s);
    ASSERT_TRUE(found) << name;
    auto endpoint = qrv::parse_locator(found->locator);
    ASSERT_TRUE(endpoint) << found->locator;
    EXPECT_EQ(endpoint->address.rfind("127.", 0), 0u);
    EXPECT_EQ(found->groups, (std::vector<std::string>{"public", "studio"}));
    EXPECT_FALSE(found->process.empty());
    EXPECT_NE(found->process, s->process_id());

    helper.write_line("quit");
    ASSERT_TRUE(helper.wait_for_output("done", 5s)) << helper.output();
    auto gone = wait_gone(*s, name, 5s);
    ASSERT_TRUE(gone) << counters(*s) << "\n" << helper.output();
    EXPECT_LE(*gone, 1000ms);
    EXPECT_EQ(s->stats().packets_malformed, 0u);
}

TEST(DiscoveryLoopback, OtherProcessResolvesALocatorByName)
{
    auto s = service();
    Child helper({kHelper, "send", tag("resolved")});
    ASSERT_TRUE(helper.wait_for_output("published ", 5s)) << helper.output();
    const std::string name = s->host() + " (" + tag("resolved") + ")";
    EXPECT_NE(helper.output().find("published " + name), std::string::npos) << helper.output();
    auto found = s->wait_for(name, 5s);
    ASSERT_TRUE(found);
    Child resolver({kHelper, "resolve", name});
    ASSERT_TRUE(resolver.wait_exit(10s));
    EXPECT_NE(resolver.output().find("locator " + found->locator), std::string::npos) << resolver.output();
    // An absent name is given up on after the timeout: one second here.
    Child missing({kHelper, "resolve", s->host() + " (" + tag("nobody") + ")", "1000"});
    ASSERT_TRUE(missing.wait_exit(10s));
    EXPECT_NE(missing.output().find("none"), std::string::npos) << missing.output();
}

TEST(DiscoveryLoopback, KilledSourceExpiresWithinTheBound)
{
    auto s = service();
    Child helper({kHelper, "send", tag("killed")});
    ASSERT_TRUE(helper.wait_for_output("ready", 5s));
    const std::string name = s->host() + " (" + tag("killed") + ")";
    ASSERT_TRUE(s->wait_for(name, 5s));
    helper.signal(SIGKILL);
    helper.wait_exit(2s);
    auto gone = wait_gone(*s, name, 15s);
    ASSERT_TRUE(gone) << "still listed 15 s after kill -9";
    EXPECT_LE(*gone, 10s);
}

TEST(DiscoveryLoopback, SameNameInTwoProcessesEndsDistinct)
{
    auto s = service();
    Child first({kHelper, "send", tag("twin")});
    Child second({kHelper, "send", tag("twin")});
    ASSERT_TRUE(first.wait_for_output("ready", 5s));
    ASSERT_TRUE(second.wait_for_output("ready", 5s));
    const std::string base = s->host() + " (" + tag("twin");
    auto a = s->wait_for(base + ")", 8s);
    auto b = s->wait_for(base + " (2))", 8s);
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_NE(a->process, b->process);
}

TEST(DiscoveryLoopback, RouterIsPublished)
{
    auto s = service();
    Child router({kHelper, "route", tag("Routing")});
    ASSERT_TRUE(router.wait_for_output("ready", 5s));
    EXPECT_TRUE(s->wait_for(s->host() + " (" + tag("Routing") + ")", 5s));
}

TEST(DiscoveryLoopback, FinderSeesOwnProcessOnlyWhenAsked)
{
    auto s = service();
    auto publication = s->publish({tag("mine"), "", {}});
    const std::string name = s->host() + " (" + tag("mine") + ")";
    qrv::Finder with_own({true, "", ""});
    qrv::Finder without_own({false, "", ""});
    with_own.follow(*s);
    without_own.follow(*s);
    ASSERT_TRUE(s->wait_for(name, 5s));
    EXPECT_EQ(publication.label(), name);
    auto listed = [&](qrv::Finder& f) {
        uint32_t n = 0;
        const QRVlib_source_t* list = f.current(&n);
        for (uint32_t i = 0; i < n; ++i)
            if (name == list[i].name)
                return true;
        return false;
    };
    // Finders hear of the change right after the service.
    for (int i = 0; i < 50 && !listed(with_own); ++i)
        with_own.wait_for_change(100);
    EXPECT_TRUE(listed(with_own));
    EXPECT_FALSE(listed(without_own));
    // The withdrawal is a change that wakes a waiting finder before its
    // timeout.
    publication = {};
    const auto start = std::chrono::steady_clock::now();
    bool gone = false;
    while (!gone && std::chrono::steady_clock::now() - start < 4s)
        if (with_own.wait_for_change(4000))
            gone = !listed(with_own);
    EXPECT_TRUE(gone);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

// The real programs against the real runtime.
TEST(DiscoveryPrograms, SourceListerListsStrobePumpAndSeesItGo)
{
    Child pump({kBin + "/strobe_pump"});
    // Line-buffered output, so that what the lister printed can be read
    // before it is stopped.
    Child lister({"/usr/bin/stdbuf", "-oL", kBin + "/source_lister"},
                 {{"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}});
    ASSERT_TRUE(lister.wait_for_output("(My Video", 10s)) << lister.output();
    const size_t listed_at = lister.output().find("(My Video");
    pump.signal(SIGINT);
    ASSERT_TRUE(pump.wait_exit(10s));
    // The goodbye is a change: a fresh listing follows.
    const auto after = [&] { return lister.output().find("Network sources", listed_at) != std::string::npos; };
    const auto start = std::chrono::steady_clock::now();
    while (!after() && std::chrono::steady_clock::now() - start < 6s)
        lister.wait_for_output("\x01", 200ms);
    EXPECT_TRUE(after()) << lister.output();
    lister.signal(SIGKILL);
}

TEST(DiscoveryPrograms, SwitchboardRoutesToAVisibleSource)
{
    auto s = service();
    Child pump({kHelper, "send", tag("routed")});
    ASSERT_TRUE(pump.wait_for_output("ready", 5s));
    // Its 15-second pauses take one second on the virtual clock's speed-up,
    // which shortens only its main thread's sleeps.
    Child board({"/usr/bin/stdbuf", "-oL", kBin + "/switchboard"},
                {{"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"},
                 {"LD_PRELOAD", qrv_test::vclock_path()},
                 {"QRV_VCLOCK_MAIN_SPEEDUP", "15"}});
    // Its own routed source appears in our finder...
    bool routing = false;
    for (int i = 0; i < 50 && !routing; ++i) {
        for (const auto& e : s->sources())
            routing = routing || e.name.find("(Routing") != std::string::npos;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(routing);
    // ...and a later pass routes to what its finder saw.
    EXPECT_TRUE(board.wait_for_output("routing to ", 25s)) << board.output();
    board.signal(SIGKILL);
}

TEST(DiscoveryPrograms, PresetCallerGetsPastItsSearch)
{
    Child pump({kHelper, "send", tag("camera")});
    ASSERT_TRUE(pump.wait_for_output("ready", 5s));
    // With a source visible the search ends and its receiver is made for
    // the first source found, as its runtime's log says; without one it
    // would search on. That source may be another test's, gone before the
    // receiver connects, so connecting is not waited for. Ctrl-C then ends
    // the watch (its 30 seconds are the program tests' concern).
    Child caller({kBin + "/preset_caller"}, {{"QRV_LOG", "info"}});
    EXPECT_TRUE(caller.wait_for_output("receiver 'Example PTZ Receiver' created for", 20s)) << caller.output();
    caller.signal(SIGINT);
    auto status = caller.wait_exit(10s);
    ASSERT_TRUE(status) << caller.output();
    EXPECT_EQ(*status, 0);
}
