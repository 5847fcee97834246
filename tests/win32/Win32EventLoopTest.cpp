// The Windows program's event loop under Wine: posted and delayed tasks on the owner thread, in
// order, and nothing run once the loop has ended however it ended.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ui/win32/Win32EventLoop.hpp"

namespace tavik {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Dispatches this thread's messages, as the program's message loop does, until `done` holds or
// `timeout` has passed; returns done().
bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done() && Clock::now() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
    return done();
}

TEST(Win32EventLoop, TasksFromAnyThreadRunOnTheOwnerInPostingOrderNeverInsidePost) {
    auto loop = std::make_shared<Win32EventLoop>();
    ASSERT_TRUE(loop->ok());
    const DWORD owner = GetCurrentThreadId();
    std::vector<int> seen[3];  // touched on the owner thread only
    int wrong = 0, total = 0;
    bool insidePost = false, ranInside = false;
    {
        std::vector<std::jthread> workers;
        for (int t = 0; t < 3; ++t) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < 200; ++i) {
                    loop->post([&, t, i] {
                        wrong += GetCurrentThreadId() != owner;
                        seen[t].push_back(i), ++total;
                    });
                }
            });
        }
    }
    insidePost = true;
    loop->post([&] { ranInside = insidePost; });
    insidePost = false;
    ASSERT_TRUE(pumpUntil([&] { return total == 600; }, 30s));
    EXPECT_EQ(wrong, 0);
    EXPECT_FALSE(ranInside);
    for (const std::vector<int>& s : seen) {
        EXPECT_TRUE(std::is_sorted(s.begin(), s.end()) && s.size() == 200);
    }
}

// Delayed tasks, from the owner and from another thread, run on the owner no sooner than their
// delay and in the order of their times; closing the loop drops one still waiting.
TEST(Win32EventLoop, DelayedTasksRunNoSoonerInTheOrderOfTheirTimesUntilClosed) {
    auto loop = std::make_shared<Win32EventLoop>();
    const DWORD owner = GetCurrentThreadId();
    const Clock::time_point start = Clock::now();
    std::vector<int> order;
    Clock::time_point ranLast{};
    bool onOwner = true, late = false;
    loop->postDelayed(300ms, [&] { order.push_back(3), ranLast = Clock::now(); });
    std::thread([&] {
        loop->postDelayed(
            100ms, [&] { onOwner = onOwner && GetCurrentThreadId() == owner, order.push_back(2); });
    }).join();
    loop->postDelayed(0ms, [&] { order.push_back(1); });
    ASSERT_TRUE(pumpUntil([&] { return order.size() == 3; }, 30s));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(onOwner);
    EXPECT_GE(ranLast - start, 300ms);

    loop->postDelayed(100ms, [&] { late = true; });
    loop->close();
    pumpUntil([] { return false; }, 300ms);
    EXPECT_FALSE(late) << "a closed loop's timer runs nothing";
}

// However the loop ends, waiting and later tasks are destroyed unrun.
TEST(Win32EventLoop, EndedLoopDropsWaitingAndLaterTasks) {
    const struct {
        const char* what;
        std::function<void(std::shared_ptr<Win32EventLoop>&)> end;
    } cases[] = {
        {"close(), twice", [](auto& loop) { loop->close(), loop->close(); }},
        {"destroyed on the owner thread", [](auto& loop) { loop.reset(); }},
        {"last reference dropped by a worker",
         [](auto& loop) {
             std::thread([held = std::move(loop)]() mutable { held.reset(); }).join();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto loop = std::make_shared<Win32EventLoop>();
        auto token = std::make_shared<int>();
        const std::weak_ptr<int> weak = token;
        bool ran = false;
        loop->post([&ran, token] { ran = true; });
        loop->postDelayed(20ms, [&ran, token] { ran = true; });
        token.reset();
        const std::weak_ptr<Win32EventLoop> weakLoop = loop;
        c.end(loop);
        if (const auto still = weakLoop.lock()) {
            still->post([&ran] { ran = true; });
        }
        pumpUntil([] { return false; }, 200ms);
        EXPECT_FALSE(ran);
        EXPECT_TRUE(weak.expired()) << "the dropped tasks are destroyed";
    }
}

}  // namespace
}  // namespace tavik
