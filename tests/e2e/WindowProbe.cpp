// Drives the updater's main window from another process in the same Wine session: waits up to
// MS for it to be visible, dumps it and each child control one line each, clicks the control ID
// (printing the tick count it was posted at), or closes it.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string text(HWND window, bool className = false) {
    char text[512] = {};
    className ? GetClassNameA(window, text, 512) : GetWindowTextA(window, text, 512);
    return text;
}

int dump(HWND window) {
    RECT outer = {}, client = {};
    POINT origin = {0, 0};
    if (window == nullptr || !GetWindowRect(window, &outer) || !GetClientRect(window, &client) ||
        !ClientToScreen(window, &origin)) {
        return 1;
    }
    std::printf("window title=\"%s\" size=%ldx%ld client=%ldx%ld at=%ld,%ld client-at=%ld,%ld\n",
                text(window).c_str(), outer.right - outer.left, outer.bottom - outer.top,
                client.right, client.bottom, outer.left, outer.top, origin.x, origin.y);
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        RECT r = {};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        const std::string cls = text(child, true);
        std::printf("control class=%s id=%d caption=\"%s\" visible=%d x=%ld y=%ld w=%ld h=%ld",
                    cls.c_str(), GetDlgCtrlID(child), text(child).c_str(),
                    IsWindowVisible(child) ? 1 : 0, r.left, r.top, r.right - r.left,
                    r.bottom - r.top);
        if (cls == "msctls_progress32") {
            std::printf(" pos=%ld", static_cast<long>(SendMessageW(child, PBM_GETPOS, 0, 0)));
        }
        std::printf("\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    const int number = argc > 2 ? std::atoi(argv[2]) : 0;
    const auto mainWindow = [] { return FindWindowW(L"SampleAppWindowClass", nullptr); };
    HWND window = mainWindow();
    if (command == "wait-window") {
        for (const DWORD start = GetTickCount(); window == nullptr || !IsWindowVisible(window);
             window = mainWindow()) {
            if (GetTickCount() - start > static_cast<DWORD>(number)) {
                return 1;
            }
            Sleep(50);
        }
        return 0;
    }
    if (command == "dump") {
        return dump(window);
    }
    if (command == "click") {
        HWND button = window != nullptr ? GetDlgItem(window, number) : nullptr;
        if (button == nullptr) {
            std::printf("no control %d\n", number);
            return 1;
        }
        // The clock of Wine's trace timestamps, so a caller can time what follows.
        std::printf("clicked %d at %lu\n", number, GetTickCount());
        return PostMessageW(button, BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (command == "close") {
        return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: window-probe wait-window MS | dump | click ID | close\n");
    return 2;
}
