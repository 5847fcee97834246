#include <gtest/gtest.h>

#include "ui/ButtonLook.hpp"

namespace tavik {
namespace {

TEST(ButtonLook, FirstMatchingStateWins) {
    constexpr Colour edge{97, 101, 104}, face{67, 71, 74}, text{192, 192, 192},
        greyed{110, 110, 110};
    const ButtonLook pressed{2, edge, edge, text};
    const ButtonLook hot{2, edge, face, text};
    const ButtonLook disabled{2, face, face, greyed};
    const ButtonLook normal{0, face, face, text};
    struct Case {
        bool pressed, hot, disabled;
        ButtonLook look;
    };
    const Case cases[] = {
        {false, false, false, normal},  {true, false, false, pressed}, {false, true, false, hot},
        {false, false, true, disabled}, {true, true, true, pressed},   {false, true, true, hot},
        {true, false, true, pressed},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(buttonLook(c.pressed, c.hot, c.disabled), c.look)
            << c.pressed << c.hot << c.disabled;
    }
}

}  // namespace
}  // namespace tavik
