// The registry dump and the support archive: line forms and limits, a walk that
// never follows links, and an archive that replaces the old one only when whole.

#include "SupportArchive.h"
#include "RegistryDump.h"
#include "TestEnvironment.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <zip.h>

#include <csignal>
#include <filesystem>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace tsc;
namespace fs = std::filesystem;

namespace {

RegistryValue Value(RegistryType type, std::vector<std::uint8_t> data) {
    return {type, std::move(data)};
}
RegistryValue Text(std::string_view text) {
    std::vector<std::uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return Value(RegistryType::String, std::move(data));
}

std::vector<std::string> Entries(const std::string &archivePath) {
    int error = 0;
    zip_t *archive = zip_open(archivePath.c_str(), ZIP_RDONLY, &error);
    if (!archive) return {"<cannot open>"};
    std::vector<std::string> names;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i)
        names.push_back(zip_get_name(archive, static_cast<zip_uint64_t>(i), 0));
    zip_discard(archive);
    return names;
}

bool HasLine(const SupportArchiveResult &result, std::string_view text) {
    return std::any_of(result.lines.begin(), result.lines.end(), [&](const SupportArchiveLine &line) {
        return line.text.find(text) != std::string::npos;
    });
}

} // namespace

TEST(RegistryDump, LineFormsAndLimits) {
    struct Case {
        const char *what;
        RegistryValue value;
        std::vector<std::string> lines;
    };
    std::vector<std::uint8_t> twenty(20);
    for (std::size_t i = 0; i < twenty.size(); ++i)
        twenty[i] = static_cast<std::uint8_t>(i);
    const Case cases[] = {
        {"short text", Text("  value  "), {"K \"szN\"=\"value\""}},
        {"text of 200 bytes", Text(std::string(199, 'x')), {"K \"szN\"="}},
        {"text of 199 bytes", Text(std::string(198, 'x')), {"K \"szN\"=\"" + std::string(198, 'x') + "\""}},
        {"text of 20000 bytes", Text(std::string(19'999, 'x')), {"K \"szN\"="}},
        {"dword", Value(RegistryType::Dword, {0xEF, 0xBE, 0xAD, 0x0B}), {"K \"dwN\"=0BADBEEF"}},
        {"multi text",
         Value(RegistryType::MultiString, {'a', 0, 0, 'b', 'c', 0, 0}),
         {"\"mzN\"=", "K --\"a\"", "K --\"bc\""}},
        {"binary of 20 bytes",
         Value(RegistryType::Binary, twenty),
         {"\"N\"=type:3", "K 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ", "10 11 12 13 "}},
        {"binary of 20000 bytes",
         Value(RegistryType::Binary, std::vector<std::uint8_t>(20'000, 1)),
         {"\"N\"=type:3"}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(RegistryValueLines("N", c.value, "K "), c.lines) << c.what;
}

class SupportTest : public IsolatedTest {
  protected:
    std::string Profiles() { return Root() + "/home/"; }
    std::string Desktop() { return Root() + "/home/user/Desktop"; }
    SupportArchiveRequest Request() {
        fs::create_directories(Desktop());
        SupportArchiveRequest request;
        request.profilesRoot = Profiles();
        request.desktopFolder = Desktop();
        request.archiveName = "Client_TerminalServerSupport.zip";
        request.fileNames = {
            "clientsetup.log",       "TerminalServer_FarmClient.log", "tsv_farm_v001c001.txt",
            "tsv_farm_v001c003.txt", "TerminalServer_SSLGateway.log", "TerminalServer_RDPPLus.log"};
        return request;
    }
    std::string Archive() { return Desktop() + "/Client_TerminalServerSupport.zip"; }
    bool DesktopHoldsOnlyTheArchive() {
        for (const auto &entry : fs::directory_iterator(Desktop()))
            if (entry.path() != Archive()) return false;
        return true;
    }
};

TEST_F(SupportTest, RegistryDumpOfSixHundredVendorKeysStopsAtFiveHundred) {
    // The first vendor key holds a 20,000-byte value, then 600 more keys follow.
    std::string hive = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\n\"wez AppName\"=\"" +
                       std::string(19'999, 'x') + "\"\n\n";
    for (int i = 0; i < 600; ++i)
        hive += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor" + std::to_string(i) + "]\n\"WEZ APPNAME\"=\"App" +
                std::to_string(i) + "\"\n\"Other\"=\"x\"\n\n";
    WriteFile(Registry::HiveFile(Hive::LocalMachine), hive);
    std::vector<std::string> lines;
    DumpRegistryValues("SOFTWARE", "wez AppName", lines);
    ASSERT_EQ(lines.size(), 500u);
    EXPECT_EQ(lines[0], "SOFTWARE\\Big \"szwez AppName\"=");
    EXPECT_EQ(lines[1], "SOFTWARE\\Vendor0 \"szWEZ APPNAME\"=\"App0\"");
    EXPECT_EQ(lines.back(), "SOFTWARE\\Vendor498 \"szWEZ APPNAME\"=\"App498\"");
}

TEST_F(SupportTest, ArchiveKeepsFolderNamesSkipsLinksAndIsPrivate) {
    WriteFile(Profiles() + "alice/.local/share/TerminalServer/TerminalServer_FarmClient.log", "alice log");
    WriteFile(Profiles() + "alice/.local/share/TerminalServer/tsv_farm_v001c003.txt", "servers");
    WriteFile(Profiles() + "alice/.local/share/TerminalServer/clientsetup.log", "setup");
    WriteFile(Profiles() + "alice/.local/share/TerminalServer/unrelated.txt", "not collected");
    WriteFile(Profiles() + "bob/TerminalServer_FarmClient.log", "bob log");
    // A loop and a planted link to a file that is not the planter's to show.
    fs::create_directory_symlink(Profiles(), Profiles() + "bob/loop");
    WriteFile(Root() + "/secret", "secret");
    fs::create_symlink(Root() + "/secret", Profiles() + "bob/TerminalServer_RDPPLus.log");
    WriteFile(Archive(), "old archive");

    std::vector<std::string> folders;
    SupportArchiveProgress progress;
    progress.enteringFolder = [&](const std::string &folder) { folders.push_back(folder); };
    const SupportArchiveResult result = BuildSupportArchive(Request(), progress);
    ASSERT_TRUE(result.written);
    EXPECT_EQ(result.fileCount, 4u);
    const std::string base = Profiles().substr(1);
    auto entries = Entries(Archive());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{
                           base + "alice/.local/share/TerminalServer/TerminalServer_FarmClient.log",
                           base + "alice/.local/share/TerminalServer/clientsetup.log",
                           base + "alice/.local/share/TerminalServer/tsv_farm_v001c003.txt",
                           base + "bob/TerminalServer_FarmClient.log",
                       }));
    struct stat facts {};
    ASSERT_EQ(::stat(Archive().c_str(), &facts), 0);
    EXPECT_EQ(facts.st_mode & 0777, 0600u);
    EXPECT_TRUE(DesktopHoldsOnlyTheArchive());
    EXPECT_FALSE(folders.empty());
    EXPECT_TRUE(std::none_of(folders.begin(), folders.end(),
                             [](const std::string &f) { return f.find("loop") != std::string::npos; }));
}

// Another user's home, and a file another user put into a folder of ours, are not
// ours to send: the archive takes neither, and says how many folders it left out.
TEST_F(SupportTest, OtherUsersFoldersAndFilesAreLeftOut) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    constexpr uid_t OtherUser = 65534;
    WriteFile(Profiles() + "alice/TerminalServer_FarmClient.log", "mine");
    WriteFile(Profiles() + "alice/team/tsv_farm_v001c003.txt", "planted");
    WriteFile(Profiles() + "mallory/TerminalServer_FarmClient.log", "theirs");
    for (const std::string &path : {Profiles() + "alice/team/tsv_farm_v001c003.txt", Profiles() + "mallory",
                                    Profiles() + "mallory/TerminalServer_FarmClient.log"})
        ASSERT_EQ(::chown(path.c_str(), OtherUser, OtherUser), 0);

    const SupportArchiveResult result = BuildSupportArchive(Request());
    ASSERT_TRUE(result.written);
    EXPECT_EQ(Entries(Archive()),
              (std::vector<std::string>{Profiles().substr(1) + "alice/TerminalServer_FarmClient.log"}));
    EXPECT_TRUE(HasLine(result, "1 folders of other users left out"));
}

TEST_F(SupportTest, FailuresKeepTheOldArchive) {
    WriteFile(Profiles() + "alice/TerminalServer_FarmClient.log", "log");
    struct Case {
        const char *what;
        std::function<SupportArchiveRequest(SupportArchiveRequest)> change;
        const char *line;
    };
    const Case cases[] = {
        {"desktop missing",
         [this](SupportArchiveRequest r) {
             r.desktopFolder = Root() + "/no/such/folder";
             return r;
         },
         "ZIP-Error 1a"},
        {"desktop is a file",
         [this](SupportArchiveRequest r) {
             WriteFile(Root() + "/plainfile", "x");
             r.desktopFolder = Root() + "/plainfile";
             return r;
         },
         "ZIP-Error 1a"},
        {"no private folder for it",
         [](SupportArchiveRequest r) {
             r.desktopFolder.clear();
             return r;
         },
         "no private folder"},
        {"nothing to collect",
         [this](SupportArchiveRequest r) {
             r.profilesRoot = Root() + "/tmp/";
             return r;
         },
         "no files found"},
    };
    for (const Case &c : cases) {
        WriteFile(Archive(), "old archive");
        const auto result = BuildSupportArchive(c.change(Request()));
        EXPECT_FALSE(result.written) << c.what;
        EXPECT_TRUE(HasLine(result, c.line)) << c.what;
        EXPECT_EQ(ReadFile(Archive()), "old archive") << c.what;
        EXPECT_TRUE(DesktopHoldsOnlyTheArchive()) << c.what;
    }
}

TEST_F(SupportTest, DiskFullWhileWritingKeepsTheOldArchive) {
    // Random bytes do not compress: the archive needs about 1 MiB, the file size
    // limit allows 64 KiB, so writing fails the way a full disk makes it fail.
    std::string noise(1u << 20, '\0');
    std::mt19937 random(7);
    for (char &c : noise)
        c = static_cast<char>(random());
    WriteFile(Profiles() + "alice/TerminalServer_FarmClient.log", noise);
    WriteFile(Archive(), "old archive");
    const auto request = Request();
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    const auto result = BuildSupportArchive(request);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(result.written);
    EXPECT_TRUE(HasLine(result, "ZIP-Error 1b"));
    EXPECT_EQ(ReadFile(Archive()), "old archive");
    EXPECT_TRUE(DesktopHoldsOnlyTheArchive());
}

TEST_F(SupportTest, WorkerRunsOffTheCallingThreadAndCanBeCancelled) {
    for (int i = 0; i < 50; ++i)
        WriteFile(Profiles() + "u" + std::to_string(i) + "/TerminalServer_FarmClient.log", "l");
    WriteFile(Archive(), "old archive");
    int argc = 1;
    char name[] = "support_test";
    char *argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);

    const auto runWorker = [&](bool cancelAtFirstFolder) {
        QThread thread;
        auto *worker = new SupportArchiveWorker(Request());
        worker->moveToThread(&thread);
        SupportArchiveResult outcome;
        QEventLoop loop;
        bool ranElsewhere = false;
        QObject::connect(&thread, &QThread::started, worker, &SupportArchiveWorker::run);
        QObject::connect(
            worker, &SupportArchiveWorker::folderEntered, worker,
            [&, worker](const QString &) {
                ranElsewhere = QThread::currentThread() != application.thread();
                if (cancelAtFirstFolder) worker->cancel();
            },
            Qt::DirectConnection);
        QObject::connect(worker, &SupportArchiveWorker::finished, &loop,
                         [&](const SupportArchiveResult &result) {
                             outcome = result;
                             loop.quit();
                         });
        thread.start();
        loop.exec();
        thread.quit();
        thread.wait();
        delete worker;
        EXPECT_TRUE(ranElsewhere);
        return outcome;
    };
    const auto cancelled = runWorker(true);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(ReadFile(Archive()), "old archive");
    EXPECT_TRUE(DesktopHoldsOnlyTheArchive());
    const auto written = runWorker(false);
    EXPECT_TRUE(written.written);
    EXPECT_EQ(written.fileCount, 50u);
}
