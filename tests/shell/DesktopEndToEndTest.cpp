// The installed program on a Wayland desktop: weston, headless, with Xwayland, and a
// real RDP server (freerdp-shadow-cli on an Xvfb of its own). What the desktop shows
// is read back from weston's own screenshots.

#include "ShadowServer.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <sys/stat.h>

namespace tsc::shell {
namespace {

using tsc::test::ShadowServer;
using tsc::test::WaitFor;

constexpr int SessionTimeoutMs = 30000;
constexpr QRgb ServerBlue = 0x3366CC;
constexpr QSize Output(1024, 768);

bool Near(QRgb colour, QRgb expected) {
    for (int shift : {0, 8, 16})
        if (std::abs(static_cast<int>((colour >> shift) & 0xFF) -
                     static_cast<int>((expected >> shift) & 0xFF)) > 16)
            return false;
    return true;
}

// The program in a process of its own, against a real server.
class DesktopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
        runtime_ = folder_.path() + "/runtime";
        ASSERT_TRUE(QDir().mkpath(runtime_));
        ::chmod(runtime_.toLocal8Bit().constData(), 0700);
        server_ = std::make_unique<ShadowServer>(folder_.path(), "#3366CC");
        server_->SetAddress("127.29.0.1");
        ASSERT_TRUE(server_->Start()) << server_->Error().toStdString();
    }

    void TearDown() override {
        if (HasFailure()) std::cerr << "The program's error output:\n" << ErrorOutput().toStdString();
        for (QProcess *process : {&client_, &desktop_}) {
            if (process->state() == QProcess::NotRunning) continue;
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }

    // The program with `profileLines`, on the desktop; `platform` is what the user
    // set in QT_QPA_PLATFORM (empty: nothing).
    void StartClient(const QString &profileLines, const QString &platform = {},
                     const QStringList &moreEnvironment = {});

    QByteArray Log() const {
        QFile file(QString::fromStdString(ApplicationDataFolder()) + "/TerminalServer_FarmClient.log");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QString ErrorOutputPath() const { return folder_.path() + "/client-stderr.txt"; }
    QByteArray ErrorOutput() const {
        QFile file(ErrorOutputPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void EndWithSigterm() {
        ::kill(static_cast<pid_t>(client_.processId()), SIGTERM);
        EXPECT_TRUE(client_.waitForFinished(10000));
        EXPECT_EQ(client_.exitCode(), 0);
        EXPECT_TRUE(Log().contains("Log stopped"));
    }

    QTemporaryDir folder_;
    QString runtime_;
    QString xDisplay_;
    QString waylandDisplay_;
    std::unique_ptr<ShadowServer> server_;
    QProcess desktop_; // the compositor or X server the program runs on
    QProcess client_;
};

void DesktopTest::StartClient(const QString &profileLines, const QString &platform,
                              const QStringList &moreEnvironment) {
    ASSERT_TRUE(EnsureFolder(ApplicationDataFolder()));
    const QString profile = QString::fromStdString(ApplicationDataFolder()) + "/demo.rdp";
    QFile file(profile);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("full address:s:127.29.0.1:%1\r\nusername:s:tester\r\naudiomode:i:2\r\n")
                   .arg(server_->Port())
                   .toUtf8() +
               profileLines.toUtf8());
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ASAN_OPTIONS", "detect_leaks=0"); // leaks are the unit tests' business
    environment.insert("XDG_RUNTIME_DIR", runtime_);
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("XDG_SESSION_TYPE");
    if (!waylandDisplay_.isEmpty()) {
        environment.insert("WAYLAND_DISPLAY", waylandDisplay_);
        environment.insert("XDG_SESSION_TYPE", "wayland");
    }
    environment.insert("DISPLAY", xDisplay_);
    environment.remove("QT_QPA_PLATFORM");
    if (!platform.isEmpty()) environment.insert("QT_QPA_PLATFORM", platform);
    for (const QString &variable : moreEnvironment)
        environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
    client_.setProcessEnvironment(environment);
    client_.setStandardErrorFile(ErrorOutputPath());
    client_.start(TSC_TEST_CLIENT_PATH, {profile});
    ASSERT_TRUE(client_.waitForStarted(5000));
}

class WaylandDesktop : public DesktopTest {
  protected:
    void SetUp() override {
        DesktopTest::SetUp();
        if (HasFatalFailure()) return;
        // Xwayland's socket folder; Xvfb makes it too, but weston's X server needs it first.
        ::mkdir("/tmp/.X11-unix", 01777);
        ASSERT_TRUE(StartWeston());
        waylandDisplay_ = "tsc-test";
    }

    bool StartWeston() {
        QProcess &weston = desktop_;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime_);
        weston.setProcessEnvironment(environment);
        weston.setProcessChannelMode(QProcess::MergedChannels);
        weston.start("weston", {"--backend=headless-backend.so", "--use-pixman", "--xwayland", "--debug",
                                "--socket=tsc-test", QStringLiteral("--width=%1").arg(Output.width()),
                                QStringLiteral("--height=%1").arg(Output.height()), "--idle-time=0"});
        if (!weston.waitForStarted(5000)) {
            ADD_FAILURE() << "weston did not start";
            return false;
        }
        static const QRegularExpression listening("xserver listening on display (:\\d+)");
        QByteArray output;
        const bool ready = WaitFor(
            [&] {
                output += weston.readAll();
                const auto match = listening.match(QString::fromLocal8Bit(output));
                if (match.hasMatch()) xDisplay_ = match.captured(1);
                return match.hasMatch() || weston.state() == QProcess::NotRunning;
            },
            15000);
        if (!ready || xDisplay_.isEmpty()) {
            ADD_FAILURE() << "weston reported no X display: " << output.toStdString();
            return false;
        }
        return true;
    }

    // What the desktop shows now.
    QImage Screenshot() {
        QDir folder(folder_.path() + "/shots");
        folder.mkpath(".");
        for (const QString &old : folder.entryList({"*.png"}))
            folder.remove(old);
        QProcess shooter;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_RUNTIME_DIR", runtime_);
        environment.insert("WAYLAND_DISPLAY", "tsc-test");
        shooter.setProcessEnvironment(environment);
        shooter.setWorkingDirectory(folder.path());
        shooter.start("weston-screenshooter", {});
        if (!shooter.waitForFinished(10000)) return {};
        const QStringList shots = folder.entryList({"*.png"});
        return shots.isEmpty() ? QImage() : QImage(folder.filePath(shots.front()));
    }

    int PixelsNear(const QImage &image, QRgb colour) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += Near(image.pixel(x, y) & 0xFFFFFF, colour) ? 1 : 0;
        return count;
    }
};

// Full screen through Xwayland: the client asks the window manager, which sizes the
// window (weston leaves a window at its first size otherwise) and puts it above its
// panel.
TEST_F(WaylandDesktop, FullScreenRunsOnXwaylandAndCoversTheWholeOutput) {
    StartClient("screen mode id:i:2\r\n");
    ASSERT_TRUE(WaitFor([&] { return Log().contains("MsRdpClientLoginComplete"); }, SessionTimeoutMs))
        << Log().toStdString();
    EXPECT_TRUE(Log().contains("Wayland session: the client runs on Xwayland"));
    EXPECT_TRUE(Log().contains("width:  1024"));
    EXPECT_FALSE(ErrorOutput().contains("sessionpictures")); // no pictures missing in some size
    QImage shown;
    EXPECT_TRUE(WaitFor(
        [&] {
            shown = Screenshot();
            return !shown.isNull() && Near(shown.pixel(4, 4), ServerBlue) &&
                   Near(shown.pixel(Output.width() / 2, Output.height() - 4), ServerBlue);
        },
        15000))
        << std::hex << (shown.isNull() ? 0u : shown.pixel(4, 4)) << " "
        << (shown.isNull() ? 0u : shown.pixel(Output.width() / 2, Output.height() - 4));
    EndWithSigterm();
}

// The user's own choice of Wayland stands; a windowed session then shows its
// picture through the toolkit, opaque.
TEST_F(WaylandDesktop, WindowedSessionOnTheToolkitsWaylandIsOpaque) {
    StartClient("screen mode id:i:1\r\ndesktopwidth:i:640\r\ndesktopheight:i:480\r\n", "wayland",
                {"WAYLAND_DEBUG=client"});
    ASSERT_TRUE(WaitFor([&] { return Log().contains("MsRdpClientLoginComplete"); }, SessionTimeoutMs))
        << Log().toStdString();
    EXPECT_FALSE(Log().contains("Wayland session: the client runs on Xwayland"));
    // The desktop finds the entry (its icon, its launcher) by the window's app id.
    EXPECT_TRUE(ErrorOutput().contains("set_app_id(\"org.terminalserver.Client\")"));
    EXPECT_TRUE(WaitFor(
        [&] {
            const QImage shown = Screenshot();
            return !shown.isNull() && PixelsNear(shown, ServerBlue) > 640 * 480 * 9 / 10;
        },
        15000));
    EndWithSigterm();
}

// A 2x screen (Xft.dpi 192, as desktops set it), without a window manager: the
// session is asked for in the screen's pixels and shown 1:1, not at half the size
// and doubled.
class ScaledScreen : public DesktopTest {
  protected:
    void SetUp() override {
        DesktopTest::SetUp();
        if (HasFatalFailure()) return;
        desktop_.start("Xvfb",
                       {"-displayfd", "1", "-screen", "0", "2048x1536x24", "-nolisten", "tcp", "-noreset"});
        ASSERT_TRUE(desktop_.waitForStarted(5000));
        ASSERT_TRUE(WaitFor([&] { return desktop_.canReadLine(); }, 10000));
        xDisplay_ = ":" + QString::fromLatin1(desktop_.readLine()).trimmed();
        QProcess resources;
        resources.start("xrdb", {"-display", xDisplay_, "-merge"});
        resources.write("Xft.dpi: 192\n");
        resources.closeWriteChannel();
        ASSERT_TRUE(resources.waitForFinished(5000));
    }

    QImage Screenshot() {
        const QString file = folder_.path() + "/screen.png";
        QFile::remove(file);
        QProcess::execute("import", {"-display", xDisplay_, "-window", "root", file});
        return QImage(file);
    }
};

TEST_F(ScaledScreen, FullScreenSessionHasTheScreensPixels) {
    StartClient("screen mode id:i:2\r\n");
    ASSERT_TRUE(WaitFor([&] { return Log().contains("MsRdpClientLoginComplete"); }, SessionTimeoutMs))
        << Log().toStdString();
    EXPECT_TRUE(Log().contains("width:  2048"));
    EXPECT_TRUE(Log().contains("height: 1536"));
    // The test server's desktop stays 1024 x 768 whatever it is asked: shown 1:1 it
    // fills the top-left quarter of the screen, and black follows.
    QImage shown;
    EXPECT_TRUE(WaitFor(
        [&] {
            shown = Screenshot();
            return !shown.isNull() && Near(shown.pixel(1000, 700), ServerBlue) &&
                   (shown.pixel(1100, 800) & 0xFFFFFF) == 0;
        },
        15000))
        << std::hex << (shown.isNull() ? 0u : shown.pixel(1000, 700)) << " "
        << (shown.isNull() ? 0u : shown.pixel(1100, 800));
    EndWithSigterm();
}

} // namespace
} // namespace tsc::shell

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH, 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1); // the test itself shows nothing
    int applicationArgc = 1;
    QCoreApplication application(applicationArgc, argv);
    return RUN_ALL_TESTS();
}
