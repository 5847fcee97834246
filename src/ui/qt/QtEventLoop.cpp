#include "ui/qt/QtEventLoop.hpp"

#include <QMetaObject>
#include <QObject>

#include <deque>
#include <mutex>
#include <utility>

namespace tavik {

namespace {

class TaskReceiver;

}  // namespace

struct QtEventLoop::Shared {
    std::mutex mutex;
    std::deque<std::function<void()>> tasks;
    bool closed = false;
    // Owned by the loop until close(); read by posting threads only under the mutex.
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

    bool running() const { return running_; }

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
        running_ = true;
        task();
        running_ = false;
    }

  private:
    const std::shared_ptr<QtEventLoop::Shared> shared_;
    bool running_ = false;  // owner thread only
};

}  // namespace

QtEventLoop::QtEventLoop()
    : shared_(std::make_shared<Shared>()), owner_(std::this_thread::get_id()) {
    shared_->receiver = new TaskReceiver(shared_);
}

QtEventLoop::~QtEventLoop() {
    if (std::this_thread::get_id() == owner_) {
        close();
        return;
    }
    TaskReceiver* receiver = nullptr;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closed = true;
        std::swap(receiver, shared_->receiver);
        dropped.swap(shared_->tasks);
    }
    if (receiver != nullptr) {
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

void QtEventLoop::close() {
    TaskReceiver* receiver = nullptr;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closed = true;
        std::swap(receiver, shared_->receiver);
        dropped.swap(shared_->tasks);
    }
    // The dropped tasks are destroyed here, outside the lock: their captures may post again.
    if (receiver == nullptr) {
        return;
    }
    if (receiver->running()) {
        // Deleting a receiver inside its own slot would pull the object from under Qt.
        receiver->deleteLater();
    } else {
        // Removes the queued calls with it.
        delete receiver;
    }
}

}  // namespace tavik

#include "QtEventLoop.moc"
