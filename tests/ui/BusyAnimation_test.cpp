// Does the busy animation run only while playing, come back to its resting
// frame when stopped, and draw the lead dot where that frame puts it?
#include "ui/BusyAnimation.h"

#include "support/QtTestApp.h"

#include <QTest>
#include <QTimerEvent>

#include <gtest/gtest.h>

#include <cmath>

namespace {

class BusyAnimationTest : public ::testing::Test {
  protected:
    QApplication& app = sweepbox::test::EnsureApp(); // before the widget
    TBusyAnimation busy{nullptr};
};

TEST_F(BusyAnimationTest, RunsOnlyBetweenPlayAndStop) {
    EXPECT_FALSE(busy.IsPlaying());
    EXPECT_EQ(busy.Frame(), TBusyAnimation::kStopFrame);
    busy.Play();
    busy.Play(); // a second Play keeps the running animation
    EXPECT_TRUE(busy.IsPlaying());
    ASSERT_TRUE(QTest::qWaitFor([&] { return busy.Frame() != TBusyAnimation::kStopFrame; }));
    // The frames go round: past the last comes the first.
    ASSERT_TRUE(QTest::qWaitFor([&] { return busy.Frame() == 0; }));
    busy.Stop();
    EXPECT_FALSE(busy.IsPlaying());
    EXPECT_EQ(busy.Frame(), TBusyAnimation::kStopFrame);
}

TEST_F(BusyAnimationTest, OtherTimersDoNotTurnIt) {
    for (const bool playing : {false, true}) {
        SCOPED_TRACE(playing ? "playing" : "stopped");
        if (playing)
            busy.Play();
        const int before = busy.Frame();
        QTimerEvent foreign(-1);
        QApplication::sendEvent(&busy, &foreign);
        EXPECT_EQ(busy.Frame(), before);
        busy.Stop();
    }
}

TEST_F(BusyAnimationTest, TheRestingFrameShowsItsLeadDotBrightAndTheOthersFaint) {
    busy.resize(21, 21);
    const QImage image = busy.grab().toImage();
    const double ring = 21 / 2.0 - 2.5;
    auto dot = [&](int i) {
        const double angle = 2 * M_PI * i / TBusyAnimation::kFrames - M_PI / 2;
        return image.pixelColor(QPointF(10.5 + ring * std::cos(angle), 10.5 + ring * std::sin(angle)).toPoint());
    };
    const QColor lead = dot(TBusyAnimation::kStopFrame);
    const QColor oldest = dot(TBusyAnimation::kStopFrame + 1);
    const QColor background = busy.palette().color(QPalette::Window);
    // The lead is the deepest blue; the dot after it, drawn longest ago, is
    // nearly the background.
    EXPECT_LT(lead.red(), oldest.red());
    EXPECT_LT(std::abs(oldest.red() - background.red()), std::abs(lead.red() - background.red()) / 3);
}

} // namespace
