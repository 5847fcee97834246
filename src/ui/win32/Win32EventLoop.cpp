#include "ui/win32/Win32EventLoop.hpp"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace tavik {

namespace {

constexpr const wchar_t* loopClassName = L"TavikEventLoopWindow";
constexpr UINT wmRunTask = WM_APP + 1;

}  // namespace

struct Win32EventLoop::Shared {
    std::mutex mutex;
    HWND window = nullptr;  // set once, before any other thread sees the loop
    bool closed = false;
    std::deque<std::function<void()>> tasks;
    std::map<UINT_PTR, std::function<void()>> timers;  // by timer id
    UINT_PTR nextTimer = 1;

    // Owner thread: a timer for `task`; false when closed or refused, and the task is then
    // dropped (destroyed outside the lock, as its captures may post).
    bool setTimer(std::chrono::milliseconds delay, std::function<void()> task) {
        const auto ms = static_cast<UINT>(std::clamp<std::chrono::milliseconds::rep>(
            delay.count(), USER_TIMER_MINIMUM, USER_TIMER_MAXIMUM));
        std::unique_lock lock(mutex);
        if (closed) {
            return false;
        }
        const UINT_PTR id = nextTimer++;
        if (SetTimer(window, id, ms, nullptr) == 0) {
            return false;
        }
        timers.emplace(id, std::move(task));
        return true;
    }

    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
};

LRESULT CALLBACK Win32EventLoop::Shared::windowProc(HWND window, UINT message, WPARAM wParam,
                                                    LPARAM lParam) {
    auto* held =
        reinterpret_cast<std::shared_ptr<Shared>*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (held == nullptr) {
        return DefWindowProcW(window, message, wParam, lParam);
    }
    Shared& shared = **held;
    std::function<void()> task;
    switch (message) {
        case wmRunTask: {
            std::lock_guard lock(shared.mutex);
            if (!shared.closed && !shared.tasks.empty()) {
                task = std::move(shared.tasks.front());
                shared.tasks.pop_front();
            }
            break;
        }
        case WM_TIMER: {
            KillTimer(window, wParam);
            std::lock_guard lock(shared.mutex);
            const auto it = shared.timers.find(wParam);
            if (it != shared.timers.end()) {  // none once the loop is closed
                task = std::move(it->second);
                shared.timers.erase(it);
            }
            break;
        }
        case WM_NCDESTROY:
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            delete held;
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
    if (task) {
        task();
    }
    return 0;
}

Win32EventLoop::Win32EventLoop()
    : shared_(std::make_shared<Shared>()), owner_(GetCurrentThreadId()) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = Shared::windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = loopClassName;
    RegisterClassExW(&windowClass);  // fails harmlessly when a loop registered it before
    HWND window = CreateWindowExW(0, loopClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    if (window == nullptr) {
        shared_->closed = true;
        return;
    }
    SetWindowLongPtrW(window, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new std::shared_ptr<Shared>(shared_)));
    shared_->window = window;
}

Win32EventLoop::~Win32EventLoop() {
    close();
    if (shared_->window == nullptr) {
        return;
    }
    if (GetCurrentThreadId() == owner_) {
        DestroyWindow(shared_->window);
    } else {
        PostMessageW(shared_->window, WM_CLOSE, 0, 0);  // DefWindowProc destroys it there
    }
}

bool Win32EventLoop::ok() const {
    return shared_->window != nullptr;
}

void Win32EventLoop::post(std::function<void()> task) {
    std::unique_lock lock(shared_->mutex);
    if (shared_->closed) {
        lock.unlock();
        return;
    }
    shared_->tasks.push_back(std::move(task));
    if (!PostMessageW(shared_->window, wmRunTask, 0, 0)) {
        shared_->tasks.pop_back();
    }
}

void Win32EventLoop::postDelayed(std::chrono::milliseconds delay, std::function<void()> task) {
    if (GetCurrentThreadId() == owner_) {
        shared_->setTimer(delay, std::move(task));
        return;
    }
    const auto due = std::chrono::steady_clock::now() + delay;
    post([shared = shared_, due, task = std::move(task)]() mutable {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        shared->setTimer(std::max(left, std::chrono::milliseconds(0)), std::move(task));
    });
}

void Win32EventLoop::close() {
    std::deque<std::function<void()>> tasks;
    std::map<UINT_PTR, std::function<void()>> timers;
    {
        std::lock_guard lock(shared_->mutex);
        shared_->closed = true;
        tasks.swap(shared_->tasks);
        timers.swap(shared_->timers);
    }
    // Destroyed outside the lock: a task's captures may post (and be dropped) as they go. The
    // timers of dropped tasks find nothing when they fire and are killed then.
}

}  // namespace tavik
