#include "ui/win32/Win32WindowView.hpp"

#include <commctrl.h>
#include <dbt.h>

#include <string>

#include "device/win32/InterfaceClasses.hpp"
#include "ui/ButtonLook.hpp"

namespace tavik {

namespace {

constexpr DWORD buttonStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON;
constexpr DWORD progressStyle = WS_CHILD | WS_VISIBLE;
// What a custom-drawn button answers: the control paints nothing itself.
constexpr LRESULT customDrawn = CDRF_SKIPDEFAULT | CDRF_NEWFONT;

COLORREF rgb(Colour c) {
    return RGB(c.r, c.g, c.b);
}

RECT toRect(const Rect& r) {
    return {r.left, r.top, r.right, r.bottom};
}

HWND toHandle(WindowView::Control control) {
    return static_cast<HWND>(control);
}

// Captions are ASCII; each byte becomes one UTF-16 code unit.
std::wstring widen(std::string_view text) {
    std::wstring wide;
    wide.reserve(text.size());
    for (char c : text) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

HWND createChild(HWND parent, const wchar_t* windowClass, const wchar_t* caption, DWORD style,
                 const Rect& bounds, int controlId) {
    const auto instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(parent, GWLP_HINSTANCE));
    return CreateWindowExW(
        0, windowClass, caption, style, bounds.left, bounds.top, bounds.width(), bounds.height(),
        parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(controlId)), instance, nullptr);
}

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "the filter is 32 bytes long");

HDEVNOTIFY registerInterfaceClass(HWND window, const GUID& interfaceClass) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = interfaceClass;
    filter.dbcc_name[0] = L'\0';
    return RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

}  // namespace

LRESULT CALLBACK Win32WindowView::windowProc(HWND hwnd, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
    if (message == WM_CREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* view = reinterpret_cast<Win32WindowView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (view != nullptr) {
        return view->handleMessage(hwnd, message, wParam, lParam);
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

LRESULT Win32WindowView::handleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            return onCreate(hwnd);
        case WM_DESTROY:
            PostQuitMessage(0);
            return 1;
        case WM_PAINT:
            return onPaint();
        case WM_CLOSE:
            window_->onClose();
            return 1;
        case WM_NOTIFY:
            return onNotify(reinterpret_cast<const NMHDR*>(lParam));
        case WM_COMMAND:
            return onCommand(wParam);
        case WM_DEVICECHANGE:
            return onDeviceChange(wParam, lParam);
        case WM_USER:
            return onTransferComplete(wParam, lParam);
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

LRESULT Win32WindowView::onCreate(HWND hwnd) {
    windowHandle_ = hwnd;
    RECT client = {};
    GetClientRect(hwnd, &client);
    window_->onCreate(client.right - client.left);
    return 0;
}

LRESULT Win32WindowView::onPaint() {
    PAINTSTRUCT paint = {};
    HDC dc = BeginPaint(windowHandle_, &paint);
    const int w = window_->clientWidth();
    drawLine(dc, paint.rcPaint, WindowLayout::statusLine(w), window_->statusText(),
             DT_SINGLELINE | DT_VCENTER);
    drawLine(dc, paint.rcPaint, WindowLayout::messageLine(w), window_->messageText(),
             DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    EndPaint(windowHandle_, &paint);
    return 0;
}

void Win32WindowView::drawLine(HDC dc, const RECT& paintArea, const Rect& line,
                               const std::string& text, UINT flags) {
    RECT area = toRect(line);
    RECT overlap = {};
    if (!IntersectRect(&overlap, &area, &paintArea)) {
        return;
    }
    if (font_ != nullptr) {
        SelectObject(dc, font_);
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, rgb(textColour));
    DrawTextA(dc, text.c_str(), -1, &area, flags);
}

LRESULT Win32WindowView::onNotify(const NMHDR* header) {
    if (header != nullptr && header->code == static_cast<UINT>(NM_CUSTOMDRAW) &&
        (header->idFrom == idcActionButton || header->idFrom == idcOkButton)) {
        return drawButton(*reinterpret_cast<const NMCUSTOMDRAW*>(header));
    }
    return 0;
}

// Every custom-draw notification of the two buttons draws the whole button, whatever the stage.
LRESULT Win32WindowView::drawButton(const NMCUSTOMDRAW& draw) {
    const ButtonLook look =
        buttonLook((draw.uItemState & CDIS_SELECTED) != 0, (draw.uItemState & CDIS_HOT) != 0,
                   (draw.uItemState & CDIS_DISABLED) != 0);
    HDC dc = draw.hdc;
    HPEN pen = CreatePen(PS_INSIDEFRAME, look.penWidth, rgb(look.pen));
    HBRUSH brush = CreateSolidBrush(rgb(look.fill));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, brush);
    if (font_ != nullptr) {
        SelectObject(dc, font_);
    }
    SetTextColor(dc, rgb(look.caption));
    SetBkMode(dc, TRANSPARENT);
    RECT area = draw.rc;
    Rectangle(dc, area.left, area.top, area.right, area.bottom);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(pen);
    DeleteObject(brush);

    wchar_t caption[256] = {};
    SendDlgItemMessageW(windowHandle_, static_cast<int>(draw.hdr.idFrom), WM_GETTEXT, 255,
                        reinterpret_cast<LPARAM>(caption));
    DrawTextW(dc, caption, -1, &area, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
    return customDrawn;
}

LRESULT Win32WindowView::onCommand(WPARAM wParam) {
    if (HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == idcActionButton) {
            window_->onActionClicked();
        } else if (LOWORD(wParam) == idcOkButton) {
            window_->onOkClicked();
        }
    }
    return 1;
}

// Every arrival or removal of an interface of either registered class is news, whichever unit
// it names; everything else (and every query) is granted and ignored.
LRESULT Win32WindowView::onDeviceChange(WPARAM event, LPARAM data) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(data);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) {
        return 1;
    }
    if (event == DBT_DEVICEARRIVAL) {
        window_->onDeviceArrival();
    } else if (event == DBT_DEVICEREMOVECOMPLETE) {
        window_->onDeviceRemoval();
    }
    return 1;
}

LRESULT Win32WindowView::onTransferComplete(WPARAM success, LPARAM bytes) {
    window_->onTransferCompleted(success != 0, static_cast<std::uint64_t>(bytes));
    return 1;
}

// --- WindowView ----------------------------------------------------------------------------

WindowView::Control Win32WindowView::createButton(int controlId, std::string_view caption,
                                                  const Rect& bounds) {
    return createChild(windowHandle_, L"BUTTON", widen(caption).c_str(), buttonStyle, bounds,
                       controlId);
}

WindowView::Control Win32WindowView::createProgressBar(const Rect& bounds) {
    return createChild(windowHandle_, PROGRESS_CLASSW, nullptr, progressStyle, bounds, 0);
}

void Win32WindowView::destroyControl(Control control) {
    DestroyWindow(toHandle(control));
}

void Win32WindowView::showControl(Control control, bool visible) {
    ShowWindow(toHandle(control), visible ? SW_SHOW : SW_HIDE);
}

void Win32WindowView::setProgressRange(Control progressBar, std::uint16_t maximum) {
    SendMessageW(toHandle(progressBar), PBM_SETRANGE, 0, MAKELPARAM(0, maximum));
}

void Win32WindowView::setProgressPosition(Control progressBar, std::uint16_t position) {
    SendMessageW(toHandle(progressBar), PBM_SETPOS, position, 0);
}

void Win32WindowView::invalidate(const Rect& area) {
    const RECT rect = toRect(area);
    InvalidateRect(windowHandle_, &rect, TRUE);
}

void Win32WindowView::registerDeviceNotifications() {
    deviceNotifications_[0] = registerInterfaceClass(windowHandle_, primaryInterfaceGuid);
    deviceNotifications_[1] = registerInterfaceClass(windowHandle_, secondaryInterfaceGuid);
}

void Win32WindowView::unregisterDeviceNotifications() {
    UnregisterDeviceNotification(deviceNotifications_[0]);
    UnregisterDeviceNotification(deviceNotifications_[1]);
}

void Win32WindowView::destroyWindow() {
    DestroyWindow(windowHandle_);
}

void Win32WindowView::quit() {
    PostQuitMessage(0);
}

}  // namespace tavik
