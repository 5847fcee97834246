#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ui/qt/QtEventLoop.hpp"

namespace tavik {
namespace {

// Delivers everything Qt has queued on this thread, deferred deletions included.
void drainQt() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// On the owner thread, each thread's tasks in posting order (never inside post(): the next test).
TEST(QtEventLoop, TasksFromAnyThreadRunOnTheOwnerThreadInPostingOrder) {
    auto loop = std::make_shared<QtEventLoop>();
    const auto owner = std::this_thread::get_id();
    std::vector<int> seen[3];  // touched on the owner thread only
    int wrong = 0, total = 0;
    std::vector<std::jthread> workers;  // joined before the loop goes
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                loop->post([&, t, i] {
                    wrong += std::this_thread::get_id() != owner;
                    seen[t].push_back(i), ++total;
                });
            }
        });
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return total == 600; }, 30000));
    EXPECT_EQ(wrong, 0);
    for (const std::vector<int>& s : seen) {
        EXPECT_TRUE(std::is_sorted(s.begin(), s.end()) && s.size() == 200);
    }
}

// A delayed task, posted from any thread, runs on the owner no sooner than its delay; closing
// the loop drops one still waiting.
TEST(QtEventLoop, DelayedTasksRunOnTheOwnerNoSoonerUntilClosed) {
    using Clock = std::chrono::steady_clock;
    auto loop = std::make_shared<QtEventLoop>();
    const auto owner = std::this_thread::get_id();
    const Clock::time_point start = Clock::now();
    Clock::time_point ran{};
    bool onOwner = false, late = false;
    std::thread([&] {
        loop->postDelayed(std::chrono::milliseconds(50), [&] {
            onOwner = std::this_thread::get_id() == owner, ran = Clock::now();
        });
    }).join();
    loop->postDelayed(std::chrono::milliseconds(200), [&] { late = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran != Clock::time_point{}; }, 30000));
    EXPECT_TRUE(onOwner);
    EXPECT_GE(ran - start, std::chrono::milliseconds(50));
    loop->close();
    QTest::qWait(300);
    EXPECT_FALSE(late) << "the closed loop's timer never fires";
}

// However the loop ends, no waiting or later task runs, and each dropped task is destroyed.
TEST(QtEventLoop, EndedLoopDropsWaitingAndLaterTasks) {
    const struct {
        const char* what;
        std::function<void(std::shared_ptr<QtEventLoop>&)> end;
        bool insideTheFirstTask;
    } cases[] = {
        {"close(), twice", [](auto& loop) { loop->close(), loop->close(); }, false},
        {"close() inside a task", [](auto& loop) { loop->close(); }, true},
        {"destroyed on the owner thread", [](auto& loop) { loop.reset(); }, false},
        {"last reference dropped by a worker",
         [](auto& loop) {
             std::thread([held = std::move(loop)]() mutable { held.reset(); }).join();
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto loop = std::make_shared<QtEventLoop>();
        const std::weak_ptr<QtEventLoop> weak = loop;
        const auto token = std::make_shared<int>(0);
        int ran = 0;
        if (c.insideTheFirstTask) {
            loop->post([&, token] { ++ran, c.end(loop); });
        }
        loop->post([&ran, token] { ++ran; });
        if (!c.insideTheFirstTask) {
            c.end(loop);
        }
        if (auto alive = weak.lock()) {
            alive->post([&ran, token] { ++ran; });
        }
        drainQt();
        EXPECT_EQ(ran, c.insideTheFirstTask ? 1 : 0);
        EXPECT_EQ(token.use_count(), 1);
        loop.reset();
        drainQt();
    }
}

TEST(QtEventLoop, WorkerKeepsPostingWhileTheOwnerCloses) {
    auto loop = std::make_shared<QtEventLoop>();
    int ran = 0;
    std::thread worker([held = loop, &ran]() mutable {
        for (int i = 0; i < 20000; ++i) {
            held->post([&ran] { ++ran; });
        }
        held.reset();  // may be the last reference: the loop then ends on this thread
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran >= 10; }, 30000));
    loop->close();
    const int atClose = ran;
    loop.reset();
    worker.join();
    drainQt();
    EXPECT_EQ(ran, atClose);
}

}  // namespace
}  // namespace tavik
