// The running library's context: the lookup by name it gives receivers.
#include <gtest/gtest.h>

#include "objects/context.h"

namespace {

TEST(Context, WithoutDiscoveryReceiversHaveNoLookupByName)
{
    const auto c = qrv::Context::make({}, qrv::Scope::from_value(nullptr), nullptr);
    EXPECT_FALSE(c->resolver);
    EXPECT_FALSE(c->scope.interfaces.empty());  // loopback remains
}

TEST(Context, TheLookupDoesNotKeepTheServiceAlive)
{
    auto service = qrv::discovery::DiscoveryService::create(qrv::Scope::from_value(nullptr));
    std::weak_ptr<qrv::discovery::DiscoveryService> watch = service;
    qrv::SourceResolver kept;
    {
        const auto c = qrv::Context::make({}, qrv::Scope::from_value(nullptr), std::move(service));
        ASSERT_TRUE(c->resolver);
        EXPECT_FALSE(c->resolver("HOST (nobody)"));
        kept = c->resolver;  // as a receiver created in this run keeps it
    }
    // The library's stop ends the service even while a receiver lingers.
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(kept("HOST (nobody)"));
}

}  // namespace

// With a site key a receiver chooses among the instances that claim a name:
// the one that proved the key wins over newer announcements; one that
// failed it is skipped while it is remembered, and when every one failed
// they are tried in turn rather than the newest forever.
TEST(InstanceTrust, PrefersTheProvenSkipsTheRefusedAndRotatesWhenAllFailed)
{
    using namespace std::chrono_literals;
    const qrv::Endpoint spoof{"10.0.0.9", 5960, "", ""}, real{"10.0.0.1", 5961, "", ""},
        other{"10.0.0.2", 5962, "", ""};
    qrv::InstanceTrust trust(60s, 2);
    auto t = qrv::InstanceTrust::Clock::now();
    EXPECT_FALSE(trust.pick({}, t));
    EXPECT_EQ(trust.pick({spoof, real}, t), spoof);  // nothing known: the newest

    trust.note(spoof, false, t);
    EXPECT_EQ(trust.pick({spoof, real}, t), real);
    trust.note(real, true, t);
    EXPECT_EQ(trust.pick({other, spoof, real}, t), real);  // a newer stranger does not draw it away

    trust.note(real, false, t + 1s);  // the address now holds something else
    EXPECT_EQ(trust.pick({spoof, real}, t + 2s), spoof);  // refused longest ago
    EXPECT_EQ(trust.pick({spoof, real}, t + 61s), spoof);  // forgotten: plain newest first again

    // Bounded: a third instance pushes out the oldest outcome.
    trust.note(other, false, t + 3s);
    EXPECT_EQ(trust.pick({spoof, real, other}, t + 4s), spoof);
}
