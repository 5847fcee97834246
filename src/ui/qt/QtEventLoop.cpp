#include "ui/qt/QtEventLoop.hpp"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <deque>
#include <mutex>
#include <utility>

namespace tavik {

namespace {

class TaskReceiver;

}  // namespace

struct QtEventLoop::Shared {
    // Closes the queue and hands the receiver (null if already taken) to the caller. The tasks
    // that were waiting are destroyed after the lock is released: their captures may post.
    TaskReceiver* end() {
        std::deque<std::function<void()>> dropped;
        std::lock_guard lock(mutex);
        closed = true;
        dropped.swap(tasks);
        return std::exchange(receiver, nullptr);
    }

    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    bool closed = false;
    // Owned by the loop until it ends; read by posting threads only under the mutex.
    TaskReceiver* receiver = nullptr;
};

namespace {

// Lives on the owner thread and runs one task per queued call. It shares the task queue with the
// loop object, so a call still queued when the loop object is gone finds the queue closed.
class TaskReceiver final : public QObject {
    Q_OBJECT

  public:
    explicit TaskReceiver(std::shared_ptr<QtEventLoop::Shared> shared)
        : shared_(std::move(shared)) {}

    bool running() const { return depth_ > 0; }

  public slots:
    void runNext() {
        std::function<void()> task;
        {
            std::lock_guard lock(shared_->mutex);
            if (shared_->closed || shared_->tasks.empty()) {
                return;
            }
            task = std::move(shared_->tasks.front());
            shared_->tasks.pop_front();
        }
        ++depth_;  // a task may run a nested event loop, and so this slot again
        task();
        --depth_;
    }

  private:
    const std::shared_ptr<QtEventLoop::Shared> shared_;
    int depth_ = 0;  // owner thread only
};

}  // namespace

QtEventLoop::QtEventLoop()
    : shared_(std::make_shared<Shared>()), owner_(std::this_thread::get_id()) {
    shared_->receiver = new TaskReceiver(shared_);
}

QtEventLoop::~QtEventLoop() {
    if (std::this_thread::get_id() == owner_) {
        close();
    } else if (TaskReceiver* receiver = shared_->end()) {
        receiver->deleteLater();  // thread-safe: Qt deletes it on its own thread
    }
}

void QtEventLoop::post(std::function<void()> task) {
    std::lock_guard lock(shared_->mutex);
    if (shared_->closed) {
        return;
    }
    shared_->tasks.push_back(std::move(task));
    // Under the mutex: close() cannot delete the receiver between the check and the call. Only
    // the name of the slot is handed to Qt, which allocates its event itself.
    QMetaObject::invokeMethod(shared_->receiver, "runNext", Qt::QueuedConnection);
}

void QtEventLoop::postDelayed(std::chrono::milliseconds delay, std::function<void()> task) {
    post([shared = shared_, delay, task = std::move(task)]() mutable {
        // On the owner thread: the receiver lives until close(), which takes its timers with it.
        TaskReceiver* receiver = nullptr;
        {
            std::lock_guard lock(shared->mutex);
            receiver = shared->receiver;
        }
        if (receiver == nullptr) {
            return;
        }
        QTimer::singleShot(delay, receiver, [shared, task = std::move(task)] {
            {
                std::lock_guard lock(shared->mutex);
                if (shared->closed) {
                    return;
                }
            }
            task();
        });
    });
}

void QtEventLoop::close() {
    TaskReceiver* receiver = shared_->end();
    if (receiver == nullptr) {
        return;
    }
    if (receiver->running()) {
        // Deleting a receiver inside its own slot would pull the object from under Qt.
        receiver->deleteLater();
    } else {
        delete receiver;  // its queued calls go with it
    }
}

}  // namespace tavik

#include "QtEventLoop.moc"
