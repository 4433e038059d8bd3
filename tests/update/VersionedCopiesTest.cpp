// The three starts of an update: hand-over to a verified copy, the copy replacing
// the installed executable, and the up-to-date start that deletes the copies; and
// the checks that keep anything else from running.

#include "VersionedCopies.h"
#include "FileOperations.h"
#include "Identity.h"
#include "Registry.h"
#include "SystemInfo.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"
#include "UpdateTrust.h"

#include "TestEnvironment.h"
#include "UpdateTestSupport.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace tsc::update;
using update_test::RecordingLog;

namespace {

const PublisherKey NoKey{};
const PublisherKey Key =
    PublisherKeyFromText("2a3d2273b397ab64e41f90db56c84ea8af100d831429d3c22841a500432ba7d7", "build");

class VersionedCopies : public IsolatedTest {
  protected:
    void SetUp() override {
        IsolatedTest::SetUp();
        data_ = tsc::ApplicationDataFolder();
        installFolder_ = Root() + "/opt/client";
        installed_ = installFolder_ + "/" + tsc::Identity::InstalledClientName();
        update_test::MakeClientCopy(installed_, "4.0.66.1");
    }

    // A versioned copy of the given version, named after its own signature.
    std::string PlaceCopy(const std::string &version, const std::string &signatureOverride = "-") {
        const std::string staging = Root() + "/staging";
        update_test::MakeClientCopy(staging, version);
        const std::string signature = signatureOverride == "-" ? UpdateSignature(staging) : signatureOverride;
        const std::string path = data_ + "/" + VersionedCopyName(signature, version);
        std::filesystem::rename(staging, path);
        SignAsPublisher(path);
        return path;
    }

    // The publisher's signature beside a copy, as the update check keeps it.
    static void SignAsPublisher(const std::string &path) {
        const std::string pem = update_test::ReadBytes(update_test::FixturePath("publisher-test-key.pem"));
        const std::string content = update_test::ReadBytes(path);
        const auto signature =
            SignWithPrivateKey(pem, reinterpret_cast<const unsigned char *>(content.data()), content.size());
        ASSERT_TRUE(signature);
        update_test::WriteBytes(PublisherSignaturePath(path), SignatureText(*signature) + "\n");
        ::chmod(PublisherSignaturePath(path).c_str(), 0600);
    }

    [[nodiscard]] ClientPlaces Installed() const { return {installed_, data_}; }

    std::string data_, installFolder_, installed_;
};

TEST_F(VersionedCopies, NewerCopyIsHandedOverAndTheSameVersionIsUpToDate) {
    const std::string copy = PlaceCopy("4.0.66.2");
    RecordingLog window, file;
    const StartupDecision decision = RunStartupUpdateDecision(window, &file, Installed(), Key);
    EXPECT_EQ(decision.outcome, StartupOutcome::HandOver);
    EXPECT_EQ(decision.pendingStartPath, copy);
    EXPECT_EQ(decision.pendingStartVersion, "4.0.66.2");
    EXPECT_EQ(window.lines, (std::vector<std::string>{"I Close myself and will start: " + copy,
                                                      "I Close myself and will start: 4.0.66.2"}));
    EXPECT_TRUE(file.Has("I Set Exe Path : " + installFolder_)) << file.Text();
    EXPECT_TRUE(file.Has("I Begin Get highest " + ClientStem()));
    EXPECT_TRUE(file.Has("I Signature: " + UpdateSignature(copy)));
    EXPECT_TRUE(file.Has("I End Get highest " + ClientStem() + ": yes"));
    std::string stored;
    ReadClientFolder(nullptr, stored);
    EXPECT_EQ(stored, installFolder_);

    // Once the installed client has the copy's version it deletes the copies.
    update_test::MakeClientCopy(installed_, "4.0.66.2");
    RecordingLog window2, file2;
    const StartupDecision again = RunStartupUpdateDecision(window2, &file2, Installed(), Key);
    EXPECT_EQ(again.outcome, StartupOutcome::Continue);
    EXPECT_TRUE(again.pendingStartPath.empty());
    EXPECT_EQ(window2.lines, std::vector<std::string>{"I I am uptodate"});
    EXPECT_TRUE(file2.Has("|I Delete| " + copy)) << file2.Text();
    EXPECT_FALSE(std::filesystem::exists(copy));
}

// Only a client that may take builds hands over, and only to a newer one: a signed
// older build, any copy without a publisher key, and any copy where the installed
// executable is the package's are deleted, each with one line in the window's log.
TEST_F(VersionedCopies, CopiesThisClientMayNotTakeAreDeleted) {
    const std::string packageList = Root() + "/package.list";
    update_test::WriteBytes(packageList, "/.\n/usr\n" + installed_ + "\n");
    struct Case {
        const char *what;
        const char *version;
        PublisherKey key;
        std::string packageFileList;
        std::string line;
    };
    const Case cases[] = {
        {"older, signed", "4.0.1.0", Key, "",
         "E Versioned copy refused, 4.0.1.0 is not newer than 4.0.66.1: "},
        {"older by its last number", "4.0.66.0", Key, "", "E Versioned copy refused, 4.0.66.0 is not newer"},
        {"newer, no publisher key", "4.0.66.2", NoKey, "",
         "I Updates need a publisher key (\"Update Publisher Key\""},
        {"newer, installed by the package", "4.0.66.2", Key, packageList,
         "I Updates come with the package (" + installed_ + " belongs to the package)"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        const std::string copy = PlaceCopy(test.version);
        ClientPlaces places = Installed();
        if (!test.packageFileList.empty()) places.packageFileList = test.packageFileList;
        RecordingLog window, file;
        const StartupDecision decision = RunStartupUpdateDecision(window, &file, places, test.key);
        EXPECT_EQ(decision.outcome, StartupOutcome::Continue);
        ASSERT_EQ(window.lines.size(), 1u) << window.Text();
        EXPECT_EQ(window.lines[0].find(test.line), 0u) << window.Text();
        EXPECT_FALSE(std::filesystem::exists(copy)) << file.Text();
        EXPECT_FALSE(std::filesystem::exists(PublisherSignaturePath(copy)));
        // Nothing is said at a start where there is nothing to refuse.
        RecordingLog quiet;
        (void)RunStartupUpdateDecision(quiet, nullptr, places, test.key);
        EXPECT_TRUE(quiet.lines.empty()) << quiet.Text();
    }
}

TEST(UpdateTrust, VersionsCompareAsFourNumbers) {
    EXPECT_TRUE(IsNewerVersion("4.0.66.2", "4.0.66.1"));
    EXPECT_TRUE(IsNewerVersion("4.0.100.0", "4.0.66.1")); // not as text
    EXPECT_TRUE(IsNewerVersion("10.0.0.0", "9.9.9.9"));
    EXPECT_FALSE(IsNewerVersion("4.0.66.1", "4.0.66.1"));
    EXPECT_FALSE(IsNewerVersion("4.0.1.0", "4.0.66.1"));
    for (const char *broken : {"", "4.0.66", "4.0.66.1.0", "4..66.1", "4.0.66.x", "4.0.66.65536", "+4.0.66.2",
                               " 4.0.66.2", ".No FileInfo in file"}) {
        EXPECT_FALSE(IsNewerVersion(broken, "1.0.0.0")) << broken;
        EXPECT_FALSE(IsNewerVersion("9.0.0.0", broken)) << broken;
    }
}

TEST_F(VersionedCopies, CopiesThatMayNotRunAreDeletedAndNeverChosen) {
    struct Case {
        const char *what;
        std::function<std::string()> place;
        const char *logLine;
    };
    const Case cases[] = {
        {"wrong signature in its name",
         [this] { return PlaceCopy("4.0.66.2", "00000000000000000000000000000000"); }, "E Damaged EXE"},
        {"empty signature field", [this] { return PlaceCopy("4.0.66.2", ""); }, "E Damaged EXE"},
        {"group-writable",
         [this] {
             const std::string path = PlaceCopy("4.0.66.2");
             ::chmod(path.c_str(), 0770);
             return path;
         },
         "it is writable by group or others"},
        {"owned by another user",
         [this] {
             const std::string path = PlaceCopy("4.0.66.2");
             if (::chown(path.c_str(), 65534, 65534) != 0) return std::string();
             return path;
         },
         "it is not owned by the user"},
        {"symbolic link to a good client",
         [this] {
             const std::string target = Root() + "/elsewhere";
             update_test::MakeClientCopy(target, "4.0.66.2");
             const std::string link = data_ + "/" + VersionedCopyName(UpdateSignature(target), "4.0.66.2");
             std::filesystem::create_symlink(target, link);
             return link;
         },
         "it is a symbolic link"},
        {"named pipe",
         [this] {
             const std::string path =
                 data_ + "/" + VersionedCopyName("6118616e95ef06d3b44dd84fd29a9651", "4.0.66.2");
             ::mkfifo(path.c_str(), 0600);
             return path;
         },
         "it is not a regular file"},
    };
    for (const Case &test : cases) {
        SCOPED_TRACE(test.what);
        const std::string path = test.place();
        ASSERT_FALSE(path.empty());
        RecordingLog window, file;
        const StartupDecision decision = RunStartupUpdateDecision(window, &file, Installed(), Key);
        EXPECT_EQ(decision.outcome, StartupOutcome::Continue);
        EXPECT_TRUE(window.lines.empty());
        EXPECT_TRUE(file.Has(test.logLine)) << file.Text();
        EXPECT_TRUE(file.Has("I Delete: " + path));
        EXPECT_TRUE(file.Has("I End Get highest " + ClientStem() + ": no"));
        EXPECT_FALSE(tsc::FileFactsOf(path).exists);
    }
    EXPECT_TRUE(std::filesystem::exists(Root() + "/elsewhere")); // a link's target is never touched
}

TEST_F(VersionedCopies, FolderNamedLikeACopyIsNoCopy) {
    std::filesystem::create_directories(data_ + "/" + VersionedCopyName("6118", "4.0.66.2"));
    const std::string copy = PlaceCopy("4.0.66.3");
    RecordingLog window;
    EXPECT_EQ(RunStartupUpdateDecision(window, nullptr, Installed(), Key).pendingStartPath, copy);
}

TEST_F(VersionedCopies, PublisherSignatureIsCheckedBeforeACopyRuns) {
    const PublisherKey &key = Key;
    const std::string copy = PlaceCopy("4.0.66.2");
    const auto signature = ParseSignatureText(update_test::ReadBytes(PublisherSignaturePath(copy)));
    ASSERT_TRUE(signature);
    RecordingLog window, file;
    EXPECT_EQ(RunStartupUpdateDecision(window, &file, Installed(), key).pendingStartPath, copy)
        << file.Text();
    EXPECT_FALSE(file.Has("publisher"));

    // The same copy with a signature of other content.
    auto wrong = *signature;
    wrong[10] ^= 0x40;
    update_test::WriteBytes(PublisherSignaturePath(copy), SignatureText(wrong) + "\n");
    RecordingLog window2, file2;
    EXPECT_EQ(RunStartupUpdateDecision(window2, &file2, Installed(), key).outcome, StartupOutcome::Continue);
    EXPECT_TRUE(file2.Has("E Publisher signature missing or wrong")) << file2.Text();
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_FALSE(std::filesystem::exists(PublisherSignaturePath(copy)));
}

TEST_F(VersionedCopies, CopyReplacesTheInstalledExecutableAtomically) {
    const std::string copy = PlaceCopy("4.0.66.2");
    ::chmod(installed_.c_str(), 0751);
    RecordingLog first;
    (void)RunStartupUpdateDecision(first, nullptr, Installed(), Key); // stores the client folder

    RecordingLog window, file;
    const StartupDecision decision = RunStartupUpdateDecision(window, &file, {copy, data_}, Key);
    EXPECT_EQ(decision.outcome, StartupOutcome::Continue);
    EXPECT_EQ(window.lines,
              (std::vector<std::string>{
                  "I I am running from Personal Folder. Will try to update Main executable:",
                  "I  " + installed_, "I  result: yes", "I  result: " + tsc::SystemErrorText(0)}));
    EXPECT_TRUE(file.Has("I Exe Path: " + data_));
    EXPECT_TRUE(file.Has("I Get Exe Path : " + installFolder_));
    EXPECT_EQ(update_test::ReadBytes(installed_), update_test::ReadBytes(copy));
    EXPECT_EQ(tsc::FileFactsOf(installed_).mode, 0751u);
    EXPECT_EQ(tsc::FileVersionText(installed_), "4.0.66.2");
    for (const auto &entry : std::filesystem::directory_iterator(installFolder_))
        EXPECT_EQ(entry.path().filename(), tsc::Identity::InstalledClientName()); // no temporary left
}

TEST_F(VersionedCopies, WithoutAStoredClientFolderNothingIsWritten) {
    const std::string copy = PlaceCopy("4.0.66.2");
    RecordingLog window, file;
    (void)RunStartupUpdateDecision(window, &file, {copy, data_}, NoKey);
    EXPECT_TRUE(window.Has("I  /" + tsc::Identity::InstalledClientName()));
    EXPECT_TRUE(window.Has("I  result: no"));
    EXPECT_TRUE(window.Has("E Cannot update Main executable: no client folder is stored"));
    EXPECT_FALSE(std::filesystem::exists("/" + tsc::Identity::InstalledClientName()));
}

// A file the package manager owns is never replaced behind its back.
TEST_F(VersionedCopies, CopyDoesNotReplaceAnExecutableOfThePackage) {
    const std::string copy = PlaceCopy("4.0.66.2");
    RecordingLog first;
    (void)RunStartupUpdateDecision(first, nullptr, Installed(), Key); // stores the client folder
    const std::string before = update_test::ReadBytes(installed_);
    const std::string packageList = Root() + "/package.list";
    update_test::WriteBytes(packageList, installed_ + "\n");
    ClientPlaces places{copy, data_};
    places.packageFileList = packageList;
    RecordingLog window;
    (void)RunStartupUpdateDecision(window, nullptr, places, Key);
    EXPECT_TRUE(window.Has("I  result: no")) << window.Text();
    EXPECT_TRUE(window.Has("E Cannot update Main executable: " + installed_ + " belongs to the package"));
    EXPECT_EQ(update_test::ReadBytes(installed_), before);
}

TEST_F(VersionedCopies, ClientUnderItsInstalledNameInTheDataFolderDoesNotCopyItself) {
    const std::string inData = data_ + "/" + tsc::Identity::InstalledClientName();
    update_test::MakeClientCopy(inData, "4.0.66.1");
    RecordingLog window, file;
    EXPECT_EQ(RunStartupUpdateDecision(window, &file, {inData, data_}, NoKey).outcome,
              StartupOutcome::Continue);
    EXPECT_TRUE(window.lines.empty());
    EXPECT_TRUE(file.Has("I Set Exe Path : " + data_));
}

TEST_F(VersionedCopies, ClientFolderValueRules) {
    const std::string key = tsc::ApplicationKeyPath();
    struct Case {
        tsc::RegistryValue value;
        std::string expected;
    };
    const auto text = [](const std::string &s) {
        tsc::RegistryValue value;
        value.data.assign(s.begin(), s.end());
        value.data.push_back(0);
        return value;
    };
    tsc::RegistryValue dword;
    dword.type = tsc::RegistryType::Dword;
    dword.data = {1, 0, 0, 0};
    const Case cases[] = {
        {text("  /opt/client \t"), "/opt/client"},
        {text("/"), "unchanged"}, // two bytes with the zero: too short
        {text(std::string(259, 'a')), std::string(259, 'a')},
        {text(std::string(260, 'a')), "unchanged"}, // 261 bytes with the zero
        {dword, "unchanged"},
    };
    for (const Case &test : cases) {
        ASSERT_TRUE(tsc::Registry::Write(tsc::Hive::CurrentUser, key, ClientFolderValueName, test.value));
        std::string folder = "unchanged";
        ReadClientFolder(nullptr, folder);
        EXPECT_EQ(folder, test.expected);
    }
}

TEST_F(VersionedCopies, PublisherKeyFromTheMachineHive) {
    const std::string hex = "2a3d2273b397ab64e41f90db56c84ea8af100d831429d3c22841a500432ba7d7";
    const auto write = [](const std::string &text) {
        ASSERT_TRUE(tsc::Registry::WriteString(tsc::Hive::LocalMachine, "SOFTWARE\\TerminalServer",
                                               PublisherKeyValueName, text));
    };
    EXPECT_EQ(ConfiguredPublisherKey().state, PublisherKey::State::None); // this build has none
    write(hex);
    const PublisherKey key = ConfiguredPublisherKey();
    EXPECT_EQ(key.state, PublisherKey::State::Valid);
    EXPECT_EQ(HexText(key.key.data(), key.key.size()), hex);
    EXPECT_EQ(key.source, "machine hive");
    // A language file that renames the client does not move the key.
    tsc::Identity::SetAppName("BrandedFarm");
    EXPECT_EQ(ConfiguredPublisherKey().state, PublisherKey::State::Valid);
    tsc::Identity::ResetToDefaults();
    write("not a key");
    EXPECT_EQ(ConfiguredPublisherKey().state, PublisherKey::State::Invalid); // refuses every update
    write("  ");
    EXPECT_EQ(ConfiguredPublisherKey().state, PublisherKey::State::None);
}

TEST_F(VersionedCopies, PendingCopyGetsEveryArgumentInOrder) {
    const std::string copy = PlaceCopy("4.0.66.2");
    const std::string record = Root() + "/started.txt";
    SetVariable("TSC_FAKE_CLIENT_RECORD", record);
    const std::vector<std::string> arguments = {"/home/u/My Profile.rdp", "", "a \"quoted\" one", "$HOME;ls"};
    ASSERT_EQ(StartPendingCopy(copy, arguments, Key), 0);
    for (int wait = 0; wait < 500 && !std::filesystem::exists(record); ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string expected = copy + "\n";
    for (const std::string &argument : arguments)
        expected += argument + "\n";
    EXPECT_EQ(update_test::ReadBytes(record), expected);
}

TEST_F(VersionedCopies, PendingCopyChangedSinceStartUpIsDeletedNotStarted) {
    const std::string copy = PlaceCopy("4.0.66.2");
    std::ofstream(copy, std::ios::app) << "tampered";
    SetVariable("TSC_FAKE_CLIENT_RECORD", Root() + "/started.txt");
    EXPECT_NE(StartPendingCopy(copy, {}, Key), 0);
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_EQ(StartPendingCopy("", {}, Key), 0);
    // Nor is a good copy started without a publisher key.
    const std::string good = PlaceCopy("4.0.66.3");
    EXPECT_NE(StartPendingCopy(good, {}, NoKey), 0);
    EXPECT_FALSE(std::filesystem::exists(good));
}

TEST_F(VersionedCopies, DeleteReportsEveryFileOfEveryCopy) {
    const std::string a = PlaceCopy("4.0.66.2");
    const std::string b = PlaceCopy("4.0.66.3");
    update_test::WriteBytes(PublisherSignaturePath(a), "x");
    update_test::WriteBytes(DownloadPath(b), "x");
    update_test::WriteBytes(data_ + "/tsv_farm.rdp", "kept");
    std::vector<std::string> list;
    DeleteVersionedCopies(&list, nullptr, data_);
    ASSERT_EQ(list.size(), 10u); // two copies, their signatures, a download
    for (std::size_t index = 0; index < list.size(); ++index) {
        EXPECT_EQ(list[index].substr(23, 11), "|I Delete| ");
        if (index % 2 == 1) EXPECT_EQ(list[index].substr(34), tsc::SystemErrorText(0));
    }
    EXPECT_TRUE(std::filesystem::exists(data_ + "/tsv_farm.rdp"));
    EXPECT_FALSE(std::filesystem::exists(a));
    EXPECT_FALSE(std::filesystem::exists(DownloadPath(b)));
}

} // namespace
