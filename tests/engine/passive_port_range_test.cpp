// The passive port range: every port given lies in the range, the ports
// follow each other across callers from the low end, and no caller ever
// gets a port twice in a row of one round.
#include "engine/passive_port_range.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

TEST(PassivePortRange, OffUntilSetAndOffAgainWithLowZero) {
    PassivePortRange range;
    EXPECT_FALSE(range.Active());
    EXPECT_EQ(range.Next(), 0);
    range.Set(50000, 50002);
    EXPECT_TRUE(range.Active());
    range.Set(0, 0);
    EXPECT_FALSE(range.Active());
    EXPECT_EQ(range.Next(), 0);
}

TEST(PassivePortRange, GoesRoundFromLowAndStartsAgainAtEachSet) {
    PassivePortRange range;
    range.Set(50000, 50002);
    std::vector<int> given;
    for (int i = 0; i < 7; ++i) given.push_back(range.Next());
    EXPECT_EQ(given, (std::vector<int>{50000, 50001, 50002, 50000, 50001, 50002, 50000}));
    range.Set(65535, 65535);
    EXPECT_EQ(range.Next(), 65535);
    EXPECT_EQ(range.Next(), 65535);
    range.Set(1024, 1025);
    EXPECT_EQ(range.Next(), 1024);
}

TEST(PassivePortRange, CallersOnManyThreadsShareOneRound) {
    PassivePortRange range;
    range.Set(40000, 40399);
    constexpr int kThreads = 4, kEach = 100;
    std::vector<std::vector<int>> got(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) got[t].push_back(range.Next());
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<int> all;
    for (const auto& ports : got) all.insert(ports.begin(), ports.end());
    // 400 calls over a range of 400: each port exactly once.
    EXPECT_EQ(all.size(), 400u);
    EXPECT_EQ(*all.begin(), 40000);
    EXPECT_EQ(*all.rbegin(), 40399);
}
