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
