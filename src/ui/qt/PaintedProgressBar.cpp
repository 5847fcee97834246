#include "ui/qt/PaintedProgressBar.hpp"

#include <QColor>
#include <QPainter>

#include <algorithm>

namespace tavik {

namespace {

// Windows 10's progress bar in its default theme.
const QColor border(188, 188, 188);
const QColor trough(230, 230, 230);
const QColor filled(6, 176, 37);

}  // namespace

PaintedProgressBar::PaintedProgressBar(QWidget* parent) : QProgressBar(parent) {
    setTextVisible(false);
    apply();
}

void PaintedProgressBar::setRangeMaximum(std::uint16_t maximum) {
    maximum_ = maximum;
    position_ = std::min(position_, maximum_);
    apply();
}

void PaintedProgressBar::setPosition(std::uint16_t position) {
    position_ = std::min<int>(position, maximum_);
    apply();
}

void PaintedProgressBar::apply() {
    setRange(0, std::max(1, maximum_));
    setValue(position_);
    update();
}

int PaintedProgressBar::filledWidth() const {
    const int inner = std::max(0, width() - 2);
    return maximum_ == 0 ? 0
                         : static_cast<int>(static_cast<long long>(inner) * position_ / maximum_);
}

void PaintedProgressBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRect inside = rect().adjusted(1, 1, -1, -1);
    painter.fillRect(rect(), border);
    painter.fillRect(inside, trough);
    painter.fillRect(QRect(inside.topLeft(), QSize(filledWidth(), inside.height())), filled);
}

}  // namespace tavik
