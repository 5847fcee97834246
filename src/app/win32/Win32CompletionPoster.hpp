#pragma once

#include <windows.h>

#include "runtime/CompletionPoster.hpp"

namespace tavik {

// Delivers a worker's completion as WM_USER to the main window: wParam 1 for success or 0,
// lParam the bytes transferred. The window handle is set once, right after the main window is
// created and before the message loop runs, so before any worker exists (workers start only
// from a click; creating the worker's thread orders that write before its read). Posting to
// a window that is already destroyed fails harmlessly, so a worker that outlives the window
// does no harm.
class Win32CompletionPoster final : public CompletionPoster {
  public:
    void setWindow(HWND window) { window_ = window; }
    void post(bool success, std::uint64_t bytesTransferred) override {
        PostMessageW(window_, WM_USER, success ? 1 : 0, static_cast<LPARAM>(bytesTransferred));
    }

  private:
    HWND window_ = nullptr;
};

}  // namespace tavik
