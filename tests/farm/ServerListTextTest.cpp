#include "ServerListText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tsc::farm;
using Lines = std::vector<std::string>;

TEST(ReplyLineSplitter, LinesAcrossChunksStayWhole) {
    struct Case {
        const char *name;
        std::vector<std::string> chunks;
        Lines lines;            // everything the chunks completed
        std::string unfinished; // what Finish() gives
    };
    const Case cases[] = {
        {"all three line ends", {"a\r\nb\rc\nd"}, {"a", "b", "c"}, "d"},
        {"line end at the end yields no empty line", {"a\r\n"}, {"a"}, ""},
        {"two line ends give an empty line", {"a\n\nb\r\n"}, {"a", "", "b"}, ""},
        {"line cut across chunks", {"10.0.0.1 33", "89 3391\r\n"}, {"10.0.0.1 3389 3391"}, ""},
        {"CR LF cut across chunks is one line end", {"a\r", "\nb\n"}, {"a", "b"}, ""},
        {"CR then CR is an empty line", {"a\r", "\rb\n"}, {"a", "", "b"}, ""},
        {"NUL and high bytes are kept", {std::string("x\0\xff\n", 4)}, {std::string("x\0\xff", 3)}, ""},
    };
    for (const Case &c : cases) {
        ReplyLineSplitter splitter;
        Lines lines;
        for (const auto &chunk : c.chunks)
            for (auto &line : splitter.Feed(chunk))
                lines.push_back(line);
        EXPECT_EQ(lines, c.lines) << c.name;
        EXPECT_EQ(splitter.Finish().value_or(""), c.unfinished) << c.name;
    }
}

TEST(ServerListText, EndMarkerAnywhereInAnyCase) {
    EXPECT_TRUE(IsEndMarker("EOF"));
    EXPECT_TRUE(IsEndMarker("# end of list: eOf"));
    EXPECT_TRUE(IsEndMarker("10.0.0.5 3389 3391 3390 geoffrey"));
    EXPECT_FALSE(IsEndMarker("E O F"));
    EXPECT_FALSE(IsEndMarker("EO"));
}

TEST(ServerListText, SplitRecordTable) {
    struct Case {
        std::string line;
        std::size_t count;
        std::optional<Lines> fields;
    };
    const Case cases[] = {
        {"a b c d e f", 6, Lines{"a", "b", "c", "d", "e", "f"}},
        {"a b", 6, Lines{"a", "b", "", "", "", ""}},
        {"a  b c", 6, Lines{"a", "", "b", "c", "", ""}},        // two spaces: an empty field
        {"a\tb c", 5, Lines{"a\tb", "c", "", "", ""}},          // a tab is no separator
        {"a b c d e f g h", 5, Lines{"a", "b", "c", "d", "e"}}, // text past the last field ignored
        {"nospace", 6, std::nullopt},
        {"# comment with spaces", 6, std::nullopt},
        {"EOF and more", 6, std::nullopt},
        {"eof and more", 6, Lines{"eof", "and", "more", "", "", ""}}, // only capitals are refused
        {"", 6, std::nullopt},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SplitRecord(c.line, c.count), c.fields) << c.line;
}

TEST(ServerListText, BuildCurrentAndOlderLists) {
    const Lines current = {"10.0.0.2 3389 3391 ts2 FARM", "# servers", "10.0.0.1 3389 3391 3390 ts1", "bad",
                           "10.0.0.2 3389 3391 3390 ts2", "EOF"};
    const ServerList list = BuildServerList(current, CurrentTag);
    ASSERT_TRUE(list.preferred);
    EXPECT_EQ(list.preferred->host, "10.0.0.2");
    EXPECT_EQ(list.preferred->port, "3389");
    EXPECT_EQ(list.preferred->rdpPlusPort, "3391");
    EXPECT_EQ(list.preferred->name, "ts2");
    EXPECT_EQ(list.preferred->domain, "FARM");
    EXPECT_EQ(list.rows, (std::vector<ServerRow>{{"ts1", "10.0.0.1", "3389", "3391", "3390"},
                                                 {"ts2", "10.0.0.2", "3389", "3391", "3390"}}));

    const ServerList older =
        BuildServerList({"10.0.0.1 3389 ts1 DOM", "10.0.0.1 3389 3390 ts1", "EOF"}, OlderTag);
    ASSERT_TRUE(older.preferred);
    EXPECT_EQ(older.preferred->rdpPlusPort, "0");
    EXPECT_EQ(older.preferred->name, "ts1");
    EXPECT_EQ(older.preferred->domain, "DOM");
    EXPECT_EQ(older.rows, (std::vector<ServerRow>{{"ts1", "10.0.0.1", "3389", "0", "3390"}}));

    const ServerList noPreferred = BuildServerList({"garbage", "EOF"}, CurrentTag);
    EXPECT_FALSE(noPreferred.preferred);
    EXPECT_TRUE(noPreferred.rows.empty());
}

TEST(ServerListText, FieldRules) {
    struct Case {
        bool (*rule)(std::string_view);
        std::string text;
        bool valid;
    };
    const std::string longLabel(64, 'a');
    const Case cases[] = {
        {IsHostText, "10.0.0.1", true},
        {IsHostText, "ts-1.farm.example", true},
        {IsHostText, "TS_OLD", true},
        {IsHostText, "", false},
        {IsHostText, "a..b", false},
        {IsHostText, ".a", false},
        {IsHostText, "a.", false},
        {IsHostText, longLabel + ".example", false},
        {IsHostText, "host:3389", false}, // a port has its own field
        {IsHostText, "<img", false},
        {IsHostText, "::1", false},
        {IsPortText, "", true}, // none given
        {IsPortText, "0", true},
        {IsPortText, "65535", true},
        {IsPortText, "65536", false},
        {IsPortText, "000001", false},
        {IsPortText, "+80", false},
        {IsPortText, "3389a", false},
        {IsNameText, "", true},
        {IsNameText, "ts1", true},
        {IsNameText, "M\xc3\xbcller&Co", true},
        {IsNameText, "<img src=/dev/zero>", false},
        {IsNameText, "FARM\\ADMIN", false},
        {IsNameText, std::string("a\0b", 3), false},
        {IsNameText, "a\x1b[31m", false},
        {IsNameText,
         "a\xc2\x9b"
         "31m",
         false}, // C1 control character
        {IsNameText, std::string(256, 'n'), false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.rule(c.text), c.valid) << c.text;
}

TEST(ServerListText, RecordsWithFieldsOutsideTheRulesAreLeftOut) {
    const Lines lines = {"10.0.0.2 3389 3391 <img src=/dev/zero> FARM", // the name holds a space: "<img"
                         "10.0.0.1 3389 3391 3390 ts1",
                         "10.0.0.3 3389 3391 3390 <b>ts3</b>",
                         "evil.example;rm 3389 3391 3390 ts4",
                         "10.0.0.5 99999 3391 3390 ts5",
                         "10.0.0.6 3389 3391 3390 ts6",
                         "EOF"};
    const ServerList list = BuildServerList(lines, CurrentTag);
    EXPECT_FALSE(list.preferred);
    EXPECT_EQ(list.rows, (std::vector<ServerRow>{{"ts1", "10.0.0.1", "3389", "3391", "3390"},
                                                 {"ts6", "10.0.0.6", "3389", "3391", "3390"}}));
    ASSERT_EQ(list.refused.size(), 4u);
    EXPECT_EQ(list.refused[0], (RefusedLine{1, "a name holds characters no server or domain name may hold"}));
    EXPECT_EQ(list.refused[1].number, 3u);
    EXPECT_EQ(list.refused[2], (RefusedLine{4, "the address is no host name or IPv4 address"}));
    EXPECT_EQ(list.refused[3], (RefusedLine{5, "a port is no number from 0 to 65535"}));
}

TEST(ServerListText, SelectionFollowsTheNameWithoutRegardToCase) {
    const std::vector<ServerRow> rows = {{"ts1", "a", "", "", ""}, {"TS2", "b", "", "", ""}};
    EXPECT_EQ(RowToSelect(std::nullopt, rows), 0u);
    EXPECT_EQ(RowToSelect(std::string("ts2"), rows), 1u);
    EXPECT_EQ(RowToSelect(std::string("gone"), rows), 0u);
}

TEST(ServerListText, ReadCurrentFormatKeepsEveryLine) {
    // Windows-1252 "é" (0xE9) is not UTF-8; the reader takes it as Windows-1252.
    const ListText text = ReadCurrentFormatText("10.0.0.1 3389 3391 caf\xe9 D\r\n# eof in a comment\r\n\r\n");
    EXPECT_EQ(text.lines, (Lines{"10.0.0.1 3389 3391 caf\xc3\xa9 D", "# eof in a comment", ""}));
    EXPECT_TRUE(text.complete);
    EXPECT_FALSE(ReadCurrentFormatText("10.0.0.1 3389 3391 ts1 D\r\n").complete);
}

TEST(ServerListText, ConvertOlderFormat) {
    const ListText text = ConvertOlderFormatText("10.0.0.1 3389 ts1 DOM\r\n"
                                                 "\r\n"
                                                 "# comment\r\n"
                                                 "10.0.0.1 3389 3390 ts1\r\n"
                                                 "10.0.0.2 3389 3390 ts2 extra\r\n"
                                                 "malformed\r\n"
                                                 "EOF\r\n\r\n");
    EXPECT_EQ(text.lines, (Lines{"10.0.0.1 3389 3391 ts1 DOM", "# comment", "10.0.0.1 3389 3391 3390 ts1 ",
                                 "10.0.0.2 3389 3391 3390 ts2 extra"}));
    EXPECT_TRUE(text.complete);
    EXPECT_EQ(ConvertOlderFormatText("garbage\r\nEOF\r\n").lines, Lines{""});
    EXPECT_FALSE(ConvertOlderFormatText("EOF\r\n").complete); // the first line is not tested
    EXPECT_TRUE(ConvertOlderFormatText("").lines.empty());
}

TEST(ServerListText, PortsAndUserNames) {
    struct Case {
        const char *text;
        std::optional<int> port;
    };
    for (const Case &c :
         {Case{"1", 1}, Case{"65534", 65534}, Case{"0", std::nullopt}, Case{"65535", std::nullopt},
          Case{"abc", std::nullopt}, Case{"", std::nullopt}, Case{" 80", std::nullopt},
          Case{"-1", std::nullopt}, Case{"99999999999", std::nullopt}})
        EXPECT_EQ(LoadBalancingPort(c.text), c.port) << c.text;
    EXPECT_EQ(CommandSafeUserName("alice\r\nV001C003root"), "aliceV001C003root");
    EXPECT_EQ(CommandSafeUserName(std::string("a\0b\x7f\tc", 6)), "abc");
    EXPECT_EQ(CommandSafeUserName("J\xc3\xb6rg"), "J\xc3\xb6rg");
    EXPECT_EQ(ChunkFileText({"a", "b"}), "a\r\nb\r\n\r\n");
}

TEST(ServerListText, IndicatorSteps) {
    EXPECT_EQ(VisibleIndicator(0, true), Indicator::Busy1);
    EXPECT_EQ(VisibleIndicator(4, true), Indicator::Busy5);
    EXPECT_EQ(VisibleIndicator(-3, true), Indicator::Error);
    EXPECT_EQ(VisibleIndicator(2, false), Indicator::None);
    EXPECT_EQ(ErrorIndicatorStep(500), -10);
    // Busy cycles 1..4 while a refresh runs and falls back to 0 after it.
    EXPECT_EQ(NextIndicatorStep(4, true, true), 1);
    EXPECT_EQ(NextIndicatorStep(4, false, false), 0);
    EXPECT_EQ(NextIndicatorStep(2, true, true), 3);
    // The error picture counts up to idle, or to busy when an exchange runs.
    EXPECT_EQ(NextIndicatorStep(-2, false, false), -1);
    EXPECT_EQ(NextIndicatorStep(-1, false, false), 0);
    EXPECT_EQ(NextIndicatorStep(-1, true, true), 1);
    EXPECT_EQ(NextIndicatorStep(0, false, true), 0);
}
