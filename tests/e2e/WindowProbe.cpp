// Looks at and drives the updater's main window from another process in the same Wine session,
// as a user's desktop would: finds it by class, lists its child controls, clicks buttons, closes
// it, and saves a picture of it.
//
//   window-probe wait-window MS           until the main window is visible (exit 1 on timeout)
//   window-probe wait-gone MS             until no main window exists (exit 1 on timeout)
//   window-probe wait-control CAPTION MS  until a visible control has that caption
//   window-probe dump                     the window and each child control, one line each
//   window-probe click ID                 BM_CLICK to the child control with that id
//   window-probe close                    WM_CLOSE to the main window
//   window-probe capture FILE.bmp         the window as it is on screen, frame included
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const wchar_t* updaterClass = L"SampleAppWindowClass";

HWND mainWindow() {
    return FindWindowW(updaterClass, nullptr);
}

std::string narrow(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) {
        out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
    }
    return out;
}

std::string windowText(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return narrow(text);
}

std::string className(HWND window) {
    wchar_t name[128] = {};
    GetClassNameW(window, name, 128);
    return narrow(name);
}

std::vector<HWND> children(HWND parent) {
    std::vector<HWND> found;
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM list) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

template <typename Done>
bool waitFor(int milliseconds, Done done) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > static_cast<DWORD>(milliseconds)) {
            return false;
        }
        Sleep(50);
    }
    return true;
}

int dump() {
    HWND window = mainWindow();
    if (window == nullptr) {
        std::printf("no window\n");
        return 1;
    }
    RECT outer = {}, client = {};
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    std::printf(
        "window title=\"%s\" style=0x%08lx exstyle=0x%08lx size=%ldx%ld client=%ldx%ld "
        "visible=%d\n",
        windowText(window).c_str(), GetWindowLongW(window, GWL_STYLE),
        GetWindowLongW(window, GWL_EXSTYLE), outer.right - outer.left, outer.bottom - outer.top,
        client.right, client.bottom, IsWindowVisible(window) ? 1 : 0);
    for (HWND child : children(window)) {
        RECT r = {};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        const std::string cls = className(child);
        std::printf(
            "control class=%s id=%d caption=\"%s\" visible=%d style=0x%08lx x=%ld y=%ld "
            "w=%ld h=%ld",
            cls.c_str(), GetDlgCtrlID(child), windowText(child).c_str(),
            IsWindowVisible(child) ? 1 : 0, GetWindowLongW(child, GWL_STYLE), r.left, r.top,
            r.right - r.left, r.bottom - r.top);
        if (cls == "msctls_progress32") {
            std::printf(" range=%ld..%ld pos=%ld",
                        static_cast<long>(SendMessageW(child, PBM_GETRANGE, TRUE, 0)),
                        static_cast<long>(SendMessageW(child, PBM_GETRANGE, FALSE, 0)),
                        static_cast<long>(SendMessageW(child, PBM_GETPOS, 0, 0)));
        }
        std::printf("\n");
    }
    return 0;
}

bool hasVisibleControl(const std::string& caption) {
    HWND window = mainWindow();
    if (window == nullptr) {
        return false;
    }
    for (HWND child : children(window)) {
        if (IsWindowVisible(child) && windowText(child) == caption) {
            return true;
        }
    }
    return false;
}

int click(int id) {
    HWND window = mainWindow();
    HWND button = window != nullptr ? GetDlgItem(window, id) : nullptr;
    if (button == nullptr) {
        std::printf("no control %d\n", id);
        return 1;
    }
    PostMessageW(button, BM_CLICK, 0, 0);
    return 0;
}

// A 24-bit bottom-up BMP of the window's screen area.
int capture(const char* path) {
    HWND window = mainWindow();
    if (window == nullptr) {
        return 1;
    }
    RECT r = {};
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = w;
    info.biHeight = h;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    const int stride = (w * 3 + 3) & ~3;
    std::vector<unsigned char> pixels(static_cast<size_t>(stride) * h);
    GetDIBits(memory, bitmap, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info),
              DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
    FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        return 1;
    }
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&info, sizeof info, 1, out);
    std::fwrite(pixels.data(), 1, pixels.size(), out);
    std::fclose(out);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: window-probe COMMAND [ARGS]\n");
        return 2;
    }
    const std::string command = argv[1];
    const auto arg = [&](int i) { return i < argc ? argv[i] : ""; };
    if (command == "wait-window") {
        return waitFor(std::atoi(arg(2)),
                       [] {
                           HWND w = mainWindow();
                           return w != nullptr && IsWindowVisible(w);
                       })
                   ? 0
                   : 1;
    }
    if (command == "wait-gone") {
        return waitFor(std::atoi(arg(2)), [] { return mainWindow() == nullptr; }) ? 0 : 1;
    }
    if (command == "wait-control") {
        const std::string caption = arg(2);
        return waitFor(std::atoi(arg(3)), [&] { return hasVisibleControl(caption); }) ? 0 : 1;
    }
    if (command == "dump") {
        return dump();
    }
    if (command == "click") {
        return click(std::atoi(arg(2)));
    }
    if (command == "close") {
        HWND window = mainWindow();
        return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (command == "capture") {
        return capture(arg(2));
    }
    std::fprintf(stderr, "unknown command %s\n", command.c_str());
    return 2;
}
