#include "LogFile.h"
#include "LogTestSupport.h"

#include <chrono>
#include <regex>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using tsc::LogFile;

namespace {

const std::string Stamp = R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d\.\d{3})";
const std::string Continuation(23, ' ');

bool Matches(const std::string &text, const std::string &pattern) {
    return std::regex_match(text, std::regex(pattern));
}

std::string TextOf(const std::string &line, const std::string &tag) {
    const auto at = line.find(tag);
    return at == std::string::npos ? std::string("<no tag>") : line.substr(at + tag.size());
}

void Pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(12));
}

} // namespace

using LogFileTest = LogFolderTest;

TEST_F(LogFileTest, NewFileHasHeaderStartLineAndHeaderFollowsEachLine) {
    const std::string path = PathOf("missing/levels/TerminalServer_FarmClient.log");
    LogFile log(path, 200);
    ASSERT_TRUE(log.Active());
    const std::string afterStart = ReadAll(path);
    const auto lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(Matches(lines[0].substr(0, 23), Stamp)) << lines[0];
    EXPECT_EQ(lines[0].substr(23, 14 + path.size()), " Log Started: " + path);
    EXPECT_TRUE(Matches(lines[0].substr(37 + path.size()), R"( \[UTC:\d\d-\d\d-\d{4} \d\d:\d\d:\d\d\])"))
        << lines[0];
    EXPECT_EQ(HeaderOffset(afterStart), 12 + static_cast<long>(lines[0].size()) + 2);

    const std::string display = log.Info("hello");
    EXPECT_TRUE(Matches(display, Stamp + R"(\|Info\|hello)")) << display;
    const std::string content = ReadAll(path);
    EXPECT_EQ(content.substr(10, 2), "\r\n");
    EXPECT_EQ(HeaderOffset(content), HeaderOffset(afterStart) + static_cast<long>(display.size()) + 2);
    EXPECT_EQ(LinesOf(path).back(), display);

    log.Stop();
    EXPECT_FALSE(log.Active());
    EXPECT_TRUE(Matches(LinesOf(path).back(), Stamp + " Log stopped"));
}

TEST_F(LogFileTest, RepetitionsFoldIntoOneSummaryStampedWithTheLastOccurrence) {
    const std::string path = PathOf("fold.log");
    LogFile log(path, 200);
    std::vector<std::string> displays;
    for (int i = 0; i < 5; ++i) {
        displays.push_back(log.Info("same message"));
        Pause();
    }
    EXPECT_EQ(LinesOf(path).size(), 2u) << "repetitions must not reach the file until summarised";
    log.Error("something else");

    const auto lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], displays[0]);
    EXPECT_EQ(lines[2], displays[4] + " [5x]");
    EXPECT_NE(lines[2].substr(0, 23), displays[0].substr(0, 23));
    EXPECT_EQ(TextOf(lines[3], "|Error|"), "something else");
}

TEST_F(LogFileTest, OnlyUninterruptedRepetitionsAreCounted) {
    const std::string path = PathOf("levels.log");
    LogFile log(path, 200);
    log.Info("again");
    log.Warning("between");
    log.Info("again");
    // Stop writes what is still pending: Info, then Error, then Warning.
    log.Warning("w");
    log.Warning("w");
    log.Error("e");
    log.Error("e");
    log.Error("e");
    log.Info("i");
    log.Info("i");
    log.Stop();

    const auto lines = LinesOf(path);
    std::vector<std::string> texts;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i)
        texts.push_back(lines[i].substr(23));
    const std::vector<std::string> expected = {
        "|Info|again", "|Warning|between", "|Info|again", "|Warning|w",   "|Warning|w [2x]",
        "|Error|e",    "|Error|e [3x]",    "|Info|i",     "|Info|i [2x]",
    };
    EXPECT_EQ(texts, expected);
}

TEST_F(LogFileTest, EmptyMessageEndsARunOfRepetitionsWithItsSummary) {
    const std::string path = PathOf("empty.log");
    LogFile log(path, 200);
    log.Info("a");
    log.Info("a");
    log.Info("a");
    EXPECT_TRUE(Matches(log.Info(""), Stamp + R"(\|Info\|)"));
    log.Info("");
    log.Stop();
    const auto lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1].substr(23), "|Info|a");
    EXPECT_EQ(lines[2].substr(23), "|Info|a [3x]");
    EXPECT_EQ(lines[3].substr(23), "|Info|");
    EXPECT_EQ(lines[4].substr(23), "|Info|");
}

TEST_F(LogFileTest, LongMessagesAndLineBreaksBecomeContinuationLines) {
    const std::string path = PathOf("chunks.log");
    LogFile log(path, 200);
    const std::string long500 = std::string(220, 'a') + std::string(220, 'b') + std::string(60, 'c');
    const std::string accented = std::string(219, 'x') + "\xC3\xA9" + "tail"; // é straddles byte 220
    const struct {
        std::string message;
        std::vector<std::string> texts; // after the stamp or the 23 spaces
    } cases[] = {
        {long500,
         {"|Warning|" + std::string(220, 'a'), "|Warning|" + std::string(220, 'b'),
          "|Warning|" + std::string(60, 'c')}},
        {"first\r\nsecond\r\n\r\nthird",
         {"|Warning|first", "|Warning|second", "|Warning|", "|Warning|third"}},
        {std::string(221, 'd') + "\r\nz", {"|Warning|" + std::string(220, 'd'), "|Warning|d", "|Warning|z"}},
        {std::string(220, 'e') + "\r\nz", {"|Warning|" + std::string(220, 'e'), "|Warning|z"}},
        {accented, {"|Warning|" + std::string(219, 'x'), "|Warning|\xC3\xA9tail"}},
    };
    std::size_t seen = LinesOf(path).size();
    for (const auto &c : cases) {
        const std::string display = log.Warning(c.message);
        const auto lines = LinesOf(path);
        ASSERT_EQ(lines.size() - seen, c.texts.size()) << c.message.substr(0, 30);
        for (std::size_t i = 0; i < c.texts.size(); ++i) {
            const auto &line = lines[seen + i];
            EXPECT_EQ(line.substr(23), c.texts[i]);
            if (i == 0)
                EXPECT_EQ(line, display.substr(0, line.size()));
            else
                EXPECT_EQ(line.substr(0, 23), Continuation);
        }
        seen = lines.size();
    }
    EXPECT_EQ(log.Info(long500).substr(23), "|Info|" + std::string(220, 'a'));
}

TEST_F(LogFileTest, BeginAndEndIndentTheLinesBetweenThem) {
    const std::string path = PathOf("indent.log");
    LogFile log(path, 200);
    EXPECT_EQ(log.Info("begin outer").substr(23), "|Info|begin outer");
    EXPECT_EQ(log.Error("inside").substr(23), "|Error|.inside");
    EXPECT_EQ(log.Info("END outer").substr(23), "|Info|END outer");
    EXPECT_EQ(log.Info("after").substr(23), "|Info|after");
    EXPECT_EQ(log.Info("End without begin").substr(23), "|Info|End without begin");

    for (int i = 0; i < 11; ++i)
        log.Info("Begin level " + std::to_string(i));
    EXPECT_EQ(log.Indentation(), std::string(10, '.'));
    EXPECT_EQ(log.Info("deep").substr(23), "|Info|..........deep");
    EXPECT_EQ(LinesOf(path).back().substr(23), "|Info|..........deep");
}

TEST(LogFileSize, MaximumSizeRule) {
    const struct {
        std::int64_t kilobytes, bytes;
    } cases[] = {{-1, 10'485'760}, {0, 10'485'760}, {10, 10'485'760},       {19, 10'485'760},
                 {20, 20'480},     {200, 204'800},  {100'000, 102'400'000}, {100'001, 10'485'760}};
    for (const auto &c : cases)
        EXPECT_EQ(LogFile::MaximumSizeFor(c.kilobytes), c.bytes) << c.kilobytes;
}

TEST(LogFileHeader, ReadsOnlyADecimalNumberOfAtLeastTwelve) {
    const struct {
        std::string bytes;
        std::int64_t offset;
    } cases[] = {{"        12", 12}, {"      4096\r\n", 4096},    {"9999999999", 9'999'999'999},
                 {"         5", 12}, {"        -40", 12},         {"", 12},
                 {"          ", 12}, {"12\r\n      ", 12},        {"  4x96    ", 12},
                 {"  4096  ", 12},   {std::string(10, '\0'), 12}, {"      40960000000", 4096}};
    for (const auto &c : cases)
        EXPECT_EQ(LogFile::ParseHeader(c.bytes), c.offset) << '"' << c.bytes << '"';
}

TEST_F(LogFileTest, ALineThatWouldReachTheMaximumGoesToTwelve) {
    const std::string path = PathOf("edge.log");
    const auto maximum = LogFile::MaximumSizeFor(20);
    // The start line has a fixed length for a given file name.
    const long startLength = 23 + 14 + static_cast<long>(path.size()) + 6 + 19 + 1 + 2;
    const struct {
        long headerOffset, expectedStart;
    } cases[] = {
        {maximum - startLength, 12},                            // would end exactly at the maximum
        {maximum - startLength - 1, maximum - startLength - 1}, // ends one byte before it
        {maximum + 5000, 12},                                   // a header beyond the maximum
    };
    for (const auto &c : cases) {
        char header[16];
        std::snprintf(header, sizeof header, "%10ld\r\n", c.headerOffset);
        WriteAll(path, header + std::string(100, '#'));
        { LogFile log(path, 20); }
        const std::string content = ReadAll(path);
        EXPECT_EQ(content.substr(c.expectedStart, 23 + 14),
                  content.substr(c.expectedStart, 23) + " Log Started: ")
            << c.headerOffset;
        EXPECT_LT(static_cast<std::int64_t>(content.size()), maximum);
    }
}

TEST_F(LogFileTest, WrappingKeepsTheFileAndTheNewestLineEndsAtTheHeaderOffset) {
    const std::string path = PathOf("circle.log");
    const auto maximum = LogFile::MaximumSizeFor(20);
    LogFile log(path, 20);
    std::size_t largest = 0;
    int written = 0;
    std::string last;
    while (written < 2000) { // about five times round the circle
        last = "line number " + std::to_string(written++) + std::string(40, '-');
        log.Info(last);
        const auto size = ReadAll(path).size();
        ASSERT_GE(size, largest) << "the file was truncated";
        largest = size;
    }
    const std::string content = ReadAll(path);
    EXPECT_LT(static_cast<std::int64_t>(content.size()), maximum);
    EXPECT_GT(static_cast<std::int64_t>(content.size()), maximum - 200);
    const auto offset = static_cast<std::size_t>(HeaderOffset(content));
    const std::string ending = "|Info|" + last + "\r\n";
    ASSERT_GE(offset, 12 + ending.size());
    EXPECT_EQ(content.substr(offset - ending.size(), ending.size()), ending);
    // The oldest lines that survive follow the newest one.
    EXPECT_EQ(content.find("line number 0-"), std::string::npos);
}

TEST_F(LogFileTest, ANewRunContinuesTheCircleAtTheHeaderOffset) {
    const std::string path = PathOf("runs.log");
    {
        LogFile first(path, 200);
        first.Info("first run");
    }
    const std::string afterFirst = ReadAll(path);
    {
        LogFile second(path, 200);
        second.Info("second run");
    }
    const std::string content = ReadAll(path);
    EXPECT_EQ(content.substr(12, afterFirst.size() - 12), afterFirst.substr(12));
    const auto lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_TRUE(Matches(lines[2], Stamp + " Log stopped"));
    EXPECT_NE(lines[3].find(" Log Started: "), std::string::npos);
    EXPECT_EQ(TextOf(lines[4], "|Info|"), "second run");
}

TEST_F(LogFileTest, SomeoneElsesFileIsOverwrittenFromTwelveButNeverTruncated) {
    const std::string path = PathOf("notes.txt");
    const std::string notes = "Shopping list\n" + std::string(5000, 'x') + "\nend of my notes\n";
    WriteAll(path, notes);
    {
        LogFile log(path, 200);
        ASSERT_TRUE(log.Active());
        log.Info("a line");
    }
    const std::string content = ReadAll(path);
    EXPECT_EQ(content.size(), notes.size());
    EXPECT_EQ(content.substr(content.size() - 17), "\nend of my notes\n");
    EXPECT_EQ(LinesOf(path).size(), 3u);
}

TEST_F(LogFileTest, EmptyExistingFileAndUnusablePathsAreHandled) {
    const std::string empty = PathOf("empty.log");
    WriteAll(empty, "");
    {
        LogFile log(empty, 200);
        EXPECT_TRUE(log.Active());
        EXPECT_EQ(LinesOf(empty).size(), 1u);
    }
    std::filesystem::create_directory(PathOf("a-folder"));
    WriteAll(PathOf("a-file"), "x");
    for (const std::string &bad :
         {PathOf("a-folder"), PathOf("a-file/below.log"), std::string("/dev/null")}) {
        LogFile log(bad, 200);
        EXPECT_FALSE(log.Active()) << bad;
        EXPECT_TRUE(Matches(log.Info("still answers"), Stamp + R"(\|Info\|still answers)"));
        log.Stop();
    }
    EXPECT_EQ(ReadAll(PathOf("a-file")), "x");
}

TEST_F(LogFileTest, OnlyOneWriterAtATime) {
    const std::string path = PathOf("shared.log");
    auto owner = std::make_unique<LogFile>(path, 200);
    ASSERT_TRUE(owner->Active());

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        LogFile second(path, 200);
        ::_exit(second.Active() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a second process opened the log for writing";
    EXPECT_FALSE(ReadAll(path).empty()) << "others can still read it";

    // The client's fall-back: a log of its own in the temporary folder.
    auto fallback = tsc::OpenClientLog(folder_.string(), PathOf("tmp"), "shared.log", "01022011101112123");
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->FileName(), PathOf("tmp/01022011101112123_shared.log"));
    EXPECT_EQ(fallback->MaximumSize(), 204'800);

    WriteAll(PathOf("not-a-folder"), "");
    EXPECT_EQ(tsc::OpenClientLog(folder_.string(), PathOf("not-a-folder"), "shared.log", "1"), nullptr);

    owner.reset();
    auto again = tsc::OpenClientLog(folder_.string(), PathOf("tmp"), "shared.log", "2");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->FileName(), path);
}

// Another user of the machine must neither receive the log nor make it overwrite a
// file: a link is never followed, and in a folder others can write only a file
// created by this process is used.
TEST_F(LogFileTest, PlantedFilesAndLinksAreNotUsed) {
    WriteAll(PathOf("victim"), "keep me");
    ASSERT_EQ(::symlink(PathOf("victim").c_str(), PathOf("linked.log").c_str()), 0);
    {
        LogFile log(PathOf("linked.log"), 200);
        EXPECT_FALSE(log.Active());
    }
    EXPECT_EQ(ReadAll(PathOf("victim")), "keep me");

    // A shared temporary folder (sticky, writable by all) with a file planted under
    // the fall-back name, owned by another user (nobody).
    const std::string shared = PathOf("shared-tmp");
    ASSERT_EQ(::mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const std::string planted = shared + "/1_client.log";
    WriteAll(planted, "        12\r\n");
    if (::geteuid() == 0) ASSERT_EQ(::chown(planted.c_str(), 65534, 65534), 0);
    EXPECT_FALSE(LogFile(planted, 200).Active());
    EXPECT_EQ(ReadAll(planted), "        12\r\n");
    // The same name in a folder only we can write is the log itself.
    ASSERT_EQ(::chmod(shared.c_str(), 0700), 0);
    if (::geteuid() == 0) {
        EXPECT_FALSE(LogFile(planted, 200).Active()) << "a file of another owner is never ours";
        ASSERT_EQ(::chown(planted.c_str(), 0, 0), 0);
    }
    EXPECT_TRUE(LogFile(planted, 200).Active());

    // The linked log in the data folder is refused; the fall-back, created afresh
    // in the shared folder, is ours and used.
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    auto fallback = tsc::OpenClientLog(folder_.string(), shared, "linked.log", "2");
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->FileName(), shared + "/2_linked.log");
    EXPECT_EQ(ReadAll(PathOf("victim")), "keep me");
}
