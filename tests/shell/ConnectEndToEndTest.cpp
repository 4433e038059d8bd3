// The main window's connect against a real RDP server (freerdp-shadow-cli on an Xvfb
// of its own), with the client on a second Xvfb without a window manager, so the
// work area is the whole screen and what the screen shows can be read back.

#include "Application.h"
#include "LeakCheckBeforeExit.h"
#include "MainWindow.h"
#include "NavigationBar.h"
#include "ProcessState.h"
#include "RdpSessionWidget.h"
#include "ReconnectOverlay.h"
#include "SessionWindow.h"
#include "ShadowServer.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPixmap>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>

namespace tsc::shell {
namespace {

using testing::LoggedLine;
using testing::RecordingLog;
using tsc::test::ShadowServer;
using tsc::test::WaitFor;

constexpr int SessionTimeoutMs = 20000;
constexpr QRgb ClientRoot = 0x00FF00; // the client display's own background
constexpr QRgb ServerBlue = 0x3366CC;

class AnsweringDialogs final : public UserDialogs {
  public:
    Answer ShowMessage(const std::string &, const std::string &text, Buttons) override {
        shown.push_back(text);
        return Answer::Ok;
    }
    std::string SelectFolder(const std::string &, const std::string &) override { return {}; }
    std::vector<std::string> shown;
};

bool Near(QRgb colour, QRgb expected) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((colour >> shift) & 0xFF) -
                     static_cast<int>((expected >> shift) & 0xFF)) > 16)
            return false;
    return true;
}

// Whether some client holds the keyboard: another connection cannot take it then.
bool KeyboardGrabbedElsewhere() {
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    bool grabbed = false;
    if (!xcb_connection_has_error(connection)) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
        xcb_grab_keyboard_reply_t *reply =
            xcb_grab_keyboard_reply(connection,
                                    xcb_grab_keyboard(connection, 0, root, XCB_CURRENT_TIME,
                                                      XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                    nullptr);
        grabbed = reply && reply->status == XCB_GRAB_STATUS_ALREADY_GRABBED;
        if (reply && reply->status == XCB_GRAB_STATUS_SUCCESS)
            xcb_ungrab_keyboard(connection, XCB_CURRENT_TIME);
        std::free(reply);
        xcb_flush(connection);
    }
    xcb_disconnect(connection);
    return grabbed;
}

// What the client's screen shows at (x, y).
QRgb ScreenPixel(int x, int y) {
    const QImage shown = QGuiApplication::primaryScreen()->grabWindow(0, x, y, 1, 1).toImage();
    return shown.isNull() ? 0xFFFFFFFF : shown.pixel(0, 0) & 0xFFFFFFu;
}

class ConnectEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
    }

    bool StartServer(const QString &rootColour) {
        server_ = std::make_unique<ShadowServer>(folder_.path(), rootColour);
        if (server_->Start()) return true;
        ADD_FAILURE() << server_->Error().toStdString();
        return false;
    }

    std::unique_ptr<MainWindow> MakeWindow() {
        MainWindowServices services;
        services.openLog = [this](const std::string &, std::int64_t, DisplayLineSink display) {
            return std::make_unique<RecordingLog>(lines, std::move(display));
        };
        services.printers = [] { return PrinterList{{}, "", ""}; };
        services.terminateProcess = [] {};
        auto dialogs = std::make_unique<AnsweringDialogs>();
        dialogs_ = dialogs.get();
        services.dialogs = std::move(dialogs);
        auto window = std::make_unique<MainWindow>(std::move(services));
        window->show();
        window->Edit_Host->setText(QStringLiteral("127.0.0.1:%1").arg(server_->Port()));
        window->edit_UserName->setText("tester");
        window->cb_Sound->setCurrentIndex(2); // no sound device on test machines
        return window;
    }

    bool Logged(const std::string &text) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const LoggedLine &line) { return line.text == text; });
    }
    bool WaitForLine(const std::string &text, int milliseconds = SessionTimeoutMs) {
        return WaitFor([&] { return Logged(text); }, milliseconds);
    }
    std::string Trace() const {
        std::string all;
        for (const auto &line : lines)
            all += std::string(1, line.level) + " " + line.text + "\n";
        return all;
    }

    QTemporaryDir folder_;
    std::unique_ptr<ShadowServer> server_;
    std::vector<LoggedLine> lines;
    AnsweringDialogs *dialogs_ = nullptr;
};

TEST_F(ConnectEndToEnd, WindowedSessionTakesInputAndItsEndBringsBackTheMainWindow) {
    ASSERT_TRUE(StartServer("#3366CC"));
    auto window = MakeWindow();
    window->cb_Desktopsize->setCurrentIndex(3);
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr) << Trace();
    ASSERT_TRUE(WaitForLine("MsRdpClientLoginComplete")) << Trace();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(session->geometry(), QRect(0, 0, 1152, 864)); // the work area is the whole screen here
    EXPECT_EQ(session->frameGeometry().topLeft(), QPoint(0, 0));
    ASSERT_TRUE(WaitFor([] { return Near(ScreenPixel(500, 400), ServerBlue); }, SessionTimeoutMs)) << Trace();

    RdpSessionWidget *remote = session->MsRdpClient();
    QTest::mouseMove(remote, QPoint(321, 234));
    EXPECT_TRUE(WaitFor([&] { return server_->PointerAt(321, 234); }, 5000));
    QTest::mouseClick(remote, Qt::LeftButton, Qt::NoModifier, QPoint(321, 234));
    constexpr int KeyA = 38;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, KeyA, 0, 0, "a");
    QCoreApplication::sendEvent(remote, &press);
    EXPECT_TRUE(WaitFor([&] { return server_->KeyDown(KeyA); }, 5000));
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, KeyA, 0, 0, "a");
    QCoreApplication::sendEvent(remote, &release);
    EXPECT_TRUE(WaitFor([&] { return !server_->KeyDown(KeyA); }, 5000));

    // The server goes away: the window shows the lost connection; Cancel ends the
    // session and the main window returns with its settings.
    server_->StopServer();
    ASSERT_TRUE(WaitForLine("MsRdpClientAutoReconnecting: 2308 : 1")) << Trace();
    ReconnectOverlay *overlay = session->ConnectionLostOverlay();
    EXPECT_TRUE(overlay->isVisible());
    EXPECT_FALSE(window->isVisible());
    emit overlay->findChild<QPushButton *>("bn_ReconnectCancel")->clicked();
    ASSERT_TRUE(WaitFor([&] { return window->isVisible(); }, SessionTimeoutMs)) << Trace();
    EXPECT_TRUE(Logged("MsRdpClientDisconnected: 1")) << Trace();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const LoggedLine &l) {
        return l.text.starts_with("MsRdpClientDisconnected: ");
    }));
    EXPECT_TRUE(
        WaitFor([&] { return window->Core().SessionWindowOf(RdpControlVariant::Win7_61) == nullptr; }, 2000));
    EXPECT_EQ(window->cb_Desktopsize->currentIndex(), 3);
    EXPECT_EQ(window->Edit_Host->text(), QStringLiteral("127.0.0.1:%1").arg(server_->Port()));
    EXPECT_EQ(window->windowTitle(), "Terminal Server Client");
    EXPECT_TRUE(dialogs_->shown.empty());
}

// The profile named by parameter 1 sets AutoConnect; here it is set directly.
TEST_F(ConnectEndToEnd, AnAutomaticSessionClosesTheProgramWhenTheServerEndsIt) {
    ASSERT_TRUE(StartServer("#3366CC"));
    auto window = MakeWindow();
    testing::ChangeSettings(window->Core(), [](auto &s) { s.autoConnect = true; });
    window->cb_DoSeamless->setChecked(true);
    window->bn_ConnectClick();
    ASSERT_TRUE(WaitForLine("MsRdpClientLoginComplete")) << Trace();
    // While the session can still come back, the program stays.
    server_->StopServer();
    ASSERT_TRUE(WaitForLine("MsRdpClientAutoReconnecting: 2308 : 1")) << Trace();
    EXPECT_FALSE(window->Core().AutoCloseTimer()->isActive());
    // The server is back with another certificate: refused, and the session ends.
    QTemporaryDir otherCertificate;
    ASSERT_TRUE(server_->RestartServer(otherCertificate.path())) << server_->Error().toStdString();
    ASSERT_TRUE(WaitForLine("AutoClose client...")) << Trace();
    EXPECT_TRUE(Logged("MsRdpClientDisconnected: 4360")) << Trace();
    EXPECT_TRUE(window->Core().AutoCloseTimer()->isActive());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(WaitFor([] { return ProcessState::Closing(); }, 2000)); // the posted close requests
}

// The installed program started with a seamless profile as parameter 1.
TEST_F(ConnectEndToEnd, ProgramStartedWithAProfileConnectsAtOnceAndEndsWithTheSession) {
    ASSERT_TRUE(StartServer("#FF00FF"));
    // In the client's own data folder: connects without the question a file from
    // elsewhere gets.
    ASSERT_TRUE(EnsureFolder(ApplicationDataFolder()));
    const QString profile = QString::fromStdString(ApplicationDataFolder()) + "/demo.rdp";
    QFile file(profile);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("full address:s:127.0.0.1:%1\r\nusername:s:tester\r\naudiomode:i:2\r\n"
                              "tsv_doseamless:s:yes\r\n")
                   .arg(server_->Port())
                   .toUtf8());
    file.close();

    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS", "detect_leaks=0"); // leaks are the unit tests' business
    client.setProcessEnvironment(environment);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(TSC_TEST_CLIENT_PATH, {profile});
    ASSERT_TRUE(client.waitForStarted(5000));
    const QString logPath =
        QString::fromStdString(ApplicationDataFolder()) + "/TerminalServer_FarmClient.log";
    const auto logHas = [&](const char *text) {
        QFile log(logPath);
        return log.open(QIODevice::ReadOnly) && log.readAll().contains(text);
    };
    EXPECT_TRUE(WaitFor([&] { return logHas("Found Overlay"); }, SessionTimeoutMs));
    EXPECT_TRUE(logHas("Auto connect..."));
    EXPECT_TRUE(WaitFor([] { return Near(ScreenPixel(500, 400), ClientRoot); }, 3000));

    // The server comes back with another certificate: the reconnect is refused and
    // the session, and with it the program, ends.
    QTemporaryDir otherCertificate;
    ASSERT_TRUE(server_->RestartServer(otherCertificate.path())) << server_->Error().toStdString();
    EXPECT_TRUE(WaitFor([&] { return client.state() == QProcess::NotRunning; }, 15000));
    if (client.state() != QProcess::NotRunning) {
        client.kill();
        client.waitForFinished(3000);
    }
    EXPECT_TRUE(logHas("AutoClose client..."));
    // Written back with the session window's tag, to the file of parameter 1.
    EXPECT_TRUE(logHas(("Write FileName (commandline parameter 1): " + profile).toUtf8().constData()));
    EXPECT_TRUE(logHas(("Begin Write_tsv_RDP_file[61]: " + QString::fromStdString(ApplicationDataFolder()))
                           .toUtf8()
                           .constData()));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll().mid(2); // UTF-16 after its byte-order mark
    const QString written =
        QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), bytes.size() / 2);
    EXPECT_TRUE(written.contains(QStringLiteral("full address:s:127.0.0.1:%1").arg(server_->Port())))
        << written.toStdString();
}

TEST_F(ConnectEndToEnd, FullScreenShowsTheNavigationBarAtTheTop) {
    ASSERT_TRUE(StartServer("#3366CC"));
    auto window = MakeWindow();
    window->bn_ConnectClick(); // "Full Screen" with the connection bar: the defaults
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr) << Trace();
    ASSERT_TRUE(WaitForLine("MsRdpClientLoginComplete")) << Trace();
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(session->geometry(), screen);
    NavigationBar *bar = NavigationBar::Current();
    ASSERT_NE(bar, nullptr);
    ASSERT_TRUE(WaitFor([] { return Near(ScreenPixel(500, 400), ServerBlue); }, SessionTimeoutMs)) << Trace();

    // Expanded with the caption: its right edge 100 pixels from the screen's.
    EXPECT_TRUE(bar->Panel_HideShow->isVisible());
    EXPECT_EQ(bar->geometry().top(), 0);
    EXPECT_EQ(bar->geometry().right() + 1, screen.width() - 100);
    const QPoint caption = bar->st_Caption->mapToGlobal(bar->st_Caption->rect().center());
    EXPECT_TRUE(WaitFor([&] { return !Near(ScreenPixel(caption.x(), caption.y()), ServerBlue); }, 3000));

    QTest::mouseClick(bar->icon_ShowNavBar, Qt::LeftButton);
    EXPECT_FALSE(bar->Panel_HideShow->isVisible());
    EXPECT_EQ(bar->geometry(), QRect(screen.width() - 16 - 100, 0, 16, 16));
    // Where the strip was, the remote screen shows again.
    EXPECT_TRUE(WaitFor([&] { return Near(ScreenPixel(caption.x(), caption.y()), ServerBlue); }, 3000));
}

// Full screen is asked of the window manager as well (here there is none, and the
// client's own geometry stands); with the Windows keys on the server (the default)
// the session holds the keyboard while it has the focus.
TEST_F(ConnectEndToEnd, FullScreenHoldsTheKeyboardWhileTheSessionHasTheFocus) {
    ASSERT_TRUE(StartServer("#3366CC"));
    auto window = MakeWindow();
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr) << Trace();
    ASSERT_TRUE(WaitForLine("MsRdpClientLoginComplete")) << Trace();
    EXPECT_TRUE(session->isFullScreen());
    EXPECT_EQ(session->geometry(), QGuiApplication::primaryScreen()->geometry());
    EXPECT_TRUE(WaitFor([] { return KeyboardGrabbedElsewhere(); }, 3000));

    QLineEdit local; // a local window takes the focus: the keyboard is the desktop's again
    local.show();
    local.activateWindow();
    ASSERT_TRUE(WaitFor([&] { return local.isActiveWindow(); }, 3000));
    EXPECT_TRUE(WaitFor([] { return !KeyboardGrabbedElsewhere(); }, 3000));
    local.close();
    session->activateWindow();
    session->MsRdpClient()->setFocus();
    EXPECT_TRUE(WaitFor([] { return KeyboardGrabbedElsewhere(); }, 3000));

    session->OnLeaveFullScreenMode();
    EXPECT_TRUE(WaitFor([] { return !KeyboardGrabbedElsewhere(); }, 3000));
}

TEST_F(ConnectEndToEnd, WindowedSessionLeavesTheKeyboardToTheDesktop) {
    ASSERT_TRUE(StartServer("#3366CC"));
    auto window = MakeWindow();
    window->cb_Desktopsize->setCurrentIndex(2);
    window->bn_ConnectClick();
    ASSERT_TRUE(WaitForLine("MsRdpClientLoginComplete")) << Trace();
    QTest::qWait(300);
    EXPECT_FALSE(KeyboardGrabbedElsewhere());
}

// A desktop's logout or systemd stopping the session: the program ends as "Close"
// ends it, the session disconnected and the profile written back.
TEST_F(ConnectEndToEnd, SigtermEndsTheProgramTheWayCloseDoes) {
    ASSERT_TRUE(StartServer("#3366CC"));
    ASSERT_TRUE(EnsureFolder(ApplicationDataFolder()));
    const QString profile = QString::fromStdString(ApplicationDataFolder()) + "/demo.rdp";
    QFile file(profile);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("full address:s:127.0.0.1:%1\r\nusername:s:tester\r\naudiomode:i:2\r\n")
                   .arg(server_->Port())
                   .toUtf8());
    file.close();

    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS", "detect_leaks=0");
    client.setProcessEnvironment(environment);
    client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    client.start(TSC_TEST_CLIENT_PATH, {profile});
    ASSERT_TRUE(client.waitForStarted(5000));
    const QString logPath =
        QString::fromStdString(ApplicationDataFolder()) + "/TerminalServer_FarmClient.log";
    const auto log = [&] {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    ASSERT_TRUE(WaitFor([&] { return log().contains("MsRdpClientLoginComplete"); }, SessionTimeoutMs));
    ::kill(static_cast<pid_t>(client.processId()), SIGTERM);
    EXPECT_TRUE(client.waitForFinished(10000));
    if (client.state() != QProcess::NotRunning) {
        client.kill();
        client.waitForFinished(3000);
    }
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client.exitCode(), 0);
    const QByteArray written = log();
    const qsizetype signal = written.indexOf("Close requested by SIGTERM");
    ASSERT_GE(signal, 0);
    EXPECT_GT(written.indexOf("Begin Write_tsv_RDP_file[1]", signal), signal);
    EXPECT_GT(written.indexOf("Close: RDP 6.1 object disconnected", signal), signal);
    EXPECT_GT(written.indexOf("Log stopped", signal), signal);
}

TEST_F(ConnectEndToEnd, SeamlessFindsTheOverlayAndShowsTheLocalDesktopThroughIt) {
    ASSERT_TRUE(StartServer("#FF00FF"));
    QProcess application; // something on the remote desktop that is not the key colour
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", server_->Display());
    application.setProcessEnvironment(environment);
    application.start("xlogo", {"-geometry", "200x200+100+100", "-bg", "white", "-fg", "black"});
    ASSERT_TRUE(application.waitForStarted(5000));

    auto window = MakeWindow();
    window->cb_DoSeamless->setChecked(true);
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr) << Trace();
    EXPECT_LT(session->x(), -1000); // off screen until the overlay is seen
    ASSERT_TRUE(WaitForLine("Found Overlay")) << Trace();
    EXPECT_TRUE(Logged("Set Overlay: 00FF.00FF"));
    EXPECT_EQ(session->pos(), QPoint(0, 0));
    EXPECT_TRUE(session->windowFlags().testFlag(Qt::FramelessWindowHint));
    // The remote background lets the local one through; the remote application shows.
    EXPECT_TRUE(WaitFor([] { return Near(ScreenPixel(200, 110), 0xFFFFFF); }, SessionTimeoutMs)) << Trace();
    EXPECT_TRUE(Near(ScreenPixel(700, 500), ClientRoot)) << std::hex << ScreenPixel(700, 500);
    EXPECT_TRUE(Near(ScreenPixel(50, 50), ClientRoot));
    application.kill();
    application.waitForFinished(3000);
}

TEST_F(ConnectEndToEnd, SeamlessWithoutTheKeyColourTimesOutAndShowsTheSessionUnlayered) {
    ASSERT_TRUE(StartServer("#3366CC"));
    auto window = MakeWindow();
    window->cb_DoSeamless->setChecked(true);
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr) << Trace();
    // A connect slower than a second waits 60 ticks of 500 ms.
    ASSERT_TRUE(WaitForLine("timeout while waiting for Overlay", 40000)) << Trace();
    EXPECT_FALSE(Logged("Found Overlay"));
    EXPECT_EQ(session->pos(), QPoint(0, 0));
    EXPECT_FALSE(session->Layered());
    EXPECT_TRUE(WaitFor([] { return Near(ScreenPixel(700, 500), ServerBlue); }, 3000))
        << std::hex << ScreenPixel(700, 500);
}

} // namespace
} // namespace tsc::shell

// The client's own display: an Xvfb with a green root window and no window manager.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH, 1);
    if (::testing::GTEST_FLAG(list_tests)) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        int applicationArgc = 1;
        tsc::shell::Application application(applicationArgc, argv);
        return RUN_ALL_TESTS();
    }
    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
    if (!xvfb.waitForStarted(5000) || !xvfb.waitForReadyRead(10000)) return 2;
    const QByteArray display = ":" + xvfb.readLine().trimmed();
    ::setenv("DISPLAY", display.constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    QProcess::execute("xsetroot", {"-display", QString::fromLatin1(display), "-solid", "#00FF00"});
    int result = 0;
    {
        int applicationArgc = 1;
        tsc::shell::Application application(applicationArgc, argv);
        result = RUN_ALL_TESTS();
    }
    xvfb.terminate();
    xvfb.waitForFinished(3000);
    tsc::test::LeakCheckBeforeExit();
    return result;
}
