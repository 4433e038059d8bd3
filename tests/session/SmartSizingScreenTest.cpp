// Smart sizing as a user sees it: the real session window over a real RDP server
// (freerdp-shadow-cli with a 1920x1080 desktop) on an Xvfb of its own without a
// window manager, read back from the screen; clicks checked where the server's
// pointer lands. TSC_TEST_SCREENSHOTS names a folder to keep the screens in.

#include "LeakCheckBeforeExit.h"
#include "QuietHost.h"
#include "RdpEngineLibrary.h"
#include "RdpSessionWidget.h"
#include "SessionWindow.h"
#include "ShadowServer.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace tsc {
namespace {

using test::QuietHost;

using test::ShadowServer;
using test::WaitFor;

constexpr QRgb ServerBlue = 0x3366CC;
constexpr QRgb Green = 0x00CC00;
constexpr QRgb Red = 0xCC0000;
constexpr int SessionTimeoutMs = 30000;
constexpr int ScreenTimeoutMs = 15000; // a loaded machine under the sanitizers paints slowly

QImage Screen(const QRect &area) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QRgb ScreenPixel(int x, int y) {
    return Screen(QRect(x, y, 1, 1)).pixel(0, 0) & 0xFFFFFFu;
}

// The session's 16-bit colours come back within a few steps of what was painted.
bool Near(QRgb colour, QRgb expected, int tolerance = 16) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((colour >> shift) & 0xFF) -
                     static_cast<int>((expected >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

struct Expected {
    QPoint at;
    QRgb colour;
};

// Waits until every point shows its colour; says what the screen showed otherwise.
::testing::AssertionResult ScreenShows(std::initializer_list<Expected> points) {
    std::string why;
    const bool shown = WaitFor(
        [&] {
            why.clear();
            for (const Expected &point : points) {
                const QRgb seen = ScreenPixel(point.at.x(), point.at.y());
                if (!Near(seen, point.colour))
                    why += std::to_string(point.at.x()) + "," + std::to_string(point.at.y()) + " shows " +
                           QString::number(seen, 16).toStdString() + "; ";
            }
            return why.empty();
        },
        ScreenTimeoutMs);
    return shown ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << why;
}

void KeepScreen(const QString &name) {
    const QByteArray folder = qgetenv("TSC_TEST_SCREENSHOTS");
    if (!folder.isEmpty())
        Screen(QGuiApplication::primaryScreen()->geometry()).save(QString::fromUtf8(folder) + "/" + name);
}

class SmartSizingOnScreen : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new QTemporaryDir();
        server_ = new ShadowServer(folder_->path(), QStringLiteral("#3366CC"));
        server_->SetScreenSize(1920, 1080);
        if (!server_->Start()) FAIL() << server_->Error().toStdString();
        // Quarters that show where the picture goes: green top-left, red bottom-right,
        // and white lines one pixel wide to see the scaling's smoothness by eye.
        server_->PaintRectangle(0, 0, 960, 540, Green);
        server_->PaintRectangle(960, 540, 960, 540, Red);
        for (int x = 1000; x < 1900; x += 40)
            server_->PaintRectangle(x, 40, 1, 460, 0xFFFFFF);
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }

    // A windowed session of 1920x1080 in a window of that size at the top-left,
    // as the connect procedure leaves it, with smart sizing offered as `on`.
    void Connect(bool smartSizing, const QRect &workArea) {
        QString error;
        std::unique_ptr<RdpControl> control = RdpEngineLibrary::Instance().CreateControl(&error);
        ASSERT_TRUE(control) << error.toStdString();
        window_ = std::make_unique<SessionWindow>(RdpControlVariant::Win7_61, std::move(control), host_);
        window_->SetWindowColour(0xFFFFFF);
        window_->move(0, 0);
        window_->resize(1920, 1080);
        window_->show();
        ASSERT_TRUE(window_->WaitForGeometry(QRect(0, 0, 1920, 1080)));
        window_->MsRdpClient()->setGeometry(window_->rect());
        ConnectionSettings settings;
        settings.server = "127.0.0.1";
        settings.port = server_->Port();
        settings.userName = "tester";
        settings.audioMode = AudioMode::DoNotPlay;
        settings.desktopWidth = 1920;
        settings.desktopHeight = 1080;
        ASSERT_TRUE(window_->Control().Connect(settings));
        window_->OfferSmartSizing(smartSizing, workArea);
        ASSERT_TRUE(WaitFor([this] { return window_->MsRdpClient()->FrameSize() == QSize(1920, 1080); },
                            SessionTimeoutMs))
            << host_.log;
    }
    void TearDown() override { window_.reset(); }

    RdpSessionWidget &Widget() { return *window_->MsRdpClient(); }

    // A left click at a point of the session widget; true once the server's pointer
    // is at `remote`.
    bool ClickLandsAt(QPoint local, QPoint remote) {
        QTest::mouseClick(&Widget(), Qt::LeftButton, {}, local);
        return WaitFor([&] { return server_->PointerAt(remote.x(), remote.y()); }, ScreenTimeoutMs);
    }

    QuietHost host_;
    std::unique_ptr<SessionWindow> window_;
    static inline QTemporaryDir *folder_ = nullptr;
    static inline ShadowServer *server_ = nullptr;
};

// 1920x1080 opened on a 1280x720 work area: the window fits it and shows the whole
// desktop at two thirds; clicks land on the remote pixel under them; a resize
// rescales at once; Ctrl+Alt+Shift+S switches to 1:1 and back.
TEST_F(SmartSizingOnScreen, TheWholeDesktopFollowsTheWindowAndClicksLandWhereTheyPoint) {
    Connect(true, QRect(0, 0, 1280, 720));
    ASSERT_EQ(window_->size(), QSize(1280, 720));
    EXPECT_EQ(Widget().geometry(), QRect(0, 0, 1280, 720));
    EXPECT_TRUE(Widget().Scaled());
    EXPECT_TRUE(ScreenShows({{{320, 180}, Green},
                             {{636, 356}, Green},
                             {{644, 364}, Red},
                             {{1270, 710}, Red},
                             {{700, 180}, ServerBlue},
                             {{320, 600}, ServerBlue}}));
    EXPECT_FALSE(Near(ScreenPixel(1400, 800), Red)); // nothing beyond the window
    KeepScreen("smart-sizing-1920x1080-in-1280x720.png");

    EXPECT_TRUE(ClickLandsAt({640, 360}, {960, 540}));
    EXPECT_TRUE(ClickLandsAt({1279, 719}, {1919, 1079}));
    // The corners (the server's pointer never shows 0,0 itself, 1:1 either).
    EXPECT_TRUE(ClickLandsAt({1279, 0}, {1919, 0}));
    EXPECT_TRUE(ClickLandsAt({0, 719}, {0, 1079}));
    EXPECT_TRUE(ClickLandsAt({100, 600}, {150, 900}));

    window_->resize(960, 540);
    EXPECT_EQ(Widget().size(), QSize(960, 540));
    EXPECT_TRUE(
        ScreenShows({{{240, 135}, Green}, {{476, 266}, Green}, {{484, 274}, Red}, {{955, 535}, Red}}));
    EXPECT_FALSE(Near(ScreenPixel(1100, 600), Red));
    KeepScreen("smart-sizing-resized-to-960x540.png");
    EXPECT_TRUE(ClickLandsAt({959, 539}, {1919, 1079}));
    EXPECT_TRUE(ClickLandsAt({100, 100}, {200, 200}));

    QTest::keyClick(&Widget(), Qt::Key_S, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_FALSE(window_->SmartSizing());
    EXPECT_FALSE(Widget().Scaled());
    EXPECT_EQ(Widget().size(), QSize(1920, 1080)); // 1:1, the window shows its top-left part
    EXPECT_TRUE(ScreenShows({{{720, 405}, Green}, {{900, 500}, Green}}));
    EXPECT_TRUE(ClickLandsAt({300, 200}, {300, 200}));

    QTest::keyClick(&Widget(), Qt::Key_S, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_TRUE(window_->SmartSizing());
    EXPECT_TRUE(ScreenShows({{{484, 274}, Red}}));
    EXPECT_NE(host_.log.find("I Smart sizing off\nI Smart sizing on\n"), std::string::npos) << host_.log;
}

// At scale 1 smart sizing changes nothing: the widget draws on screen as without it
// and edges stay exact to the pixel.
TEST_F(SmartSizingOnScreen, AWindowOfTheDesktopsSizeShowsItOneToOne) {
    Connect(true, QRect(0, 0, 1920, 1080));
    EXPECT_EQ(window_->size(), QSize(1920, 1080));
    EXPECT_FALSE(Widget().Scaled());
    EXPECT_EQ(Widget().PaintsOnScreen(), Widget().testAttribute(Qt::WA_PaintOnScreen));
    EXPECT_TRUE(ScreenShows({{{959, 539}, Green},
                             {{960, 540}, Red},
                             {{1000, 100}, 0xFFFFFF},
                             {{999, 100}, ServerBlue},
                             {{1001, 100}, ServerBlue}}));
    EXPECT_TRUE(ClickLandsAt({1234, 567}, {1234, 567}));
    window_->resize(1280, 720); // then scaled, and back on screen when the size is the desktop's again
    EXPECT_TRUE(Widget().Scaled());
    EXPECT_FALSE(Widget().testAttribute(Qt::WA_PaintOnScreen));
    EXPECT_TRUE(ScreenShows({{{644, 364}, Red}}));
    window_->resize(1920, 1080);
    EXPECT_EQ(Widget().PaintsOnScreen(), Widget().testAttribute(Qt::WA_PaintOnScreen));
    EXPECT_TRUE(ScreenShows({{{959, 539}, Green}, {{960, 540}, Red}, {{1000, 100}, 0xFFFFFF}}));
}

// Without the profile's key the picture stays 1:1 whatever the window's size, and
// scroll bars bring the rest of it into view.
TEST_F(SmartSizingOnScreen, WithoutSmartSizingScrollBarsShowWhatTheWindowCannot) {
    Connect(false, QRect(0, 0, 1280, 720));
    EXPECT_EQ(window_->size(), QSize(1920, 1080)); // not fitted to the work area
    const QList<QScrollBar *> bars = window_->findChildren<QScrollBar *>();
    for (QScrollBar *bar : bars)
        EXPECT_FALSE(bar->isVisible()); // the whole desktop fits: none

    window_->resize(1280, 720);
    EXPECT_FALSE(Widget().Scaled());
    EXPECT_EQ(Widget().size(), QSize(1920, 1080));
    EXPECT_TRUE(ScreenShows({{{900, 500}, Green}, {{1000, 600}, Red}}));
    QScrollBar *horizontal = window_->findChild<QScrollBar *>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_EQ(window_->findChildren<QScrollBar *>().size(), 2);
    QScrollBar *vertical = window_->findChildren<QScrollBar *>()[1];
    if (horizontal->orientation() != Qt::Horizontal) std::swap(horizontal, vertical);
    ASSERT_TRUE(horizontal->isVisible() && vertical->isVisible());
    const int extent = horizontal->height();
    EXPECT_EQ(horizontal->maximum(), 1920 - (1280 - extent));
    EXPECT_EQ(vertical->maximum(), 1080 - (720 - extent));
    const QRgb corner = ScreenPixel(1280 - extent / 2, 720 - extent / 2);
    EXPECT_FALSE(Near(corner, Red) || Near(corner, Green) || Near(corner, ServerBlue)); // not the session
    KeepScreen("no-smart-sizing-scroll-bars.png");

    horizontal->setValue(horizontal->maximum()); // as far right and down as they go
    vertical->setValue(vertical->maximum());
    const QPoint shift(horizontal->maximum(), vertical->maximum());
    EXPECT_EQ(Widget().pos(), -shift);
    // The session's right and bottom edges now meet the bars.
    EXPECT_TRUE(ScreenShows({{QPoint(1500, 450) - shift, ServerBlue},
                             {QPoint(1500, 900) - shift, Red},
                             {QPoint(1918, 1078) - shift, Red},
                             {QPoint(900, 500) - shift, Green}}));
    KeepScreen("no-smart-sizing-scrolled.png");
    // A click where the window shows a point lands on that point of the session.
    EXPECT_TRUE(ClickLandsAt(Widget().mapFrom(window_.get(), QPoint(1500, 900) - shift), {1500, 900}));

    window_->resize(1920, 1080); // room for all of it: the bars go, the picture is back in place
    EXPECT_FALSE(horizontal->isVisible());
    EXPECT_FALSE(vertical->isVisible());
    EXPECT_EQ(Widget().pos(), QPoint(0, 0));
    EXPECT_EQ(Widget().PaintsOnScreen(), window_->testAttribute(Qt::WA_PaintOnScreen));
    EXPECT_TRUE(ScreenShows({{{959, 539}, Green}, {{960, 540}, Red}}));
    EXPECT_EQ(host_.log.find("Smart sizing"), std::string::npos);
}

} // namespace
} // namespace tsc

// The client's own display: an Xvfb without a window manager, as large as the session.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    const QByteArray path = home.path().toUtf8();
    for (const char *name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "TMPDIR"})
        qputenv(name, path);
    qputenv("XDG_CONFIG_DIRS", path + "/etc");
    qputenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH);
    if (::testing::GTEST_FLAG(list_tests)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication application(argc, argv);
        return RUN_ALL_TESTS();
    }
    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1920x1080x24", "-nolisten", "tcp", "-noreset"});
    if (!xvfb.waitForStarted(5000) || !xvfb.waitForReadyRead(10000)) return 2;
    const QByteArray display = ":" + xvfb.readLine().trimmed();
    qputenv("DISPLAY", display);
    qputenv("QT_QPA_PLATFORM", "xcb");
    int result = 0;
    {
        QApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    xvfb.terminate();
    xvfb.waitForFinished(3000);
    tsc::test::LeakCheckBeforeExit();
    return result;
}
