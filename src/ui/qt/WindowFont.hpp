#pragma once

#include <QFont>

namespace tavik {

// The font of the main window: the system's UI font, made smaller only as far as needed for every
// text the window shows to fit its rectangle (as each does on Windows): the longest message in
// its 190 pixels with a pixel to spare at either end, a long "Device Connected" status from x 15
// to the right edge, the button captions inside the button frames, and each line's height inside
// its 20 pixels. The system size is kept when it fits; otherwise the pixel size steps down one at
// a time, never below `smallestPixelSize` (returned when even that does not fit).
QFont windowFont(const QFont& systemFont, int clientWidth);

inline constexpr int smallestPixelSize = 6;

// Whether every text of the window fits at this font (the test windowFont applies).
bool windowTextsFit(const QFont& font, int clientWidth);

}  // namespace tavik
