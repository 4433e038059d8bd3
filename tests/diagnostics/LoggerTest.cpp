#include "Logger.h"
#include "LogTestSupport.h"

using tsc::LogFile;
using tsc::Logger;

using LoggerTest = LogFolderTest;

TEST(LoggerSplit, EndsLinesAtCrLfCrOrLf) {
    std::vector<std::string> lines{"left over"};
    Logger::SplitLines("a\r\nb\rc\nd\n\re\r\n", lines);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    Logger::SplitLines("", lines);
    EXPECT_TRUE(lines.empty());
}

TEST_F(LoggerTest, WritesEachShownLineWithItsLevelAndSkipsPasswords) {
    const std::string path = PathOf("client.log");
    Logger logger(std::make_unique<LogFile>(path, 200));
    std::vector<std::string> shown;
    logger.SetDisplay([&](const std::string &line) { shown.push_back(line); });

    logger.LogInfo("one\r\ntwo\n\nthree");
    logger.LogWarning("password 51:b:01000000d08c\r\nusername:s:me");
    logger.LogError("\r\n");
    logger.LogError("broken");

    const std::vector<std::string> expected = {"|Info|one", "|Info|two", "|Info|three",
                                               "|Warning|username:s:me", "|Error|broken"};
    ASSERT_EQ(shown.size(), expected.size());
    for (std::size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(shown[i].substr(23), expected[i]);

    // Lines handed to the log file itself reach the file but not the page.
    ASSERT_NE(logger.File(), nullptr);
    logger.File()->Info("file only");
    EXPECT_EQ(shown.size(), expected.size());

    logger.Stop();
    const auto lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 8u);
    for (std::size_t i = 0; i < shown.size(); ++i)
        EXPECT_EQ(lines[i + 1], shown[i]);
    EXPECT_EQ(lines[6].substr(23), "|Info|file only");
    EXPECT_EQ(ReadAll(path).find("password 51"), std::string::npos);

    logger.LogInfo("after stop");
    EXPECT_EQ(shown.size(), expected.size());
    EXPECT_EQ(logger.File(), nullptr);
}

TEST_F(LoggerTest, DoesNothingWithoutAnActiveLogAndNeverThrows) {
    int calls = 0;
    Logger none;
    none.SetDisplay([&](const std::string &) { ++calls; });
    none.LogInfo("nobody hears this");

    Logger inactive(std::make_unique<LogFile>("/dev/null", 200));
    inactive.SetDisplay([&](const std::string &) { ++calls; });
    inactive.LogError("nor this");
    EXPECT_EQ(calls, 0);

    Logger failing(std::make_unique<LogFile>(PathOf("throws.log"), 200));
    failing.SetDisplay([&](const std::string &) {
        ++calls;
        throw std::runtime_error("list box gone");
    });
    EXPECT_NO_THROW(failing.LogWarning("first\nsecond"));
    EXPECT_EQ(calls, 1);
}
