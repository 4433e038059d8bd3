// The program on a desktop with two monitors, full screen with "use multimon",
// against a server that takes a monitor layout: Debian's xrdp with an Xorg session.
// The client's desktop is an Xorg of its own with the dummy driver and two RandR
// monitors; what the server got is read from the session's own xrandr, what the
// client shows from its screens.

#include "PasswordProtection.h"
#include "ProtectionService.h"
#include "ShadowServer.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"
#include "XrdpServer.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>

namespace tsc::shell {
namespace {

using tsc::test::WaitFor;
using tsc::test::XrdpServer;

constexpr char ServerAddress[] = "127.30.2.1";
constexpr quint16 ServerPort = 33930;
constexpr int SessionTimeoutMs = 40000;
constexpr QRgb RemoteBlue = 0x3366CC;
constexpr QRgb RemoteRed = 0xCC3333;

bool Near(QRgb colour, QRgb expected) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((colour >> shift) & 0xFF) -
                     static_cast<int>((expected >> shift) & 0xFF)) > 24)
            return false;
    return true;
}

// "WxH+X+Y" of each monitor `xrandr --listmonitors` prints, a "*" before the primary.
QStringList Monitors(const QByteArray &listing) {
    QStringList monitors;
    static const QRegularExpression line(R"(^\s*\d+: \+?(\*?)\S+ (\d+)/\d+x(\d+)/\d+([+-]\d+)([+-]\d+))",
                                         QRegularExpression::MultilineOption);
    for (auto match = line.globalMatch(QString::fromUtf8(listing)); match.hasNext();) {
        const auto found = match.next();
        monitors << found.captured(1) + found.captured(2) + "x" + found.captured(3) + found.captured(4) +
                        found.captured(5);
    }
    monitors.sort();
    return monitors;
}

// Both screens of the client's desktop side by side, as one picture.
QImage Desktop() {
    QRect whole;
    for (const QScreen *screen : QGuiApplication::screens())
        whole |= screen->geometry();
    QImage picture(whole.size(), QImage::Format_RGB32);
    picture.fill(Qt::black);
    QPainter painter(&picture);
    for (QScreen *screen : QGuiApplication::screens())
        painter.drawPixmap(screen->geometry().topLeft() - whole.topLeft(), screen->grabWindow(0));
    return picture;
}

class MultiMonitorEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        unavailable_ = new QString(XrdpServer::Unavailable());
        if (!unavailable_->isEmpty()) return;
        server_ = new XrdpServer(ServerAddress, ServerPort);
        if (!server_->Start()) *unavailable_ = "xrdp cannot start here: " + server_->Error();
    }
    static void TearDownTestSuite() {
        delete server_;
        delete unavailable_;
        server_ = nullptr;
    }

    void SetUp() override {
        if (!unavailable_->isEmpty()) GTEST_SKIP() << unavailable_->toStdString();
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
    }

    void TearDown() override {
        if (HasFailure()) std::cerr << "The program's log:\n" << Log().toStdString();
        if (client_.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(client_.processId()), SIGTERM);
            if (!client_.waitForFinished(10000)) {
                client_.kill();
                client_.waitForFinished(3000);
            }
        }
        if (server_) server_->EndUserSession();
    }

    void StartClient(const QString &profileLines) {
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(ApplicationDataFolder())));
        const QString profile = QString::fromStdString(ApplicationDataFolder()) + "/multimon.rdp";
        QFile file(profile);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        // The password as the client keeps it, so the server logs the user in at once.
        profiles::ProtectionService protection(profiles::ProtectionService::DefaultKeyFile());
        const std::string password = profiles::ProtectPassword(
            protection, XrdpServer::Password().toStdString(), profiles::ProtectUiForbidden, nullptr);
        ASSERT_FALSE(password.empty());
        file.write(QStringLiteral("full address:s:%1:%2\r\nusername:s:%3\r\naudiomode:i:2\r\n"
                                  "session bpp:i:24\r\nscreen mode id:i:2\r\nsavemypassword:s:yes\r\n"
                                  "password 51:b:%4\r\n")
                       .arg(ServerAddress)
                       .arg(ServerPort)
                       .arg(XrdpServer::UserName())
                       .arg(QString::fromStdString(password))
                       .toUtf8() +
                   profileLines.toUtf8());
        file.close();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ASAN_OPTIONS", "detect_leaks=0"); // leaks are the unit tests' business
        environment.insert("QT_QPA_PLATFORM", "xcb");
        client_.setProcessEnvironment(environment);
        client_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client_.start(TSC_TEST_CLIENT_PATH, {profile});
        ASSERT_TRUE(client_.waitForStarted(5000));
    }

    static QByteArray Log() {
        QFile file(QString::fromStdString(ApplicationDataFolder()) + "/TerminalServer_FarmClient.log");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The monitors the server's session has, once it has `count` of them.
    static QStringList SessionMonitors(int count) {
        QStringList monitors;
        QByteArray listing;
        const bool found = WaitFor(
            [&] {
                if (server_->SessionDisplay().isEmpty()) return false;
                listing = server_->RunInSession("xrandr", {"--listmonitors"}, 10000).value_or(QByteArray());
                monitors = Monitors(listing);
                return monitors.size() == count;
            },
            SessionTimeoutMs);
        if (!found) std::cerr << "The session's monitors:\n" << listing.toStdString();
        return monitors;
    }

    static inline QString *unavailable_ = nullptr;
    static inline XrdpServer *server_ = nullptr;
    QTemporaryDir folder_;
    QProcess client_;
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
    const QString display = qEnvironmentVariable("DISPLAY");
    QProcess::execute("xrandr", {"-d", display, "--setmonitor", "EXTRA", "400/100x300/80+0+0", "none"});
    QProcess::execute("xrandr", {"-d", display, "--delmonitor", "EXTRA"});
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

// The client's desktop: Xorg with the dummy driver, 2048x768, split into two RandR
// monitors, on a display of its own.
namespace {

constexpr char XorgConfiguration[] = R"(Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 32768
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
  Modeline "2048x768" 100.0 2048 2100 2200 2300 768 770 775 800
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Virtual 2048 768
    Modes "2048x768"
  EndSubSection
EndSection
)";

bool Xrandr(const QString &display, const QStringList &arguments) {
    return QProcess::execute("xrandr", QStringList{"-d", display} + arguments) == 0;
}

} // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests) || !QFile::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QGuiApplication application(argc, argv);
        if (!::testing::GTEST_FLAG(list_tests)) ::testing::GTEST_FLAG(filter) = "-*";
        return RUN_ALL_TESTS();
    }
    QTemporaryDir folder;
    QFile configuration(folder.path() + "/xorg.conf");
    if (!configuration.open(QIODevice::WriteOnly) || configuration.write(XorgConfiguration) <= 0) return 2;
    configuration.close();
    QProcess xorg;
    QString display;
    for (int number = 311; number <= 319 && display.isEmpty(); ++number) {
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))) continue;
        const QString candidate = QStringLiteral(":%1").arg(number);
        xorg.start("Xorg", {candidate, "-config", configuration.fileName(), "-noreset", "-nolisten", "tcp",
                            "-logfile", folder.path() + "/xorg.log"});
        if (tsc::test::WaitFor([&] { return Xrandr(candidate, {"--listmonitors"}); }, 10000))
            display = candidate;
        else {
            xorg.kill();
            xorg.waitForFinished(3000);
        }
    }
    if (display.isEmpty()) return 2;
    const bool split = Xrandr(display, {"--setmonitor", "RIGHT", "1024/270x768/200+1024+0", "DUMMY0"}) &&
                       Xrandr(display, {"--setmonitor", "LEFT", "1024/270x768/200+0+0", "none"}) &&
                       Xrandr(display, {"--output", "DUMMY0", "--primary"});
    qputenv("DISPLAY", display.toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
    int result = 2;
    if (split) {
        QGuiApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    xorg.terminate();
    xorg.waitForFinished(5000);
    return result;
}
