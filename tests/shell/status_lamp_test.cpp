#include "shell/status_lamp.h"

#include <QLabel>
#include <QWidget>
#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int kActive = 1011;
constexpr int kError = 1012;
constexpr int kIdle = 1013;

class StatusLampTest : public ::testing::Test {
protected:
    // Which lamps are showing, as "a", "e", "i" in that order.
    std::string showing() const
    {
        std::string s;
        if (!lamp.active()->isHidden())
            s += 'a';
        if (!lamp.error()->isHidden())
            s += 'e';
        if (!lamp.idle()->isHidden())
            s += 'i';
        return s;
    }

    QWidget dialog;
    StatusLamp lamp{&dialog, QPoint(10, 20), kActive, kError, kIdle};
};

TEST_F(StatusLampTest, ThreeStackedPicturesOfTheBitmapSizeWithStateNames)
{
    for (QLabel* l : {lamp.active(), lamp.error(), lamp.idle()}) {
        EXPECT_EQ(l->geometry(), QRect(10, 20, 19, 16));
        EXPECT_FALSE(l->pixmap().isNull());
        EXPECT_FALSE(l->accessibleName().isEmpty());
    }
    EXPECT_NE(lamp.active()->accessibleName(), lamp.error()->accessibleName());
    EXPECT_NE(lamp.error()->accessibleName(), lamp.idle()->accessibleName());
    EXPECT_EQ(lamp.active()->property("controlId").toInt(), kActive);
    EXPECT_EQ(lamp.defaultLamp(), kIdle);
    EXPECT_EQ(lamp.timer().interval(), 500);
}

TEST_F(StatusLampTest, FlashShowsOneLampAndTheTickRestoresTheDefault)
{
    lamp.flash(kError);
    EXPECT_EQ(showing(), "e");
    lamp.flash(kError);   // flashing the lamp already shown keeps it alone
    EXPECT_EQ(showing(), "e");
    lamp.flash(kActive);
    EXPECT_EQ(showing(), "a");
    lamp.flash(4242);
    EXPECT_EQ(showing(), "");

    lamp.tick();
    EXPECT_EQ(showing(), "i");

    // A new default changes nothing until the next tick.
    lamp.setDefault(kActive);
    EXPECT_EQ(showing(), "i");
    lamp.flash(kError);
    EXPECT_EQ(showing(), "e");
    lamp.tick();
    EXPECT_EQ(showing(), "a");
}

}   // namespace
