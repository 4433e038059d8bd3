// The connect procedure, the session window and the navigation bar with a control
// that does not connect, on the offscreen platform. The real engine and server are
// in ConnectEndToEndTest.

#include "Application.h"
#include "FakeRdpControl.h"
#include "MainWindow.h"
#include "NavigationBar.h"
#include "Preferences.h"
#include "RdpSessionWidget.h"
#include "ReconnectOverlay.h"
#include "SessionWindow.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>

namespace tsc::shell {
namespace {

using testing::FakeRdpControl;
using testing::LoggedLine;
using testing::RecordingLog;

struct ShownMessage {
    std::string caption;
    std::string text;
    UserDialogs::Icon icon;
};

class RecordingDialogs final : public UserDialogs {
  public:
    explicit RecordingDialogs(std::vector<ShownMessage> &shown) : shown_(shown) {}
    Answer ShowMessage(const std::string &caption, const std::string &text, Buttons buttons) override {
        return ShowMessage(caption, text, buttons, Icon::Information);
    }
    Answer ShowMessage(const std::string &caption, const std::string &text, Buttons, Icon icon) override {
        shown_.push_back({caption, text, icon});
        return Answer::Ok;
    }
    std::string SelectFolder(const std::string &, const std::string &) override { return {}; }

  private:
    std::vector<ShownMessage> &shown_;
};

class ConnectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
    }

    // `detect` false: the real detection of the engine runs.
    std::unique_ptr<MainWindow> MakeWindow(bool stubDetection = true) {
        MainWindowServices services;
        services.openLog = [this](const std::string &, std::int64_t, DisplayLineSink display) {
            return std::make_unique<RecordingLog>(lines, std::move(display));
        };
        services.printers = [] { return PrinterList{{"Office"}, "Office", ""}; };
        services.pixelsPerInch = [] { return 96; };
        services.shiftHeld = [] { return false; };
        services.terminateProcess = [] {};
        services.dialogs = std::make_unique<RecordingDialogs>(messages);
        if (stubDetection)
            services.detectRdpClient = [](LogSink &) {
                return RdpClientDetectionResult{"2.11.7.0", true, false};
            };
        services.createRdpControl = [this](QString *error) -> std::unique_ptr<RdpControl> {
            if (!engineAvailable) {
                *error = "engine missing";
                return nullptr;
            }
            auto control = std::make_unique<FakeRdpControl>(record, largestSize);
            fake = control.get();
            return control;
        };
        auto window = std::make_unique<MainWindow>(std::move(services));
        window->show();
        return window;
    }

    bool Logged(char level, const std::string &text) const {
        return std::find(lines.begin(), lines.end(), LoggedLine{level, text}) != lines.end();
    }
    // The texts from the last "Begin Connect" on.
    std::vector<std::string> ConnectLines() const {
        std::vector<std::string> texts;
        for (const auto &line : lines) {
            if (line.text == "Begin Connect") texts.clear();
            texts.push_back(line.text);
        }
        return texts;
    }
    static void DeleteReleasedWindows() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    static QRect WorkArea() { return QGuiApplication::primaryScreen()->availableGeometry(); }
    static QRect Monitor() { return QGuiApplication::primaryScreen()->geometry(); }

    QTemporaryDir folder_;
    std::vector<LoggedLine> lines;
    std::vector<ShownMessage> messages;
    FakeRdpControl::Record record;
    FakeRdpControl *fake = nullptr;
    QSize largestSize{4096, 2048};
    bool engineAvailable = true;
};

// Preferences that cannot be saved at close are not lost silently: the user is told.
// A file-size limit of one byte stands in for a full disk.
TEST_F(ConnectTest, ColumnWidthsThatCannotBeSavedAreReportedAtClose) {
    auto window = MakeWindow();
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const rlimit tiny{1, previous.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
    window.reset();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    const auto widths = std::find_if(messages.begin(), messages.end(), [](const ShownMessage &message) {
        return message.text.find("column widths could not be saved in " + IniFilePath()) != std::string::npos;
    });
    ASSERT_NE(widths, messages.end());
    EXPECT_EQ(widths->icon, UserDialogs::Icon::Error);
    EXPECT_TRUE(Logged('E', "Exception 1 WriteAllIniValues"));
}

TEST_F(ConnectTest, StartUpDetectsTheEngineAndKeepsTheMicrosoftPageHidden) {
    auto window = MakeWindow(false);
    EXPECT_EQ(window->Core().RdpClientVersion(), "2.11.7.0");
    EXPECT_TRUE(window->Core().RdpControlUsable());
    EXPECT_TRUE(Logged('I', "libtsc-rdpengine.so: [2.11.7.0]"));
    EXPECT_FALSE(
        window->PageControl_kiv->isTabVisible(window->PageControl_kiv->indexOf(window->TabSheet_MSRDP)));
    EXPECT_EQ(VariantForVersion(window->Core().RdpClientVersion()), RdpControlVariant::Win7_61);
}

TEST_F(ConnectTest, MissingEngineShowsTheMicrosoftPageAndConnectFailsWithItsMessage) {
    ::setenv("TSC_RDP_ENGINE", "/nonexistent/libtsc-rdpengine.so", 1);
    auto window = MakeWindow(false);
    EXPECT_EQ(window->Core().RdpClientVersion(), "0.0.0.0");
    EXPECT_FALSE(window->Core().RdpControlUsable());
    EXPECT_TRUE(Logged('E', "Can not find: /nonexistent/libtsc-rdpengine.so"));
    EXPECT_TRUE(Logged('I', "libtsc-rdpengine.so: [0.0.0.0]"));
    EXPECT_TRUE(
        window->PageControl_kiv->isTabVisible(window->PageControl_kiv->indexOf(window->TabSheet_MSRDP)));
    EXPECT_EQ(window->PageControl_kiv->currentWidget(), window->TabSheet_MSRDP);
    EXPECT_TRUE(window->label_Status->text().startsWith("This PC seems not to have the correct version"))
        << window->label_Status->text().toStdString();

    // A connect anyway ends with the failure message instead of a hidden main window.
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, UserDialogs::Icon::Error);
    EXPECT_TRUE(Logged('E', "Exception RDP object: no RDP control for version 0.0.0.0"));
    EXPECT_TRUE(window->isVisible());
    ::unsetenv("TSC_RDP_ENGINE");
}

TEST_F(ConnectTest, NoHostGivesTheMessageAndNoSessionWindow) {
    auto window = MakeWindow();
    for (const char *host : {":", ""}) {
        messages.clear();
        window->Edit_Host->setText(host);
        window->bn_ConnectClick();
        ASSERT_EQ(messages.size(), 1u) << host;
        EXPECT_EQ(messages[0].text, "A problem occured: I do not have a hostname to connect to...");
        EXPECT_EQ(messages[0].icon, UserDialogs::Icon::Question);
        EXPECT_EQ(messages[0].caption, "Terminal Server Client");
        EXPECT_EQ(ConnectLines(),
                  (std::vector<std::string>{"Begin Connect", "Do not DoLoadBalancing", "Do not RDP+",
                                            "Cannot connect: no hostname to connect to...", "End Connect"}));
    }
    EXPECT_EQ(window->Core().SessionWindowOf(RdpControlVariant::Win7_61), nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->bn_Connect->isEnabled());
    EXPECT_FALSE(window->Core().Connecting());
}

TEST_F(ConnectTest, EnterInAFieldClicksConnectOnlyWhereConnectCanBeSeen) {
    auto window = MakeWindow();
    window->show();
    window->Edit_Host->setText("");
    QTest::keyClick(window->Edit_Host, Qt::Key_Return);
    EXPECT_EQ(messages.size(), 1u); // the empty-host message: the connect procedure ran

    messages.clear();
    window->PageControl_kiv->setCurrentWidget(window->TabSheet_Settings);
    QTest::keyClick(window->cb_DoSeamless, Qt::Key_Return);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ConnectTest, WindowedSessionGetsItsSizePlaceAndEveryProperty) {
    auto window = MakeWindow();
    window->cb_Desktopsize->setCurrentIndex(3);
    window->Edit_Host->setText("ts1:70000");
    window->edit_UserName->setText("anna");
    window->edit_Password->setText("pw");
    window->edit_Domain->setText("OFFICE");
    window->bn_ConnectClick();

    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr);
    ASSERT_NE(fake, nullptr);
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(session->isVisible());
    // The window's top-left at the work area's; the client area exactly the size.
    EXPECT_EQ(session->frameGeometry().topLeft(), WorkArea().topLeft());
    EXPECT_EQ(session->size(), QSize(1152, 864));
    EXPECT_EQ(session->MsRdpClient()->geometry(), QRect(0, 0, 1152, 864));
    EXPECT_FALSE(session->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(session->objectName(), "form_win7_61_RDPObject");
    EXPECT_EQ(session->windowTitle(), "anna :: ts1");
    EXPECT_EQ(window->windowTitle(), "anna :: ts1");

    const ConnectionSettings &started = fake->Settings();
    EXPECT_EQ(started.server, "ts1");
    EXPECT_EQ(started.port, 3389);
    EXPECT_EQ(started.desktopWidth, 1152);
    EXPECT_EQ(started.desktopHeight, 864);
    EXPECT_EQ(started.colorDepth, 15);
    EXPECT_EQ(started.userName, "OFFICE\\anna");
    EXPECT_EQ(started.domain, "OFFICE");
    EXPECT_EQ(started.password, "pw");
    EXPECT_EQ(started.performanceFlags, 15u);
    EXPECT_TRUE(started.displayConnectionBar);
    EXPECT_TRUE(started.bitmapPersistence);
    EXPECT_EQ(started.keyboardHookMode, KeyboardHookMode::Remote);
    EXPECT_EQ(started.workDir, "");
    EXPECT_EQ(record.calls, (QStringList{"AcceptsDesktopSize 1152 x 864", "Connect"}));
    EXPECT_EQ(window->Core().Settings().desktopWidth, 1152); // the user's setting, not changed by the connect

    const std::string profile = ApplicationDataFolder() + "/tsv_farm.rdp";
    EXPECT_EQ(ConnectLines(), (std::vector<std::string>{
                                  "Begin Connect", "Do not DoLoadBalancing", "Do not RDP+",
                                  "Begin Write_tsv_RDP_file[3]: " + profile, "Write FileName: " + profile,
                                  "End Write_tsv_RDP_file", "Do not seamless", "RDP object: set properties",
                                  "left:   0", "top:    0", "width:  1152", "height: 864", "Colors: 15",
                                  "RDP object: connect", "End Connect"}));
    EXPECT_TRUE(window->bn_Connect->isEnabled());
}

TEST_F(ConnectTest, RefusedSizesFallBackAndARefusedLastFallBackFailsTheConnect) {
    auto window = MakeWindow();
    window->cb_Desktopsize->setCurrentIndex(7);
    window->edit_Desktopsize_width->setText("5000");
    window->edit_Desktopsize_height->setText("3000");
    window->Edit_Host->setText("ts1");

    largestSize = {1600, 1200};
    window->bn_ConnectClick();
    EXPECT_TRUE(Logged('W', "Can not do desired width x height: 5000 x 3000"));
    EXPECT_TRUE(Logged('W', "Can not do desired width x height: 4096 x 2048"));
    ASSERT_NE(window->Core().SessionWindowOf(RdpControlVariant::Win7_61), nullptr);
    EXPECT_EQ(window->Core().SessionWindowOf(RdpControlVariant::Win7_61)->size(), QSize(1600, 1200));
    EXPECT_EQ(fake->Settings().desktopWidth, 1600);
    EXPECT_TRUE(messages.empty());

    lines.clear();
    largestSize = {1000, 1000};
    window->bn_ConnectClick();
    EXPECT_TRUE(Logged('W', "Can not do desired width x height: 1600 x 1200"));
    EXPECT_TRUE(Logged('E', "Exception RDP object: The RDP control refuses the desktop size 1280 x 1024"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].icon, UserDialogs::Icon::Error);
    EXPECT_EQ(messages[0].text,
              "An error occured: The RDP control refuses the desktop size 1280 x 1024\r\r"
              "You can try to solve this by (re)installing\rthe FreeRDP 2 package "
              "(libfreerdp-client2-2)\rand the client's RDP engine module,\rsee the status on "
              "the FreeRDP page");
    EXPECT_EQ(window->Core().SessionWindowOf(RdpControlVariant::Win7_61), nullptr);
    EXPECT_TRUE(record.destroyed);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(ConnectLines().back(), "End Connect");
}

TEST_F(ConnectTest, AControlThatCannotBeCreatedFailsTheConnect) {
    auto window = MakeWindow();
    engineAvailable = false;
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    EXPECT_TRUE(Logged('E', "Exception RDP object: engine missing"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->Core().SessionWindowOf(RdpControlVariant::Win7_61), nullptr);
}

TEST_F(ConnectTest, SessionEventsAreLoggedAndTheEndBringsBackTheMainWindow) {
    auto window = MakeWindow();
    window->Edit_Host->setText("ts1");
    window->edit_UserName->setText("OFFICE\\anna");
    window->cb_Desktopsize->setCurrentIndex(1);
    window->bn_ConnectClick();
    QPointer<SessionWindow> session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_TRUE(session);
    fake->SetDomain("office");
    fake->Events()->OnConnecting();
    fake->RaiseLoginComplete();
    fake->Events()->OnWarning(106);
    fake->Events()->OnRequestLeaveFullScreen();
    EXPECT_EQ(session->windowTitle(), "OFFICE\\anna :: ts1"); // the domain is not repeated
    for (const LoggedLine &line :
         std::vector<LoggedLine>{{'I', "MsRdpClientConnecting"},
                                 {'I', "MsRdpClientConnected"},
                                 {'I', "MsRdpClientLoginComplete"},
                                 {'I', " Server:   ts1"},
                                 {'I', " Domain:   office"},
                                 {'I', " UserName: OFFICE\\anna"},
                                 {'W', "MsRdpClientWarning: 106"},
                                 {'W', "Transport endpoint is already connected [106]"},
                                 {'I', "MsRdpClientRequestLeaveFullScreen("}})
        EXPECT_TRUE(Logged(line.level, line.text)) << line.text;

    // The caption-update message reads the control again.
    fake->SetUserName("bob");
    QEvent captionUpdate(SessionWindow::CaptionUpdateEvent);
    QCoreApplication::sendEvent(session, &captionUpdate);
    EXPECT_EQ(session->windowTitle(), "office\\bob :: ts1");

    fake->RaiseDisconnected(3);
    EXPECT_TRUE(Logged('I', "MsRdpClientDisconnected: 3"));
    EXPECT_TRUE(Logged('I', "Begin Write_tsv_RDP_file[61]: " + ApplicationDataFolder() + "/tsv_farm.rdp"));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowTitle(), "Terminal Server Client");
    DeleteReleasedWindows();
    EXPECT_FALSE(session);
    EXPECT_FALSE(window->Core().AutoCloseTimer()->isActive());
}

TEST_F(ConnectTest, TheEndOfAnAutomaticSessionClosesTheProgram) {
    auto window = MakeWindow();
    testing::ChangeSettings(window->Core(), [](auto &s) { s.autoConnect = true; });
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    ASSERT_NE(fake, nullptr);
    fake->RaiseDisconnected(2);
    EXPECT_TRUE(Logged('I', "AutoClose client..."));
    EXPECT_TRUE(window->Core().AutoCloseTimer()->isActive());
    EXPECT_FALSE(window->isVisible());
}

// A lost connection: the last picture greyed with the attempt and a Cancel button, the
// navigation bar still above it, and a program started on a profile stays open until
// the session really ends; a stall shows the same and goes with the data.
TEST_F(ConnectTest, ALostConnectionShowsTheGreyedPictureAndKeepsAnAutomaticProgramOpen) {
    auto window = MakeWindow();
    testing::ChangeSettings(window->Core(), [](auto &s) { s.autoConnect = true; });
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick(); // full screen with the connection bar
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr);
    fake->RaiseLoginComplete();
    fake->Paint(session->size(), 0x3366CC);
    ReconnectOverlay *overlay = session->ConnectionLostOverlay();
    EXPECT_FALSE(overlay->isVisible());

    fake->Events()->OnAutoReconnecting(2308, 3);
    EXPECT_TRUE(Logged('I', "MsRdpClientAutoReconnecting: 2308 : 3"));
    ASSERT_TRUE(overlay->isVisible());
    EXPECT_EQ(overlay->Message(), "Connection lost. Reconnecting (3 of 20)...");
    EXPECT_EQ(overlay->geometry(), session->rect());
    const QColor shown = overlay->grab(QRect(10, 100, 1, 1)).toImage().pixelColor(0, 0);
    EXPECT_EQ(shown.red(), shown.green());
    EXPECT_EQ(shown.green(), shown.blue()); // grey, not the session's blue
    NavigationBar *bar = NavigationBar::Current();
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(session->children().indexOf(bar), session->children().size() - 1); // stacked on top
    EXPECT_FALSE(window->Core().AutoCloseTimer()->isActive());
    EXPECT_TRUE(session->isVisible());

    fake->Events()->OnAutoReconnecting(2308, 4);
    EXPECT_EQ(overlay->Message(), "Connection lost. Reconnecting (4 of 20)...");
    fake->Events()->OnAutoReconnected();
    EXPECT_FALSE(overlay->isVisible());
    EXPECT_EQ(record.connects, 1); // the control reconnects itself, to the same server

    fake->Events()->OnConnectionStalled(true);
    EXPECT_TRUE(overlay->isVisible());
    EXPECT_EQ(overlay->Message(), "Connection lost. Waiting for the server...");
    fake->Events()->OnConnectionStalled(false);
    EXPECT_FALSE(overlay->isVisible());

    fake->Events()->OnAutoReconnecting(2308, 1);
    emit overlay->findChild<QPushButton *>("bn_ReconnectCancel")->clicked();
    EXPECT_TRUE(record.calls.contains("Disconnect"));
    fake->RaiseDisconnected(1);
    EXPECT_TRUE(Logged('I', "AutoClose client..."));
    EXPECT_TRUE(window->Core().AutoCloseTimer()->isActive());
}

TEST_F(ConnectTest, ASecondConnectFreesTheSessionWindowOfItsVariant) {
    auto window = MakeWindow();
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    QPointer<SessionWindow> first = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    window->show();
    window->bn_ConnectClick();
    EXPECT_FALSE(first);
    ASSERT_NE(window->Core().SessionWindowOf(RdpControlVariant::Win7_61), nullptr);
    EXPECT_EQ(record.connects, 2);
    const auto windows = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(windows.begin(), windows.end(),
                            [](QWidget *w) { return qobject_cast<SessionWindow *>(w) != nullptr; }),
              1);
}

TEST_F(ConnectTest, ClosingTheSessionWindowClosesTheMainWindowAndShutdownFreesIt) {
    auto window = MakeWindow();
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    QPointer<SessionWindow> session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    fake->RaiseLoginComplete();
    session->close();
    EXPECT_TRUE(session && session->isVisible()); // the session window refuses
    EXPECT_FALSE(window->isVisible());            // the main window closed
    window.reset();                               // FormDestroy
    EXPECT_FALSE(session);
    EXPECT_TRUE(Logged('I', "Close: disconnect RDP 6.1 object"));
    EXPECT_TRUE(Logged('I', "Close: RDP 6.1 object disconnected"));
}

TEST_F(ConnectTest, FullScreenWithTheConnectionBar) {
    auto window = MakeWindow();
    window->Edit_Host->setText("ts1");
    window->edit_UserName->setText("anna");
    window->bn_ConnectClick(); // "Full Screen" is the default with the bar checked
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(Logged('I', "Do fullscreen"));
    EXPECT_TRUE(session->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(session->geometry(), Monitor());

    NavigationBar *bar = NavigationBar::Current();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->parentWidget(), session);
    const int right = session->width();
    const auto expandedLeft = [&] { return right - bar->Panel_HideShow->width() - 16 - 100; };
    // Expanded with the connection caption after the connect.
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->st_Caption->text(), "anna :: ts1");
    EXPECT_TRUE(bar->Panel_HideShow->isVisible());
    EXPECT_EQ(bar->pos(), QPoint(expandedLeft(), 0));
    EXPECT_EQ(bar->geometry().right() + 1, right - 100);

    emit bar->icon_ShowNavBar->clicked();
    EXPECT_FALSE(bar->Panel_HideShow->isVisible());
    EXPECT_EQ(bar->pos(), QPoint(right - 16 - 100, 0));
    session->resize(800, 600);
    EXPECT_EQ(bar->pos(), QPoint(800 - 16 - 100, 0));
    EXPECT_FALSE(bar->Panel_HideShow->isVisible());
    emit bar->st_Caption->clicked(); // the caption toggles like the icon
    session->resize(1000, 700);
    EXPECT_TRUE(bar->Panel_HideShow->isVisible());
    EXPECT_EQ(bar->pos(), QPoint(1000 - bar->Panel_HideShow->width() - 16 - 100, 0));

    // A title while the strip is closed opens it.
    emit bar->icon_ShowNavBar->clicked();
    window->Core().SetTitles("other");
    EXPECT_TRUE(bar->Panel_HideShow->isVisible());
    EXPECT_EQ(bar->st_Caption->text(), "other");

    int minimised = 0, terminated = 0;
    bar->minimizeApplication = [&] { ++minimised; };
    bar->terminateApplication = [&] { ++terminated; };
    emit bar->image_Minimize->clicked();
    emit bar->image_Close->clicked();
    EXPECT_EQ(minimised, 1);
    EXPECT_EQ(terminated, 1);

    // No bar for a windowed session, nor without the option.
    window->cb_Desktopsize->setCurrentIndex(2);
    window->bn_ConnectClick();
    EXPECT_EQ(NavigationBar::Current(), nullptr);
    window->cb_Desktopsize->setCurrentIndex(5);
    window->cb_DisplayConnectionBar->setChecked(false);
    window->bn_ConnectClick();
    EXPECT_EQ(NavigationBar::Current(), nullptr);
    EXPECT_EQ(window->Core().SessionWindowOf(RdpControlVariant::Win7_61)->geometry(), WorkArea());
    EXPECT_FALSE(fake->Settings().displayConnectionBar);
}

// Through the toolkit (Wayland, a scaled screen, grab()) the remote screen is opaque
// on a surface with an alpha channel, though the engine leaves that byte 0.
TEST_F(ConnectTest, TheRemoteScreenIsPaintedOpaque) {
    auto window = MakeWindow();
    window->Edit_Host->setText("ts1");
    window->cb_Desktopsize->setCurrentIndex(0);
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr);
    fake->Paint(QSize(64, 48), 0xFA00FA);
    QImage shown(80, 60, QImage::Format_ARGB32_Premultiplied);
    shown.fill(Qt::transparent);
    session->MsRdpClient()->render(&shown, QPoint(), QRegion(0, 0, 80, 60));
    EXPECT_EQ(shown.pixel(0, 0), 0xFFFA00FAu);
    EXPECT_EQ(shown.pixel(63, 47), 0xFFFA00FAu);
    EXPECT_EQ(shown.pixel(70, 55), 0xFF000000u); // beyond the remote screen: black
}

TEST_F(ConnectTest, MaximisingSwitchesTheControlToFullScreen) {
    auto window = MakeWindow();
    window->Edit_Host->setText("ts1");
    window->cb_Desktopsize->setCurrentIndex(1);
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    session->showMaximized();
    QCoreApplication::processEvents();
    EXPECT_TRUE(fake->FullScreen());
    session->showNormal();
    QCoreApplication::processEvents();
    EXPECT_FALSE(fake->FullScreen());
}

TEST_F(ConnectTest, SeamlessWindowComesOnScreenWhenTheKeyColourIsSeen) {
    auto window = MakeWindow();
    window->cb_DoSeamless->setChecked(true);
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(Logged('I', "Do seamless"));
    EXPECT_EQ(fake->Settings().workDir, "V001C002");
    EXPECT_EQ(fake->Settings().performanceFlags & 1u, 1u);
    EXPECT_TRUE(session->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(session->geometry(), WorkArea().translated(-3 * Monitor().width(), 0));
    EXPECT_TRUE(session->Timer_Connected()->isActive());
    EXPECT_TRUE(session->Layered());

    // Before anything is drawn there is no valid colour.
    session->Timer_ConnectedTimer();
    EXPECT_TRUE(Logged('I', "Set Overlay: FFFF.FFFF"));
    EXPECT_FALSE(session->MovedOnScreen());

    const QSize size = session->size();
    fake->Paint(size, 0xFF00FF);
    EXPECT_TRUE(session->VisibleRegion().isEmpty()); // all cut out
    session->Timer_ConnectedTimer();
    EXPECT_TRUE(Logged('I', "Set Overlay: 00FF.00FF"));
    EXPECT_TRUE(Logged('I', "Found Overlay"));
    EXPECT_TRUE(Logged('I', "b-left: " + std::to_string(WorkArea().left())));
    EXPECT_EQ(session->geometry(), WorkArea());
    EXPECT_FALSE(session->Timer_Connected()->isActive());
    EXPECT_TRUE(SessionWindow::OverlayFound(RdpControlVariant::Win7_61));
    EXPECT_TRUE(session->Layered());

    // A second connect while this window exists starts a new search off screen.
    window->show();
    window->bn_ConnectClick();
    session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    EXPECT_FALSE(SessionWindow::OverlayFound(RdpControlVariant::Win7_61));
    EXPECT_TRUE(session->Timer_Connected()->isActive());
    EXPECT_LT(session->x(), WorkArea().left());

    // The end of a session clears the flag of its variant.
    fake->Paint(session->size(), 0xFF00FF);
    session->Timer_ConnectedTimer();
    EXPECT_TRUE(SessionWindow::OverlayFound(RdpControlVariant::Win7_61));
    fake->RaiseDisconnected(1);
    EXPECT_FALSE(SessionWindow::OverlayFound(RdpControlVariant::Win7_61));
}

// Over several monitors the key colour is looked for on the primary one: beside a
// lower monitor on the right lies a strip no monitor covers, which the server paints
// black.
TEST_F(ConnectTest, SeamlessOverMonitorsLooksForTheKeyColourOnThePrimaryMonitor) {
    auto window = MakeWindow();
    window->cb_DoSeamless->setChecked(true);
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    SessionWindow *session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_NE(session, nullptr);
    session->Timer_Connected()->stop(); // the test ticks
    const QSize size = session->size();
    const int half = size.width() / 2;
    fake->SetMonitors(
        {{0, 0, half, size.height(), true}, {half, 100, size.width() - half, size.height() - 100}});
    fake->Paint(size, 0xFF00FF);
    fake->PaintRect(QRect(half, 0, size.width() - half, 100), 0x000000);
    session->Timer_ConnectedTimer();
    EXPECT_TRUE(Logged('I', "Found Overlay"));
    EXPECT_TRUE(session->MovedOnScreen());
}

TEST_F(ConnectTest, SeamlessWindowWithoutTheKeyColourIsShownUnlayeredAfterThirtyTicks) {
    auto window = MakeWindow();
    window->cb_DoSeamless->setChecked(true);
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    QPointer<SessionWindow> session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_TRUE(session);
    session->Timer_Connected()->stop(); // the test ticks
    fake->Paint(session->size(), 0x0000FF);
    EXPECT_EQ(session->VisibleRegion(), QRegion(QRect(QPoint(0, 0), session->size())));
    for (int tick = 0; tick < SessionWindow::OverlayTicks; ++tick)
        session->Timer_ConnectedTimer();
    EXPECT_FALSE(session->MovedOnScreen());
    EXPECT_FALSE(Logged('W', "timeout while waiting for Overlay"));
    session->Timer_ConnectedTimer();
    EXPECT_TRUE(Logged('I', "Set Overlay: 00FF.0000"));
    EXPECT_TRUE(Logged('W', "timeout while waiting for Overlay"));
    EXPECT_TRUE(session->MovedOnScreen());
    EXPECT_FALSE(session->Layered());
    EXPECT_EQ(session->geometry(), WorkArea());

    // A disconnect while a new search runs leaves nothing behind.
    window->show();
    window->bn_ConnectClick();
    session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    session->Timer_ConnectedTimer();
    fake->RaiseDisconnected(2308);
    DeleteReleasedWindows();
    EXPECT_FALSE(session);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(ConnectTest, SlowConnectKeepsTheLongerOverlayWaitAfterLogin) {
    auto window = MakeWindow();
    window->cb_DoSeamless->setChecked(true);
    window->Edit_Host->setText("ts1");
    window->bn_ConnectClick();
    QPointer<SessionWindow> session = window->Core().SessionWindowOf(RdpControlVariant::Win7_61);
    ASSERT_TRUE(session);
    session->Timer_Connected()->stop(); // the test ticks
    fake->Events()->OnConnecting();
    QTest::qWait(SessionWindow::SlowConnectMilliseconds + 100);
    fake->RaiseLoginComplete();
    EXPECT_TRUE(Logged('I', "The connection seems to be a bit slow"));
    EXPECT_EQ(session->OverlayTickLimit(), SessionWindow::SlowConnectOverlayTicks);
    fake->Paint(session->size(), 0x0000FF);
    for (int tick = 0; tick <= SessionWindow::OverlayTicks; ++tick)
        session->Timer_ConnectedTimer();
    EXPECT_FALSE(Logged('W', "timeout while waiting for Overlay"));
    for (int tick = SessionWindow::OverlayTicks; tick < SessionWindow::SlowConnectOverlayTicks; ++tick)
        session->Timer_ConnectedTimer();
    EXPECT_TRUE(Logged('W', "timeout while waiting for Overlay"));
    EXPECT_TRUE(session->MovedOnScreen());
}

} // namespace
} // namespace tsc::shell

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    ::setenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH, 1);
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    return RUN_ALL_TESTS();
}
