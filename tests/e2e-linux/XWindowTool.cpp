// The end-to-end runner's hand on the program's window (there is no window manager):
//   tavik-x-window close ID          asks it to close as a close box does (WM_DELETE_WINDOW)
//   tavik-x-window pixels ID X,Y...  prints each point's colour as "R,G,B", space-separated
// Exits 0, 1 when the window is not there (Xlib's error handler), 2 on a usage error.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void close(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
}

int pixels(Display* display, Window window, char** points, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        int x = 0, y = 0;
        if (std::sscanf(points[i], "%d,%d", &x, &y) != 2) {
            std::fprintf(stderr, "not a point: %s\n", points[i]);
            return 2;
        }
        XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
        const unsigned long pixel = XGetPixel(image, 0, 0);  // 24-bit TrueColor: 0xRRGGBB
        out += (i == 0 ? "" : " ") + std::to_string(pixel >> 16 & 0xFF) + "," +
               std::to_string(pixel >> 8 & 0xFF) + "," + std::to_string(pixel & 0xFF);
        XDestroyImage(image);
    }
    std::puts(out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    char* end = nullptr;
    const Window window = argc >= 3 ? std::strtoul(argv[2], &end, 0) : 0;
    const bool closing = argc == 3 && std::strcmp(argv[1], "close") == 0;
    if (window == 0 || *end != '\0' || (!closing && std::strcmp(argv[1], "pixels") != 0)) {
        std::fputs("usage: tavik-x-window close ID | pixels ID X,Y...\n", stderr);
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fputs("cannot open the display\n", stderr);
        return 1;
    }
    const int result =
        closing ? (close(display, window), 0) : pixels(display, window, argv + 3, argc - 3);
    XCloseDisplay(display);
    return result;
}
