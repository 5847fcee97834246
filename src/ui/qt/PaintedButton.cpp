#include "ui/qt/PaintedButton.hpp"

#include <QColor>
#include <QPainter>

#include <algorithm>

#include "ui/ButtonLook.hpp"

namespace tavik {

namespace {

QColor toQColor(Colour c) {
    return QColor(c.r, c.g, c.b);
}

}  // namespace

PaintedButton::PaintedButton(int controlId, const QString& caption, QWidget* parent)
    : QAbstractButton(parent), controlId_(controlId) {
    setText(caption);
}

void PaintedButton::paintEvent(QPaintEvent*) {
    const ButtonLook look = buttonLook(isDown(), underMouse(), !isEnabled());
    QPainter painter(this);
    // An inside-frame pen lies wholly within the bounds: the pen's colour over the whole control,
    // then the fill inside the border. Whole pixels, no antialiasing.
    const int border = std::max(1, look.penWidth);
    painter.fillRect(rect(), toQColor(look.pen));
    painter.fillRect(rect().adjusted(border, border, -border, -border), toQColor(look.fill));
    painter.setPen(toQColor(look.caption));
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

void PaintedButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    update();
}

void PaintedButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    update();
}

}  // namespace tavik
