// The navigation bar as a user sees it: the real session window, full screen over a
// real RDP server (freerdp-shadow-cli), on an Xvfb of its own without a window
// manager, read back from the screen pixel by pixel.

#include "LeakCheckBeforeExit.h"
#include "NavigationBar.h"
#include "QuietHost.h"
#include "RdpEngineLibrary.h"
#include "RdpSessionWidget.h"
#include "ReconnectOverlay.h"
#include "SessionWindow.h"
#include "ShadowServer.h"

#include <QApplication>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>

namespace tsc {
namespace {

using test::QuietHost;

using test::ShadowServer;
using test::WaitFor;

constexpr QRgb ServerBlue = 0x3366CC;
constexpr int SessionTimeoutMs = 20000;

// What the screen shows in `area`.
QImage Screen(const QRect &area) {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QRect OnScreen(const QWidget *widget) {
    return QRect(widget->mapToGlobal(QPoint(0, 0)), widget->size());
}

bool Near(QRgb colour, QRgb expected, int tolerance = 16) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((colour >> shift) & 0xFF) -
                     static_cast<int>((expected >> shift) & 0xFF)) > tolerance)
            return false;
    return true;
}

int Colours(const QImage &image) {
    std::set<QRgb> colours;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            colours.insert(image.pixel(x, y) & 0xFFFFFFu);
    return static_cast<int>(colours.size());
}

// Pixels of `image` dark enough to be drawn lines or text.
int DarkPixels(const QImage &image) {
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 110;
    return dark;
}

int PixelsNear(const QImage &image, QRgb colour) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += Near(image.pixel(x, y), colour, 8);
    return count;
}

class NavigationBarOnScreen : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new QTemporaryDir();
        server_ = new ShadowServer(folder_->path(), QStringLiteral("#3366CC"));
        if (!server_->Start()) FAIL() << server_->Error().toStdString();
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }

    void SetUp() override {
        QString error;
        std::unique_ptr<RdpControl> control = RdpEngineLibrary::Instance().CreateControl(&error);
        ASSERT_TRUE(control) << error.toStdString();
        window_ = std::make_unique<SessionWindow>(RdpControlVariant::Win7_61, std::move(control), host_);
        window_->SetWindowColour(0xFFFFFF);
        window_->setWindowFlag(Qt::FramelessWindowHint, true);
        window_->setGeometry(QGuiApplication::primaryScreen()->geometry());
        bar_ = NavigationBar::Create(window_.get());
        window_->show();
        bar_->ExpandWithCaption(QStringLiteral("tester :: 127.0.0.1"));
        RdpControl &rdp = window_->Control();
        ConnectionSettings settings;
        settings.server = "127.0.0.1";
        settings.port = server_->Port();
        settings.userName = "tester";
        settings.audioMode = AudioMode::DoNotPlay;
        settings.desktopWidth = window_->width();
        settings.desktopHeight = window_->height();
        ASSERT_TRUE(rdp.AcceptsDesktopSize(settings.desktopWidth, settings.desktopHeight));
        window_->MsRdpClient()->setGeometry(window_->rect());
        ASSERT_TRUE(rdp.Connect(settings));
        ASSERT_TRUE(WaitFor([] { return Near(Screen(QRect(500, 400, 1, 1)).pixel(0, 0), ServerBlue); },
                            SessionTimeoutMs))
            << host_.log;
    }
    void TearDown() override {
        NavigationBar::Destroy();
        window_.reset();
    }

    // Waits until what the screen shows of the bar is drawn: the caption's text on its
    // own background, two pictures that are not a flat colour, the toggle icon.
    ::testing::AssertionResult ExpandedBarIsDrawn() {
        std::string why;
        const bool drawn = WaitFor(
            [&] {
                const QImage caption = Screen(OnScreen(bar_->st_Caption).adjusted(2, 2, -2, -2));
                const QImage minimize = Screen(OnScreen(bar_->image_Minimize));
                const QImage close = Screen(OnScreen(bar_->image_Close));
                const QImage icon = Screen(OnScreen(bar_->icon_ShowNavBar));
                const QRgb info = bar_->st_Caption->palette().color(QPalette::ToolTipBase).rgb() & 0xFFFFFFu;
                why = "caption dark " + std::to_string(DarkPixels(caption)) + ", on its background " +
                      std::to_string(PixelsNear(caption, info)) + "; minimise colours " +
                      std::to_string(Colours(minimize)) + ", dark " + std::to_string(DarkPixels(minimize)) +
                      "; close colours " + std::to_string(Colours(close)) + "; icon dark " +
                      std::to_string(DarkPixels(icon));
                return DarkPixels(caption) > 20 && PixelsNear(caption, info) > caption.width() * 2 &&
                       Colours(minimize) > 1 && DarkPixels(minimize) > 6 && Colours(close) > 1 &&
                       DarkPixels(close) > 6 && DarkPixels(icon) > 6 && !Near(icon.pixel(0, 0), ServerBlue);
            },
            3000);
        return drawn ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << why;
    }

    // The bar's own geometry: 16 pixels high at the top, inside the window.
    void ExpectInsideTheWindow() {
        EXPECT_EQ(bar_->height(), NavigationBar::BarHeight);
        EXPECT_EQ(bar_->y(), 0);
        EXPECT_TRUE(window_->rect().contains(bar_->geometry()))
            << bar_->geometry().x() << "," << bar_->geometry().width() << " in " << window_->width();
    }

    QuietHost host_;
    std::unique_ptr<SessionWindow> window_;
    NavigationBar *bar_ = nullptr;
    static inline QTemporaryDir *folder_ = nullptr;
    static inline ShadowServer *server_ = nullptr;
};

TEST_F(NavigationBarOnScreen, ExpandedShowsCaptionAndPicturesCollapsedOnlyTheIcon) {
    ASSERT_TRUE(ExpandedBarIsDrawn());
    ExpectInsideTheWindow();
    EXPECT_EQ(bar_->geometry().right() + 1, window_->width() - NavigationBar::RightMargin);
    for (QWidget *picture :
         {static_cast<QWidget *>(bar_->st_Caption), static_cast<QWidget *>(bar_->image_Minimize),
          static_cast<QWidget *>(bar_->image_Close), static_cast<QWidget *>(bar_->icon_ShowNavBar)})
        EXPECT_FALSE(picture->toolTip().isEmpty()) << picture->objectName().toStdString();

    const QRect strip = OnScreen(bar_->Panel_HideShow);
    QTest::mouseClick(bar_->icon_ShowNavBar, Qt::LeftButton);
    ASSERT_FALSE(bar_->Panel_HideShow->isVisible());
    EXPECT_EQ(bar_->geometry(),
              QRect(window_->width() - NavigationBar::IconSize - NavigationBar::RightMargin, 0, 16, 16));
    // Only the icon: where the strip was, the remote screen shows again.
    EXPECT_TRUE(WaitFor(
        [&] { return PixelsNear(Screen(strip), ServerBlue) == strip.width() * strip.height(); }, 3000));
    EXPECT_TRUE(WaitFor([&] { return DarkPixels(Screen(OnScreen(bar_->icon_ShowNavBar))) > 6; }, 3000));

    // A click on the caption toggles like the icon; expanded again, it is all drawn.
    QTest::mouseClick(bar_->icon_ShowNavBar, Qt::LeftButton);
    ASSERT_TRUE(bar_->Panel_HideShow->isVisible());
    EXPECT_TRUE(ExpandedBarIsDrawn());
    QTest::mouseClick(bar_->st_Caption, Qt::LeftButton);
    EXPECT_FALSE(bar_->Panel_HideShow->isVisible());
}

TEST_F(NavigationBarOnScreen, DrawnAgainAfterBeingCoveredAndAfterAResize) {
    ASSERT_TRUE(ExpandedBarIsDrawn());
    const QImage before = Screen(OnScreen(bar_));

    QWidget cover;
    cover.setWindowFlag(Qt::FramelessWindowHint);
    cover.setAutoFillBackground(true);
    cover.setPalette(QPalette(Qt::red));
    cover.setGeometry(OnScreen(bar_).adjusted(-20, 0, 20, 30));
    cover.show();
    ASSERT_TRUE(
        WaitFor([&] { return PixelsNear(Screen(OnScreen(bar_)), 0xFF0000) == bar_->width() * 16; }, 3000));
    cover.hide();
    EXPECT_TRUE(WaitFor([&] { return Screen(OnScreen(bar_)) == before; }, 3000));

    window_->resize(800, 600);
    EXPECT_EQ(bar_->geometry().right() + 1, 800 - NavigationBar::RightMargin);
    EXPECT_TRUE(ExpandedBarIsDrawn());
}

// Captions from elsewhere and small windows: the bar stays one line high, inside
// the window, and drawn.
TEST_F(NavigationBarOnScreen, LongOrBrokenCaptionsAndNarrowWindowsKeepTheBarWhole) {
    const QString longCaption = QString(500, QLatin1Char('W'));
    const struct {
        QString caption;
        int windowWidth;
    } cases[] = {
        {longCaption, 1024},
        {QStringLiteral("first line\r\nsecond line\nthird\ttab"), 1024},
        {QStringLiteral("tester :: 127.0.0.1"), 200},
        {longCaption, 200},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.caption.left(20).toStdString() + " at " + std::to_string(c.windowWidth));
        window_->resize(c.windowWidth, 600);
        bar_->ExpandWithCaption(c.caption);
        EXPECT_EQ(bar_->Caption(), c.caption);
        ExpectInsideTheWindow();
        EXPECT_FALSE(bar_->st_Caption->text().contains(QLatin1Char('\n')));
        EXPECT_TRUE(WaitFor([&] { return DarkPixels(Screen(OnScreen(bar_->image_Close))) > 6; }, 3000));
        QTest::mouseClick(bar_->icon_ShowNavBar, Qt::LeftButton); // collapse
        ExpectInsideTheWindow();
        QTest::mouseClick(bar_->icon_ShowNavBar, Qt::LeftButton); // and open again
        EXPECT_EQ(bar_->Caption(), c.caption);
        ExpectInsideTheWindow();
    }
}

// Clicks that come while the window changes size leave a bar in a state of the
// clicks, in its place and drawn.
TEST_F(NavigationBarOnScreen, ClicksDuringResizesLeaveAConsistentBar) {
    ASSERT_TRUE(ExpandedBarIsDrawn());
    for (int round = 0; round < 20; ++round) {
        window_->resize(600 + 20 * round, 500);
        QTest::mouseClick(bar_->icon_ShowNavBar, Qt::LeftButton);
        QApplication::processEvents();
    }
    window_->resize(1024, 768);
    EXPECT_TRUE(bar_->Panel_HideShow->isVisible()); // twenty clicks: open as before
    EXPECT_EQ(bar_->geometry().right() + 1, 1024 - NavigationBar::RightMargin);
    EXPECT_TRUE(ExpandedBarIsDrawn());
}

// A lost connection as the user sees it in full screen: the remote screen greyed
// with the message over it, the bar still drawn above; back to the session after.
TEST_F(NavigationBarOnScreen, ALostConnectionGreysTheScreenAndLeavesTheBarOnTop) {
    ASSERT_TRUE(ExpandedBarIsDrawn());
    window_->OnAutoReconnecting(RdpDisconnectReason::SocketClosed, 3);
    ReconnectOverlay *overlay = window_->ConnectionLostOverlay();
    ASSERT_TRUE(overlay->isVisible());
    const QRect panel(overlay->mapToGlobal(overlay->PanelGeometry().topLeft()),
                      overlay->PanelGeometry().size());
    EXPECT_TRUE(WaitFor(
        [&] {
            const QRgb centre = Screen(QRect(100, 400, 1, 1)).pixel(0, 0);
            return qRed(centre) == qGreen(centre) && qGreen(centre) == qBlue(centre) &&
                   DarkPixels(Screen(panel)) > 20;
        },
        3000));
    EXPECT_TRUE(ExpandedBarIsDrawn());
    EXPECT_NE(host_.log.find("I MsRdpClientAutoReconnecting: 2308 : 3"), std::string::npos);
    window_->OnAutoReconnected();
    EXPECT_TRUE(WaitFor([] { return Near(Screen(QRect(100, 400, 1, 1)).pixel(0, 0), ServerBlue); }, 3000));
}

} // namespace
} // namespace tsc

// The client's own display: an Xvfb without a window manager.
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
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
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
