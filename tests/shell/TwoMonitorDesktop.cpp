#include "TwoMonitorDesktop.h"

#include "PasswordProtection.h"
#include "ProtectionService.h"
#include "ShadowServer.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QRegularExpression>
#include <QScreen>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <iostream>

namespace tsc::test {

namespace {

// The client's desktop: Xorg with the dummy driver, 2048x768, on a display of its own.
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
constexpr int FirstDisplay = 300;
constexpr int LastDisplay = 309;
constexpr char ScreenOutput[] = "DUMMY0";

QString clientDisplay;

bool Xrandr(const QString &display, const QStringList &arguments) {
    return QProcess::execute("xrandr", QStringList{"-d", display} + arguments) == 0;
}

// The names of the monitors the display has now.
QStringList MonitorNames() {
    QProcess list;
    list.start("xrandr", {"-d", clientDisplay, "--listmonitors"});
    list.waitForFinished(10000);
    QStringList names;
    static const QRegularExpression line(R"(^\s*\d+: \+?\*?(\S+) )", QRegularExpression::MultilineOption);
    for (auto match = line.globalMatch(QString::fromUtf8(list.readAllStandardOutput())); match.hasNext();)
        names << match.next().captured(1);
    return names;
}

} // namespace

bool Near(QRgb colour, QRgb expected) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((colour >> shift) & 0xFF) -
                     static_cast<int>((expected >> shift) & 0xFF)) > 24)
            return false;
    return true;
}

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

bool ClientXrandr(const QStringList &arguments) {
    return Xrandr(clientDisplay, arguments);
}

bool SetClientMonitors(const std::vector<QRect> &monitors) {
    static int layouts = 0;
    ++layouts;
    for (const QString &name : MonitorNames())
        if (name != ScreenOutput) ClientXrandr({"--delmonitor", name});
    for (std::size_t index = 0; index < monitors.size(); ++index) {
        const QRect &area = monitors[index];
        // About 0.26 mm a pixel, as a 96 dpi screen.
        const QString geometry = QStringLiteral("%1/%2x%3/%4+%5+%6")
                                     .arg(area.width())
                                     .arg(area.width() * 270 / 1024)
                                     .arg(area.height())
                                     .arg(area.height() * 200 / 768)
                                     .arg(area.x())
                                     .arg(area.y());
        // New names each time: the toolkit knows a monitor by its name and would not see
        // a known one change its place.
        if (!ClientXrandr({"--setmonitor", QStringLiteral("TSC%1-%2").arg(layouts).arg(index), geometry,
                           index == 0 ? ScreenOutput : "none"}))
            return false;
    }
    if (!ClientXrandr({"--output", ScreenOutput, "--primary"})) return false;
    if (!qGuiApp) return true;
    const auto shown = [&] {
        const QList<QScreen *> screens = QGuiApplication::screens();
        if (screens.size() != static_cast<qsizetype>(monitors.size()) ||
            QGuiApplication::primaryScreen()->geometry() != monitors.front())
            return false;
        return std::all_of(monitors.begin(), monitors.end(), [&](const QRect &area) {
            return std::any_of(screens.begin(), screens.end(),
                               [&](const QScreen *screen) { return screen->geometry() == area; });
        });
    };
    if (WaitFor(shown, 5000)) return true;
    std::cerr << "The desktop's screens:";
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect area = screen->geometry();
        std::cerr << " " << area.width() << "x" << area.height() << "+" << area.x() << "+" << area.y()
                  << (screen == QGuiApplication::primaryScreen() ? " (primary)" : "");
    }
    std::cerr << "\n";
    return false;
}

bool PaintClientRoot(const QString &colour) {
    return QProcess::execute("xsetroot", {"-display", clientDisplay, "-solid", colour}) == 0;
}

bool SetStartingClientMonitors() {
    return SetClientMonitors({QRect(1024, 0, 1024, 768), QRect(0, 0, 1024, 768)});
}

void TwoMonitorSession::StartServer(const char *address, quint16 port) {
    unavailable_ = new QString(XrdpServer::Unavailable());
    if (!unavailable_->isEmpty()) return;
    server_ = new XrdpServer(address, port);
    if (!server_->Start()) *unavailable_ = "xrdp cannot start here: " + server_->Error();
}

void TwoMonitorSession::StopServer() {
    delete server_;
    delete unavailable_;
    server_ = nullptr;
    unavailable_ = nullptr;
}

void TwoMonitorSession::SetUp() {
    if (!unavailable_->isEmpty()) GTEST_SKIP() << unavailable_->toStdString();
    ASSERT_TRUE(folder_.isValid());
    shell::testing::UsePrivateFolders(folder_.path());
}

void TwoMonitorSession::TearDown() {
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

void TwoMonitorSession::StartClient(const QString &profileLines) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(ApplicationDataFolder())));
    const QString profile = QString::fromStdString(ApplicationDataFolder()) + "/multimon.rdp";
    QFile file(profile);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    // The password as the client keeps it, so the server logs the user in at once.
    profiles::ProtectionService protection(profiles::ProtectionService::DefaultKeyFile());
    const std::string password = profiles::ProtectPassword(protection, XrdpServer::Password().toStdString(),
                                                           profiles::ProtectUiForbidden, nullptr);
    ASSERT_FALSE(password.empty());
    file.write(QStringLiteral("full address:s:%1:%2\r\nusername:s:%3\r\naudiomode:i:2\r\n"
                              "session bpp:i:24\r\nscreen mode id:i:2\r\nsavemypassword:s:yes\r\n"
                              "password 51:b:%4\r\n")
                   .arg(server_->Address())
                   .arg(server_->Port())
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

QByteArray TwoMonitorSession::Log() {
    QFile file(QString::fromStdString(ApplicationDataFolder()) + "/TerminalServer_FarmClient.log");
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList TwoMonitorSession::SessionMonitors(int count) {
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

int RunOnTwoMonitorDesktop(int argc, char **argv) {
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
    for (int number = FirstDisplay; number <= LastDisplay && clientDisplay.isEmpty(); ++number) {
        if (QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(number))) continue;
        const QString candidate = QStringLiteral(":%1").arg(number);
        xorg.start("Xorg", {candidate, "-config", configuration.fileName(), "-noreset", "-nolisten", "tcp",
                            "-logfile", folder.path() + "/xorg.log"});
        if (WaitFor([&] { return Xrandr(candidate, {"--listmonitors"}); }, 10000))
            clientDisplay = candidate;
        else {
            xorg.kill();
            xorg.waitForFinished(3000);
        }
    }
    if (clientDisplay.isEmpty()) return 2;
    qputenv("DISPLAY", clientDisplay.toUtf8());
    qputenv("QT_QPA_PLATFORM", "xcb");
    int result = 2;
    if (SetStartingClientMonitors()) {
        QGuiApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    xorg.terminate();
    xorg.waitForFinished(5000);
    return result;
}

} // namespace tsc::test
