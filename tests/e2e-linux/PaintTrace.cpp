// Preloaded into the Linux program by the end-to-end runner (LD_PRELOAD), never part of the
// product: it tells the runner what the window painted without changing the program, as Wine's
// text and progress traces do for the Windows program.
//
// It wraps two of Qt's exported functions and then calls the real ones (found with
// dlsym(RTLD_NEXT)):
//   QPainter::drawText(const QRect&, int, const QString&, QRect*)  the overload the view and its
//                                                                   buttons draw every text with
//   QProgressBar::setValue(int)                                    every position the bar is set to
// and appends one line per call to the file named by TAVIK_PAINT_TRACE (nothing without it):
//   MS<TAB>text<TAB>X,Y,W,H<TAB>TEXT   the rectangle in the top-level window's coordinates
//   MS<TAB>progress<TAB>VALUE
// MS is CLOCK_REALTIME in milliseconds with three decimals, comparable with `date +%s.%N`. A
// tab, carriage return or newline inside TEXT is written as a space, so that each call is one
// line. Painting happens on the GUI thread, but each line is still one write() to a file opened
// for appending, so lines never interleave.
#include <QPaintDevice>
#include <QPainter>
#include <QProgressBar>
#include <QRect>
#include <QString>
#include <QWidget>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

// The Itanium C++ ABI passes `this` as the first argument of a member function.
using DrawTextFunction = void (*)(QPainter*, const QRect&, int, const QString&, QRect*);
using SetValueFunction = void (*)(QProgressBar*, int);

template <typename Function>
Function next(const char* mangledName) {
    void* symbol = dlsym(RTLD_NEXT, mangledName);
    if (symbol == nullptr) {
        // Without the real function the program cannot paint: better to stop than to show an
        // empty window that a test might take for a finding.
        std::fprintf(stderr, "paint trace: %s not found\n", mangledName);
        std::abort();
    }
    return reinterpret_cast<Function>(symbol);
}

// The trace file, opened on first use; -1 when TAVIK_PAINT_TRACE is not set or cannot be opened.
int traceFile() {
    static const int file = [] {
        const char* path = std::getenv("TAVIK_PAINT_TRACE");
        return path == nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }();
    return file;
}

void appendLine(const std::string& rest) {
    const int file = traceFile();
    if (file < 0) {
        return;
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%lld.%03ld\t", static_cast<long long>(now.tv_sec),
                  now.tv_nsec / 1000000);
    const std::string line = stamp + rest + "\n";
    // A short write to a regular file means a full disk; the trace then ends there.
    [[maybe_unused]] const ssize_t written = write(file, line.data(), line.size());
}

// The rectangle as the window shows it: through the painter's transformation, then from the
// widget painted on to its top-level window (a button paints in its own coordinates).
QRect inWindow(const QPainter* painter, const QRect& rect) {
    QRect mapped = painter->worldTransform().mapRect(rect);
    QPaintDevice* device = painter->device();
    if (device != nullptr && device->devType() == QInternal::Widget) {
        auto* widget = static_cast<QWidget*>(device);
        mapped.moveTopLeft(widget->mapTo(widget->window(), mapped.topLeft()));
    }
    return mapped;
}

std::string oneLine(const QString& text) {
    QString flat = text;
    flat.replace(QLatin1Char('\t'), QLatin1Char(' '))
        .replace(QLatin1Char('\r'), QLatin1Char(' '))
        .replace(QLatin1Char('\n'), QLatin1Char(' '));
    return flat.toStdString();
}

}  // namespace

void QPainter::drawText(const QRect& rect, int flags, const QString& text, QRect* boundingRect) {
    static const auto real =
        next<DrawTextFunction>("_ZN8QPainter8drawTextERK5QRectiRK7QStringPS0_");
    const QRect area = inWindow(this, rect);
    appendLine("text\t" + std::to_string(area.x()) + "," + std::to_string(area.y()) + "," +
               std::to_string(area.width()) + "," + std::to_string(area.height()) + "\t" +
               oneLine(text));
    real(this, rect, flags, text, boundingRect);
}

void QProgressBar::setValue(int value) {
    static const auto real = next<SetValueFunction>("_ZN12QProgressBar8setValueEi");
    appendLine("progress\t" + std::to_string(value));
    real(this, value);
}
