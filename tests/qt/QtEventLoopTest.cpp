#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ui/qt/QtEventLoop.hpp"

namespace tavik {
namespace {

constexpr int patienceMs = 30000;

// Delivers everything Qt has queued on this thread, deferred deletions included.
void drainQt() {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
}

TEST(QtEventLoop, TasksFromAnyThreadRunOnTheOwnerThreadInPostingOrder) {
    auto loop = std::make_shared<QtEventLoop>();
    const auto owner = std::this_thread::get_id();
    constexpr int threads = 3, perThread = 200;
    std::vector<std::vector<int>> seen(threads);  // touched on the owner thread only
    int offThread = 0;

    bool posting = true;
    loop->post([&] { offThread += posting ? 1 : 0; });  // must not run inside post()
    posting = false;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                loop->post([&, t, i] {
                    offThread += std::this_thread::get_id() == owner ? 0 : 1;
                    seen[t].push_back(i);
                });
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const auto all = [&] {
        std::size_t n = 0;
        for (const auto& s : seen) {
            n += s.size();
        }
        return n == threads * perThread;
    };
    ASSERT_TRUE(QTest::qWaitFor(all, patienceMs));
    EXPECT_EQ(offThread, 0);
    for (int t = 0; t < threads; ++t) {
        std::vector<int> expected(perThread);
        for (int i = 0; i < perThread; ++i) {
            expected[i] = i;
        }
        EXPECT_EQ(seen[t], expected) << "thread " << t;
    }
    loop->close();
}

// However the loop ends, no waiting or later task runs, and each dropped task is destroyed
// (its captures released) without leaking the object Qt delivered to.
TEST(QtEventLoop, EndedLoopDropsWaitingAndLaterTasks) {
    struct Case {
        const char* what;
        std::function<void(std::shared_ptr<QtEventLoop>&)> end;
        bool endsInsideTheFirstTask;
    };
    const Case cases[] = {
        {"close()", [](auto& loop) { loop->close(); }, false},
        {"closed twice", [](auto& loop) { loop->close(), loop->close(); }, false},
        {"close() inside a task", [](auto& loop) { loop->close(); }, true},
        {"destroyed on the owner thread", [](auto& loop) { loop.reset(); }, false},
        {"last reference dropped by a worker",
         [](auto& loop) {
             std::thread([held = std::move(loop)]() mutable { held.reset(); }).join();
         },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto loop = std::make_shared<QtEventLoop>();
        std::weak_ptr<QtEventLoop> weak = loop;
        const auto token = std::make_shared<int>(0);
        int ran = 0;
        if (c.endsInsideTheFirstTask) {
            loop->post([&, token] { ++ran, c.end(loop); });
        }
        loop->post([&ran, token] { ++ran; });
        loop->post([&ran, token] { ++ran; });
        if (!c.endsInsideTheFirstTask) {
            c.end(loop);
        }
        if (auto alive = weak.lock()) {
            alive->post([&ran, token] { ++ran; });
        }
        drainQt();
        EXPECT_EQ(ran, c.endsInsideTheFirstTask ? 1 : 0);
        EXPECT_EQ(token.use_count(), 1);
        loop.reset();
        drainQt();
    }
}

TEST(QtEventLoop, WorkerKeepsPostingWhileTheOwnerCloses) {
    auto loop = std::make_shared<QtEventLoop>();
    std::atomic<int> posted{0};
    int ran = 0;
    std::thread worker([&posted, held = loop, &ran]() mutable {
        for (int i = 0; i < 20000; ++i) {
            held->post([&ran] { ++ran; });
            posted.fetch_add(1, std::memory_order_relaxed);
        }
        held.reset();  // may be the last reference: the loop then ends on this thread
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ran >= 10; }, patienceMs));
    loop->close();
    const int atClose = ran;
    loop.reset();
    worker.join();
    drainQt();
    EXPECT_EQ(ran, atClose);
    EXPECT_EQ(posted.load(), 20000);
}

}  // namespace
}  // namespace tavik
