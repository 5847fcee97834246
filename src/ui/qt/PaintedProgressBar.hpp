#pragma once

#include <QProgressBar>

#include <cstdint>

namespace tavik {

// The progress bar of the main window, painted by hand as Windows 10 draws its progress bar at
// 100 %: a one-pixel border, a light trough, and a green part in proportion to the position;
// no text. It keeps the Windows control's rules rather than Qt's: a position is clamped into the
// range (Qt would ignore one outside it), and a range of 0..0 shows an empty bar (Qt would
// animate a busy bar). Range and position are also set on the QProgressBar for accessibility.
class PaintedProgressBar final : public QProgressBar {
  public:
    explicit PaintedProgressBar(QWidget* parent);

    // Range 0..maximum, as PBM_SETRANGE; the position is clamped into it.
    void setRangeMaximum(std::uint16_t maximum);
    // As PBM_SETPOS: clamped into the range.
    void setPosition(std::uint16_t position);

    // The width of the green part inside the border.
    int filledWidth() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void apply();

    // The Windows control's defaults.
    int maximum_ = 100;
    int position_ = 0;
};

}  // namespace tavik
