// Preloaded into the Linux program by the end-to-end runner: wraps the QPainter::drawText overload
// the view and its buttons draw every text with, and QProgressBar::setValue, appending one line per
// call to the file TAVIK_PAINT_TRACE names, in one write() each: "MS<TAB>text<TAB>X,Y,W,H<TAB>TEXT"
// (in the window's coordinates; tabs and line breaks as spaces) or "MS<TAB>progress<TAB>VALUE",
// MS being the real-time clock in milliseconds (`date +%s.%N`).
#include <QDateTime>
#include <QPainter>
#include <QProgressBar>
#include <QRegularExpression>
#include <QWidget>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

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

void appendLine(const QString& rest) {
    static const int file = [] {
        const char* path = std::getenv("TAVIK_PAINT_TRACE");
        return path == nullptr ? -1 : open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    }();
    if (file < 0) {
        return;
    }
    const qint64 ms = QDateTime::currentMSecsSinceEpoch();
    const QByteArray line =
        (QString::asprintf("%lld.%03lld\t", ms / 1000, ms % 1000) + rest + QLatin1Char('\n'))
            .toUtf8();
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
    static const QRegularExpression breaks(QStringLiteral("[\t\r\n]"));
    appendLine(
        QString::asprintf("text\t%d,%d,%d,%d\t", area.x(), area.y(), area.width(), area.height()) +
        QString(text).replace(breaks, " "));
    real(this, rect, flags, text, boundingRect);
}

void QProgressBar::setValue(int value) {
    using Real = void (*)(QProgressBar*, int);
    static const auto real = reinterpret_cast<Real>(next("_ZN12QProgressBar8setValueEi"));
    appendLine(QStringLiteral("progress\t%1").arg(value));
    real(this, value);
}
