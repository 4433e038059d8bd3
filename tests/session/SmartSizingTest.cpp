// Smart sizing's geometry without a display: window positions to remote pixels, the
// view pixels a remote change repaints, and the first size of a smart-sized window.

#include "SmartSizing.h"

#include <gtest/gtest.h>

namespace tsc {
namespace {

constexpr QSize FullHd(1920, 1080);

TEST(FrameScale, ViewPositionsMapToRemotePixels) {
    const struct {
        QSize frame, view;
        QPointF position;
        QPoint remote;
    } cases[] = {
        // 1:1 stays exactly as without smart sizing.
        {FullHd, FullHd, {0, 0}, {0, 0}},
        {FullHd, FullHd, {1919, 1079}, {1919, 1079}},
        {FullHd, FullHd, {700, 300}, {700, 300}},
        // 1920x1080 in 1280x720: corners reach corners, the middle the middle.
        {FullHd, {1280, 720}, {0, 0}, {0, 0}},
        {FullHd, {1280, 720}, {1279, 719}, {1919, 1079}},
        {FullHd, {1280, 720}, {1279, 0}, {1919, 0}},
        {FullHd, {1280, 720}, {640, 360}, {960, 540}},
        {FullHd, {1280, 720}, {1, 1}, {2, 2}},       // 1.5 rounds up
        {FullHd, {1280, 720}, {2, 2}, {3, 3}},       // 3.0
        {FullHd, {1280, 720}, {100.4, 0}, {151, 0}}, // 150.6: fractions of a device pixel count
        // Outside the window (a drag that left it): held at the edge.
        {FullHd, {1280, 720}, {-30, 2000}, {0, 1079}},
        {FullHd, {1280, 720}, {5000, -1}, {1919, 0}},
        // Width and height scale apart when the window has another shape.
        {FullHd, {960, 1080}, {959, 540}, {1919, 540}},
        // Larger than the session: several view pixels per remote pixel.
        {{800, 600}, {1600, 1200}, {1599, 1199}, {799, 599}},
        {{800, 600}, {1600, 1200}, {801, 0}, {400, 0}},
        // A window one pixel wide or high sees the first remote column or row.
        {FullHd, {1, 1}, {0, 0}, {0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.view.width()) + "x" + std::to_string(c.view.height()) + " at " +
                     std::to_string(c.position.x()) + "," + std::to_string(c.position.y()));
        EXPECT_EQ(FrameScale(c.frame, c.view).ToFrame(c.position), c.remote);
    }
}

TEST(FrameScale, IdentityWhenEqualOrNothingToShow) {
    EXPECT_TRUE(FrameScale(FullHd, FullHd).IsIdentity());
    EXPECT_TRUE(FrameScale(QSize(), QSize(1280, 720)).IsIdentity()); // no session picture yet
    EXPECT_TRUE(FrameScale(FullHd, QSize(0, 720)).IsIdentity());
    EXPECT_TRUE(FrameScale().IsIdentity());
    EXPECT_FALSE(FrameScale(FullHd, QSize(1920, 1079)).IsIdentity());
}

// Every view pixel whose smoothed value can change is repainted, a pixel's worth of
// neighbours included, and nothing outside the view.
TEST(FrameScale, RemoteChangesRepaintTheViewPixelsTheyReach) {
    const struct {
        QSize frame, view;
        QRect changed, repainted;
    } cases[] = {
        {FullHd, FullHd, {10, 20, 30, 40}, {10, 20, 30, 40}},
        {FullHd, {1280, 720}, {0, 0, 1920, 1080}, {0, 0, 1280, 720}},
        {FullHd, {1280, 720}, {300, 150, 3, 3}, {199, 99, 4, 4}},
        {FullHd, {1280, 720}, {1917, 1077, 3, 3}, {1277, 717, 3, 3}},
        {FullHd, {1280, 720}, {1900, 1000, 100, 100}, {1265, 665, 15, 55}}, // clipped to the frame
        {{800, 600}, {1600, 1200}, {10, 10, 1, 1}, {19, 19, 4, 4}},
        {FullHd, {1280, 720}, {2000, 0, 10, 10}, {}},
    };
    for (const auto &c : cases) {
        const QRect repainted = FrameScale(c.frame, c.view).ToView(c.changed);
        EXPECT_EQ(repainted, c.repainted)
            << c.changed.x() << "," << c.changed.y() << " -> " << repainted.x() << "," << repainted.y() << " "
            << repainted.width() << "x" << repainted.height();
    }
    // Any remote pixel's view pixels lie inside what its change repaints.
    const FrameScale scale(FullHd, QSize(1280, 720));
    for (int x = 0; x < 1920; x += 7) {
        const QRect repainted = scale.ToView(QRect(x, 0, 1, 1));
        for (int v = 0; v < 1280; ++v) {
            const double centre = (v + 0.5) * 1.5 - 0.5; // where a smooth scaler samples
            if (centre > x - 1 && centre < x + 1) {
                EXPECT_TRUE(repainted.left() <= v && v <= repainted.right()) << x << " " << v;
            }
        }
    }
}

TEST(FitWithin, LargeDesktopsOpenInAWindowOfTheirShapeThatFits) {
    const struct {
        QSize desktop, available, fitted;
    } cases[] = {
        {FullHd, {1366, 738}, {1312, 738}},
        {FullHd, {1280, 720}, {1280, 720}},
        {FullHd, {1920, 1080}, FullHd},
        {{1024, 768}, {1920, 1040}, {1024, 768}}, // fits: unchanged, shown 1:1
        {{2560, 1440}, {1280, 1024}, {1280, 720}},
        {FullHd, {0, 0}, FullHd}, // no work area known
    };
    for (const auto &c : cases)
        EXPECT_EQ(FitWithin(c.desktop, c.available), c.fitted) << c.available.width();
}

TEST(PlanScrollBars, ABarWhereTheSessionIsLargerAndOneBringsTheOther) {
    constexpr int Extent = 16;
    const struct {
        QSize remote, client;
        bool horizontal, vertical;
        QSize visible;
        QPoint maximum;
    } cases[] = {
        {{1024, 768}, {1024, 768}, false, false, {1024, 768}, {0, 0}},
        {{1024, 768}, {1280, 1024}, false, false, {1280, 1024}, {0, 0}},
        {FullHd, {1366, 738}, true, true, {1350, 722}, {570, 358}},
        {FullHd, {1366, 1200}, true, false, {1366, 1184}, {554, 0}},
        {FullHd, {2000, 1000}, false, true, {1984, 1000}, {0, 80}},
        // Wide enough, but the bar below takes the height it had only just.
        {{1024, 768}, {1000, 780}, true, true, {984, 764}, {40, 4}},
        {{1024, 768}, {1030, 780}, false, false, {1030, 780}, {0, 0}},
        {{1024, 768}, {1030, 700}, true, true, {1014, 684}, {10, 84}}, // and the other way round
        {{1024, 768}, {1050, 700}, false, true, {1034, 700}, {0, 68}},
        {{1024, 768}, {1020, 700}, true, true, {1004, 684}, {20, 84}},
        {FullHd, {10, 10}, true, true, {0, 0}, {1920, 1080}},
    };
    for (const auto &c : cases) {
        const ScrollBars bars = PlanScrollBars(c.remote, c.client, Extent);
        SCOPED_TRACE(std::to_string(c.client.width()) + "x" + std::to_string(c.client.height()));
        EXPECT_EQ(bars.horizontal, c.horizontal);
        EXPECT_EQ(bars.vertical, c.vertical);
        EXPECT_EQ(bars.visible, c.visible);
        EXPECT_EQ(bars.maximum, c.maximum);
    }
}

} // namespace
} // namespace tsc
