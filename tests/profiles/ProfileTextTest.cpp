#include "ProfileText.h"

#include <gtest/gtest.h>

namespace tsc::profiles {
namespace {

std::string Utf16Bytes(std::u16string_view text, bool mark) {
    std::string bytes = mark ? "\xFF\xFE" : "";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(ProfileText, DecodesTheThreeEncodings) {
    struct Case {
        const char *what;
        std::string bytes;
        ProfileEncoding encoding;
        std::string text;
    };
    const Case cases[] = {
        {"UTF-16 with mark", Utf16Bytes(u" a:s:\u00e9\r\n", true), ProfileEncoding::Utf16WithMark,
         "a:s:\u00e9"},
        {"UTF-16 with mark, odd last byte", Utf16Bytes(u"a:s:b", true) + "x", ProfileEncoding::Utf16WithMark,
         "a:s:b"},
        {"lone mark", "\xFF\xFE", ProfileEncoding::Utf16WithMark, ""},
        {"UTF-16 without mark", Utf16Bytes(u"ab\r\n", false), ProfileEncoding::Utf16, "ab"},
        {"UTF-16 without mark, odd length", Utf16Bytes(u"ab", false) + "c", ProfileEncoding::Utf16, "ab"},
        {"unpaired surrogate", Utf16Bytes(u"a\xD800z", true), ProfileEncoding::Utf16WithMark, "a\uFFFDz"},
        {"UTF-8", "\t u:s:J\xC3\xBCrgen \r\n\x01", ProfileEncoding::EightBit, "u:s:J\xC3\xBCrgen"},
        {"UTF-8 with mark", "\xEF\xBB\xBFk:s:v", ProfileEncoding::EightBit, "k:s:v"},
        {"Windows-1252", "u:s:Ren\xE9\x80", ProfileEncoding::EightBit, "u:s:Ren\xC3\xA9\xE2\x82\xAC"},
        {"one byte", "\xFF", ProfileEncoding::EightBit, "\xC3\xBF"},
    };
    for (const Case &c : cases) {
        const DecodedProfile decoded = DecodeProfileBytes(c.bytes);
        EXPECT_EQ(decoded.encoding, c.encoding) << c.what;
        EXPECT_EQ(decoded.text, c.text) << c.what;
    }
}

TEST(ProfileText, EncodesLinesAsUtf16WithMarkAndCrLf) {
    EXPECT_EQ(EncodeProfileLines({"a:s:\xC3\xA9", ""}), std::string("\xFF\xFE"
                                                                    "a\0:\0s\0:\0\xE9\0\r\0\n\0\r\0\n\0",
                                                                    20));
    const std::string emoji = "\xF0\x9F\x98\x80"; // outside the basic plane: a surrogate pair
    EXPECT_EQ(DecodeProfileBytes(EncodeProfileLines({"u:s:" + emoji})).text, "u:s:" + emoji);
}

TEST(ProfileText, SplitsAtEveryLineEnd) {
    EXPECT_EQ(SplitProfileLines("a\r\nb\rc\nd\n\ne"),
              (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    EXPECT_TRUE(SplitProfileLines("").empty());
}

TEST(ProfileText, ReadsIntegersLikeTheRuntime) {
    const std::pair<const char *, std::int32_t> cases[] = {
        {"1024", 1024},
        {"  1024", 1024},
        {"1024px", 1024},
        {"px", 0},
        {"", 0},
        {"-5", -5},
        {"+7", 7},
        {"$400", 1024},
        {"x1f", 31},
        {"0x10", 16},
        {"$zz", 0},
        {"65536", 65536},
        {"2147483647", 2147483647},
        {"99999999999", 999999999},
        {"-2147483648", INT32_MIN},
        {"$FFFFFFFF", -1},
        {"$1FFFFFFFF", 0x1FFFFFFF},
    };
    for (const auto &[text, value] : cases)
        EXPECT_EQ(RuntimeIntegerValue(text), value) << text;
}

} // namespace
} // namespace tsc::profiles
