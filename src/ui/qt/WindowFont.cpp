#include "ui/qt/WindowFont.hpp"

#include <QFontInfo>
#include <QFontMetrics>

#include <algorithm>

#include "ui/WindowLayout.hpp"

namespace tavik {

namespace {

enum class Place { statusLine, messageLine, button };

struct Sample {
    const char* text;
    Place place;
};

// The widest texts of each place. A status names the unit's product and serial, which the unit
// reports; this one is the longest that the shipped units give.
constexpr Sample samples[] = {
    {"No Tavik in update mode. Hold MON on IN 2 and power on device.", Place::statusLine},
    {"Device Connected: Tavik Duo (Serial: T6X00001, Firmware Version: 2.XX)", Place::statusLine},
    {"Your device is already up-to-date.", Place::messageLine},
    {"Error Identifying Device", Place::messageLine},
    {"Update to 2.07", Place::messageLine},
    {"Reinstall Firmware", Place::button},
    {"Update Now", Place::button},
};

// The room a text has: a status line runs from x 15 to the client's right edge, the last column
// left clear; a centred text keeps one clear pixel at each end; a caption stays inside the
// widest button frame (2 px).
int room(Place place, int clientWidth) {
    switch (place) {
        case Place::statusLine:
            return WindowLayout::statusLine(clientWidth).width() - 1;
        case Place::messageLine:
            return WindowLayout::messageLine(clientWidth).width() - 2;
        case Place::button:
            return WindowLayout::button(clientWidth).width() - 2 * 2;
    }
    return 0;
}

// Pen advance and ink together: a glyph may overhang its advance at either end.
int span(const QFontMetrics& metrics, const QString& text) {
    const QRect ink = metrics.boundingRect(text);
    const int left = std::min(0, ink.left());
    const int right = std::max(metrics.horizontalAdvance(text), ink.right() + 1);
    return right - left;
}

}  // namespace

bool windowTextsFit(const QFont& font, int clientWidth) {
    const QFontMetrics metrics(font);
    if (metrics.height() > WindowLayout::statusLine(clientWidth).height() ||
        metrics.height() > WindowLayout::messageLine(clientWidth).height()) {
        return false;
    }
    return std::all_of(std::begin(samples), std::end(samples), [&](const Sample& sample) {
        return span(metrics, QString::fromLatin1(sample.text)) <= room(sample.place, clientWidth);
    });
}

QFont windowFont(const QFont& systemFont, int clientWidth) {
    if (windowTextsFit(systemFont, clientWidth)) {
        return systemFont;
    }
    QFont font = systemFont;
    for (int pixels = QFontInfo(systemFont).pixelSize() - 1; pixels > smallestPixelSize; --pixels) {
        font.setPixelSize(pixels);
        if (windowTextsFit(font, clientWidth)) {
            return font;
        }
    }
    font.setPixelSize(smallestPixelSize);
    return font;
}

}  // namespace tavik
