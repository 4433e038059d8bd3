// The update check against real web servers on port 80 of loopback addresses (each
// test its own address, so tests may run side by side): what it downloads, keeps and
// refuses, and how it ends when the client closes.

#include "UpdateCheck.h"
#include "FileOperations.h"
#include "Identity.h"
#include "SystemInfo.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"
#include "VersionedCopies.h"

#include "TestEnvironment.h"
#include "TestServers.h"
#include "UpdateTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

using namespace tsc::update;
using update_test::Lighttpd;
using update_test::RawServer;
using update_test::RecordingLog;
using Clock = std::chrono::steady_clock;

namespace {

const std::string PublisherKeyHex = "2a3d2273b397ab64e41f90db56c84ea8af100d831429d3c22841a500432ba7d7";

class UpdateCheck : public IsolatedTest {
  public: // the case tables prepare their servers through the fixture
    void SetUp() override {
        IsolatedTest::SetUp();
        data_ = tsc::ApplicationDataFolder();
        web_ = Root() + "/www";
        std::filesystem::create_directories(web_);
        own_ = Root() + "/own/" + tsc::Identity::InstalledClientName();
        update_test::MakeClientCopy(own_, "4.0.66.1");
        settings_.ownExecutable = own_;
        settings_.dataFolder = data_;
        settings_.packetPause = std::chrono::milliseconds(0);
        settings_.publisherKey = PublisherKeyFromText(PublisherKeyHex, "build");
    }

    // Publishes a build of the given version with the publisher's tool.
    void Publish(const std::string &version, bool sign = true) {
        const std::string build = Root() + "/build/client";
        update_test::MakeClientCopy(build, version);
        std::string command = std::string(TSC_PUBLISH_UPDATE) + " '" + build + "' '" + web_ + "'";
        if (sign) command += " --private-key '" + update_test::FixturePath("publisher-test-key.pem") + "'";
        ASSERT_EQ(std::system((command + " >/dev/null").c_str()), 0) << command;
    }

    [[nodiscard]] std::string Published() const { return web_ + "/" + PublishedExecutableName(); }
    [[nodiscard]] std::string CopyOf(const std::string &version) const {
        return data_ + "/" + VersionedCopyName(UpdateSignature(Published()), version);
    }

    static void WaitUntilEnded(UpdateService &service,
                               std::chrono::seconds limit = std::chrono::seconds(60)) {
        const auto end = Clock::now() + limit;
        while (service.CheckRunning() && Clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_FALSE(service.CheckRunning()) << "the check did not end";
    }

    // One whole check against address, its lines drained as the timer would.
    RecordingLog Check(const std::string &address) {
        RecordingLog log;
        UpdateService service([] { return false; });
        EXPECT_TRUE(service.StartUpdateCheck(log, address, settings_));
        WaitUntilEnded(service);
        EXPECT_EQ(service.Status(), ThreadStatus::Ended);
        service.DrainUpdateLogList(log, true);
        EXPECT_EQ(service.Status(), ThreadStatus::Idle);
        return log;
    }

    // Nothing of a download may stay behind but a kept versioned copy (and its signature).
    void ExpectNoPartialFiles() const {
        for (const auto &entry : std::filesystem::directory_iterator(data_))
            EXPECT_EQ(entry.path().string().find(".download"), std::string::npos) << entry.path();
    }

    std::string data_, web_, own_;
    UpdateCheckSettings settings_;
};

TEST_F(UpdateCheck, NewerClientIsDownloadedVerifiedAndKeptOnce) {
    Publish("4.0.66.2");
    const Lighttpd server("127.7.0.1", web_);
    ASSERT_TRUE(server.Running());
    const RecordingLog log = Check("127.7.0.1");
    const std::string copy = CopyOf("4.0.66.2");
    const std::string signature = UpdateSignature(Published());
    ASSERT_GE(log.lines.size(), 4u);
    EXPECT_EQ(log.lines[0], "I Ask server for update request: 127.7.0.1");
    std::vector<std::string> expected = {
        "|I Thread| obtaining version and signature",
        "|I Thread| My version: 4.0.66.1",
        "|I Thread| Get version",
        "|I Thread| vl: host",
        "|I Thread| vl: connected: http://127.7.0.1/",
        "|I Thread| vl: disconnected",
        "|I Thread| vl: OK",
        "|I Thread| Begin dump head:",
        "|I Thread|  HTTP/1.0 200 OK",
        "|I Thread|  Content-Type: text/plain",
        "|I Thread| End: 1",
        "|I Thread| Begin dump body:",
        "|I Thread|  4.0.66.2",
        "|I Thread|  " + signature,
        "|I Thread| End",
        "|I Thread| client is not uptodate: 66.2 <> 66.1",
        "|I Thread| downloading client: 4.0.66.2",
        "|I Thread| vl: received: ",
        "|I Thread| client downloaded. Signature OK",
        "|I Thread| Get version -0a: OK",
        "|I Thread| Version:   4.0.66.2",
        "|I Thread| Signature: " + signature,
    };
    std::size_t next = 0;
    for (std::size_t index = 1; index < log.lines.size() && next < expected.size(); ++index) {
        const std::string &line = log.lines[index];
        ASSERT_EQ(line.substr(0, 2), "I ") << line;
        ASSERT_EQ(line.size() > 25 ? line[25] : ' ', '|') << "time stamp then tag: " << line;
        if (line.find(expected[next]) == 25) ++next;
    }
    EXPECT_EQ(next, expected.size()) << "missing from here on: "
                                     << expected[std::min(next, expected.size() - 1)] << "\n"
                                     << log.Text();
    EXPECT_EQ(log.lines.back().substr(25), "|I Thread| Signature: " + signature);
    EXPECT_EQ(update_test::ReadBytes(copy), update_test::ReadBytes(Published()));
    EXPECT_EQ(tsc::FileFactsOf(copy).mode, 0700u);
    ExpectNoPartialFiles();

    // The same version again: no second download, the copy stays.
    const RecordingLog again = Check("127.7.0.1");
    EXPECT_TRUE(again.Has("|I Thread| client: 4.0.66.2 already downloaded")) << again.Text();
    EXPECT_FALSE(again.Has("downloading client"));
    EXPECT_TRUE(std::filesystem::exists(copy));
}

TEST_F(UpdateCheck, PublishedVersionsThatCountAsTheSame) {
    struct Case {
        const char *version;
        const char *line;
    };
    const Case cases[] = {
        {"4.0.66.1", "|I Thread| client is uptodate: 66.1 = 66.1"},
        {"10.2.66.1", "|I Thread| client is uptodate: 66.1 = 66.1"},
    };
    const Lighttpd server("127.7.0.2", web_);
    ASSERT_TRUE(server.Running());
    for (const Case &test : cases) {
        Publish(test.version);
        const RecordingLog log = Check("127.7.0.2");
        EXPECT_TRUE(log.Has(test.line)) << log.Text();
        EXPECT_TRUE(log.Has("|I Thread| Get version -0a: OK"));
        EXPECT_FALSE(log.Has("downloading"));
    }
    // A version line without two dots has no key: nothing is compared or fetched.
    update_test::WriteBytes(web_ + "/" + PublishedVersionFileName(),
                            "4\r\n0123456789abcdef0123456789abcdef\r\n");
    const RecordingLog log = Check("127.7.0.2");
    EXPECT_FALSE(log.Has("uptodate"));
    EXPECT_TRUE(log.Has("|I Thread| Get version -0a: OK")) << log.Text();
}

// Without a publisher key, or where the installed executable is the package's, the
// check says so in one line and downloads nothing; an older build is never taken.
TEST_F(UpdateCheck, BuildsThisClientMayNotTakeAreNotDownloaded) {
    struct Case {
        const char *what;
        const char *version;
        PublisherKey key;
        std::string installedByPackage;
        std::string line;
    };
    const Case cases[] = {
        {"no publisher key", "4.0.66.2", PublisherKey{}, "",
         "|I Thread| Updates need a publisher key (\"Update Publisher Key\" under "
         "HKEY_LOCAL_MACHINE\\SOFTWARE\\TerminalServer): no build is downloaded or started"},
        {"key not valid", "4.0.66.2", PublisherKeyFromText("12", "machine hive"), "",
         "|I Thread| Update publisher key in the machine hive is not 64 hexadecimal digits"},
        {"installed by the package", "4.0.66.2", PublisherKeyFromText(PublisherKeyHex, "build"),
         "/usr/bin/client belongs to the package",
         "|I Thread| Updates come with the package (/usr/bin/client belongs to the package)"},
        {"older signed build", "4.0.1.0", PublisherKeyFromText(PublisherKeyHex, "build"), "",
         "|E Thread| client 4.0.1.0 refused: it is not newer than 4.0.66.1"},
    };
    const Lighttpd server("127.7.0.4", web_);
    ASSERT_TRUE(server.Running());
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        Publish(test.version);
        settings_.publisherKey = test.key;
        settings_.installedByPackage = test.installedByPackage;
        const RecordingLog log = Check("127.7.0.4");
        EXPECT_TRUE(log.Has(test.line)) << log.Text();
        EXPECT_TRUE(log.Has("|I Thread| client is not uptodate: "));
        EXPECT_FALSE(log.Has("downloading client")) << log.Text();
        EXPECT_TRUE(log.Has("|I Thread| Get version -0a: OK"));
        EXPECT_TRUE(std::filesystem::is_empty(data_));
    }
}

TEST_F(UpdateCheck, WithAPublisherKeyOnlySignedBuildsAreKept) {
    Publish("4.0.66.2");
    const Lighttpd server("127.7.0.3", web_);
    ASSERT_TRUE(server.Running());
    const RecordingLog log = Check("127.7.0.3");
    const std::string copy = CopyOf("4.0.66.2");
    EXPECT_TRUE(log.Has("client downloaded. Signature OK")) << log.Text();
    EXPECT_EQ(update_test::ReadBytes(PublisherSignaturePath(copy)),
              update_test::ReadBytes(web_ + "/" + PublishedSignatureName()));
    RecordingLog startLog;
    EXPECT_TRUE(FindVersionedCopy(&startLog, {own_, data_}, settings_.publisherKey).found) << startLog.Text();

    // A build whose signature is missing, or is another build's, is not kept.
    DeleteVersionedCopies(nullptr, nullptr, data_);
    const std::string signature = update_test::ReadBytes(web_ + "/" + PublishedSignatureName());
    Publish("4.0.66.3", false);
    for (const std::string &published : {std::string(), signature}) {
        if (published.empty())
            std::filesystem::remove(web_ + "/" + PublishedSignatureName());
        else
            update_test::WriteBytes(web_ + "/" + PublishedSignatureName(), published);
        const RecordingLog refused = Check("127.7.0.3");
        EXPECT_TRUE(refused.Has("|E Thread| client downloaded. Publisher signature wrong or missing"))
            << refused.Text();
        EXPECT_TRUE(refused.Has("|E Thread| client downloaded. Signature Wrong"));
        EXPECT_FALSE(std::filesystem::exists(CopyOf("4.0.66.3")));
        ExpectNoPartialFiles();
    }
}

TEST_F(UpdateCheck, RepliesThatAreNoVersionFile) {
    struct Case {
        const char *what;
        const char *address;
        std::function<void(UpdateCheck &)> prepare;
        std::string configuration;
        const char *line;
    };
    const std::string versionName = PublishedVersionFileName();
    const auto write = [versionName](const std::string &body) {
        return [versionName, body](UpdateCheck &test) {
            update_test::WriteBytes(test.web_ + "/" + versionName, body);
        };
    };
    const std::string good = "4.0.66.2\r\n0123456789abcdef0123456789abcdef\r\n";
    const Case cases[] = {
        {"missing (404)", "127.7.0.10", [](UpdateCheck &) {}, "", "|E Thread| vl: failed"},
        {"server error (500)", "127.7.0.11", write("#!/bin/sh\nexit 1\n"),
         "$HTTP[\"url\"] =~ \"^/tsv\" { cgi.assign = (\".version\" => \"/bin/sh\") }",
         "|I Thread|  HTTP/1.0 500"},
        {"redirect, not followed", "127.7.0.12",
         [good](UpdateCheck &test) { update_test::WriteBytes(test.web_ + "/elsewhere.version", good); },
         "url.redirect = (\"^/tsv\" => \"http://127.7.0.12/elsewhere.version\")", "|I Thread|  HTTP/1.0 301"},
        {"charset parameter", "127.7.0.13", write(good),
         "mimetype.assign := (\".version\" => \"text/plain; charset=utf-8\")",
         "|I Thread|  Content-Type: text/plain; charset=utf-8"},
        {"three lines", "127.7.0.14", write(good + "\r\n"), "", "|I Thread| End: 1"},
        {"10 MB body", "127.7.0.15", write(good + std::string(10 << 20, 'x')), "",
         "|E Thread| version reply longer than 4096 bytes: no version file"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        std::filesystem::remove_all(web_);
        std::filesystem::create_directories(web_);
        test.prepare(*this);
        const Lighttpd server(test.address, web_, test.configuration);
        ASSERT_TRUE(server.Running());
        const RecordingLog log = Check(test.address);
        EXPECT_TRUE(log.Has(test.line)) << log.Text();
        EXPECT_EQ(log.lines.back().substr(25), "|E Thread| Get version -0a: Not OK: :yes") << log.Text();
        EXPECT_FALSE(log.Has("Begin dump body"));
    }
}

TEST_F(UpdateCheck, DownloadsThatDoNotMatchAreNotKept) {
    struct Case {
        const char *what;
        const char *address;
        std::function<void(UpdateCheck &)> spoil;
        const char *line;
    };
    const Case cases[] = {
        {"signature of another build", "127.7.0.20",
         [](UpdateCheck &test) {
             const std::string versionFile = test.web_ + "/" + PublishedVersionFileName();
             const std::string text = update_test::ReadBytes(versionFile);
             test.Publish("4.0.66.3");
             update_test::WriteBytes(versionFile, text);
         },
         "|I Thread| vl: OK"},
        {"wrong size", "127.7.0.21",
         [](UpdateCheck &test) { std::filesystem::resize_file(test.Published(), 10000); },
         "|I Thread| vl: OK"},
        {"executable missing", "127.7.0.22",
         [](UpdateCheck &test) { std::filesystem::remove(test.Published()); }, "|E Thread| vl: failed"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        std::filesystem::remove_all(web_);
        std::filesystem::create_directories(web_);
        Publish("4.0.66.2");
        test.spoil(*this);
        const Lighttpd server(test.address, web_);
        ASSERT_TRUE(server.Running());
        const RecordingLog log = Check(test.address);
        EXPECT_TRUE(log.Has(test.line)) << log.Text();
        EXPECT_TRUE(log.Has("|E Thread| client downloaded. Signature Wrong")) << log.Text();
        EXPECT_TRUE(log.Has("|I Delete| " + data_ + "/tsv."));
        EXPECT_EQ(log.lines.back().substr(25, 22), "|I Thread| Signature: ") << log.Text();
        EXPECT_TRUE(std::filesystem::is_empty(data_)) << "nothing kept";
    }
}

TEST_F(UpdateCheck, VersionLinesThatCannotNameAFileAreRefused) {
    const Lighttpd server("127.7.0.23", web_);
    ASSERT_TRUE(server.Running());
    update_test::WriteBytes(web_ + "/" + PublishedVersionFileName(),
                            "4.0.66.2/../../../../x\r\n0123456789abcdef0123456789abcdef\r\n");
    const RecordingLog log = Check("127.7.0.23");
    EXPECT_TRUE(log.Has("|E Thread| version file refused")) << log.Text();
    EXPECT_TRUE(log.Has("|E Thread| Get client"));
    EXPECT_EQ(log.lines.back().substr(25), "|E Thread| Get version -0a: Not OK: :yes");
    EXPECT_TRUE(std::filesystem::is_empty(data_));
}

TEST_F(UpdateCheck, HostsThatMisbehave) {
    settings_.timeout = std::chrono::milliseconds(1500);
    struct Case {
        const char *what;
        const char *address;
        RawServer::Behaviour behaviour;
        const char *line;
    };
    const Case cases[] = {
        {"accepts and never answers", "127.7.0.30", RawServer::Behaviour::Silent,
         "|E Thread| Timeout was reached"},
        {"resets in the middle of the download", "127.7.0.31", RawServer::Behaviour::ResetMidBody,
         "|E Thread| Failure when receiving data from the peer"},
        {"announces 600 MiB", "127.7.0.32", RawServer::Behaviour::HugeBody, "bytes refused: more than"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        const RawServer server(test.address, test.behaviour);
        ASSERT_TRUE(server.Listening());
        const auto start = Clock::now();
        const RecordingLog log = Check(test.address);
        EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
        EXPECT_TRUE(log.Has(test.line)) << log.Text();
        EXPECT_TRUE(log.lines.back().find("Not OK") != std::string::npos ||
                    log.Has("|E Thread| client downloaded. Signature Wrong"))
            << log.Text();
        ExpectNoPartialFiles();
        EXPECT_TRUE(std::filesystem::is_empty(data_));
    }
    // Nobody listening at all.
    const RecordingLog refused = Check("127.7.0.33");
    EXPECT_TRUE(refused.Has("|E Thread| vl: connection failed: http://127.7.0.33/")) << refused.Text();
    EXPECT_TRUE(refused.Has("|E Thread| Get version -0a: Not OK: :yes"));
}

// A download slow enough to be interrupted: 50 MB with the pause after each packet.
class SlowDownload : public UpdateCheck {
  protected:
    void SetUp() override {
        UpdateCheck::SetUp();
        Publish("4.0.66.2");
        std::ofstream(Published(), std::ios::app) << std::string(50 << 20, 'z');
        const std::string signature = UpdateSignature(Published());
        update_test::WriteBytes(web_ + "/" + PublishedVersionFileName(), "4.0.66.2\r\n" + signature + "\r\n");
        settings_.packetPause = std::chrono::milliseconds(50);
    }
    bool WaitForDownloadToStart() const {
        const std::string download = DownloadPath(CopyOf("4.0.66.2"));
        for (int wait = 0; wait < 2000; ++wait) {
            if (tsc::FileFactsOf(download).size > 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

TEST_F(SlowDownload, ClosingAbortsTheTransferAtOnce) {
    const Lighttpd server("127.7.0.40", web_);
    ASSERT_TRUE(server.Running());
    std::atomic<bool> closing{false};
    RecordingLog log;
    {
        UpdateService service([&closing] { return closing.load(); });
        ASSERT_TRUE(service.StartUpdateCheck(log, "127.7.0.40", settings_));
        ASSERT_TRUE(WaitForDownloadToStart());
        closing = true;
        const auto start = Clock::now();
        service.AbortUpdateTransfer();
        const auto took = Clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(500));
        EXPECT_FALSE(service.CheckRunning());
        service.DrainAtShutdown(log);
    }
    EXPECT_TRUE(log.Has("|E Thread| Transfer aborted")) << log.Text();
    EXPECT_EQ(log.lines.back().substr(25), "|E Thread| Get version -0a: Not OK: :yes");
    EXPECT_FALSE(log.Has("Signature OK"));
    ExpectNoPartialFiles();
    EXPECT_FALSE(std::filesystem::exists(CopyOf("4.0.66.2")));
}

TEST_F(SlowDownload, SecondCheckWhileOneRunsIsRefused) {
    const Lighttpd server("127.7.0.41", web_);
    ASSERT_TRUE(server.Running());
    RecordingLog log;
    UpdateService service([] { return false; });
    ASSERT_TRUE(service.StartUpdateCheck(log, "127.7.0.41", settings_));
    ASSERT_TRUE(WaitForDownloadToStart());
    EXPECT_FALSE(service.StartUpdateCheck(log, "127.7.0.41", settings_));
    EXPECT_EQ(log.lines.back(), "W Ask server for update refused: a check is still running");
    // The drain waits for the running check.
    service.DrainUpdateLogList(log, true);
    EXPECT_EQ(service.Status(), ThreadStatus::Working);
    service.AbortUpdateTransfer();
    EXPECT_EQ(service.Status(), ThreadStatus::Ended);
    service.DrainUpdateLogList(log, false); // no log open: the lines wait
    EXPECT_EQ(service.Status(), ThreadStatus::Ended);
    service.DrainUpdateLogList(log, true);
    EXPECT_EQ(service.Status(), ThreadStatus::Idle);
    EXPECT_TRUE(log.Has("|E Thread| Transfer aborted"));
}

TEST_F(UpdateCheck, ClosingWhileAHostIsSilentEndsAtOnce) {
    const RawServer server("127.7.0.42", RawServer::Behaviour::Silent);
    ASSERT_TRUE(server.Listening());
    std::atomic<bool> closing{false};
    RecordingLog log;
    UpdateService service([&closing] { return closing.load(); });
    ASSERT_TRUE(service.StartUpdateCheck(log, "127.7.0.42", settings_)); // 30 s of silence allowed
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(service.CheckRunning());
    closing = true;
    const auto start = Clock::now();
    service.AbortUpdateTransfer();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(service.CheckRunning());
    service.DrainAtShutdown(log);
    EXPECT_TRUE(log.Has("|E Thread| Transfer aborted")) << log.Text();
    EXPECT_EQ(log.lines.back().substr(25), "|E Thread| Get version -0a: Not OK: :yes");
}

TEST_F(UpdateCheck, DataFolderWithoutWriteRight) {
    Publish("4.0.66.2");
    const Lighttpd server("127.7.0.50", web_);
    ASSERT_TRUE(server.Running());
    ::chmod(data_.c_str(), 0555);
    RecordingLog log;
    UpdateService service([] { return false; });
    std::thread user([&] {
        ASSERT_TRUE(update_test::DropFileAccessOverride());
        const int probe = ::open((data_ + "/probe").c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_LT(probe, 0) << "the folder's rights do not hold for this thread";
        ASSERT_TRUE(service.StartUpdateCheck(log, "127.7.0.50", settings_));
    });
    user.join();
    WaitUntilEnded(service);
    service.DrainUpdateLogList(log, true);
    ::chmod(data_.c_str(), 0700);
    EXPECT_TRUE(
        log.Has("|E Thread| Cannot create " + DownloadPath(CopyOf("4.0.66.2")) + ": Permission denied [13]"))
        << log.Text();
    EXPECT_TRUE(log.Has("|E Thread| Get client"));
    EXPECT_EQ(log.lines.back().substr(25), "|E Thread| Get version -0a: Not OK: :yes");
}

// A client whose data folder is not safe to use has none: no check starts, so no
// download path is ever built from an empty folder.
TEST_F(UpdateCheck, WithoutADataFolderNoCheckStarts) {
    settings_.dataFolder.clear();
    RecordingLog log;
    UpdateService service([] { return false; });
    EXPECT_FALSE(service.StartUpdateCheck(log, "127.7.0.51", settings_));
    EXPECT_TRUE(log.Has("W Ask server for update refused: the client has no data folder")) << log.Text();
    RecordingLog start;
    EXPECT_EQ(RunStartupUpdateDecision(start, &start, {own_, ""}, settings_.publisherKey).outcome,
              StartupOutcome::Continue);
    EXPECT_TRUE(start.lines.empty()) << start.Text();
}

TEST_F(UpdateCheck, ClosingBeforeTheCheckAsksNothing) {
    RecordingLog log;
    UpdateService service([] { return true; });
    ASSERT_TRUE(service.StartUpdateCheck(log, "127.7.0.60", settings_));
    WaitUntilEnded(service);
    service.DrainUpdateLogList(log, true);
    ASSERT_EQ(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[1].substr(25), "|E Thread| Get version -0a: Not OK: :yes");
}

TEST(UpdateHost, FarmServerOrHostFieldWithoutPort) {
    EXPECT_EQ(UpdateHostOf(true, "ts1.example:3389", "ignored"), "ts1.example");
    EXPECT_EQ(UpdateHostOf(false, "ignored", "host.example:3390"), "host.example");
    EXPECT_EQ(UpdateHostOf(false, "", "host.example"), "host.example");
    EXPECT_EQ(UpdateHostOf(false, "", ":3389"), "");
    RecordingLog log;
    UpdateService service([] { return false; });
    EXPECT_FALSE(service.StartUpdateCheck(log, ""));
    EXPECT_TRUE(log.lines.empty());
}

} // namespace
