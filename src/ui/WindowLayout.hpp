#pragma once

#include <cstdint>
#include <string_view>

namespace tavik {

// A rectangle in client pixels: left, top, right, bottom.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;

    int width() const { return right - left; }
    int height() const { return bottom - top; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// Control ids of the two buttons.
inline constexpr int idcActionButton = 101;
inline constexpr int idcOkButton = 102;

// The fixed layout of the client area; every horizontal position derives from the client width
// w, halved with the remainder dropped. The three controls share the row from y 50 to y 80.
struct WindowLayout {
    static Rect statusLine(int w) { return {15, 15, w, 35}; }
    static Rect messageLine(int w) { return {w / 2 - 95, 85, w / 2 + 95, 105}; }
    static Rect button(int w) { return {w / 2 - 95, 50, w / 2 - 95 + 190, 80}; }
    static Rect progressBar(int w) { return {w / 2 - 200, 50, w / 2 - 200 + 400, 80}; }
};

// An RGB colour.
struct Colour {
    std::uint8_t r, g, b;
    friend bool operator==(const Colour&, const Colour&) = default;
};

// The main window's title, ASCII.
inline constexpr std::string_view windowTitle = "Zerrow Tavik Updater (Sept 2023)";

inline constexpr Colour backgroundColour{17, 21, 24};
inline constexpr Colour textColour{192, 192, 192};

}  // namespace tavik
