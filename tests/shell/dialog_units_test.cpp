#include "shell/dialog_units.h"

#include <gtest/gtest.h>

namespace {

TEST(DialogUnitsTest, OneUnitIsOneAndAHalfPixelsAt96DpiAndScalesWithTheScreen)
{
    const DialogUnits at96(96, 96);
    EXPECT_EQ(at96.size(150, 128), QSize(225, 192));
    EXPECT_EQ(at96.size(177, 136), QSize(266, 204));

    const DialogUnits at144(144, 144);
    EXPECT_EQ(at144.size(150, 128), QSize(338, 288));

    const DialogUnits wide(192, 96);
    EXPECT_EQ(wide.size(10, 10), QSize(30, 15));
}

TEST(DialogUnitsTest, RectanglesThatTouchInUnitsTouchInPixels)
{
    const DialogUnits du(96, 96);
    // Odd positions and sizes round apart; converting both edges keeps the
    // lower rectangle's top on the upper one's bottom.
    const QRect upper = du.rect(4, 7, 35, 9);
    const QRect lower = du.rect(4, 16, 35, 12);
    EXPECT_EQ(upper.y() + upper.height(), lower.y());
    EXPECT_EQ(du.rect(96, 13, 50, 22), QRect(144, 20, 75, 33));
}

}   // namespace
