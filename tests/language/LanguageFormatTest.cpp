// The language file reader and the text lookup, over bytes: what a file or a shared
// block written by someone else can do to them.

#include "LanguageFormat.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

using namespace tsc::language;

namespace {

std::vector<std::uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

FileContents SampleContents() {
    FileContents contents;
    contents.text = "// captions\n004-00000201:Verbinden\r\n002-00000055:ZIP";
    contents.firstImage = Bytes("\x89PNG first");
    contents.secondImage = Bytes("second image");
    contents.font = {"DejaVu Sans", 0x00112233, 9, 3};
    return contents;
}

void PutU32(std::vector<std::uint8_t> &bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Unpacks a file the way the client does: header against file size, then the body.
Verdict Unpack(const std::vector<std::uint8_t> &file, std::vector<std::uint8_t> &table) {
    Header header;
    const Verdict verdict = CheckFileHeader(file, file.size(), header);
    if (verdict != Verdict::Accepted) return verdict;
    table.assign(TableSize(header.textLength), 0);
    return UnpackFile(file, header, table);
}

// A file whose header is sound for a text of `n` bytes and whose body is `data`,
// with the digest of `data` (so only the size checks can refuse it).
std::vector<std::uint8_t> FileWithBody(std::uint32_t n, const std::vector<std::uint8_t> &data) {
    std::vector<std::uint8_t> body(compressBound(static_cast<uLong>(data.size())));
    uLongf size = static_cast<uLongf>(body.size());
    compress2(body.data(), &size, data.data(), static_cast<uLong>(data.size()), 9);
    std::vector<std::uint8_t> file(HeaderSize, 0);
    const Digest digest = Md5(std::span(data).first(std::min<std::size_t>(data.size(), TextOffset + n)));
    std::copy(digest.begin(), digest.end(), file.begin() + DigestOffset);
    PutU32(file, VersionOffset, 5);
    PutU32(file, TextLengthOffset, n);
    file.insert(file.end(), body.begin(), body.begin() + static_cast<std::ptrdiff_t>(size));
    return file;
}

} // namespace

TEST(LanguageFile, RoundTripKeepsTextImagesAndFont) {
    const auto file = BuildFile(SampleContents());
    ASSERT_TRUE(file);
    std::vector<std::uint8_t> table;
    ASSERT_EQ(Unpack(*file, table), Verdict::Accepted);
    EXPECT_EQ(table.size(), 1'080'696 + SampleContents().text.size());
    EXPECT_EQ(TableText(table), SampleContents().text);
    EXPECT_EQ(std::vector(FirstImage(table).begin(), FirstImage(table).end()), SampleContents().firstImage);
    EXPECT_EQ(std::vector(SecondImage(table).begin(), SecondImage(table).end()),
              SampleContents().secondImage);
    const FontFace font = TableFont(table);
    EXPECT_EQ(font.name, "DejaVu Sans");
    EXPECT_EQ(font.colour, 0x00112233u);
    EXPECT_EQ(font.pointSize, 9u);
    EXPECT_EQ(font.style, 3u);
    EXPECT_EQ(CheckTable(table), Verdict::Accepted);
}

TEST(LanguageFile, DamagedFilesAreRefusedBeforeAnyLargeAllocation) {
    const auto good = *BuildFile(SampleContents());
    struct Case {
        const char *what;
        std::vector<std::uint8_t> file;
        Verdict verdict;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", {}, Verdict::Truncated});
    cases.push_back({"header cut short", {good.begin(), good.begin() + 311}, Verdict::Truncated});
    cases.push_back({"body cut short", {good.begin(), good.end() - 20}, Verdict::BadStream});
    auto version4 = good, version6 = good;
    PutU32(version4, VersionOffset, 4);
    PutU32(version6, VersionOffset, 6);
    cases.push_back({"version 4", version4, Verdict::WrongVersion});
    cases.push_back({"version 6", version6, Verdict::WrongVersion});
    auto digest = good;
    digest[DigestOffset] ^= 0xFF;
    cases.push_back({"wrong digest", digest, Verdict::WrongDigest});
    auto longer = good;
    PutU32(longer, TextLengthOffset, static_cast<std::uint32_t>(SampleContents().text.size() + 5000));
    cases.push_back({"N larger than the text", longer, Verdict::WrongDigest});
    auto huge = good;
    PutU32(huge, TextLengthOffset, 0xFFFFFFFF);
    cases.push_back({"N = 0xFFFFFFFF", huge, Verdict::TextTooLong});
    auto overBound = good;
    PutU32(overBound, TextLengthOffset, MaximumTextLength + 1);
    cases.push_back({"N just above the bound", overBound, Verdict::TextTooLong});
    // 64 MiB of zeros packed into a few kilobytes: far more than a table of N = 10.
    cases.push_back(
        {"inflate bomb", FileWithBody(10, std::vector<std::uint8_t>(64u << 20, 0)), Verdict::DataTooLong});
    auto garbage = good;
    std::fill(garbage.begin() + HeaderSize, garbage.end(), 0x5A);
    cases.push_back({"body no zlib stream", garbage, Verdict::BadStream});
    for (const Case &c : cases) {
        std::vector<std::uint8_t> table;
        EXPECT_EQ(Unpack(c.file, table), c.verdict) << c.what;
        EXPECT_LE(table.size(), TableSize(MaximumTextLength)) << c.what;
    }
}

TEST(LanguageFile, ImageSizesOutsideTheirSlotsGiveNoImage) {
    auto table = std::vector<std::uint8_t>(TableSize(0), 0);
    const auto setSize = [&](std::size_t offset, std::uint32_t size) {
        PutU32(table, HeaderSize + offset, size);
    };
    for (const std::uint32_t size : {0u, 0xFFFFFFFFu, static_cast<std::uint32_t>(FirstImageSlot + 1)}) {
        setSize(FirstImageSizeOffset, size);
        EXPECT_TRUE(FirstImage(table).empty()) << size;
    }
    setSize(FirstImageSizeOffset, static_cast<std::uint32_t>(FirstImageSlot));
    EXPECT_EQ(FirstImage(table).size(), FirstImageSlot);
    setSize(SecondImageSizeOffset, static_cast<std::uint32_t>(SecondImageSlot + 1));
    EXPECT_TRUE(SecondImage(table).empty());
    setSize(SecondImageSizeOffset, static_cast<std::uint32_t>(SecondImageSlot));
    EXPECT_EQ(SecondImage(table).size(), SecondImageSlot);
    // A font name that fills its field has no zero byte: it ends with the field.
    std::memset(table.data() + HeaderSize + FontNameOffset, 'F', FontNameSize);
    EXPECT_EQ(TableFont(table).name, std::string(FontNameSize, 'F'));
}

TEST(LanguageFile, SharedBlocksMustHaveTheirTableSizeAndDigest) {
    std::vector<std::uint8_t> table;
    ASSERT_EQ(Unpack(*BuildFile(SampleContents()), table), Verdict::Accepted);
    auto bigger = table;
    bigger.push_back(0);
    auto smaller = table;
    smaller.pop_back();
    auto changed = table;
    changed[HeaderSize + TextOffset] ^= 1;
    EXPECT_EQ(CheckTable(bigger), Verdict::WrongSize);
    EXPECT_EQ(CheckTable(smaller), Verdict::WrongSize);
    EXPECT_EQ(CheckTable(changed), Verdict::WrongDigest);
    EXPECT_EQ(CheckTable(std::span(table).first(100)), Verdict::Truncated);
    EXPECT_EQ(CheckTable(std::vector<std::uint8_t>(5000, 0xAB)), Verdict::WrongVersion);
}

TEST(LookupText, KeyRule) {
    struct Case {
        std::string text, prefix, identifier;
        bool found;
        std::string result;
    };
    const Case cases[] = {
        {"004-00000201:Connect\n", "004", "00000201", true, "Connect"},
        {"004-00000201:Word //comment\n", "004", "00000201", true, "Word "},
        {"004-00000201:  spaced  \r\n", "004", "00000201", true, "  spaced"},
        {"004-00000201:\n", "004", "00000201", false, "default"},
        {"004-00000201:\r\n", "004", "00000201", true, ""},
        {"x\n004-00000201:last line", "004", "00000201", true, "last line"},
        {"x\n004-00000201:", "004", "00000201", false, "default"},
        {"x\n004-0000020", "004", "00000201", false, "default"},
        {"ABC-00000201:upper\n", "abc", "00000201", false, "default"},
        {"004-00000201 no colon\n", "004", "00000201", false, "default"},
        {"see 004-00000201:inside a line\n", "004", "00000201", false, "default"},
        {"004-00000201:first\n004-00000201:second\n", "004", "00000201", true, "first"},
        {"004-00000201:x\n", "04", "00000201", false, "default"},
        {"004-00000201:x\n", "004", "0000201", false, "default"},
        {"", "004", "00000201", false, "default"},
    };
    for (const Case &c : cases) {
        const LookupResult result = FindLine(c.text, c.prefix, c.identifier, "default");
        EXPECT_EQ(result.found, c.found) << c.text;
        EXPECT_EQ(result.text, c.result) << c.text;
    }
}

TEST(LookupText, PlaceholdersAndEscapes) {
    const IdentityValues identity{"Title %cAppName%", "Name", "tsv", "Name.zip", "4.0.66.1", "4_0_66_1"};
    struct Case {
        std::string text, result;
    };
    const Case cases[] = {
        {"%cAppTitle% Client", "Title %cAppName% Client"}, // a replacement is never searched again
        {"%cAppName%/%cAppPrefix%/%sDesktopFilename%", "Name/tsv/Name.zip"},
        {"v%Dottedversion% %HTMLversion%", "v4.0.66.1 4_0_66_1"},
        {"100%25", "100%"},
        {"ends in %", "ends in %"},
        {"%41%zz%41", "A%zz%41"},
        {"%00 stays %41", "%00 stays %41"},
        {"%0D%0A", "\r\n"},
        {"%4", "%4"},
        {"%2541", "A"}, // a decoded "%" starts the next escape
        {"%e4%C4", "\xE4\xC4"},
    };
    for (const Case &c : cases) {
        bool reset = true;
        EXPECT_EQ(ExpandText(c.text, identity, reset), c.result) << c.text;
        EXPECT_FALSE(reset);
    }
    bool reset = false;
    const IdentityValues longPrefix{"T", "N", "abcd", "", "", ""};
    EXPECT_EQ(ExpandText("%cAppPrefix%", longPrefix, reset), "abcd");
    EXPECT_TRUE(reset);
}
