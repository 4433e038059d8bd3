// The whole road of a self-update with the real client: a newer build published on
// lighttpd at port 80 of the address that also carries the RDP server; the client
// connects there with a profile as parameter 1, downloads and verifies the build,
// hands over to it at its next start, the new build connects with the engine it
// carries and replaces the installed executable, and the start after that finds
// itself up to date. And the builds a client takes nothing of: any build without a
// publisher key, an older signed one.

#include "Identity.h"
#include "Registry.h"
#include "ShadowServer.h"
#include "SystemInfo.h"
#include "TestServers.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

using tsc::test::ShadowServer;
using tsc::test::WaitFor;

constexpr char Address[] = "127.7.1.1";
constexpr char NewVersion[] = "4.0.99.7";
constexpr char PublisherKey[] = "2a3d2273b397ab64e41f90db56c84ea8af100d831429d3c22841a500432ba7d7";
constexpr int LineWaitMs = 60000; // generous: the machine may be busy

QByteArray ReadAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int Count(const QByteArray &text, const char *line) {
    return static_cast<int>(text.count(line));
}

// Whether any process runs an executable below `folder` (the installed client or a
// versioned copy; a started copy is no child of the test).
bool AnyProcessBelow(const std::string &folder) {
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        std::error_code error;
        const auto executable = std::filesystem::read_symlink(entry.path() / "exe", error);
        if (!error && executable.string().starts_with(folder)) return true;
    }
    return false;
}

class SelfUpdateEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        const QString root = root_.path();
        for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CONFIG_DIRS"})
            ::setenv(name, (root + "/" + name).toLocal8Bit().constData(), 1);
        ::setenv("TMPDIR", root.toLocal8Bit().constData(), 1);
        ::setenv("HOME", root.toLocal8Bit().constData(), 1);
        installed_ = root + "/installed/" + QString::fromStdString(tsc::Identity::InstalledClientName());
        logPath_ = QString::fromStdString(tsc::ApplicationDataFolder()) + "/" +
                   QString::fromStdString(tsc::Identity::LogFileName());
    }

    bool Run(const QString &program, const QStringList &arguments) {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, arguments);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    // Starts the installed client with the profile; it connects at once.
    void StartClient() {
        client_ = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("ASAN_OPTIONS", "detect_leaks=0"); // leaks are the unit tests' business
        environment.insert("DISPLAY", clientDisplay_);
        environment.insert("QT_QPA_PLATFORM", "xcb");
        client_->setProcessEnvironment(environment);
        client_->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client_->start(installed_, {profile_});
        ASSERT_TRUE(client_->waitForStarted(5000));
    }

    bool WaitForLog(const char *line, int count) {
        return WaitFor([&] { return Count(ReadAll(logPath_), line) >= count; }, LineWaitMs);
    }

    // Ends the session from the server's side: the server comes back with another
    // certificate, which the client's reconnect refuses, so the automatic session
    // closes the client (and a started copy, which is no child of ours); the server
    // comes back as it was for the next start.
    void EndSessionAndWaitForExit() {
        ASSERT_TRUE(server_->RestartServer(root_.path() + "/other-certificate"))
            << server_->Error().toStdString();
        const std::string folder = root_.path().toStdString() + "/";
        EXPECT_TRUE(WaitFor([&] { return !AnyProcessBelow(folder); }, LineWaitMs)) << Log();
        if (client_ && client_->state() != QProcess::NotRunning) client_->kill();
        if (client_) client_->waitForFinished(5000);
        ASSERT_TRUE(server_->RestartServer(root_.path() + "/server")) << server_->Error().toStdString();
    }

    // The versioned copies (and their signatures) in the data folder.
    static QStringList VersionedCopies() {
        return QDir(QString::fromStdString(tsc::ApplicationDataFolder()))
            .entryList({"tsv.*client*"}, QDir::Files | QDir::Hidden | QDir::System);
    }

    std::string Log() const { return ReadAll(logPath_).toStdString(); }

    QTemporaryDir root_;
    QString installed_, logPath_, profile_, clientDisplay_;
    std::unique_ptr<ShadowServer> server_;
    std::unique_ptr<QProcess> client_;

    // The installed client, a build of it of another version, the web and RDP
    // servers on Address and a profile that connects there.
    void Prepare(const char *version) {
        const QString root = root_.path();
        ASSERT_TRUE(QDir().mkpath(root + "/installed"));
        ASSERT_TRUE(QFile::copy(TSC_CLIENT_PATH, installed_));
        build_ = root + "/build/" + QString::fromStdString(tsc::Identity::InstalledClientName());
        ASSERT_TRUE(QDir().mkpath(root + "/build"));
        ASSERT_TRUE(QFile::copy(TSC_CLIENT_PATH, build_));
        ASSERT_TRUE(Run(TSC_SET_FILE_VERSION, {build_, version}));
        web_ = root + "/www";
        ASSERT_TRUE(QDir().mkpath(web_));

        ASSERT_FALSE(update_test::Accepts(Address)) << "port 80 of " << Address << " is already in use";
        webServer_ = std::make_unique<update_test::Lighttpd>(Address, web_.toStdString());
        ASSERT_TRUE(webServer_->Running()) << "the self-update test needs port 80 of " << Address
                                           << ": run it as root, with nothing else bound there";
        ASSERT_TRUE(QDir().mkpath(root + "/server"));
        ASSERT_TRUE(QDir().mkpath(root + "/other-certificate"));
        server_ = std::make_unique<ShadowServer>(root + "/server", "#FF00FF");
        server_->SetAddress(Address);
        ASSERT_TRUE(server_->Start()) << server_->Error().toStdString();
        clientDisplay_ = qEnvironmentVariable("DISPLAY");

        // In the client's own data folder: connects without the question a file from
        // elsewhere gets.
        ASSERT_TRUE(tsc::EnsureFolder(tsc::ApplicationDataFolder()));
        profile_ = QString::fromStdString(tsc::ApplicationDataFolder()) + "/demo.rdp";
        std::ofstream(profile_.toStdString())
            << "full address:s:" << Address << ":" << server_->Port()
            << "\r\nusername:s:tester\r\naudiomode:i:2\r\ntsv_doseamless:s:yes\r\n";
    }

    void PublishBuild(bool sign) {
        QStringList arguments = {build_, web_};
        if (sign)
            arguments << "--private-key" << QStringLiteral(TSC_UPDATE_FIXTURES) + "/publisher-test-key.pem";
        ASSERT_TRUE(Run(TSC_PUBLISH_UPDATE, arguments));
    }

    static void SetMachinePublisherKey() {
        ASSERT_TRUE(tsc::Registry::WriteString(tsc::Hive::LocalMachine, "SOFTWARE\\TerminalServer",
                                               "Update Publisher Key", PublisherKey));
    }

    QString build_, web_;
    std::unique_ptr<update_test::Lighttpd> webServer_;
};

TEST_F(SelfUpdateEndToEnd, PublishedBuildIsDownloadedHandedOverInstalledAndTidiedUp) {
    Prepare(NewVersion);
    PublishBuild(true);
    SetMachinePublisherKey();
    const QString &build = build_;
    const QString &web = web_;

    // First start: connect, download and verify the published build, close.
    StartClient();
    ASSERT_TRUE(WaitForLog("Ask server for update request: 127.7.1.1", 1)) << Log();
    ASSERT_TRUE(WaitForLog("client downloaded. Signature OK", 1)) << Log();
    EndSessionAndWaitForExit();

    // Second start: the installed client hands over to the versioned copy, which
    // replaces the installed executable and connects as asked.
    StartClient();
    ASSERT_TRUE(WaitForLog("Close myself and will start: ", 2)) << Log();
    ASSERT_TRUE(WaitForLog("I am running from Personal Folder. Will try to update Main executable:", 1))
        << Log();
    ASSERT_TRUE(WaitForLog(" result: yes", 1)) << Log();
    EXPECT_TRUE(WaitForLog("client is uptodate: 99.7 = 99.7", 1)) << Log();
    EndSessionAndWaitForExit();
    EXPECT_EQ(ReadAll(installed_), ReadAll(build));

    ASSERT_FALSE(VersionedCopies().isEmpty());

    // Third start: the installed client is the new build and removes its copies.
    StartClient();
    ASSERT_TRUE(WaitForLog("I am uptodate", 1)) << Log();
    EXPECT_TRUE(
        ReadAll(logPath_).contains(("Client Started: " + installed_ + " [" + NewVersion + "]").toUtf8()))
        << Log();
    EXPECT_TRUE(WaitForLog("client is uptodate: 99.7 = 99.7", 2)) << Log();
    EndSessionAndWaitForExit();
    EXPECT_EQ(Count(ReadAll(logPath_), "Close myself and will start: "), 2) << Log();
    EXPECT_EQ(Count(ReadAll(logPath_), "client downloaded. Signature OK"), 1) << Log();
    EXPECT_TRUE(VersionedCopies().isEmpty()) << VersionedCopies().join(' ').toStdString();
    EXPECT_EQ(ReadAll(installed_), ReadAll(build));
    EXPECT_EQ(ReadAll(installed_),
              ReadAll(web + "/" + QString::fromStdString(tsc::Identity::InstalledClientName())));
}

// A language file that renames the client (another AppName and prefix) does not move
// the administrator's publisher key: the branded client still refuses an unsigned build.
TEST_F(SelfUpdateEndToEnd, BrandedClientWithAMachineKeyRefusesAnUnsignedBuild) {
    Prepare(NewVersion);
    PublishBuild(false);
    SetMachinePublisherKey();
    for (const QString &name : QDir(web_).entryList(QDir::Files)) {
        QString branded = name;
        ASSERT_TRUE(QDir(web_).rename(name, branded.replace(0, 3, "nwr")));
    }
    ASSERT_TRUE(QFile::copy(TSC_BRANDED_LANGUAGE, root_.path() + "/installed/branded.lang"));
    // The branded client's own folder, log and profile.
    const QString data = qEnvironmentVariable("XDG_DATA_HOME") + "/NorthwindRemote";
    ASSERT_TRUE(tsc::EnsureFolder(data.toStdString()));
    logPath_ = data + "/NorthwindRemote_FarmClient.log";
    ASSERT_TRUE(QFile::rename(profile_, data + "/demo.rdp"));
    profile_ = data + "/demo.rdp";

    StartClient();
    ASSERT_TRUE(WaitForLog("Ask server for update request: 127.7.1.1", 1)) << Log();
    ASSERT_TRUE(WaitForLog("client downloaded. Publisher signature wrong or missing", 1)) << Log();
    ASSERT_TRUE(WaitForLog("client downloaded. Signature Wrong", 1)) << Log();
    EndSessionAndWaitForExit();
    EXPECT_TRUE(QDir(data).entryList({"nwr.*client*"}, QDir::Files | QDir::Hidden).isEmpty());
}

// A client without a publisher key takes no build, however it is published; with the
// key, a signed build older than the client is refused. Each check says why in one
// line and nothing is downloaded, kept or started.
TEST_F(SelfUpdateEndToEnd, UnsignedBuildWithoutAKeyAndOlderSignedBuildAreNeverRun) {
    Prepare("4.0.99.8");
    PublishBuild(false);
    StartClient();
    ASSERT_TRUE(WaitForLog("Updates need a publisher key (", 1)) << Log();
    ASSERT_TRUE(WaitForLog("Get version -0a: OK", 1)) << Log();
    EndSessionAndWaitForExit();
    EXPECT_FALSE(Log().find("downloading client") != std::string::npos) << Log();
    EXPECT_TRUE(VersionedCopies().isEmpty()) << VersionedCopies().join(' ').toStdString();

    // The same build, already lying in the data folder under its right name (as an
    // older client would have kept it), is deleted at the next start, not run.
    const QString planted = QString::fromStdString(tsc::ApplicationDataFolder()) + "/tsv." +
                            QString::fromStdString(tsc::update::UpdateSignature(build_.toStdString())) +
                            ".4.0.99.8." + QString::fromStdString(tsc::update::ClientStem());
    ASSERT_TRUE(QFile::copy(build_, planted));
    StartClient();
    ASSERT_TRUE(WaitForLog("Get version -0a: OK", 2)) << Log();
    EndSessionAndWaitForExit();
    EXPECT_EQ(Count(ReadAll(logPath_), "Close myself and will start: "), 0) << Log();
    EXPECT_EQ(Count(ReadAll(logPath_), "Updates need a publisher key ("), 3) << Log();
    EXPECT_TRUE(VersionedCopies().isEmpty()) << VersionedCopies().join(' ').toStdString();

    // With the key: an older build, signed, is refused.
    SetMachinePublisherKey();
    ASSERT_TRUE(Run(TSC_SET_FILE_VERSION, {build_, "4.0.1.0"}));
    PublishBuild(true);
    StartClient();
    ASSERT_TRUE(WaitForLog("client 4.0.1.0 refused: it is not newer than ", 1)) << Log();
    ASSERT_TRUE(WaitForLog("Get version -0a: OK", 3)) << Log();
    EndSessionAndWaitForExit();
    EXPECT_FALSE(Log().find("downloading client") != std::string::npos) << Log();
    EXPECT_TRUE(VersionedCopies().isEmpty()) << VersionedCopies().join(' ').toStdString();
}

} // namespace

// The client's own display: an Xvfb with no window manager.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // No engine override: every client here loads the engine its executable carries.
    ::unsetenv("TSC_RDP_ENGINE");
    QCoreApplication application(argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
    if (!xvfb.waitForStarted(5000) || !xvfb.waitForReadyRead(10000)) return 2;
    const QByteArray display = ":" + xvfb.readLine().trimmed();
    ::setenv("DISPLAY", display.constData(), 1);
    const int result = RUN_ALL_TESTS();
    xvfb.terminate();
    xvfb.waitForFinished(3000);
    return result;
}
