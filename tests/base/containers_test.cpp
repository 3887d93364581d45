// The per-kind bounded queue and the recycling pool that the transport and
// the receiver build on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/bounded_queue.h"
#include "base/recycling_pool.h"

using qrv::BoundedQueue;
using qrv::RecyclingPool;

TEST(BoundedQueue, EachKindDropsItsOwnOldestAndKeepsArrivalOrder)
{
    BoundedQueue<std::string, 2> q({2, 0});
    EXPECT_FALSE(q.push("v1", 0));
    EXPECT_FALSE(q.push("v2", 0));
    // A kind with no room hands the newcomer straight back.
    EXPECT_EQ(q.push("x", 1), "x");
    EXPECT_EQ(q.push("v3", 0), "v1");
    EXPECT_EQ(q.size(), 2u);
    EXPECT_EQ(q.count(0), 2u);
    EXPECT_EQ(q.pop(), "v2");
    EXPECT_EQ(q.pop(), "v3");
    EXPECT_FALSE(q.pop());

    BoundedQueue<int, 3> mixed({1, 8, 8});
    for (int i = 0; i < 6; ++i)
        mixed.push(i, size_t(i % 3));  // kinds 0,1,2,0,1,2: the first 0 leaves
    std::vector<int> removed;
    mixed.remove_kinds([](size_t k) { return k == 1; }, removed);
    EXPECT_EQ(removed, (std::vector<int>{1, 4}));
    EXPECT_EQ(mixed.count(1), 0u);
    std::vector<int> rest;
    mixed.clear_into(rest);
    EXPECT_EQ(rest, (std::vector<int>{2, 3, 5}));
    EXPECT_TRUE(mixed.empty());
}

TEST(RecyclingPool, HandsOutOnlyWhatNobodyHoldsAndLetsRetiredItemsGo)
{
    struct Item {
        int id = 0;
        bool retired = false;
    };
    int made = 0;
    RecyclingPool<Item> pool(2, [&made] { return std::make_shared<Item>(Item{++made}); },
                             [](const Item& i) { return !i.retired; });
    auto a = pool.acquire();
    auto b = pool.acquire();
    EXPECT_NE(a, b);
    const int first = a->id;
    a.reset();
    EXPECT_EQ(pool.acquire()->id, first) << "a free item is reused";
    {
        auto c = pool.acquire();  // the pool is full and b is held: used once
        auto d = pool.acquire();
        EXPECT_NE(c, d);
    }
    auto again = pool.acquire();
    again->retired = true;
    const int retired = again->id;
    again.reset();
    EXPECT_NE(pool.acquire()->id, retired) << "a retired item is never handed out again";
}
