// Discovery between hosts: network namespaces joined by veth pairs and a
// bridge, created and removed by the test, with QRV_INTERFACES naming the
// namespaces' interfaces. Nothing leaves the namespaces. Also the
// interoperability with another mDNS implementation (python3-zeroconf) on
// the same private link.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

#include "build_paths.h"
#include "child_process.h"

using namespace std::chrono_literals;
using qrv_test::Child;

namespace {

const std::string kBin = qrv_test::bin_dir();
const std::string kHelper = qrv_test::test_bin_dir() + "/qrv_publish_helper";
const std::string kPeer = qrv_test::test_bin_dir() + "/zeroconf_peer.py";
const std::string kIp = "/usr/sbin/ip";

bool run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Namespaces "<prefix>a" and "<prefix>b" with interfaces "<prefix>va"
// (10.77.N.1/24) and "<prefix>vb" (10.77.N.2/24), bridged inside
// "<prefix>br". Removed again by the destructor.
class Link {
public:
    Link()
    {
        prefix_ = "qc" + std::to_string(getpid() % 100000);
        const std::string net = "10.77." + std::to_string(getpid() % 250) + ".";
        address_a_ = net + "1";
        address_b_ = net + "2";
        ok_ = run(kIp + " netns add " + ns("a")) && run(kIp + " netns add " + ns("b")) &&
              run(kIp + " netns add " + ns("br")) &&
              // No multicast snooping: the bridge floods every group, as
              // a plain switch would.
              run(kIp + " -n " + ns("br") + " link add br0 type bridge mcast_snooping 0") &&
              run(kIp + " -n " + ns("br") + " link set br0 up");
        for (const char* side : {"a", "b"}) {
            const std::string dev = prefix_ + "v" + side, peer = prefix_ + "p" + side;
            ok_ = ok_ && run(kIp + " -n " + ns(side) + " link add " + dev + " type veth peer name " + peer +
                             " netns " + ns("br")) &&
                  run(kIp + " -n " + ns("br") + " link set " + peer + " master br0 up") &&
                  run(kIp + " -n " + ns(side) + " addr add " + (side[0] == 'a' ? address_a_ : address_b_) +
                      "/24 dev " + dev) &&
                  run(kIp + " -n " + ns(side) + " link set " + dev + " up") &&
                  run(kIp + " -n " + ns(side) + " link set lo up");
        }
    }
    ~Link()
    {
        for (const char* side : {"a", "b", "br"})
            run(kIp + " netns del " + ns(side));
    }
    bool ok() const { return ok_; }
    std::string ns(const std::string& side) const { return prefix_ + side; }
    std::string dev(const std::string& side) const { return prefix_ + "v" + side; }
    const std::string& address_a() const { return address_a_; }
    const std::string& address_b() const { return address_b_; }

    // A program inside a namespace, its scope widened to that side's veth.
    std::unique_ptr<Child> start(const std::string& side, std::vector<std::string> argv, bool widen = true) const
    {
        std::vector<std::string> full{kIp, "netns", "exec", ns(side)};
        full.insert(full.end(), argv.begin(), argv.end());
        std::map<std::string, std::string> env{{"ASAN_OPTIONS", "verify_asan_link_order=0:detect_leaks=0"}};
        if (widen)
            env["QRV_INTERFACES"] = dev(side);
        return std::make_unique<Child>(full, env);
    }

private:
    std::string prefix_, address_a_, address_b_;
    bool ok_ = false;
};

std::vector<std::string> lister()
{
    return {"/usr/bin/stdbuf", "-oL", kBin + "/source_lister"};
}

std::string tag(const std::string& what)
{
    return "n" + std::to_string(getpid()) + " " + what;
}

}  // namespace

TEST(DiscoveryNetns, SourceInOneNamespaceIsListedInAnother)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create network namespaces";
    Link link;
    if (!link.ok())
        GTEST_SKIP() << "network namespaces or veth pairs refused here";
    // An empty network: the first wait ends without a change.
    auto watcher = link.start("b", lister());
    ASSERT_TRUE(watcher->wait_for_output("No change to the sources found.", 8s)) << watcher->output();
    EXPECT_EQ(watcher->output().find("Network sources"), std::string::npos) << watcher->output();

    auto publisher = link.start("a", {kHelper, "send", tag("remote")});
    ASSERT_TRUE(publisher->wait_for_output("ready", 5s)) << publisher->output();
    const bool listed = watcher->wait_for_output(tag("remote") + ")", 6s);
    publisher->wait_for_output("\x01", 300ms);
    EXPECT_TRUE(listed) << watcher->output() << "\nPUBLISHER\n" << publisher->output();

    // A namespace whose scope stays at loopback sees nothing of it.
    auto narrow = link.start("b", lister(), false);
    EXPECT_TRUE(narrow->wait_for_output("No change to the sources found.", 8s));
    EXPECT_EQ(narrow->output().find(tag("remote")), std::string::npos) << narrow->output();
}

TEST(DiscoveryNetns, InteroperatesWithZeroconf)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create network namespaces";
    if (!run("/usr/bin/python3 -c 'import zeroconf'"))
        GTEST_SKIP() << "python3-zeroconf is not installed";
    Link link;
    if (!link.ok())
        GTEST_SKIP() << "network namespaces or veth pairs refused here";
    auto publisher = link.start("a", {kHelper, "send", tag("zc"), "public,news"});
    ASSERT_TRUE(publisher->wait_for_output("ready", 5s));
    // Our label starts with the host name, which all namespaces share.
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string short_host(host);
    short_host = short_host.substr(0, short_host.find('.'));
    const std::string label = short_host + " (" + tag("zc") + ")";
    const std::string own = "zc-peer-" + std::to_string(getpid());
    auto peer = link.start("b", {"/usr/bin/python3", kPeer, link.address_b(), label, own});
    ASSERT_TRUE(peer->wait_for_output("FOUND", 20s)) << peer->output();
    EXPECT_NE(peer->output().find("address=" + link.address_a()), std::string::npos) << peer->output();
    EXPECT_NE(peer->output().find("groups=public,news"), std::string::npos) << peer->output();
    ASSERT_TRUE(peer->wait_for_output("REGISTERED", 10s)) << peer->output();

    auto watcher = link.start("a", lister());
    ASSERT_TRUE(watcher->wait_for_output(own, 10s)) << watcher->output();
    peer->close_input();
    EXPECT_TRUE(peer->wait_for_output("CLOSED", 10s)) << peer->output();
}
