#include "ConnectionFolder.h"
#include "TestSupport.h"

#include <cerrno>
#include <unistd.h>

namespace tsc::profiles {
namespace {

using test::RecordingLog;
namespace fs = std::filesystem;

const ConnectionFolderNames Names = FolderNamesFor("tsv");

TEST(ConnectionNameTest, NamesAndTheirFiles) {
    struct Case {
        std::string typed, safe;
    };
    for (const auto &[typed, safe] : std::vector<Case>{
             {"B\xC3\xBCro/1", "B_ro_1"},      // one "_" per character, not per byte
             {"Office 2-b.x", "Office 2-b.x"}, // space, hyphen and full stop stay
             {"[a\\b]^_`", "[a\\b]^_`"},       // the six characters between Z and a stay
             {"a{b}~|c", "a_b___c"},           // above z
             {"\xF0\x9F\x98\x80!", "__"},      // four-byte sequence, then '!'
             {"x\xFF\xC3y", "x__y"},           // broken sequences: one "_" each
             {"tab\there\nx", "tab_here_x"},
         })
        EXPECT_EQ(MakeSafeConnectionName(typed), safe) << typed;

    EXPECT_EQ(ConnectionDisplayName("Office.RDP"), "Office");
    EXPECT_EQ(ConnectionDisplayName("x.Rdp"), "x");
    EXPECT_EQ(ConnectionDisplayName(".rdp"), ".rdp"); // not longer than 4 characters
    EXPECT_EQ(ConnectionFileName("Office.Rdp"), "Office.rdp");
    EXPECT_EQ(ConnectionFileName("Office"), "Office.rdp");
    EXPECT_EQ(ServerListPathOf("/f/Office.RDP", Names), "/f/Office.tsv_farm_v001c003.txt");
    EXPECT_EQ(ServerListPathOf("/f.d/Office", Names), "/f.d/Office.tsv_farm_v001c003.txt");

    const std::size_t longest = 255 - std::string(".tsv_farm_v001c003.txt").size();
    struct Check {
        std::string name;
        NameProblem problem;
    };
    for (const auto &[name, problem] :
         std::vector<Check>{{"", NameProblem::Empty},
                            {".rdp.rdp", NameProblem::LeadingDot},
                            {".", NameProblem::LeadingDot},
                            {"..", NameProblem::LeadingDot},
                            {"...", NameProblem::LeadingDot},
                            {".hidden", NameProblem::LeadingDot},
                            {std::string(longest, 'a'), NameProblem::None},
                            {std::string(longest + 1, 'a'), NameProblem::TooLong},
                            {"a.b", NameProblem::None}})
        EXPECT_EQ(CheckConnectionName(name, Names), problem) << name;
}

class ConnectionFolderTest : public test::TestHome {
  protected:
    void SetUp() override {
        TestHome::SetUp();
        folder = home / "connections";
        fs::create_directories(folder);
    }
    void Make(const std::string &name, const std::string &content = "x") {
        WriteBytes(folder / name, content);
    }
    void MakePair(const std::string &name) {
        Make(name + ".rdp", "profile " + name);
        Make(name + ".tsv_farm_v001c003.txt", "servers " + name);
    }
    [[nodiscard]] std::vector<std::string> Names_(const FolderListing &listing) const {
        std::vector<std::string> names;
        for (const auto &c : listing.connections)
            names.push_back(c.name + "|" + c.fileName);
        std::sort(names.begin(), names.end());
        return names;
    }
    [[nodiscard]] std::string F() const { return folder.string(); }

    fs::path folder;
    RecordingLog log;
};

TEST_F(ConnectionFolderTest, ListingFindsEveryProfileAndNothingElse) {
    Make("office.rdp");
    Make("Office.RDP");
    Make("x.Rdp");
    Make("TSV_FARM.rdp");                 // the default profile, in any letter case
    Make("Office.tsv_farm_v001c003.txt"); // a server list file
    Make("notes.txt");
    Make("n\xFF.rdp"); // no valid text: listed as it is
    Make("Dup.rdp");
    Make("Dup.RDP"); // the same name twice: the second by its file name
    fs::create_directories(folder / "sub.rdp");
    WriteBytes(home / "elsewhere.rdp", "outside");
    fs::create_symlink(home / "elsewhere.rdp", folder / "link.rdp");
    fs::create_symlink(home, folder / "dirlink.rdp");

    const FolderListing listing = ListConnections(F(), Names);
    EXPECT_EQ(listing.error, 0);
    std::vector<std::string> names = Names_(listing);
    std::vector<std::string> dup;
    std::copy_if(names.begin(), names.end(), std::back_inserter(dup),
                 [](auto &n) { return n.rfind("Dup", 0) == 0; });
    ASSERT_EQ(dup.size(), 2u);
    EXPECT_NE(dup[0].substr(0, dup[0].find('|')), dup[1].substr(0, dup[1].find('|')));
    names.erase(std::remove_if(names.begin(), names.end(), [](auto &n) { return n.rfind("Dup", 0) == 0; }),
                names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Office|Office.RDP", "link|link.rdp", "n\xFF|n\xFF.rdp",
                                               "office|office.rdp", "x|x.Rdp"}));

    std::vector<std::string> order;
    for (const auto &c : SortedConnections({{"b", ""}, {"C", ""}, {"a", ""}, {"A", ""}, {"_x", ""}}))
        order.push_back(c.name);
    EXPECT_EQ(order, (std::vector<std::string>{"A", "a", "b", "C", "_x"}));

    const FolderListing gone = ListConnections((home / "vanished").string(), Names);
    EXPECT_EQ(gone.error, ENOENT);
    EXPECT_TRUE(gone.connections.empty());
}

TEST_F(ConnectionFolderTest, RenameMovesThePairAndNeverReplaces) {
    MakePair("Office");
    MakePair("Home");
    ASSERT_TRUE(RenameConnection(F(), {"Office", "Office.rdp"}, "Work", Names, log));
    EXPECT_EQ(ReadBytes(folder / "Work.rdp"), "profile Office");
    EXPECT_EQ(ReadBytes(folder / "Work.tsv_farm_v001c003.txt"), "servers Office");
    EXPECT_FALSE(fs::exists(folder / "Office.rdp"));
    EXPECT_FALSE(fs::exists(folder / "Office.tsv_farm_v001c003.txt"));
    EXPECT_TRUE(log.Has("I Rename "));
    EXPECT_TRUE(log.Has("I  from: " + F() + "/Office.rdp"));
    EXPECT_TRUE(log.Has("I    to: " + F() + "/Work.rdp"));
    EXPECT_TRUE(log.Has("I Rename:"));

    // Onto an existing connection: refused, both stay as they were.
    log.lines.clear();
    EXPECT_FALSE(RenameConnection(F(), {"Work", "Work.rdp"}, "Home", Names, log));
    EXPECT_EQ(ReadBytes(folder / "Home.rdp"), "profile Home");
    EXPECT_EQ(ReadBytes(folder / "Work.rdp"), "profile Office");
    EXPECT_EQ(log.lines.at(0), "E Can not rename file:");
    EXPECT_EQ(log.lines.at(3), "E File exists [17]");

    // Only the server list name is taken: the profile rename is undone.
    log.lines.clear();
    Make("Orphan.tsv_farm_v001c003.txt", "orphan");
    EXPECT_FALSE(RenameConnection(F(), {"Work", "Work.rdp"}, "Orphan", Names, log));
    EXPECT_TRUE(fs::exists(folder / "Work.rdp"));
    EXPECT_FALSE(fs::exists(folder / "Orphan.rdp"));
    EXPECT_EQ(ReadBytes(folder / "Orphan.tsv_farm_v001c003.txt"), "orphan");
    EXPECT_TRUE(log.Has("I Rename undone:")) << log.All();

    // A connection without a server list file is renamed, with the error lines.
    log.lines.clear();
    Make("Solo.rdp");
    EXPECT_TRUE(RenameConnection(F(), {"Solo", "Solo.rdp"}, "Solo2", Names, log));
    EXPECT_TRUE(fs::exists(folder / "Solo2.rdp"));
    EXPECT_TRUE(log.Has("E No such file or directory [2]")) << log.All();

    // An upper-case extension: the real file is found and gets the lower-case one.
    log.lines.clear();
    Make("Up.RDP", "up");
    EXPECT_TRUE(RenameConnection(F(), {"Up", "Up.RDP"}, "Down", Names, log));
    EXPECT_EQ(ReadBytes(folder / "Down.rdp"), "up");

    log.lines.clear();
    EXPECT_FALSE(RenameConnection(F(), {"Gone", "Gone.rdp"}, "Any", Names, log));
    EXPECT_EQ(log.lines, std::vector<std::string>{"E RDP Connection does not exist: " + F() + "/Gone.rdp"});
}

TEST_F(ConnectionFolderTest, DuplicateCopiesThePairUnderTheNextFreeNumber) {
    MakePair("Office");
    EXPECT_EQ(DuplicateConnection(F(), {"Office", "Office.rdp"}, Names, log), "Office Copy 1");
    EXPECT_EQ(DuplicateConnection(F(), {"Office", "Office.rdp"}, Names, log), "Office Copy 2");
    for (const char *name : {"Office Copy 1", "Office Copy 2"}) {
        EXPECT_EQ(ReadBytes(folder / (std::string(name) + ".rdp")), "profile Office");
        EXPECT_EQ(ReadBytes(folder / (std::string(name) + ".tsv_farm_v001c003.txt")), "servers Office");
    }
    EXPECT_TRUE(log.Has("I copy:"));
    EXPECT_TRUE(log.Has("I Copy:"));
    // No temporary file of the copies is left behind.
    int files = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator(folder))
        ++files;
    EXPECT_EQ(files, 6);

    fs::remove(folder / "Office Copy 1.rdp");
    EXPECT_EQ(FreeCopyName(F(), "Office"), "Office Copy 1");
    for (int n = 1; n <= MaximumCopyNumber; ++n)
        Make("Office Copy " + std::to_string(n) + ".rdp");
    EXPECT_EQ(FreeCopyName(F(), "Office"), std::nullopt);
    log.lines.clear();
    EXPECT_EQ(DuplicateConnection(F(), {"Office", "Office.rdp"}, Names, log), std::nullopt);
    EXPECT_EQ(log.lines, std::vector<std::string>{"E No free name for a copy of: " + F() + "/Office.rdp"});
}

TEST_F(ConnectionFolderTest, DeleteRemovesThePairOrKeepsIt) {
    MakePair("Office");
    Make("Solo.rdp");
    std::vector<std::string> removed;
    int failWith = 0;
    const RemoveFileFunction remove = [&](const std::string &path) {
        if (failWith) return failWith;
        removed.push_back(path);
        return ::unlink(path.c_str()) == 0 ? 0 : errno;
    };
    DeleteConnection(F(), {"Office", "Office.rdp"}, Names, log, remove);
    EXPECT_EQ(removed.size(), 2u);
    EXPECT_FALSE(fs::exists(folder / "Office.tsv_farm_v001c003.txt"));
    EXPECT_TRUE(log.Has("I Delete " + F() + "/Office.rdp"));

    // No server list file: the profile goes, the missing file is an error line.
    log.lines.clear();
    DeleteConnection(F(), {"Solo", "Solo.rdp"}, Names, log, remove);
    EXPECT_FALSE(fs::exists(folder / "Solo.rdp"));
    EXPECT_TRUE(log.Has("E Can not delete file: " + F() + "/Solo.tsv_farm_v001c003.txt"));

    // A profile that cannot go keeps its server list file.
    MakePair("Kept");
    failWith = EACCES;
    log.lines.clear();
    DeleteConnection(F(), {"Kept", "Kept.rdp"}, Names, log, remove);
    EXPECT_TRUE(fs::exists(folder / "Kept.tsv_farm_v001c003.txt"));
    EXPECT_EQ(log.lines.front(), "E Can not delete file: " + F() + "/Kept.rdp");
}

TEST_F(ConnectionFolderTest, DeletedConnectionCanBeRestoredFromTheTrash) {
    MakePair("Office");
    DeleteConnection(F(), {"Office", "Office.rdp"}, Names, log);
    EXPECT_FALSE(fs::exists(folder / "Office.rdp"));
    const fs::path trash = home / "data" / "Trash" / "files";
    EXPECT_EQ(ReadBytes(trash / "Office.rdp"), "profile Office") << log.All();
    EXPECT_EQ(ReadBytes(trash / "Office.tsv_farm_v001c003.txt"), "servers Office");
    EXPECT_TRUE(fs::exists(home / "data" / "Trash" / "info" / "Office.rdp.trashinfo"));
}

TEST_F(ConnectionFolderTest, MoveAllKeepsPairsAndNeverOverwrites) {
    const fs::path target = home / "target";
    fs::create_directories(target);
    MakePair("A");
    MakePair("B");
    Make("tsv_farm.rdp", "default");
    Make("Orphan.tsv_farm_v001c003.txt", "orphan");
    Make("Old.tsv_farm_v001c001.txt", "older format");
    WriteBytes(target / "B.rdp", "target's B");

    MoveAllRdpFiles(F(), target.string(), Names, log);
    EXPECT_EQ(ReadBytes(target / "A.rdp"), "profile A");
    EXPECT_EQ(ReadBytes(target / "A.tsv_farm_v001c003.txt"), "servers A");
    EXPECT_EQ(ReadBytes(target / "Orphan.tsv_farm_v001c003.txt"), "orphan");
    EXPECT_FALSE(fs::exists(folder / "A.rdp"));
    // B's name was taken: B stays whole in the old folder, the target's B untouched.
    EXPECT_EQ(ReadBytes(target / "B.rdp"), "target's B");
    EXPECT_EQ(ReadBytes(folder / "B.rdp"), "profile B");
    EXPECT_EQ(ReadBytes(folder / "B.tsv_farm_v001c003.txt"), "servers B");
    EXPECT_FALSE(fs::exists(target / "B.tsv_farm_v001c003.txt"));
    EXPECT_TRUE(fs::exists(folder / "tsv_farm.rdp"));
    EXPECT_TRUE(fs::exists(folder / "Old.tsv_farm_v001c001.txt"));

    EXPECT_EQ(log.lines.front(), "I Begin Move all RDP files from: " + F() + " to " + target.string());
    EXPECT_EQ(log.lines.at(1), "I *.RDP");
    EXPECT_TRUE(log.Has("I Do not move default RDP file: tsv_farm.rdp"));
    EXPECT_TRUE(log.Has("I Moved file: A.rdp"));
    EXPECT_TRUE(log.Has("E Can not copy RDP file from old folder: B.rdp"));
    EXPECT_TRUE(
        log.Has("E Can not copy tsv_farm_v001c003.txt file from old folder: B.tsv_farm_v001c003.txt"));
    EXPECT_EQ(log.lines.back(), "I End Move all RDP + tsv_farm_v001c001.txt + tsv_farm_v001c003.txt files");
}

TEST_F(ConnectionFolderTest, FolderWithoutWriteRightChangesNothing) {
    if (::geteuid() == 0) GTEST_SKIP() << "root may write anywhere";
    MakePair("Office");
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(RenameConnection(F(), {"Office", "Office.rdp"}, "Work", Names, log));
    EXPECT_EQ(DuplicateConnection(F(), {"Office", "Office.rdp"}, Names, log), std::nullopt);
    EXPECT_TRUE(log.Has("E Can not rename file:"));
    EXPECT_TRUE(log.Has("E Can not copy file:"));
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_TRUE(fs::exists(folder / "Office.tsv_farm_v001c003.txt"));
}

} // namespace
} // namespace tsc::profiles
