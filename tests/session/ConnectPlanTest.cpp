// The connect procedure's decisions and the seamless cut-out, without windows.

#include "ConnectPlan.h"
#include "Registry.h"
#include "SeamlessMask.h"
#include "SystemInfo.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace tsc {
namespace {

TEST(ConnectTarget, HostFieldGivesHostAndPortWithFallbacks) {
    struct Case {
        const char *field;
        const char *host;
        int port;
    };
    const Case cases[] = {
        {"server:3390", "server", 3390},
        {"server", "server", 3389},
        {"server:5", "server", 3389},
        {"server:70000", "server", 3389},
        {"server:123456", "server", 12345},
        {"server:abc", "server", 3389},
        {"server:", "server", 3389},
        {"server:10", "server", 10},
        {"server:65534", "server", 65534},
        {"server:65535", "server", 3389},
        {"server:-3390", "server", 3389},
        {"a:b:3390", "a", 3389},
        {":", "", 3389},
        {":3390", "", 3390},
        {"", "", 3389},
    };
    for (const Case &c : cases) {
        const ConnectTarget target = TargetFromHostField(c.field);
        EXPECT_EQ(target.host, c.host) << c.field;
        EXPECT_EQ(target.port, c.port) << c.field;
    }
}

TEST(ConnectTarget, SelectedServerTakesThePortAsItIs) {
    EXPECT_EQ(TargetFromSelectedServer("ts1.farm:4000", "3391").host, "ts1.farm");
    EXPECT_EQ(TargetFromSelectedServer("ts1.farm:4000", "3391").port, 3391);
    EXPECT_EQ(TargetFromSelectedServer("ts1", "").port, 3389);
    EXPECT_EQ(TargetFromSelectedServer("ts1", "33x").port, 3389);
}

TEST(SessionVariant, FallbacksOnlyLowerEachDimension) {
    const SessionVariantTraits &win7 = TraitsOf(RdpControlVariant::Win7_61);
    EXPECT_STREQ(win7.profileTag, "61");
    QSize size(5000, 3000);
    std::vector<QSize> steps;
    for (std::size_t step = 0; step < win7.sizeFallbacks.size(); ++step)
        steps.push_back(size = FallbackSize(size, win7, step));
    EXPECT_EQ(steps, (std::vector<QSize>{{4096, 2048}, {1600, 1200}, {1280, 1024}}));
    EXPECT_EQ(FallbackSize({150, 5000}, win7, 0), QSize(150, 2048));

    const SessionVariantTraits &xp = TraitsOf(RdpControlVariant::WXP51);
    EXPECT_STREQ(xp.profileTag, "51");
    EXPECT_EQ(FallbackSize({5000, 3000}, xp, 0), QSize(1600, 1200));
    EXPECT_STREQ(TraitsOf(RdpControlVariant::WXP60).profileTag, "60");
}

TEST(DisplayPlan, ModeColourBorderAndWorkDir) {
    const DisplayPlan seamless = PlanDisplay(true, 3, 0x123456);
    EXPECT_EQ(seamless.mode, DisplayMode::Seamless);
    EXPECT_STREQ(seamless.logLine, "Do seamless");
    EXPECT_TRUE(seamless.frameless);
    EXPECT_EQ(seamless.windowColour, 0x123456u);
    EXPECT_EQ(seamless.workDir, "V001C002");
    for (int index : {5, 6}) {
        const DisplayPlan full = PlanDisplay(false, index, 0xFF00FF);
        EXPECT_EQ(full.mode, DisplayMode::FullScreen);
        EXPECT_STREQ(full.logLine, "Do fullscreen");
        EXPECT_TRUE(full.frameless);
        EXPECT_EQ(full.windowColour, 0xFFFFFFu);
        EXPECT_TRUE(full.workDir.empty());
    }
    const DisplayPlan windowed = PlanDisplay(false, 7, 0xFF00FF);
    EXPECT_EQ(windowed.mode, DisplayMode::Windowed);
    EXPECT_STREQ(windowed.logLine, "Do not seamless");
    EXPECT_FALSE(windowed.frameless);
}

TEST(Placement, WorkAreaMonitorAndWindowedSizes) {
    const QRect monitor(0, 0, 1920, 1080);
    const QRect work(0, 30, 1920, 1050);
    struct Case {
        DisplayMode mode;
        int index;
        int width;
        int height;
        QRect client;
        int shift;
        bool wholeMonitor = false; // the window manager is asked for full screen
    };
    const Case cases[] = {
        {DisplayMode::Windowed, 3, 0, 0, QRect(0, 30, 1152, 864), 0},
        {DisplayMode::Windowed, 0, 0, 0, QRect(0, 30, 640, 480), 0},
        {DisplayMode::Windowed, 7, 1000, 700, QRect(0, 30, 1000, 700), 0},
        {DisplayMode::Windowed, 7, 0, 700, QRect(0, 30, 800, 600), 0},
        {DisplayMode::Windowed, 7, 20480, 700, QRect(0, 30, 800, 600), 0},
        {DisplayMode::Windowed, 7, 20479, 1, QRect(0, 30, 20479, 1), 0},
        {DisplayMode::FullScreen, 5, 0, 0, work, 0},
        {DisplayMode::FullScreen, 6, 0, 0, monitor, 0, true},
        {DisplayMode::Seamless, 6, 0, 0, work, 3 * 1920},
    };
    for (const Case &c : cases) {
        const Placement placement = PlaceSessionWindow(c.mode, c.index, c.width, c.height, monitor, work);
        EXPECT_EQ(placement.client, c.client) << c.index << " " << c.width;
        EXPECT_EQ(placement.seamlessShift, c.shift);
        EXPECT_EQ(placement.usesClientOrigin, c.mode != DisplayMode::Windowed);
        EXPECT_EQ(placement.wholeMonitor, c.wholeMonitor) << c.index;
    }
}

TEST(Placement, KeyboardIsGrabbedOnlyInFullScreenWithTheWindowsKeysOnTheServer) {
    for (const DisplayMode mode : {DisplayMode::Windowed, DisplayMode::FullScreen, DisplayMode::Seamless})
        for (const KeyboardHookMode hook :
             {KeyboardHookMode::Local, KeyboardHookMode::Remote, KeyboardHookMode::RemoteInFullScreen})
            EXPECT_EQ(GrabsKeyboard(mode, hook),
                      mode == DisplayMode::FullScreen && hook == KeyboardHookMode::Remote);
}

TEST(RemoteScale, NearestOfTheScalesServersKnow) {
    const std::pair<double, int> cases[] = {{0.5, 100}, {1.0, 100},  {1.19, 100}, {1.25, 140},
                                            {1.5, 140}, {1.75, 180}, {2.0, 180},  {3.0, 180}};
    for (const auto &[scale, percent] : cases)
        EXPECT_EQ(RemoteScalePercent(scale), percent) << scale;
}

TEST(ConnectionSettingsOfAConnect, MappedFromTheProfileSettingsAndThePlan) {
    profiles::ProfileSettings settings;
    settings.userName = "anna";
    settings.password = "secret";
    settings.domain = "OFFICE";
    settings.colorsIndex = 3;
    settings.soundIndex = 2;
    settings.windowsKeysIndex = 0;
    settings.connectPrinters = true;
    settings.bitmapCaching = false;
    settings.background = true;
    settings.themes = true;
    const ConnectTarget target{"ts1", 3390};
    const DisplayPlan windowed = PlanDisplay(false, profiles::DesktopSize800x600, 0xFF00FF);
    const ConnectionSettings plan = BuildConnectionSettings(settings, target, windowed, QSize(800, 600));
    EXPECT_EQ(SessionCaption(settings, "ts1"), "anna :: ts1");
    EXPECT_EQ(plan.server, "ts1");
    EXPECT_EQ(plan.port, 3390);
    EXPECT_EQ(plan.desktopWidth, 800);
    EXPECT_EQ(plan.desktopHeight, 600);
    EXPECT_EQ(plan.colorDepth, 24);
    EXPECT_EQ(plan.audioMode, AudioMode::DoNotPlay);
    EXPECT_EQ(plan.keyboardHookMode, KeyboardHookMode::Local);
    EXPECT_FALSE(plan.redirectDrives);
    EXPECT_TRUE(plan.redirectPrinters);
    EXPECT_FALSE(plan.bitmapPersistence);
    EXPECT_EQ(plan.userName, "OFFICE\\anna");
    EXPECT_EQ(plan.domain, "OFFICE");
    EXPECT_EQ(plan.performanceFlags, PerformanceFlag::NoFullWindowDrag | PerformanceFlag::NoMenuAnimations);
    EXPECT_EQ(plan.password, "secret");
    EXPECT_FALSE(plan.Seamless());
    EXPECT_FALSE(plan.losslessScreen);
    settings.sharpText = true;
    EXPECT_TRUE(BuildConnectionSettings(settings, target, windowed, QSize(800, 600)).losslessScreen);

    // Seamless always drops the wallpaper; "..." is no domain; no user: the host alone.
    settings.doSeamless = true;
    settings.domain = "...";
    settings.userName.clear();
    const DisplayPlan seamlessPlan = PlanDisplay(true, profiles::DesktopSizeFullScreen, 0xFF00FF);
    const ConnectionSettings seamless =
        BuildConnectionSettings(settings, target, seamlessPlan, QSize(800, 600));
    EXPECT_EQ(seamless.performanceFlags & PerformanceFlag::NoWallpaper, PerformanceFlag::NoWallpaper);
    EXPECT_EQ(seamless.userName, "");
    EXPECT_EQ(seamless.domain, "");
    EXPECT_TRUE(seamless.Seamless());
    EXPECT_EQ(SessionCaption(settings, "ts1"), "ts1");

    const int depths[][2] = {{0, 8}, {1, 15}, {2, 16}, {3, 24}, {-1, 15}, {4, 15}};
    for (const auto &[index, depth] : depths)
        EXPECT_EQ(profiles::ColorDepthOf(index), depth) << index;
    for (int index : {-1, 0, 3}) {
        settings.soundIndex = index;
        settings.windowsKeysIndex = index;
        const ConnectionSettings other = BuildConnectionSettings(settings, target, windowed, QSize(800, 600));
        EXPECT_EQ(other.audioMode, AudioMode::PlayHere);
        EXPECT_EQ(other.keyboardHookMode, KeyboardHookMode::Local);
    }
}

// The profile's line and the administrator's machine value both can turn the shared
// clipboard off; it is on otherwise.
TEST(ConnectionSettingsOfAConnect, ClipboardFollowsTheProfileAndTheComputer) {
    QTemporaryDir machine;
    ASSERT_TRUE(machine.isValid());
    const QByteArray oldDirs = qgetenv("XDG_CONFIG_DIRS");
    qputenv("XDG_CONFIG_DIRS", machine.path().toUtf8());
    profiles::ProfileSettings settings;
    const DisplayPlan windowed = PlanDisplay(false, profiles::DesktopSize800x600, 0xFF00FF);
    const auto shared = [&] {
        return BuildConnectionSettings(settings, {"ts1", 3389}, windowed, QSize(800, 600)).redirectClipboard;
    };
    EXPECT_TRUE(shared());
    settings.redirectClipboard = false;
    EXPECT_FALSE(shared());
    settings.redirectClipboard = true;
    ASSERT_TRUE(Registry::WriteDword(Hive::LocalMachine, ApplicationKeyPath(), "DisableClipboard", 1));
    EXPECT_FALSE(shared());
    ASSERT_TRUE(Registry::WriteDword(Hive::LocalMachine, ApplicationKeyPath(), "DisableClipboard", 0));
    EXPECT_TRUE(shared());
    qputenv("XDG_CONFIG_DIRS", oldDirs);
}

// A small frame: K is the key colour, every other letter a colour of its own.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
    explicit Picture(const std::vector<const char *> &rows) {
        height = static_cast<int>(rows.size());
        width = static_cast<int>(std::string_view(rows[0]).size());
        for (const char *row : rows)
            for (const char *c = row; *c; ++c)
                pixels.push_back(*c == 'K' ? 0xFFFF00FFu : 0xFF000000u | static_cast<std::uint32_t>(*c));
    }
    void Set(int x, int y, char c) { pixels[y * width + x] = c == 'K' ? 0xFFFF00FFu : 0xFF000000u | c; }
    RdpFrame Frame() const {
        return {reinterpret_cast<const std::uint8_t *>(pixels.data()), width, height, width * 4};
    }
};

TEST(SeamlessMask, KeyColourIsCutOutAndEqualRowsShareARectangle) {
    const Picture picture({
        "KKaaKK",
        "KKaaKK",
        "bKKKKc",
        "KKKKKK",
    });
    const QRegion region = NonKeyRegion(picture.Frame(), QRect(0, 0, 6, 4), 0xFF00FF);
    QRegion expected;
    expected += QRect(2, 0, 2, 2);
    expected += QRect(0, 2, 1, 1);
    expected += QRect(5, 2, 1, 1);
    EXPECT_EQ(region, expected);
    EXPECT_EQ(region.rectCount(), 3);
    EXPECT_TRUE(NonKeyRegion(picture.Frame(), QRect(0, 3, 6, 1), 0xFF00FF).isEmpty());
    EXPECT_TRUE(NonKeyRegion(RdpFrame{}, QRect(0, 0, 6, 4), 0xFF00FF).isEmpty());
}

// The scan goes four pixels at a time: every run boundary at every position of a
// group of four, in rows of every length around it, with the alpha byte ignored.
TEST(SeamlessMask, RunsMatchAPixelByPixelCutOut) {
    std::uint32_t seed = 12345;
    const auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (int width = 1; width <= 19; ++width) {
        for (int trial = 0; trial < 20; ++trial) {
            const int height = 3;
            Picture picture({"K"});
            picture.width = width;
            picture.height = height;
            picture.pixels.assign(std::size_t(width) * height, 0);
            QRegion expected;
            for (int y = 0; y < height; ++y)
                for (int x = 0; x < width; ++x) {
                    const bool key = (next() >> 16) % 3 != 0;
                    const std::uint32_t alpha = (next() >> 8) & 0xFF000000u;
                    picture.pixels[std::size_t(y) * width + x] = alpha | (key ? 0xFF00FFu : 0x00FF00u);
                    if (!key) expected += QRect(x, y, 1, 1);
                }
            const QRect area = trial % 2 ? QRect(0, 0, width, height) : QRect(width / 3, 1, width, 2);
            const QRegion found = NonKeyRegion(picture.Frame(), area, 0xFF00FF);
            EXPECT_TRUE(found.xored(expected & area).isEmpty()) << "width " << width << ", trial " << trial;
        }
    }
}

TEST(SeamlessMask, UpdatesOnlyTheDamagedArea) {
    Picture picture({
        "KKKK",
        "KaKK",
        "KKKK",
    });
    SeamlessMask mask(0xFF00FF);
    mask.Reset(picture.Frame());
    EXPECT_EQ(mask.Visible(), QRegion(1, 1, 1, 1));

    picture.Set(1, 1, 'K');
    picture.Set(3, 0, 'z');
    mask.Update(picture.Frame(), QRegion(3, 0, 1, 1)); // (1,1) changed too but was not reported
    EXPECT_EQ(mask.Visible(), QRegion(1, 1, 1, 1) + QRegion(3, 0, 1, 1));
    mask.Update(picture.Frame(), QRegion(0, 0, 2, 3) + QRegion(10, 10, 5, 5)); // outside the frame: ignored
    EXPECT_EQ(mask.Visible(), QRegion(3, 0, 1, 1));

    // Another key colour counts the whole frame again.
    mask.SetKey(0x00007A, picture.Frame()); // 'z'
    EXPECT_EQ(mask.Visible(), QRegion(0, 0, 4, 3) - QRegion(3, 0, 1, 1));
}

} // namespace
} // namespace tsc
