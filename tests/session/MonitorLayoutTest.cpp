// The monitors of a session over several screens: which screens, which one is the
// session's primary, where each lies relative to it, and what is left out.

#include "MonitorLayout.h"
#include "ConnectPlan.h"

#include <gtest/gtest.h>

namespace tsc {
namespace {

LocalScreen Screen(int x, int y, int width, int height, bool primary = false) {
    return {QRect(x, y, width, height), QRect(x, y, width, height - 40), primary, QSize(520, 290)};
}

struct Expected {
    int id, x, y, width, height;
};

TEST(MonitorLayout, SelectedIdsParseAsTheirOrderEachOnce) {
    const struct {
        const char *text;
        std::vector<int> ids;
    } cases[] = {
        {"", {}},
        {"0", {0}},
        {"1,0", {1, 0}},
        {" 2 , 0,2,1 ", {2, 0, 1}},
        {"1,x,-1,,3.5,4", {1, 4}},
        {"99999999999999", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ParseSelectedMonitors(c.text), c.ids) << c.text;
}

TEST(MonitorLayout, ScreensBecomeMonitorsAroundThePrimary) {
    // Left of, above, and right of the primary; a selection naming ids in its order.
    const struct {
        const char *name;
        std::vector<LocalScreen> screens;
        const char *selected;
        std::vector<Expected> monitors; // the session's primary first
        QRect bounds;
        std::size_t leftOut = 0;
    } cases[] = {
        {"side by side, primary left",
         {Screen(0, 0, 1920, 1080, true), Screen(1920, 0, 1280, 1024)},
         "",
         {{0, 0, 0, 1920, 1080}, {1, 1920, 0, 1280, 1024}},
         QRect(0, 0, 3200, 1080)},
        {"primary right: the other lies at negative x",
         {Screen(1280, 0, 1920, 1080, true), Screen(0, 56, 1280, 1024)},
         "",
         {{0, 0, 0, 1920, 1080}, {1, -1280, 56, 1280, 1024}},
         QRect(0, 0, 3200, 1080)},
        {"primary listed second, below another",
         {Screen(0, 0, 1024, 768), Screen(0, 768, 1920, 1080, true)},
         "",
         {{1, 0, 0, 1920, 1080}, {0, 0, -768, 1024, 768}},
         QRect(0, 0, 1920, 1848)},
        {"the first selected id is the primary",
         {Screen(0, 0, 1920, 1080, true), Screen(1920, 0, 1920, 1080), Screen(3840, 0, 1920, 1080)},
         "2,1",
         {{2, 0, 0, 1920, 1080}, {1, -1920, 0, 1920, 1080}},
         QRect(1920, 0, 3840, 1080)},
        {"ids without a screen are left out",
         {Screen(0, 0, 1920, 1080, true), Screen(1920, 0, 1920, 1080)},
         "7,1",
         {{1, 0, 0, 1920, 1080}},
         QRect(1920, 0, 1920, 1080)},
        {"no id has a screen: every screen",
         {Screen(0, 0, 1920, 1080, true), Screen(1920, 0, 1920, 1080)},
         "5,6",
         {{0, 0, 0, 1920, 1080}, {1, 1920, 0, 1920, 1080}},
         QRect(0, 0, 3840, 1080)},
        {"a gap between the monitors stays",
         {Screen(0, 0, 1024, 768, true), Screen(1124, 200, 800, 600)},
         "",
         {{0, 0, 0, 1024, 768}, {1, 1124, 200, 800, 600}},
         QRect(0, 0, 1924, 800)},
        {"a cloned screen is left out",
         {Screen(0, 0, 1920, 1080, true), Screen(0, 0, 1920, 1080), Screen(1000, 0, 1920, 1080)},
         "",
         {{0, 0, 0, 1920, 1080}},
         QRect(0, 0, 1920, 1080),
         2},
        {"no screen marked primary: the first",
         {Screen(0, 0, 800, 600), Screen(800, 0, 800, 600)},
         "",
         {{0, 0, 0, 800, 600}, {1, 800, 0, 800, 600}},
         QRect(0, 0, 1600, 600)},
        {"too small or too large screens are left out",
         {Screen(0, 0, 1920, 1080, true), Screen(1920, 0, 150, 1080), Screen(2070, 0, 9000, 1080)},
         "",
         {{0, 0, 0, 1920, 1080}},
         QRect(0, 0, 1920, 1080),
         2},
    };
    for (const auto &c : cases) {
        const MonitorLayout layout = PlanMonitorLayout(c.screens, ParseSelectedMonitors(c.selected), false);
        ASSERT_EQ(layout.monitors.size(), c.monitors.size()) << c.name;
        for (std::size_t index = 0; index < c.monitors.size(); ++index) {
            const SessionMonitor &got = layout.monitors[index];
            const Expected &want = c.monitors[index];
            EXPECT_EQ(got.screenIndex, want.id) << c.name;
            EXPECT_EQ(QRect(got.x, got.y, got.width, got.height),
                      QRect(want.x, want.y, want.width, want.height))
                << c.name << " monitor " << index;
            EXPECT_EQ(got.primary, index == 0) << c.name;
        }
        EXPECT_EQ(layout.localBounds, c.bounds) << c.name;
        EXPECT_EQ(layout.leftOut.size(), c.leftOut) << c.name;
        // The session's 0,0 lies on the primary's local top-left; every monitor maps back.
        const auto areas = layout.LocalAreas();
        for (std::size_t index = 0; index < areas.size(); ++index)
            EXPECT_EQ(areas[index],
                      c.screens[static_cast<std::size_t>(layout.monitors[index].screenIndex)].geometry)
                << c.name;
    }
}

TEST(MonitorLayout, WorkAreasLimitsAndDescription) {
    const std::vector<LocalScreen> two{Screen(0, 0, 1920, 1080, true), Screen(-1280, 0, 1280, 1024)};
    const MonitorLayout work = PlanMonitorLayout(two, {}, true);
    ASSERT_EQ(work.monitors.size(), 2u);
    EXPECT_EQ(work.monitors[1].height, 984);
    EXPECT_EQ(work.localBounds, QRect(-1280, 0, 3200, 1040));
    EXPECT_EQ(DescribeMonitorLayout(work), "2 monitors: 0 1920x1040+0+0 (primary), 1 1280x984-1280+0");

    // At most 16 monitors; a desktop wider than the protocol allows stops growing.
    std::vector<LocalScreen> row;
    for (int index = 0; index < 20; ++index)
        row.push_back(Screen(index * 1024, 0, 1024, 768, index == 0));
    const MonitorLayout sixteen = PlanMonitorLayout(row, {}, false);
    EXPECT_EQ(sixteen.monitors.size(), 16u);
    EXPECT_EQ(sixteen.leftOut.size(), 4u);
    std::vector<LocalScreen> wide;
    for (int index = 0; index < 6; ++index)
        wide.push_back(Screen(index * 7680, 0, 7680, 4320, index == 0));
    const MonitorLayout limited = PlanMonitorLayout(wide, {}, false);
    EXPECT_EQ(limited.monitors.size(), 4u);
    EXPECT_LE(limited.localBounds.width(), MaxDesktopSide);
    EXPECT_TRUE(PlanMonitorLayout({}, {}, false).monitors.empty());
}

TEST(MonitorLayout, ConnectPlanSpansOnlyFullScreenAndSeamless) {
    EXPECT_FALSE(SpansMonitors(false, DisplayMode::FullScreen));
    EXPECT_FALSE(SpansMonitors(true, DisplayMode::Windowed));
    EXPECT_TRUE(SpansMonitors(true, DisplayMode::FullScreen));
    EXPECT_TRUE(SpansMonitors(true, DisplayMode::Seamless));

    const MonitorLayout layout =
        PlanMonitorLayout({Screen(1920, 0, 1920, 1080, true), Screen(0, 0, 1920, 1080)}, {}, false);
    const Placement full = PlaceAcrossMonitors(DisplayMode::FullScreen, 6, layout.localBounds);
    EXPECT_EQ(full.client, QRect(0, 0, 3840, 1080));
    EXPECT_TRUE(full.wholeMonitor);
    EXPECT_EQ(PlaceAcrossMonitors(DisplayMode::Seamless, 6, layout.localBounds).seamlessShift, 3 * 3840);

    const auto definitions = MonitorDefinitionsOf(layout);
    ASSERT_EQ(definitions.size(), 2u);
    EXPECT_TRUE(definitions[0].primary);
    EXPECT_EQ(definitions[1].x, -1920);
    EXPECT_EQ(definitions[1].physicalWidthMm, 520);
    // One monitor tells the server nothing beyond the desktop size.
    EXPECT_TRUE(MonitorDefinitionsOf(PlanMonitorLayout({Screen(0, 0, 800, 600, true)}, {}, false)).empty());

    // The navigation bar stays on the main window's monitor, else the session's primary.
    EXPECT_EQ(NavigationBarArea(QRect(0, 0, 1920, 1080), layout), QRect(0, 0, 1920, 1080));
    EXPECT_EQ(NavigationBarArea(QRect(5000, 0, 800, 600), layout), QRect(1920, 0, 1920, 1080));
}

} // namespace
} // namespace tsc
