#include "runtime/TaskQueue.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "runtime/EventLoopCompletionPoster.hpp"

namespace tavik {
namespace {

using namespace std::chrono_literals;

TEST(TaskQueue, RunsTasksFromOtherThreadsOnTheOwnerInPostingOrder) {
    auto loop = std::make_shared<TaskQueue>();
    std::vector<std::pair<bool, std::uint64_t>> delivered;
    const std::thread::id owner = std::this_thread::get_id();
    EventLoopCompletionPoster poster(loop, [&](bool success, std::uint64_t bytes) {
        EXPECT_EQ(std::this_thread::get_id(), owner);
        delivered.emplace_back(success, bytes);
    });
    std::thread worker([&] {
        for (std::uint64_t i = 0; i < 100; ++i) {
            poster.post(i % 3 != 0, i);
        }
    });
    EXPECT_TRUE(loop->runUntil([&] { return delivered.size() == 100; }, 30s));
    worker.join();
    for (std::uint64_t i = 0; i < delivered.size(); ++i) {
        EXPECT_EQ(delivered[i], std::make_pair(i % 3 != 0, i));
    }
    EXPECT_FALSE(loop->runOne(1ms)) << "nothing left to run";
}

// A delayed task waits its time without holding up others, then runs in the order of the times;
// the loop waits for it only as long as it is asked to.
TEST(TaskQueue, DelayedTasksRunNoSoonerThanTheirTimeInItsOrder) {
    using Clock = std::chrono::steady_clock;
    TaskQueue loop;
    std::vector<int> order;
    const Clock::time_point start = Clock::now();
    Clock::time_point ranLast{};
    loop.postDelayed(60ms, [&] { order.push_back(3), ranLast = Clock::now(); });
    loop.postDelayed(20ms, [&] { order.push_back(2); });
    std::thread([&] { loop.post([&] { order.push_back(1); }); }).join();
    EXPECT_TRUE(loop.runOne(1ms));
    EXPECT_EQ(order, std::vector<int>{1});
    EXPECT_FALSE(loop.runOne(0ms)) << "neither delayed task is due yet";
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 3; }, 30s));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_GE(ranLast - start, 60ms);
}

TEST(TaskQueue, AClosedLoopDropsWaitingAndLaterTasks) {
    TaskQueue loop;
    int ran = 0;
    loop.post([&] { ++ran; });
    loop.postDelayed(0ms, [&] { ++ran; });
    loop.close();
    loop.post([&] { ++ran; });
    loop.postDelayed(0ms, [&] { ++ran; });
    EXPECT_FALSE(loop.runOne(1ms));
    EXPECT_FALSE(loop.runUntil([] { return false; }, 1ms));
    EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace tavik
