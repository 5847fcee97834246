#include "ui/qt/QtWindowView.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>

#include <string>

#include "ui/qt/PaintedButton.hpp"
#include "ui/qt/PaintedProgressBar.hpp"
#include "ui/qt/WindowFont.hpp"

namespace tavik {

namespace {

QRect toQRect(const Rect& r) {
    return QRect(r.left, r.top, r.width(), r.height());
}

QColor toQColor(Colour c) {
    return QColor(c.r, c.g, c.b);
}

// The texts are byte strings; a product or serial string holds the low bytes of the unit's UTF-16
// characters, so each byte is one Latin-1 character, whatever its value.
QString toQString(std::string_view text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QWidget* toWidget(WindowView::Control control) {
    return static_cast<QWidget*>(control);
}

}  // namespace

QtWindowView::QtWindowView(HotplugMonitor* hotplug) : hotplug_(hotplug) {}

QtWindowView::~QtWindowView() {
    // No event may reach a presentation that goes with this view.
    unregisterDeviceNotifications();
}

void QtWindowView::createWindow() {
    setWindowTitle(QString::fromLatin1(tavik::windowTitle.data(),
                                       static_cast<qsizetype>(tavik::windowTitle.size())));
    // Not resizable, no maximise box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(clientWidth, clientHeight);
    // What shows before the first paint (the window being mapped) is the background as well.
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, toQColor(backgroundColour));
    setPalette(palette);
    setFont(windowFont(QApplication::font(), clientWidth));
    window_->onCreate(clientWidth);
}

void QtWindowView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    painter.fillRect(event->rect(), toQColor(backgroundColour));
    painter.setPen(toQColor(textColour));
    const int w = window_->clientWidth();
    const struct {
        Rect area;
        const std::string& text;
        Qt::Alignment alignment;
    } lines[] = {
        // Too wide, a status loses its end and a message both its ends.
        {WindowLayout::statusLine(w), window_->statusText(), Qt::AlignLeft | Qt::AlignVCenter},
        {WindowLayout::messageLine(w), window_->messageText(), Qt::AlignCenter},
    };
    for (const auto& line : lines) {
        const QRect area = toQRect(line.area);
        if (!event->rect().intersects(area)) {
            continue;
        }
        // Clipped to the line: drawText keeps within its rectangle unless told Qt::TextDontClip.
        painter.drawText(area, static_cast<int>(line.alignment) | Qt::TextSingleLine,
                         toQString(line.text));
    }
}

void QtWindowView::closeEvent(QCloseEvent* event) {
    if (!destroyed_) {
        window_->onClose();  // ends in destroyWindow()
    }
    event->setAccepted(destroyed_);
}

void QtWindowView::onButtonClicked(int controlId) {
    if (controlId == idcActionButton) {
        window_->onActionClicked();
    } else if (controlId == idcOkButton) {
        window_->onOkClicked();
    }
}

// --- WindowView ----------------------------------------------------------------------------

WindowView::Control QtWindowView::createButton(int controlId, std::string_view caption,
                                               const Rect& bounds) {
    auto* button = new PaintedButton(controlId, toQString(caption), this);
    button->setGeometry(toQRect(bounds));
    connect(button, &QAbstractButton::clicked, this,
            [this, controlId] { onButtonClicked(controlId); });
    button->show();
    return static_cast<QWidget*>(button);
}

WindowView::Control QtWindowView::createProgressBar(const Rect& bounds) {
    auto* bar = new PaintedProgressBar(this);
    bar->setGeometry(toQRect(bounds));
    bar->show();
    return static_cast<QWidget*>(bar);
}

void QtWindowView::destroyControl(Control control) {
    QWidget* widget = toWidget(control);
    widget->hide();
    widget->deleteLater();
}

void QtWindowView::showControl(Control control, bool visible) {
    toWidget(control)->setVisible(visible);
}

void QtWindowView::setProgressRange(Control progressBar, std::uint16_t maximum) {
    if (auto* bar = dynamic_cast<PaintedProgressBar*>(toWidget(progressBar))) {
        bar->setRangeMaximum(maximum);
    }
}

void QtWindowView::setProgressPosition(Control progressBar, std::uint16_t position) {
    if (auto* bar = dynamic_cast<PaintedProgressBar*>(toWidget(progressBar))) {
        bar->setPosition(position);
    }
}

void QtWindowView::invalidate(const Rect& area) {
    update(toQRect(area));
}

void QtWindowView::registerDeviceNotifications() {
    if (hotplug_ == nullptr || watching_) {
        return;
    }
    watching_ = true;
    hotplug_->start(
        {[this] { window_->onDeviceArrival(); }, [this] { window_->onDeviceRemoval(); }});
}

void QtWindowView::unregisterDeviceNotifications() {
    if (hotplug_ != nullptr && watching_) {
        watching_ = false;
        hotplug_->stop();
    }
}

void QtWindowView::destroyWindow() {
    destroyed_ = true;
    hide();
    QCoreApplication::exit();
}

void QtWindowView::quit() {
    QCoreApplication::exit();
}

}  // namespace tavik
