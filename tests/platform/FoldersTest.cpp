#include "Identity.h"
#include "SystemInfo.h"
#include "TestEnvironment.h"

#include <filesystem>
#include <unistd.h>

namespace {

class Folders : public IsolatedTest {};

TEST_F(Folders, TempFolderFallsBackWhenTmpdirDoesNotCount) {
    EXPECT_EQ(tsc::TempFolder(), Root() + "/tmp");
    SetVariable("TMPDIR", "");
    EXPECT_EQ(tsc::TempFolder(), "/tmp");
    SetVariable("TMPDIR", "/" + std::string(1021, 'x')); // 1022 characters still count
    EXPECT_EQ(tsc::TempFolder().size(), 1022u);
    SetVariable("TMPDIR", "/" + std::string(1022, 'x'));
    EXPECT_EQ(tsc::TempFolder(), "/tmp");
    UnsetVariable("TMPDIR");
    EXPECT_EQ(tsc::TempFolder(), "/tmp");
}

TEST_F(Folders, ApplicationDataFolderIsCreatedBelowDataHome) {
    const std::string expected = Root() + "/home/user/.local/share/TerminalServer";
    EXPECT_EQ(tsc::ApplicationDataFolder(), expected);
    EXPECT_TRUE(tsc::FolderExists(expected));
    EXPECT_EQ(tsc::UserAppDataFolder(), Root() + "/home/user/.local/share");

    tsc::Identity::SetAppName("OtherBrand");
    EXPECT_EQ(tsc::ApplicationDataFolder(), Root() + "/home/user/.local/share/OtherBrand");

    UnsetVariable("XDG_DATA_HOME"); // the XDG default below HOME
    EXPECT_EQ(tsc::ApplicationDataFolder(), Root() + "/home/user/.local/share/OtherBrand");
}

// No folder takes the place of one that cannot be used: the client goes on without.
TEST_F(Folders, ApplicationDataFolderThatCannotBeUsedIsNone) {
    EXPECT_EQ(tsc::ApplicationDataFolderProblem(), "");
    SetVariable("XDG_DATA_HOME", "/ab"); // three characters do not count
    EXPECT_EQ(tsc::ApplicationDataFolder(), "");
    EXPECT_EQ(tsc::ApplicationDataFile("tsv.ini"), "");
    EXPECT_EQ(tsc::UserAppDataFolder(), "");
    EXPECT_NE(tsc::ApplicationDataFolderProblem(), "");

    WriteFile(Root() + "/plainfile", "x"); // a file where the folder should be: cannot be created
    SetVariable("XDG_DATA_HOME", Root() + "/plainfile");
    EXPECT_EQ(tsc::ApplicationDataFolder(), "");
    EXPECT_NE(tsc::ApplicationDataFolderProblem().find(Root() + "/plainfile/TerminalServer"),
              std::string::npos);
}

// The session's runtime folder holds files that must not outlive it, when it is the
// user's alone; a shared or missing one gives none.
TEST_F(Folders, PrivateTemporaryFolderLiesInTheUsersRuntimeFolderOnly) {
    UnsetVariable("XDG_RUNTIME_DIR");
    EXPECT_EQ(tsc::PrivateTemporaryFolder(), "");
    const std::string runtime = Root() + "/run";
    std::filesystem::create_directories(runtime);
    SetVariable("XDG_RUNTIME_DIR", runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::all);
    EXPECT_EQ(tsc::PrivateTemporaryFolder(), "");
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    EXPECT_EQ(tsc::PrivateTemporaryFolder(), runtime + "/TerminalServer");
    EXPECT_EQ(std::filesystem::status(runtime + "/TerminalServer").permissions(),
              std::filesystem::perms::owner_all);
}

TEST_F(Folders, DesktopFollowsUserDirsThenHomeThenTheDataFolder) {
    EXPECT_EQ(tsc::DesktopFolder(), tsc::ApplicationDataFolder());

    std::filesystem::create_directories(Root() + "/home/user/Desktop");
    EXPECT_EQ(tsc::DesktopFolder(), Root() + "/home/user/Desktop");

    WriteFile(Root() + "/home/user/.config/user-dirs.dirs",
              "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
              "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(tsc::DesktopFolder(), Root() + "/home/user/Desktop"); // named folder missing
    std::filesystem::create_directories(Root() + "/home/user/Schreibtisch");
    EXPECT_EQ(tsc::DesktopFolder(), Root() + "/home/user/Schreibtisch");
    // A desktop others may write could hand the archive to them, or swap it.
    std::filesystem::permissions(Root() + "/home/user/Schreibtisch", std::filesystem::perms::all);
    EXPECT_EQ(tsc::DesktopFolder(), Root() + "/home/user/Desktop");
}

TEST_F(Folders, FixedAndDerivedFolders) {
    EXPECT_EQ(tsc::LocalSettingsFolder(), Root() + "/home/user/.local/state");
    UnsetVariable("XDG_STATE_HOME");
    EXPECT_EQ(tsc::LocalSettingsFolder(), Root() + "/home/user/.local/state");
    EXPECT_EQ(tsc::ProfilesRootFolder(), Root() + "/home/");
    SetVariable("HOME", "/home/someone/");
    EXPECT_EQ(tsc::ProfilesRootFolder(), "/home/");
    EXPECT_EQ(tsc::ProgramFilesFolder(), "/opt");
    EXPECT_EQ(tsc::AllUsersProfileFolder(), "/usr/share");
}

TEST_F(Folders, LongPathNameResolvesDotsWithoutFollowingLinks) {
    EXPECT_EQ(tsc::LongPathName("/a/./b/../c/"), "/a/c");
    EXPECT_EQ(tsc::LongPathName("/"), "/");
    EXPECT_EQ(tsc::LongPathName(""), "");
    ASSERT_EQ(::chdir(Root().c_str()), 0);
    std::filesystem::create_symlink(Root() + "/tmp", Root() + "/link");
    EXPECT_EQ(tsc::LongPathName("link/../tmp/x"), Root() + "/tmp/x");
    EXPECT_EQ(tsc::LongPathName("link/x"), Root() + "/link/x");
    ASSERT_EQ(::chdir("/"), 0);
}

TEST_F(Folders, EnsureFolderCreatesEveryMissingLevel) {
    const std::string deep = Root() + "/a/b/c/";
    EXPECT_TRUE(tsc::EnsureFolder(deep));
    EXPECT_TRUE(tsc::FolderExists(Root() + "/a/b/c"));
    EXPECT_FALSE(tsc::EnsureFolder(""));
    WriteFile(Root() + "/file", "x");
    EXPECT_FALSE(tsc::EnsureFolder(Root() + "/file/sub"));
    EXPECT_EQ(tsc::WithTrailingSeparator("/x"), "/x/");
    EXPECT_EQ(tsc::WithTrailingSeparator(""), "");
    EXPECT_EQ(tsc::WithoutTrailingSeparator("/x/"), "/x");
}

} // namespace
