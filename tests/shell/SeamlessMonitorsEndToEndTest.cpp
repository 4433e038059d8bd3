// The program seamless over two monitors ("use multimon") against xrdp. xrdp does not
// paint the key colour by itself: the test makes the session paint it, as its root
// window, and opens windows of other colours in it. The client's root window shows a
// third colour: wherever the session shows the key colour, that colour must show, on
// both monitors, and each remote window exactly at its place.

#include "NavigationBar.h"
#include "TwoMonitorDesktop.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include <gtest/gtest.h>

#include <iostream>
#include <ostream>

namespace tsc::shell {
namespace {

using namespace tsc::test;

// The seamless window's key colour (TransparencyColor() with no value set).
constexpr char KeyColour[] = "#FF00FF";
constexpr QRgb LocalGreen = 0x33AA55; // the client's root window
constexpr char LocalGreenName[] = "#33AA55";

struct RemoteWindow {
    QRect area; // in the session's screen, which here starts where the client's desktop does
    QRgb colour;
};

struct SeamlessLayout {
    const char *name;
    std::vector<QRect> monitors; // the client's, the primary first
    QStringList sessionMonitors; // as the session's xrandr lists them
    std::vector<RemoteWindow> windows;
};

// Test names and messages show the layout's name, not its bytes.
void PrintTo(const SeamlessLayout &layout, std::ostream *out) {
    *out << layout.name;
}

// The picture's pixels that differ from the expected ones, within the monitors: the
// client's root colour, the remote windows' colours at their places.
struct Differences {
    QRect bounds;
    int count = 0;
    std::string firstFew;
};

Differences Compare(const QImage &shown, const SeamlessLayout &layout) {
    Differences differences;
    for (const QRect &monitor : layout.monitors)
        for (int y = monitor.top(); y <= monitor.bottom(); ++y) {
            const auto *row = reinterpret_cast<const QRgb *>(shown.constScanLine(y));
            for (int x = monitor.left(); x <= monitor.right(); ++x) {
                QRgb expected = LocalGreen;
                for (const RemoteWindow &window : layout.windows)
                    if (window.area.contains(x, y)) expected = window.colour;
                if (Near(row[x] & 0xFFFFFF, expected)) continue;
                differences.bounds |= QRect(x, y, 1, 1);
                if (++differences.count <= 5)
                    differences.firstFew += QStringLiteral(" %1,%2: %3 (not %4)")
                                                .arg(x)
                                                .arg(y)
                                                .arg(row[x] & 0xFFFFFF, 6, 16, QChar('0'))
                                                .arg(expected, 6, 16, QChar('0'))
                                                .toStdString();
            }
        }
    return differences;
}

class SeamlessMonitorsEndToEnd : public TwoMonitorSession,
                                 public ::testing::WithParamInterface<SeamlessLayout> {
  protected:
    static void SetUpTestSuite() { StartServer("127.30.3.1", 33931); }
    static void TearDownTestSuite() { StopServer(); }

    void SetUp() override {
        TwoMonitorSession::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(PaintClientRoot(LocalGreenName));
    }
    void TearDown() override {
        TwoMonitorSession::TearDown();
        PaintClientRoot("black");
        SetStartingClientMonitors();
    }

    // The session's root in the key colour, the terminal its session starts (at its
    // top-left) out of sight, and a window of one colour at each area.
    static void PaintSession(const std::vector<RemoteWindow> &windows) {
        (void)server_->RunInSession("xsetroot", {"-solid", KeyColour}, 10000);
        // Once it is on screen: unmapped before it maps itself, it would show after all.
        const QStringList terminal{"search", "--onlyvisible", "--class", "xterm"};
        if (WaitFor([&] { return server_->RunInSession("xdotool", terminal, 5000).has_value(); }, 20000))
            (void)server_->RunInSession("xdotool", terminal + QStringList{"windowunmap", "%@"}, 10000);
        for (const RemoteWindow &window : windows) {
            const QString geometry = QStringLiteral("%1x%2+%3+%4")
                                         .arg(window.area.width())
                                         .arg(window.area.height())
                                         .arg(window.area.x())
                                         .arg(window.area.y());
            const QString colour = QStringLiteral("#%1").arg(window.colour, 6, 16, QChar('0'));
            server_->StartInSession("xlogo",
                                    {"-geometry", geometry, "-bg", colour, "-fg", colour, "-bw", "0"});
        }
    }
};

// Each remote window exactly at its place on its monitor, one of them across the seam;
// everything else of the session cut out on both monitors, so the client's desktop
// shows; the navigation bar (the profile asks for full screen with it) at the top of
// the primary monitor, where the main window was.
TEST_P(SeamlessMonitorsEndToEnd, KeyColourIsCutOutOnBothMonitorsAndWindowsShowAtTheirPlaces) {
    const SeamlessLayout &layout = GetParam();
    ASSERT_TRUE(SetClientMonitors(layout.monitors));
    StartClient("tsv_doseamless:s:yes\r\nuse multimon:i:1\r\ndisplayconnectionbar:i:1\r\n");
    EXPECT_EQ(SessionMonitors(2), layout.sessionMonitors);
    PaintSession(layout.windows);
    ASSERT_TRUE(WaitFor([] { return Log().contains("Found Overlay"); }, SessionTimeoutMs));
    EXPECT_TRUE(Log().contains("Set Overlay: 00FF.00FF"));
    EXPECT_TRUE(Log().contains("b-left: 0")); // on screen over the monitors' bounding box

    // What differs from the expected picture is the navigation bar alone.
    const QRect primary = layout.monitors.front();
    const QRect barBand(primary.left(), primary.top(), primary.width(), 40);
    QImage shown;
    Differences differences;
    const bool drawn = WaitFor(
        [&] {
            shown = Desktop();
            differences = Compare(shown, layout);
            return differences.count > 0 && barBand.contains(differences.bounds);
        },
        SessionTimeoutMs);
    const QString shot = QDir::currentPath() + "/seamless-monitors-" + layout.name + ".png";
    shown.save(shot);
    EXPECT_TRUE(drawn) << differences.count << " pixels differ within " << differences.bounds.x() << ","
                       << differences.bounds.y() << " " << differences.bounds.width() << "x"
                       << differences.bounds.height() << ":" << differences.firstFew << "; see "
                       << shot.toStdString();
    // The key colour never reaches the local screen, not even in the bar.
    int keyPixels = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            keyPixels += Near(shown.pixel(x, y) & 0xFFFFFF, 0xFF00FF);
    EXPECT_EQ(keyPixels, 0) << "see " << shot.toStdString();
    EXPECT_EQ(differences.bounds.top(), primary.top());
    EXPECT_EQ(differences.bounds.right(), primary.right() - NavigationBar::RightMargin);
}

const SeamlessLayout Layouts[] = {
    // The primary on the right: the session's 0,0 is the right monitor's top-left.
    {"PrimaryOnTheRight",
     {QRect(1024, 0, 1024, 768), QRect(0, 0, 1024, 768)},
     {"*1024x768+1024+0", "1024x768+0+0"},
     {{QRect(100, 450, 300, 200), 0xCC3333},
      {QRect(1500, 400, 300, 200), 0x3366CC},
      {QRect(900, 150, 250, 150), 0xCCAA33}}},
    // The primary on the right and lower: beside the left monitor's top lies a strip no
    // monitor covers, and the session's 0,0 is neither the left nor the top edge.
    {"PrimaryOnTheRightAndLower",
     {QRect(1024, 100, 1024, 668), QRect(0, 0, 1024, 768)},
     {"*1024x668+1024+100", "1024x768+0+0"},
     {{QRect(100, 500, 300, 200), 0xCC3333},
      {QRect(1500, 450, 300, 200), 0x3366CC},
      {QRect(900, 300, 250, 150), 0xCCAA33}}},
};

INSTANTIATE_TEST_SUITE_P(Layouts, SeamlessMonitorsEndToEnd, ::testing::ValuesIn(Layouts),
                         [](const auto &layout) { return std::string(layout.param.name); });

} // namespace
} // namespace tsc::shell

int main(int argc, char **argv) {
    return tsc::test::RunOnTwoMonitorDesktop(argc, argv);
}
