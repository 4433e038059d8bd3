// Another user of the machine plants links and files where the client keeps the
// user's files, or finds a folder open to all: nothing of theirs may be read,
// written or truncated, and the user's folder is refused with one line. Runs as root
// in the test environment; the other user is nobody (65534).
#include "PrivateFiles.h"
#include "Identity.h"
#include "IniFile.h"
#include "PlatformDiagnostics.h"
#include "Registry.h"
#include "SystemInfo.h"
#include "TestEnvironment.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using tsc::Hive;
namespace Registry = tsc::Registry;
namespace fs = std::filesystem;
constexpr const char Key[] = "SOFTWARE\\TerminalServer";
constexpr uid_t OtherUser = 65534;

class PrivateFiles : public IsolatedTest {
  protected:
    std::string ConfigFolder() const { return Root() + "/home/user/.config/TerminalServerClient"; }
    std::string HivePath() const { return ConfigFolder() + "/HKEY_CURRENT_USER.reg"; }
    std::string Victim() const { return Root() + "/victim"; }

    static bool HasLineContaining(const std::vector<std::string> &lines, const std::string &text) {
        for (const auto &line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(PrivateFiles, PlantedLinksFilesOfOthersAndOpenFoldersAreNotUsed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    const std::string hive =
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\SOFTWARE\\TerminalServer]\n\"Planted\"=\"yes\"\n";
    struct Case {
        std::string name;
        std::function<void()> plant;
        std::string reported; // a diagnostic line holds this
    };
    const Case cases[] = {
        {"link in place of the hive",
         [&] {
             WriteFile(Victim(), hive);
             fs::create_directories(ConfigFolder());
             fs::create_symlink(Victim(), HivePath());
         },
         "File " + HivePath() + " is not used"},
        {"hive of another owner",
         [&] {
             WriteFile(HivePath(), hive);
             ASSERT_EQ(::chown(HivePath().c_str(), OtherUser, OtherUser), 0);
         },
         "File " + HivePath() + " is not used"},
        {"link in place of the lock file",
         [&] {
             fs::create_directories(ConfigFolder());
             fs::create_symlink(Victim(), HivePath() + ".lock");
         },
         "Lock file " + HivePath() + ".lock is not used"},
        {"configuration folder writable by all",
         [&] {
             WriteFile(HivePath(), hive);
             fs::permissions(Root() + "/home/user/.config", fs::perms::all);
         },
         "(folder " + Root() + "/home/user/.config is writable by other users); it is not used"},
        {"folder of another owner",
         [&] {
             WriteFile(HivePath(), hive);
             ASSERT_EQ(::chown(ConfigFolder().c_str(), OtherUser, OtherUser), 0);
         },
         "Folder " + ConfigFolder() + " is not safe to use (owned by user 65534)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(Root() + "/home/user/.config");
        fs::remove(Victim());
        fs::create_directories(Root() + "/home/user/.config");
        fs::permissions(Root() + "/home/user/.config", fs::perms::owner_all);
        (void)tsc::TakePlatformDiagnostics();
        c.plant();
        const std::string victimBefore = fs::exists(Victim()) ? ReadFile(Victim()) : "<none>";

        EXPECT_FALSE(Registry::ReadString(Hive::CurrentUser, Key, "Planted"));
        EXPECT_FALSE(Registry::WriteString(Hive::CurrentUser, Key, "Mine", "1"));
        EXPECT_EQ(fs::exists(Victim()) ? ReadFile(Victim()) : "<none>", victimBefore);
        const auto lines = tsc::TakePlatformDiagnostics();
        EXPECT_TRUE(HasLineContaining(lines, c.reported)) << c.reported << "\n"
                                                          << (lines.empty() ? "" : lines[0]);
    }
}

// A data folder others could change is not used, and nothing takes its place: the
// temporary folder would let them plant the profile and the server list.
TEST_F(PrivateFiles, DataFolderOpenToOthersIsNotUsedAndNothingTakesItsPlace) {
    const std::string dataHome = Root() + "/home/user/.local/share";
    fs::create_directories(dataHome + "/TerminalServer");
    fs::permissions(dataHome + "/TerminalServer",
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    // Our own folder, readable by others: closed, and used.
    EXPECT_EQ(tsc::ApplicationDataFolder(), dataHome + "/TerminalServer");
    EXPECT_EQ(fs::status(dataHome + "/TerminalServer").permissions() & fs::perms::all, fs::perms::owner_all);

    fs::permissions(dataHome, fs::perms::all); // anyone may rename the folder away
    (void)tsc::TakePlatformDiagnostics();
    EXPECT_EQ(tsc::ApplicationDataFolder(), "");
    EXPECT_TRUE(HasLineContaining(tsc::TakePlatformDiagnostics(), "is writable by other users"));
    // With the sticky bit, as the temporary folder, nobody else can move it.
    fs::permissions(dataHome, fs::perms::all | fs::perms::sticky_bit);
    EXPECT_EQ(tsc::ApplicationDataFolder(), dataHome + "/TerminalServer");
}

// umask 002 with a group of the user's own (a user private group) gives ~/.local/share
// mode 0775: nobody else may write it. A group with other members may.
TEST_F(PrivateFiles, GroupWritableFolderIsUnsafeOnlyWhenTheGroupHasOtherMembers) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give folders to other groups";
    const std::string dataHome = Root() + "/home/user/.local/share";
    fs::create_directories(dataHome);
    fs::permissions(dataHome, fs::perms::owner_all | fs::perms::group_all | fs::perms::others_read |
                                  fs::perms::others_exec);
    struct Case {
        gid_t group;
        bool usable;
        const char *why;
    };
    const Case cases[] = {
        {0, true, "root's own group: root alone"},
        {OtherUser, false, "nogroup: the primary group of nobody"},
        {12345, false, "a group the database does not know"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        ASSERT_EQ(::chown(dataHome.c_str(), 0, c.group), 0);
        EXPECT_EQ(tsc::ApplicationDataFolder().empty(), !c.usable);
    }
}

TEST_F(PrivateFiles, PlantedIniLinkIsMovedAsideNeverWrittenThrough) {
    const std::string path = Root() + "/home/user/.local/share/TerminalServer/tsv.ini";
    WriteFile(Victim(), "[Column widths]\nx=1\n");
    fs::create_directories(fs::path(path).parent_path());
    fs::create_symlink(Victim(), path);
    tsc::IniFile file(path);
    EXPECT_EQ(file.ReadString("Column widths", "x", "none"), "none");
    file.WriteInteger("Column widths", "x", 2);
    ASSERT_TRUE(file.Save());
    EXPECT_EQ(ReadFile(Victim()), "[Column widths]\nx=1\n");
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PrivateFiles, StaleTemporaryFilesOfKilledWritesAreRemovedAtStart) {
    const std::string folder = Root() + "/home/user/.local/share/TerminalServer";
    fs::create_directories(folder);
    const auto make = [&](const std::string &name, bool old) {
        WriteFile(folder + "/" + name, "partial");
        if (!old) return;
        const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 60, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (folder + "/" + name).c_str(), times, 0), 0);
    };
    make(".tsv.ini.tsc-a1B2c3", true);          // a killed write: removed
    make(".tsv_farm.rdp.tsc-Zz9Yy8", true);     // removed
    make(".tsv.ini.tsc-fresh1", false);         // may still be written: kept
    make(".tsv.ini.tsc-locked", true);          // a running writer holds it: kept
    make("notes.tsc-abcdef", true);             // not one of ours: kept
    make(".tsv.ini.XXXXXX", true);              // not one of ours: kept
    make(".tsc-copy-Q1w2E3", true);             // a copy of a profile: removed
    make("tsv_farm_v001c003.txt.aB3dE5", true); // a list of an older client: removed
    const std::string client = tsc::Identity::InstalledClientName();
    make(client + ".new-999999999", true);                     // its process is gone: removed
    make(client + ".new-" + std::to_string(::getpid()), true); // still running: kept
    const int writer = ::open((folder + "/.tsv.ini.tsc-locked").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(writer, LOCK_EX), 0);

    EXPECT_EQ(tsc::RemoveOwnStaleTemporaryFiles(), 5u);
    ::close(writer);
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(folder))
        left.push_back(entry.path().filename().string());
    std::sort(left.begin(), left.end());
    std::vector<std::string> kept{".tsv.ini.XXXXXX", ".tsv.ini.tsc-fresh1", ".tsv.ini.tsc-locked",
                                  "notes.tsc-abcdef", client + ".new-" + std::to_string(::getpid())};
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(left, kept);
}

// Not dumpable, and a file-size limit fails a write with EFBIG instead of killing
// the process; the atomic write then leaves the old file and no temporary file.
TEST_F(PrivateFiles, HardenedProcessSurvivesAFileSizeLimit) {
    const std::string path = Root() + "/home/user/.local/share/TerminalServer/tsv.ini";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        tsc::HardenProcess();
        if (::prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0) ::_exit(1);
        tsc::IniFile small(path);
        small.WriteString("S", "k", "old");
        if (!small.Save()) ::_exit(2);
        rlimit limit{64, 64};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
        tsc::IniFile big(path);
        big.WriteString("S", "k", std::string(1000, 'x'));
        (void)tsc::TakePlatformDiagnostics();
        if (big.Save()) ::_exit(4);
        const auto lines = tsc::TakePlatformDiagnostics();
        if (lines.size() != 1 ||
            lines[0].find("could not be written (File too large [27])") == std::string::npos)
            ::_exit(5);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), "[S]\nk=old\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path).parent_path()), {}), 1);
}

} // namespace
