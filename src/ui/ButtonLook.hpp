#pragma once

#include "ui/WindowLayout.hpp"

namespace tavik {

// How a custom-drawn push button looks in a given state: a rectangle outlined with an
// inside-frame pen and filled, and the caption in its colour.
struct ButtonLook {
    int penWidth;  // 0 draws one pixel
    Colour pen;
    Colour fill;
    Colour caption;
    friend bool operator==(const ButtonLook&, const ButtonLook&) = default;
};

// The first matching state wins: pressed, then under the pointer, then disabled, then normal.
constexpr ButtonLook buttonLook(bool pressed, bool hot, bool disabled) {
    constexpr Colour edge{97, 101, 104};
    constexpr Colour face{67, 71, 74};
    constexpr Colour greyedText{110, 110, 110};
    if (pressed) {
        return {2, edge, edge, textColour};
    }
    if (hot) {
        return {2, edge, face, textColour};
    }
    if (disabled) {
        return {2, face, face, greyedText};
    }
    return {0, face, face, textColour};
}

}  // namespace tavik
