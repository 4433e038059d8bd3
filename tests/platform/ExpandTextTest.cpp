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

namespace {

// A name given on the command line is a file name first: a downloaded file named
// with escapes is that file, and an expansion may not lead out of the folder the
// name starts in.
TEST_F(ExpandText, FileNamesAreUsedAsGivenAndExpansionsStayInTheirFolder) {
    SetVariable("TSC_FOLDER", Root());
    SetVariable("TSC_UP", "../victim.rdp");
    const std::string downloads = Root() + "/Downloads/";
    WriteFile(downloads + "&2E&2E&2Fvictim.rdp", "x");
    const Case cases[] = {
        {"", ""},
        {"%TSC_FOLDER%/Downloads/&2E&2E&2Fvictim.rdp", downloads + "&2E&2E&2Fvictim.rdp"}, // folder expanded
        {"%TSC_FOLDER%/farm&5F1.rdp", Root() + "/farm_1.rdp"}, // missing: expanded, stays in its folder
        {"%TSC_FOLDER%/&2E&2E&2Fvictim.rdp", ""},              // would climb out: refused
        {"%TSC_FOLDER%/&2E&2E", ""},
        {"%TSC_UP%", ""}, // a reference that brings a folder along: refused
    };
    for (const Case &c : cases)
        EXPECT_EQ(tsc::ExpandFileName(c.input), c.expected) << c.input;
    // The name as given exists: used as it stands.
    const std::string given = downloads + "&2E&2E&2Fvictim.rdp";
    EXPECT_EQ(tsc::ExpandFileName(given), given);
}

} // namespace
