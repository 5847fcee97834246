#pragma once

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <array>

#include "ui/UpdaterWindow.hpp"
#include "ui/WindowView.hpp"

namespace tavik {

// The window's title for the W functions: it is ASCII, so each character is one UTF-16 code unit.
static_assert(std::ranges::all_of(windowTitle, [](unsigned char c) { return c != 0 && c < 0x80; }));
inline constexpr auto wideWindowTitle = [] {
    std::array<wchar_t, windowTitle.size() + 1> wide{};
    std::ranges::copy(windowTitle, wide.begin());
    return wide;
}();

// The main window on Win32: the window procedure, painting of the two text lines, the
// custom-drawn buttons and the child controls. It owns no logic: every event goes to the
// UpdaterWindow, which decides, and calls back through WindowView.
class Win32WindowView final : public WindowView {
  public:
    static constexpr const wchar_t* className = L"SampleAppWindowClass";
    static constexpr const wchar_t* title = wideWindowTitle.data();
    static constexpr DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CLIENTEDGE;
    static constexpr DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    static constexpr int width = 500;
    static constexpr int height = 160;

    Win32WindowView() = default;
    Win32WindowView(const Win32WindowView&) = delete;
    Win32WindowView& operator=(const Win32WindowView&) = delete;

    // Set once, before the main window is created.
    void setPresentation(UpdaterWindow* window) { window_ = window; }
    void setFont(HFONT font) { font_ = font; }

    HWND windowHandle() const { return windowHandle_; }

    // The class's window procedure: binds the view given as the creation parameter to the
    // window at WM_CREATE, then hands every message to handleMessage.
    static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    // WindowView
    Control createButton(int controlId, std::string_view caption, const Rect& bounds) override;
    Control createProgressBar(const Rect& bounds) override;
    void destroyControl(Control control) override;
    void showControl(Control control, bool visible) override;
    void setProgressRange(Control progressBar, std::uint16_t maximum) override;
    void setProgressPosition(Control progressBar, std::uint16_t position) override;
    void invalidate(const Rect& area) override;
    void registerDeviceNotifications() override;
    void unregisterDeviceNotifications() override;
    void destroyWindow() override;
    void quit() override;

  private:
    LRESULT onCreate(HWND hwnd);
    LRESULT onPaint();
    LRESULT onNotify(const NMHDR* header);
    LRESULT onCommand(WPARAM wParam);
    LRESULT onDeviceChange(WPARAM event, LPARAM data);
    LRESULT onTransferComplete(WPARAM success, LPARAM bytes);
    LRESULT drawButton(const NMCUSTOMDRAW& draw);
    void drawLine(HDC dc, const RECT& paintArea, const Rect& line, const std::string& text,
                  UINT flags);

    UpdaterWindow* window_ = nullptr;
    HWND windowHandle_ = nullptr;
    HFONT font_ = nullptr;
    HDEVNOTIFY deviceNotifications_[2] = {nullptr, nullptr};
};

}  // namespace tavik
