// The Windows entry point: creates the window and the engine, registers the window class,
// creates and shows the main window, and runs the message loop. The exit code is 1 however the
// program ends.
#include <windows.h>

#include <process.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "app/WindowProgram.hpp"
#include "app/win32/Win32CompletionPoster.hpp"
#include "app/win32/Win32WorkerLauncher.hpp"
#include "device/win32/Win32DeviceAccess.hpp"
#include "runtime/Log.hpp"
#include "ui/WindowLayout.hpp"
#include "ui/win32/Win32EventLoop.hpp"
#include "ui/win32/Win32WindowView.hpp"

namespace {

void writeLine(const char* line) {
    std::fputs(line, stdout);
    std::fflush(stdout);
}

bool registerWindowClass() {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_OWNDC;
    windowClass.lpfnWndProc = tavik::Win32WindowView::windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    // Lives until the process ends, like the class.
    windowClass.hbrBackground = CreateSolidBrush(
        RGB(tavik::backgroundColour.r, tavik::backgroundColour.g, tavik::backgroundColour.b));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = tavik::Win32WindowView::className;
    windowClass.hIconSm = windowClass.hIcon;
    return RegisterClassExW(&windowClass) != 0;
}

static_assert(sizeof(WNDCLASSEXW) == 80, "the window class record Windows expects");
static_assert(sizeof(NONCLIENTMETRICSW) == 504, "the metrics record of Windows Vista and later");

// The system's message font, or null (text then uses the default font). Never deleted.
HFONT messageFont() {
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
        return nullptr;
    }
    return CreateFontIndirectW(&metrics.lfMessageFont);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    if (!registerWindowClass()) {
        writeLine("RegisterClassEx failed\n");
    }

    // The loop of this thread for the engine's own timers (its tries to open a unit again that
    // arrived not ready); closed once the message loop has ended.
    auto loop = std::make_shared<tavik::Win32EventLoop>();

    // The window object (the view and the presentation it serves), then the engine.
    tavik::Win32WindowView view;
    tavik::Win32DeviceAccess devices;
    tavik::StandardOutputLog log;
    auto poster = std::make_shared<tavik::Win32CompletionPoster>();
    tavik::WindowProgram program(view, devices, poster, log, tavik::launchWorkerThread, loop);
    view.setPresentation(&program.window);
    view.setFont(messageFont());

    // WM_CREATE runs inside this call: the first search for a unit happens before the window is
    // first shown.
    CreateWindowExW(tavik::Win32WindowView::exStyle, tavik::Win32WindowView::className,
                    tavik::Win32WindowView::title, tavik::Win32WindowView::style, CW_USEDEFAULT, 0,
                    tavik::Win32WindowView::width, tavik::Win32WindowView::height, nullptr, nullptr,
                    instance, &view);
    if (view.windowHandle() == nullptr) {
        writeLine("CreateWindowEx failed\n");
        return 1;
    }
    poster->setWindow(view.windowHandle());
    ShowWindow(view.windowHandle(), SW_SHOWNORMAL);
    UpdateWindow(view.windowHandle());

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    loop->close();
    return 1;
}
