// Preloaded into the Linux program by the end-to-end runner, never part of the product: wraps the
// QPainter::drawText overload the view and its buttons draw every text with, and
// QProgressBar::setValue, and appends one line per call to the file TAVIK_PAINT_TRACE names, in
// one write() each: "MS<TAB>text<TAB>X,Y,W,H<TAB>TEXT" (the rectangle in the window's coordinates,
// tabs and line breaks in TEXT as spaces) or "MS<TAB>progress<TAB>VALUE", MS being CLOCK_REALTIME
// in milliseconds, comparable with `date +%s.%N`.
#include <QPainter>
#include <QProgressBar>
#include <QWidget>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// The real function: without it an empty window could pass for a finding.
void* next(const char* mangledName) {
    void* symbol = dlsym(RTLD_NEXT, mangledName);
    if (symbol == nullptr) {
        std::fprintf(stderr, "paint trace: %s not found\n", mangledName);
        std::abort();
    }
    return symbol;
}

void appendLine(const std::string& rest) {
    static const int file = [] {
        const char* path = std::getenv("TAVIK_PAINT_TRACE");
        return path == nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }();
    if (file < 0) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%03ld\t", static_cast<long long>(now.tv_sec),
                  now.tv_nsec / 1000000);
    const std::string line = stamp + rest + "\n";
    [[maybe_unused]] const ssize_t written = write(file, line.data(), line.size());
}

}  // namespace

// The Itanium C++ ABI passes `this` as the first argument of a member function.
void QPainter::drawText(const QRect& rect, int flags, const QString& text, QRect* boundingRect) {
    using Real = void (*)(QPainter*, const QRect&, int, const QString&, QRect*);
    static const auto real =
        reinterpret_cast<Real>(next("_ZN8QPainter8drawTextERK5QRectiRK7QStringPS0_"));
    // Through the painter's transformation, then from the widget (a button paints in its own
    // coordinates) to its top-level window.
    QRect area = worldTransform().mapRect(rect);
    if (device() != nullptr && device()->devType() == QInternal::Widget) {
        auto* widget = static_cast<QWidget*>(device());
        area.moveTopLeft(widget->mapTo(widget->window(), area.topLeft()));
    }
    const QString flat = QString(text)
                             .replace(QLatin1Char('\t'), QLatin1Char(' '))
                             .replace(QLatin1Char('\r'), QLatin1Char(' '))
                             .replace(QLatin1Char('\n'), QLatin1Char(' '));
    appendLine("text\t" + std::to_string(area.x()) + "," + std::to_string(area.y()) + "," +
               std::to_string(area.width()) + "," + std::to_string(area.height()) + "\t" +
               flat.toStdString());
    real(this, rect, flags, text, boundingRect);
}

void QProgressBar::setValue(int value) {
    using Real = void (*)(QProgressBar*, int);
    static const auto real = reinterpret_cast<Real>(next("_ZN12QProgressBar8setValueEi"));
    appendLine("progress\t" + std::to_string(value));
    real(this, value);
}
