#include "app/win32/Win32WorkerLauncher.hpp"

#include <windows.h>
// After windows.h, which it needs.
#include <process.h>

#include <memory>

namespace tavik {

bool launchWorkerThread(std::function<void()> work) {
    auto body = std::make_unique<std::function<void()>>(std::move(work));
    const auto entry = [](void* argument) -> unsigned {
        const std::unique_ptr<std::function<void()>> owned(
            static_cast<std::function<void()>*>(argument));
        (*owned)();
        return 0;
    };
    const uintptr_t thread = _beginthreadex(nullptr, 0, entry, body.get(), 0, nullptr);
    if (thread == 0) {
        return false;
    }
    body.release();  // the thread owns it now
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

}  // namespace tavik
