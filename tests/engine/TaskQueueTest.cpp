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

TEST(TaskQueue, AClosedLoopDropsWaitingAndLaterTasks) {
    TaskQueue loop;
    int ran = 0;
    loop.post([&] { ++ran; });
    loop.close();
    loop.post([&] { ++ran; });
    EXPECT_FALSE(loop.runOne(1ms));
    EXPECT_FALSE(loop.runUntil([] { return false; }, 1ms));
    EXPECT_EQ(ran, 0);
}

}  // namespace
}  // namespace tavik
