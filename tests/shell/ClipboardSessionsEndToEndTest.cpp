// The shared clipboard through the real session window, against a server that carries
// one (xrdp on loopback with an Xorg session per test user): text both ways in every
// display mode, and two sessions open at once, the second in a program of its own.
// The client's side is driven by xclip on the client's own Xvfb, the way any other
// program on the desktop copies and pastes.

#include "Application.h"
#include "LeakCheckBeforeExit.h"
#include "MainWindow.h"
#include "SessionWindow.h"
#include "ShadowServer.h"
#include "WindowTestSupport.h"
#include "XrdpServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace tsc::shell {
namespace {

using testing::LoggedLine;
using testing::RecordingLog;
using tsc::test::WaitFor;
using tsc::test::XrdpServer;

constexpr int SessionTimeoutMs = 30000;
constexpr int ClipboardTimeoutMs = 15000;
constexpr char ServerAddress[] = "127.28.2.1";
constexpr quint16 ServerPort = 33929;
// Set in the environment of this test program started again as the second session.
constexpr char SecondSessionVariable[] = "TSC_TEST_SECOND_SESSION";

class AnsweringDialogs final : public UserDialogs {
  public:
    Answer ShowMessage(const std::string &, const std::string &, Buttons) override { return Answer::Ok; }
    std::string SelectFolder(const std::string &, const std::string &) override { return {}; }
};

// Runs xclip on the client's display; handles events while it runs, as the client
// answers it.
QByteArray Xclip(const QStringList &arguments, const QByteArray &input = {}, int milliseconds = 8000) {
    QProcess xclip;
    xclip.start("xclip", arguments);
    if (!xclip.waitForStarted(5000)) return {};
    xclip.write(input);
    xclip.closeWriteChannel();
    if (!WaitFor([&] { return xclip.state() == QProcess::NotRunning; }, milliseconds)) {
        xclip.kill();
        xclip.waitForFinished(2000);
        return {};
    }
    return xclip.readAllStandardOutput();
}

QByteArray PasteHere() {
    return Xclip({"-selection", "clipboard", "-o"});
}

// Another program copies here: xclip keeps the selection until something else takes it.
void CopyHere(QProcess &owner, const QByteArray &text) {
    owner.kill();
    owner.waitForFinished(2000);
    owner.start("xclip", {"-quiet", "-selection", "clipboard", "-i"});
    owner.waitForStarted(5000);
    owner.write(text);
    owner.closeWriteChannel();
}

// The program's main window, set for the test user `user` of the server.
std::unique_ptr<MainWindow> MakeWindow(std::vector<LoggedLine> &lines, int user,
                                       std::function<void(const std::string &)> echo = {}) {
    MainWindowServices services;
    services.openLog = [&lines, echo](const std::string &, std::int64_t, DisplayLineSink display) {
        return std::make_unique<RecordingLog>(lines, [echo, display](std::string line) {
            if (echo) echo(line);
            if (display) display(std::move(line));
        });
    };
    services.printers = [] { return PrinterList{{}, "", ""}; };
    services.terminateProcess = [] {};
    services.dialogs = std::make_unique<AnsweringDialogs>();
    auto window = std::make_unique<MainWindow>(std::move(services));
    window->show();
    window->Edit_Host->setText(QStringLiteral("%1:%2").arg(ServerAddress).arg(ServerPort));
    window->edit_UserName->setText(XrdpServer::UserName(user));
    window->edit_Password->setText(XrdpServer::Password());
    window->cb_Sound->setCurrentIndex(2); // no sound device on test machines
    return window;
}

bool Logged(const std::vector<LoggedLine> &lines, const std::string &text) {
    return std::any_of(lines.begin(), lines.end(), [&](const LoggedLine &line) { return line.text == text; });
}

std::string Trace(const std::vector<LoggedLine> &lines) {
    std::string all;
    for (const auto &line : lines)
        all += std::string(1, line.level) + " " + line.text + "\n";
    return all;
}

class ClipboardSessions : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        unavailable_ = new QString(XrdpServer::Unavailable());
        if (!unavailable_->isEmpty()) return;
        server_ = new XrdpServer(ServerAddress, ServerPort, 2);
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
        localOwner_.kill();
        localOwner_.waitForFinished(2000);
    }

    // Connects the window and waits for the user's session on the server's side.
    static void ConnectAndWaitForSession(MainWindow &window, const std::vector<LoggedLine> &lines, int user) {
        window.bn_ConnectClick();
        ASSERT_NE(window.Core().SessionWindowOf(RdpControlVariant::Win7_61), nullptr) << Trace(lines);
        ASSERT_TRUE(WaitFor([&] { return Logged(lines, "MsRdpClientLoginComplete"); }, SessionTimeoutMs))
            << Trace(lines);
        ASSERT_TRUE(WaitFor([user] { return !server_->SessionDisplay(user).isEmpty(); }, SessionTimeoutMs))
            << Trace(lines);
    }

    // Copies `text` in the session of `user` until it can be pasted here (the session's
    // clipboard bridge may come up a moment after its desktop).
    static QByteArray CopyThereUntilPastedHere(const QByteArray &text, int user) {
        QByteArray pasted;
        WaitFor(
            [&] {
                if (!server_->CopyInSession(text, {}, user)) return false;
                WaitFor([] { return false; }, 500);
                pasted = PasteHere();
                return pasted == text;
            },
            ClipboardTimeoutMs);
        return pasted;
    }

    static QByteArray PasteThereUntil(const QByteArray &expected, int user) {
        QByteArray pasted;
        WaitFor(
            [&] {
                pasted = server_->PasteInSession(8000, {}, user);
                return pasted == expected;
            },
            ClipboardTimeoutMs);
        return pasted;
    }

    QTemporaryDir folder_;
    QProcess localOwner_; // the local program that copied last
    static inline QString *unavailable_ = nullptr;
    static inline XrdpServer *server_ = nullptr;
};

TEST_F(ClipboardSessions, TextCrossesBothWaysInEveryDisplayMode) {
    struct Mode {
        const char *name;
        std::function<void(MainWindow &)> choose;
    };
    const Mode modes[] = {
        {"windowed", [](MainWindow &window) { window.cb_Desktopsize->setCurrentIndex(2); }},
        {"full screen", [](MainWindow &) {}}, // the default
        {"seamless", [](MainWindow &window) { window.cb_DoSeamless->setChecked(true); }},
    };
    for (const Mode &mode : modes) {
        SCOPED_TRACE(mode.name);
        std::vector<LoggedLine> lines;
        auto window = MakeWindow(lines, 0);
        mode.choose(*window);
        ConnectAndWaitForSession(*window, lines, 0);
        if (HasFatalFailure()) return;

        const QByteArray remote = QByteArray("copied in the ") + mode.name + " session\nline two";
        EXPECT_EQ(CopyThereUntilPastedHere(remote, 0), remote) << Trace(lines);
        const QByteArray local = QByteArray("copied here for the ") + mode.name + " session\nline two";
        CopyHere(localOwner_, local);
        QByteArray expected = local;
        expected.replace("\n", "\r\n"); // the protocol's line ends, handed on as they came
        EXPECT_EQ(PasteThereUntil(expected, 0), expected) << Trace(lines);

        // The program ends with its session; the next mode starts a fresh one.
        window.reset();
        server_->EndUserSession();
        ASSERT_TRUE(WaitFor([] { return server_->SessionDisplay(0).isEmpty(); }, 10000));
    }
}

// Two sessions at once, each in its own program as a user opens them: a copy in
// either session pastes here and in the other; a copy here reaches both.
TEST_F(ClipboardSessions, TwoSessionsShareTheDesktopClipboard) {
    QProcess second;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(SecondSessionVariable, "1");
    environment.insert("ASAN_OPTIONS", "detect_leaks=0"); // leaks are the unit tests' business
    second.setProcessEnvironment(environment);
    second.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    second.start(QCoreApplication::applicationFilePath(), {});
    ASSERT_TRUE(second.waitForStarted(5000));
    QByteArray secondOutput;
    const auto secondTrace = [&] { return (secondOutput += second.readAllStandardOutput()).toStdString(); };

    std::vector<LoggedLine> lines;
    auto window = MakeWindow(lines, 0);
    window->cb_Desktopsize->setCurrentIndex(2);
    ConnectAndWaitForSession(*window, lines, 0);
    ASSERT_TRUE(WaitFor(
        [&] {
            secondOutput += second.readAllStandardOutput();
            return secondOutput.contains("MsRdpClientLoginComplete") && !server_->SessionDisplay(1).isEmpty();
        },
        SessionTimeoutMs))
        << secondTrace();

    // A copy in one session: here, and in the other session.
    const struct {
        int from;
        int to;
        QByteArray text;
    } copies[] = {{0, 1, "from the first session"}, {1, 0, "from the second session"}};
    for (const auto &copy : copies) {
        SCOPED_TRACE(copy.text.toStdString());
        EXPECT_EQ(CopyThereUntilPastedHere(copy.text, copy.from), copy.text) << Trace(lines) << secondTrace();
        EXPECT_EQ(PasteThereUntil(copy.text, copy.to), copy.text) << Trace(lines) << secondTrace();
    }

    // A copy here: both sessions.
    CopyHere(localOwner_, "copied here for both");
    for (int user : {0, 1})
        EXPECT_EQ(PasteThereUntil("copied here for both", user), QByteArray("copied here for both"))
            << user << Trace(lines) << secondTrace();

    second.terminate();
    if (!second.waitForFinished(10000)) {
        second.kill();
        second.waitForFinished(3000);
    }
    window.reset();
    server_->EndUserSession();
}

// The second session's program: the second test user, windowed, its log on the
// standard output, until it is told to end.
int RunSecondSession() {
    std::vector<LoggedLine> lines;
    auto window = MakeWindow(lines, 1, [](const std::string &line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });
    window->cb_Desktopsize->setCurrentIndex(2);
    window->bn_ConnectClick();
    return QCoreApplication::exec();
}

} // namespace
} // namespace tsc::shell

// The client's own display: an Xvfb without a window manager.
int main(int argc, char **argv) {
    ::setenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH, 1);
    if (std::getenv(tsc::shell::SecondSessionVariable)) {
        ::signal(SIGTERM, [](int) { std::_Exit(0); });
        QTemporaryDir folder;
        tsc::shell::testing::UsePrivateFolders(folder.path());
        int applicationArgc = 1;
        tsc::shell::Application application(applicationArgc, argv);
        return tsc::shell::RunSecondSession();
    }
    ::testing::InitGoogleTest(&argc, argv);
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
