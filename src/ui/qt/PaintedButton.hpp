#pragma once

#include <QAbstractButton>
#include <QString>

namespace tavik {

// A push button painted entirely by hand, as the Windows window's custom-drawn buttons: one
// rectangle over the whole control, outlined inside its bounds with the look's pen (width 0 draws
// one pixel) and filled, the caption centred in the look's colour; no focus rectangle, no frame
// of a default button. The look follows buttonLook(pressed, under the pointer, disabled).
class PaintedButton final : public QAbstractButton {
  public:
    PaintedButton(int controlId, const QString& caption, QWidget* parent);

    int controlId() const { return controlId_; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    // The look changes as the pointer comes and goes.
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    const int controlId_;
};

}  // namespace tavik
