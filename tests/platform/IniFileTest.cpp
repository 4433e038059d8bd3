#include "IniFile.h"
#include "PlatformDiagnostics.h"
#include "TestEnvironment.h"

#include <filesystem>

namespace {

class IniFileTest : public IsolatedTest {};

TEST_F(IniFileTest, RoundTripWithCaseInsensitiveLookup) {
    const std::string path = Root() + "/data/tsv.ini";
    {
        tsc::IniFile ini(path);
        ini.WriteInteger("Column widths", "Col0", 120);
        ini.WriteString("Column widths", "Name", "  spaced \"text\"");
        ini.WriteString("Other", "Multi", "a\nb");
        ini.WriteInteger("column WIDTHS", "col0", 64); // replaces, does not add
        ASSERT_TRUE(ini.Save());
    }
    EXPECT_EQ(ReadFile(path), "[Column widths]\nCol0=64\nName=  spaced \"text\"\n\n[Other]\nMulti=a b\n");
    const tsc::IniFile again(path);
    EXPECT_EQ(again.ReadInteger("COLUMN WIDTHS", "COL0", -1), 64);
    EXPECT_EQ(again.ReadString("Column widths", "name", ""), "spaced \"text\""); // trimmed, as Windows reads
    EXPECT_EQ(again.ReadString("Column widths", "missing", "fb"), "fb");
    EXPECT_EQ(again.ReadString("Nope", "Col0", "fb"), "fb");
}

TEST_F(IniFileTest, ReadsWindowsFiles) {
    const std::string path = Root() + "/win.ini";
    WriteFile(path, "\xEF\xBB\xBForphan=1\r\n; comment\r\n[Column widths]\r\nCol0 = 80\r\nno equals\r\n"
                    "Quoted=\"x y\"\r\nHex=$1F\r\nBad=12ab\r\nHuge=99999999999\r\n"
                    "Caf\xE9=latin\r\n");
    const tsc::IniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("Column widths", "Col0", 0), 80);
    EXPECT_EQ(ini.ReadString("Column widths", "Quoted", ""), "x y");
    EXPECT_EQ(ini.ReadInteger("Column widths", "Hex", 0), 31);
    EXPECT_EQ(ini.ReadInteger("Column widths", "Bad", 7), 7);
    EXPECT_EQ(ini.ReadInteger("Column widths", "Huge", 7), 7);
    EXPECT_EQ(ini.ReadString("Column widths", "Caf\xC3\xA9", ""), "latin"); // Windows-1252 read as such
    EXPECT_EQ(ini.ReadString("", "orphan", "none"), "none");
}

TEST_F(IniFileTest, DamagedFileIsTreatedAsEmptyAndKeptBesideOnSave) {
    const std::string path = Root() + "/tsv.ini";
    const std::string garbage("\x7F"
                              "ELF\x02\x01\x01\0\0\0[Column widths]\nCol0=5\n",
                              33);
    WriteFile(path, garbage);
    (void)tsc::TakePlatformDiagnostics();
    tsc::IniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("Column widths", "Col0", -1), -1);
    EXPECT_EQ(tsc::TakePlatformDiagnostics().size(), 1u);
    ini.WriteInteger("Column widths", "Col0", 9);
    ASSERT_TRUE(ini.Save());
    EXPECT_EQ(tsc::IniFile(path).ReadInteger("Column widths", "Col0", -1), 9);
    bool kept = false;
    for (const auto &entry : std::filesystem::directory_iterator(Root()))
        if (entry.path().filename().string().rfind("tsv.ini.damaged-", 0) == 0)
            kept = ReadFile(entry.path()) == garbage;
    EXPECT_TRUE(kept);

    WriteFile(path, std::string(1024 * 1024 + 1, 'x')); // too big to be ours
    EXPECT_EQ(tsc::IniFile(path).ReadString("a", "b", "fb"), "fb");
}

} // namespace

namespace {

// A value that is no int gives the fallback; nothing may overflow on the way
// (UBSan stops the test if it does).
TEST(IniIntegerValue, AcceptsIntegersAndFallsBackOnEverythingElse) {
    const std::pair<std::string, int> cases[] = {
        {"42", 42},
        {"-42", -42},
        {"+7", 7},
        {"$ff", 255},
        {"0x10", 16},
        {"-0X10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"2147483648", -1},
        {"", -1},
        {"-9223372036854775808", -1},
        {"\t-9223372036854775808", -1},
        {"-\t-9223372036854775808", -1},
        {"--9223372036854775808", -1},
        {"- 5", -1},
        {"-", -1},
        {"0x", -1},
        {"12a", -1},
        {"99999999999999999999", -1},
        {"$-1", -1},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(tsc::detail::IniIntegerValue(text, -1), expected) << text;
}

} // namespace
