#include "ServerListFiles.h"
#include "FarmTestSupport.h"

#include <sys/stat.h>

using namespace tsc::farm;

using ServerListFilesTest = FarmFolderTest;

TEST_F(ServerListFilesTest, PathsFollowUsageAndCommandLine) {
    const std::string data = DataPath("");
    EXPECT_EQ(ServerListFilePath(CurrentTag, {}), data + "tsv_farm_v001c003.txt");
    EXPECT_EQ(ServerListFilePath(OlderTag, {}), data + "tsv_farm_v001c001.txt");
    EXPECT_EQ(ServerListFilePath(CurrentTag, {true, "/c/Work.rdp", {}}), "/c/Work.tsv_farm_v001c003.txt");
    EXPECT_EQ(ServerListFilePath(OlderTag, {true, "/c.d/Work", {}}), "/c.d/Work.tsv_farm_v001c001.txt");
    EXPECT_EQ(ServerListFilePath(CurrentTag, {true, "", {}}), ""); // no connection selected: nothing recorded
    EXPECT_EQ(ServerListFilePath(OlderTag, {true, "/c/Work.rdp", {"p.rdp", "%HOME%/list.txt"}}),
              folder_.string() + "/list.txt");
    EXPECT_EQ(ServerListFilePath(CurrentTag, {false, "", {"p.rdp"}}), data + "tsv_farm_v001c003.txt");
}

TEST_F(ServerListFilesTest, ReaderTakesSecondThenFourthArgumentThenThePath) {
    WriteAll(PathOf("given.txt"), "1.1.1.1 3389 3391 given D\r\nEOF\r\n");
    WriteAll(PathOf("fourth.txt"), "4.4.4.4 3389 3391 fourth D\r\nEOF\r\n");
    WriteAll(PathOf("second.txt"), "2.2.2.2 3389 3391 second D\r\nEOF\r\n");
    const std::vector<std::string> both = {"p", PathOf("second.txt"), "q", PathOf("fourth.txt")};
    const std::vector<std::string> noSecond = {"p", PathOf("missing.txt"), "q", PathOf("fourth.txt")};
    const std::vector<std::string> neither = {"p", PathOf("missing.txt"), "q", PathOf("missing4.txt")};
    EXPECT_EQ(ReadCurrentFormatFile(PathOf("given.txt"), both, false, log_).text.lines[0].substr(0, 7),
              "2.2.2.2");
    EXPECT_EQ(ReadCurrentFormatFile(PathOf("given.txt"), noSecond, false, log_).text.lines[0].substr(0, 7),
              "4.4.4.4");
    EXPECT_EQ(ReadCurrentFormatFile(PathOf("given.txt"), neither, true, log_).text.lines[0].substr(0, 7),
              "1.1.1.1");
    EXPECT_TRUE(log_.Has("I Begin Read_V001C003_file: " + PathOf("given.txt") + " [yes]"));
    EXPECT_TRUE(log_.Has("I End Read_V001C003_file: yes"));
}

TEST_F(ServerListFilesTest, BadFilesLoadNothingAndSayWhy) {
    struct Case {
        const char *name;
        std::function<void(const std::string &)> make;
        bool found;
        bool complete;
        const char *logged;
    };
    const Case cases[] = {
        {"missing", [](const std::string &) {}, false, false, "File does not exist: "},
        {"no end marker", [](const std::string &p) { WriteAll(p, "1.1.1.1 3389 3391 a D\r\n"); }, true, false,
         "End Read_V001C003_file: no"},
        {"garbage",
         [](const std::string &p) {
             WriteAll(p, std::string("\0\xff\xfe\r\x80"
                                     "EOF",
                                     8));
         },
         true, true, "End Read_V001C003_file: yes"},
        {"folder", [](const std::string &p) { std::filesystem::create_directory(p); }, false, false,
         "no readable file"},
        {"FIFO", [](const std::string &p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false, false,
         "no readable file"},
        {"too big", [](const std::string &p) { WriteAll(p, std::string(MaximumListFileBytes + 1, 'x')); },
         false, false, "larger than"},
    };
    for (const Case &c : cases) {
        log_.lines.clear();
        const std::string path = DataPath("tsv_farm_v001c003.txt");
        std::filesystem::remove_all(path);
        c.make(path);
        const FileRead read = ReadCurrentFormatFile(std::nullopt, {}, false, log_);
        EXPECT_EQ(read.found, c.found) << c.name;
        EXPECT_EQ(read.text.complete, c.complete) << c.name;
        EXPECT_TRUE(log_.Has(c.logged)) << c.name;
    }
}

TEST_F(ServerListFilesTest, MigrationOnlyWithoutACurrentFile) {
    WriteAll(DataPath("tsv_farm_v001c001.txt"), "10.0.0.1 3389 ts1 DOM\r\n10.0.0.1 3389 3390 ts1\r\nEOF\r\n");
    EXPECT_TRUE(OlderFormatNeedsMigration());
    const FileRead read = ReadOlderFormatFile(true, log_);
    EXPECT_TRUE(read.text.complete);
    EXPECT_EQ(read.text.lines.front(), "10.0.0.1 3389 3391 ts1 DOM");
    EXPECT_TRUE(log_.Has("End Read V001C001 convert V001C003: yes"));
    WriteAll(DataPath("tsv_farm_v001c003.txt"), "x\r\n");
    EXPECT_FALSE(OlderFormatNeedsMigration());
    DeleteOtherFormatFile(CurrentTag, log_);
    EXPECT_FALSE(std::filesystem::exists(DataPath("tsv_farm_v001c001.txt")));
    DeleteOtherFormatFile(CurrentTag, log_); // a missing file is no error
    EXPECT_FALSE(log_.Has("W "));
}
