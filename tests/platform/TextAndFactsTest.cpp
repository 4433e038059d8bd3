#include "Registry.h"
#include "SystemInfo.h"
#include "TestEnvironment.h"

#include <cerrno>

namespace {

TEST(SafeFileName, KeepsDigitsLettersTheCharactersBetweenThemBlankDotAndDash) {
    const std::pair<const char *, const char *> cases[] = {
        {"Server 1.rdp", "Server 1.rdp"},
        {"a_b^c\\d[e]`", "a_b^c\\d[e]`"}, // the six characters between "Z" and "a" stay
        {"C:/farm/x", "C__farm_x"},
        {"a{b}~|", "a_b___"},
        {"tab\there", "tab_here"},
        {"M\xC3\xBCller", "M_ller"}, // one "_" per character, not per byte
        {"\xE2\x82\xAC"
         "5",
         "_5"},
        {"", ""},
    };
    for (const auto &[input, expected] : cases)
        EXPECT_EQ(tsc::SafeFileName(input), expected) << input;
}

TEST(SystemErrorText, SystemTextWithoutTrailingPunctuationAndTheCode) {
    EXPECT_EQ(tsc::SystemErrorText(ENOENT), "No such file or directory [2]");
    EXPECT_EQ(tsc::SystemErrorText(EACCES), "Permission denied [13]");
    EXPECT_EQ(tsc::SystemErrorText(99999), "Unknown error 99999 [99999]");
    EXPECT_EQ(tsc::SystemErrorText(-1), "Unknown error -1 [-1]");
}

TEST(SystemFacts, AnswersOfThisMachine) {
    EXPECT_EQ(tsc::YesNoText(true), "yes");
    EXPECT_EQ(tsc::YesNoText(false), "no");
    EXPECT_EQ(tsc::TickDifference(5, 0xFFFFFFFBu), 10u); // across the wrap
    EXPECT_FALSE(tsc::IsWin64());
    EXPECT_FALSE(tsc::LogonUserName().empty());
    EXPECT_GE(tsc::RealOSVersion() >> 16, 3u);
    EXPECT_EQ(tsc::RealOSVersion(), tsc::OSVersion());
    const auto before = tsc::TickCount();
    EXPECT_LT(tsc::TickDifference(tsc::TickCount(), before), 1000u);
}

class TransparencyColor : public IsolatedTest {};

TEST_F(TransparencyColor, MachineValueOnlyWhenADwordOfFourBytes) {
    EXPECT_EQ(tsc::TransparencyColor(), 0x00FF00FFu);
    const auto key = tsc::ApplicationKeyPath();
    ASSERT_TRUE(tsc::Registry::WriteDword(tsc::Hive::LocalMachine, key, "Transparancy color", 0x00102030));
    EXPECT_EQ(tsc::TransparencyColor(), 0x00102030u);
    ASSERT_TRUE(tsc::Registry::Write(tsc::Hive::LocalMachine, key, "Transparancy color",
                                     {tsc::RegistryType::Dword, {1, 2, 3}}));
    EXPECT_EQ(tsc::TransparencyColor(), 0x00FF00FFu);
    ASSERT_TRUE(tsc::Registry::WriteString(tsc::Hive::LocalMachine, key, "Transparancy color", "123"));
    EXPECT_EQ(tsc::TransparencyColor(), 0x00FF00FFu);
    // The user's hive does not count.
    ASSERT_TRUE(tsc::Registry::WriteDword(tsc::Hive::CurrentUser, key, "Transparancy color", 7));
    EXPECT_EQ(tsc::TransparencyColor(), 0x00FF00FFu);
}

} // namespace
