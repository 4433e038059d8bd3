// The program on a desktop with two monitors, full screen with "use multimon",
// against a server that takes a monitor layout: Debian's xrdp with an Xorg session.

#include "TwoMonitorDesktop.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QScreen>

#include <gtest/gtest.h>

#include <iostream>

namespace tsc::shell {
namespace {

using namespace tsc::test;

constexpr QRgb RemoteBlue = 0x3366CC;
constexpr QRgb RemoteRed = 0xCC3333;

class MultiMonitorEndToEnd : public TwoMonitorSession {
  protected:
    static void SetUpTestSuite() { StartServer("127.30.2.1", 33930); }
    static void TearDownTestSuite() { StopServer(); }
};

// The client's desktop: the primary monitor on the right (1024x768+1024+0), another
// one left of it (1024x768+0+0). The server is told the primary at 0,0 and the other
// at -1024,0, and lays its desktop out the same way; the session window covers both.
TEST_F(MultiMonitorEndToEnd, FullScreenSpansBothMonitorsAndTheServerGetsTheirLayout) {
    ASSERT_EQ(QGuiApplication::screens().size(), 2);
    StartClient("use multimon:i:1\r\ndisplayconnectionbar:i:1\r\n");
    const QStringList monitors = SessionMonitors(2);
    EXPECT_EQ(monitors, QStringList({"*1024x768+1024+0", "1024x768+0+0"})) << Log().toStdString();
    EXPECT_TRUE(Log().contains("Use multimon: 2 monitors: 0 1024x768+0+0 (primary), 1 1024x768-1024+0"))
        << Log().toStdString();

    // A red window on the session's left monitor, its background blue everywhere else
    // (the session starts a terminal of its own at its top-left).
    (void)server_->RunInSession("xsetroot", {"-solid", "#3366CC"}, 10000);
    server_->StartInSession("xterm", {"-bg", "#CC3333", "-fg", "#CC3333", "-geometry", "40x10+600+400"});
    QImage shown;
    const bool drawn = WaitFor(
        [&] {
            shown = Desktop();
            return Near(shown.pixel(650, 450), RemoteRed) && Near(shown.pixel(700, 700), RemoteBlue) &&
                   Near(shown.pixel(1024 + 300, 600), RemoteBlue) && Near(shown.pixel(2040, 760), RemoteBlue);
        },
        SessionTimeoutMs);
    const QString shot = QDir::currentPath() + "/multimonitor-fullscreen.png";
    shown.save(shot);
    EXPECT_TRUE(drawn) << "see " << shot.toStdString();

    // The navigation bar stays on the monitor the main window was on (the primary), at
    // its top right: not on the left monitor.
    int barPixels = 0;
    for (int x = 1024 + 700; x < 2048; ++x)
        barPixels += !Near(shown.pixel(x, 8), RemoteBlue);
    int leftBarPixels = 0;
    for (int x = 600; x < 1024; ++x)
        leftBarPixels += !Near(shown.pixel(x, 8), RemoteBlue) && !Near(shown.pixel(x, 8), RemoteRed);
    EXPECT_GT(barPixels, 10);
    EXPECT_EQ(leftBarPixels, 0);

    // A monitor that goes away during the session changes nothing but the log, once.
    ClientXrandr({"--setmonitor", "EXTRA", "400/100x300/80+0+0", "none"});
    ClientXrandr({"--delmonitor", "EXTRA"});
    EXPECT_TRUE(WaitFor([] { return Log().contains("The monitors changed"); }, 5000)) << Log().toStdString();
    EXPECT_EQ(Log().count("The monitors changed"), 1);
    EXPECT_EQ(SessionMonitors(2).size(), 2);
}

// "selectedmonitors" names the monitors by id: the left one alone (id 1) is a session
// of one monitor, full screen there.
TEST_F(MultiMonitorEndToEnd, SelectedMonitorAloneIsOneMonitorSession) {
    StartClient("use multimon:i:1\r\nselectedmonitors:s:1\r\ndisplayconnectionbar:i:0\r\n");
    const QStringList monitors = SessionMonitors(1);
    ASSERT_EQ(monitors.size(), 1) << Log().toStdString();
    EXPECT_TRUE(monitors.front().endsWith("1024x768+0+0")) << monitors.front().toStdString();
    (void)server_->RunInSession("xsetroot", {"-solid", "#3366CC"}, 10000);
    QImage shown;
    EXPECT_TRUE(WaitFor(
        [&] {
            shown = Desktop();
            return Near(shown.pixel(500, 400), RemoteBlue);
        },
        SessionTimeoutMs));
    shown.save(QDir::currentPath() + "/multimonitor-selected.png");
    EXPECT_FALSE(Near(shown.pixel(1024 + 500, 400), RemoteBlue)); // the right monitor is not the session's
}

} // namespace
} // namespace tsc::shell

int main(int argc, char **argv) {
    return tsc::test::RunOnTwoMonitorDesktop(argc, argv);
}
