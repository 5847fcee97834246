// Looks at and drives a top-level window on an X display from outside, for the end-to-end runner
// of the Linux program (the display has no window manager, so nobody else would send the close
// request). Never part of the product.
//
//   tavik-x-window find TITLE TIMEOUT_MS   waits for a mapped top-level window whose name holds
//                                          TITLE; prints "ID X Y WIDTH HEIGHT" (root coordinates)
//   tavik-x-window close ID                asks the window to close, as a window manager's close
//                                          box does (WM_DELETE_WINDOW)
//   tavik-x-window pixels ID X,Y...        prints the colour at each window point as "R,G,B",
//                                          space-separated, in the order given
// Exit code 0 on success, 1 when the window is not there (or went), 2 on a usage error.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// Set by the error handler: the window went while we looked at it.
bool xFailed = false;

int recordError(Display*, XErrorEvent*) {
    xFailed = true;
    return 0;
}

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

std::optional<Window> windowId(const char* text) {
    char* end = nullptr;
    const unsigned long id = std::strtoul(text, &end, 0);
    if (end == text || *end != '\0' || id == 0) {
        return std::nullopt;
    }
    return static_cast<Window>(id);
}

std::string windowName(Display* display, Window window) {
    XTextProperty property{};
    if (XGetWMName(display, window, &property) == 0 || property.value == nullptr) {
        return {};
    }
    std::string name(reinterpret_cast<const char*>(property.value), property.nitems);
    XFree(property.value);
    return name;
}

// The mapped top-level window whose name holds `title`, if there is one now.
std::optional<Window> findMapped(Display* display, const std::string& title) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) {
        return std::nullopt;
    }
    std::optional<Window> found;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes{};
        if (XGetWindowAttributes(display, children[i], &attributes) != 0 &&
            attributes.map_state == IsViewable &&
            windowName(display, children[i]).find(title) != std::string::npos) {
            found = children[i];
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

int find(Display* display, const std::string& title, long timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        xFailed = false;
        if (const auto window = findMapped(display, title); window && !xFailed) {
            XWindowAttributes attributes{};
            int x = 0, y = 0;
            Window child = 0;
            if (XGetWindowAttributes(display, *window, &attributes) != 0 &&
                XTranslateCoordinates(display, *window, DefaultRootWindow(display), 0, 0, &x, &y,
                                      &child) != 0 &&
                !xFailed) {
                std::printf("%lu %d %d %d %d\n", *window, x, y, attributes.width,
                            attributes.height);
                return 0;
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            std::fprintf(stderr, "no window named \"%s\"\n", title.c_str());
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int close(Display* display, Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    return xFailed ? 1 : 0;
}

// The colour of one pixel from an image of a TrueColor visual, as 8-bit channels.
unsigned channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1) == 0) {
        ++shift;
    }
    const unsigned long maximum = mask >> shift;
    return static_cast<unsigned>(((pixel & mask) >> shift) * 255 / maximum);
}

int pixels(Display* display, Window window, const std::vector<std::string>& points) {
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, window, &attributes) == 0 || xFailed) {
        std::fprintf(stderr, "no window %lu\n", window);
        return 1;
    }
    std::string out;
    for (const std::string& point : points) {
        int x = -1, y = -1;
        char tail = 0;
        if (std::sscanf(point.c_str(), "%d,%d%c", &x, &y, &tail) != 2 || x < 0 || y < 0 ||
            x >= attributes.width || y >= attributes.height) {
            std::fprintf(stderr, "not a point of the window: %s\n", point.c_str());
            return 2;
        }
        XImage* image = XGetImage(display, window, x, y, 1, 1, AllPlanes, ZPixmap);
        if (image == nullptr || xFailed) {
            std::fprintf(stderr, "cannot read window %lu\n", window);
            return 1;
        }
        const unsigned long pixel = XGetPixel(image, 0, 0);
        out += (out.empty() ? "" : " ") + std::to_string(channel(pixel, image->red_mask)) + "," +
               std::to_string(channel(pixel, image->green_mask)) + "," +
               std::to_string(channel(pixel, image->blue_mask));
        XDestroyImage(image);
    }
    std::printf("%s\n", out.c_str());
    return 0;
}

int usage() {
    std::fprintf(stderr,
                 "usage: tavik-x-window find TITLE TIMEOUT_MS | close ID | pixels ID X,Y...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return usage();
    }
    const DisplayPtr display(XOpenDisplay(nullptr));
    if (!display) {
        std::fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(recordError);
    const std::string command = argv[1];
    if (command == "find" && argc == 4) {
        return find(display.get(), argv[2], std::atol(argv[3]));
    }
    const auto window = windowId(argv[2]);
    if (!window) {
        return usage();
    }
    if (command == "close" && argc == 3) {
        return close(display.get(), *window);
    }
    if (command == "pixels" && argc >= 4) {
        return pixels(display.get(), *window, std::vector<std::string>(argv + 3, argv + argc));
    }
    return usage();
}
