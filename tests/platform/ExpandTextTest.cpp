#include "SystemInfo.h"
#include "TestEnvironment.h"

#include <string>

extern char **environ;

namespace {

class ExpandText : public IsolatedTest {};

struct Case {
    const char *input;
    std::string expected;
};

TEST_F(ExpandText, ReferencesAndEscapes) {
    SetVariable("TEMP", "C:\\T");
    SetVariable("SELF", "%SELF%");
    SetVariable("PADDED", "  value  ");
    SetVariable("TSC_A", "%TSC_B%");
    const Case cases[] = {
        {"", ""},
        {"%temp%\\x", "C:\\T\\x"}, // names match without regard to case
        {"%TEMP%%Temp%", "C:\\TC:\\T"},
        {"%SELF%", "%SELF%"},      // an inserted value is not searched again
        {"<%PADDED%>", "<value>"}, // values are trimmed
        {"%NOT_SET_ANYWHERE%", "%NOT_SET_ANYWHERE%"},
        {"&41", "A"},
        {"&4a", ""}, // lower-case hex is not accepted: removed
        {"&00", ""}, // code 0 inserts nothing
        {"x&", "x"}, // fewer than two characters after "&"
        {"x&4", "x"},
        {"&2641", "&41"},                 // the search resumes after the inserted "&"
        {"&E9t&E9", "\xC3\xA9t\xC3\xA9"}, // Windows-1252 codes become UTF-8
        {"&80", "\xE2\x82\xAC"},
        {"a&G1b", "ab"},
        {"a&\xC3\xA9zq", "aq"}, // a removed escape takes whole characters
        {"%TEMP%&41", "C:\\TA"},
    };
    for (const auto &[input, expected] : cases)
        EXPECT_EQ(tsc::ExpandText(input), expected) << input;
}

TEST_F(ExpandText, EnvironmentEntriesAreReadUpToTheirLimit) {
    const std::size_t entryLimit = 10239;
    const std::string name = "TSC_LONG";
    const std::size_t fittingValue = entryLimit - name.size() - 1;
    SetVariable(name, std::string(fittingValue, 'a'));
    EXPECT_EQ(tsc::ExpandText("%TSC_LONG%"), std::string(fittingValue, 'a'));
    SetVariable(name, std::string(fittingValue + 50, 'b'));
    EXPECT_EQ(tsc::ExpandText("%TSC_LONG%"), std::string(fittingValue, 'b'));
}

TEST_F(ExpandText, OneCounterLimitsBothPassesTo500Steps) {
    int entries = 0;
    for (char **entry = environ; *entry != nullptr; ++entry)
        ++entries;
    ASSERT_LT(entries, 400);
    std::string input;
    for (int i = 0; i < 600; ++i)
        input += "&41";
    const int converted = 500 - entries; // each entry read was one step already
    std::string expected(static_cast<std::size_t>(converted), 'A');
    for (int i = converted; i < 600; ++i)
        expected += "&41";
    EXPECT_EQ(tsc::ExpandText(input), expected);
}

} // namespace
