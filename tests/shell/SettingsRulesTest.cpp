#include "SettingsRules.h"
#include "CommandLine.h"
#include "DesktopIntegration.h"
#include "Preferences.h"
#include "StartupLines.h"

#include <gtest/gtest.h>

namespace tsc::shell {
namespace {

TEST(ToolkitPlatform, XwaylandOnAWaylandDesktopUnlessTheUserChoseOrThereIsNoXDisplay) {
    struct Case {
        const char *chosen, *wayland, *session, *x11;
        const char *platform;
        bool says, warning;
    };
    const Case cases[] = {
        {"", "wayland-0", "wayland", ":0", "xcb", true, false},
        {"", "", "wayland", ":0", "xcb", true, false}, // the session type alone
        {"", "wayland-0", "", ":1", "xcb", true, false},
        {"wayland", "wayland-0", "wayland", ":0", "", false, false}, // the user's choice stands
        {"offscreen", "", "", "", "", false, false},
        {"", "wayland-0", "wayland", "", "", true, true}, // no Xwayland: the toolkit's Wayland
        {"", "", "x11", ":0", "", false, false},
        {"", "", "", "", "", false, false},
    };
    for (const Case &c : cases) {
        const ToolkitPlatformChoice choice = ChooseToolkitPlatform(c.chosen, c.wayland, c.session, c.x11);
        EXPECT_EQ(choice.platform, c.platform)
            << c.chosen << "|" << c.wayland << "|" << c.session << "|" << c.x11;
        EXPECT_EQ(!choice.logLine.empty(), c.says);
        EXPECT_EQ(choice.warning, c.warning);
    }
}

TEST(PageHeightRule, ScalesAllButTheFixedBand) {
    EXPECT_EQ(ScaledHeight(360, 96), 360);
    EXPECT_EQ(ScaledHeight(610, 96), 610);
    EXPECT_EQ(ScaledHeight(360, 120), 428); // 450 - 22
    EXPECT_EQ(ScaledHeight(610, 120), 740);
    EXPECT_EQ(ScaledHeight(360, 144), 496); // 540 - 44
}

TEST(PageHeightRule, ShortPagesFixTheHeightOtherPagesOnlyRaiseIt) {
    const auto first = PageHeights(true, false, 25, 700, 120);
    EXPECT_EQ(first.minimum, 428);
    EXPECT_EQ(first.height, 428);
    const auto multiple = PageHeights(true, true, 25, 300, 96);
    EXPECT_EQ(multiple.height, 385);
    const auto raised = PageHeights(false, false, 25, 400, 96);
    EXPECT_EQ(raised.minimum, 610);
    EXPECT_EQ(raised.height, 610);
    EXPECT_EQ(PageHeights(false, false, 25, 800, 96).height, 800);
}

TEST(PageHeightRule, WindowBelowTheMonitorMovesUp) {
    EXPECT_EQ(TopOnFirstMonitor(0, 768, 500, 610), 768 - 610 - 40);
    EXPECT_EQ(TopOnFirstMonitor(0, 768, 100, 610), 100); // fits: stays
    EXPECT_EQ(TopOnFirstMonitor(0, 500, 300, 610), 0);   // taller than the monitor: its top
}

struct SizeCase {
    const char *text;
    int selected;
    SizeField field;
    SizeFieldOutcome::Action action;
    int value;
    const char *shown;
};

TEST(SizeFields, ValidationAndFallbacks) {
    using A = SizeFieldOutcome::Action;
    const SizeCase cases[] = {
        {"", 7, SizeField::Width, A::Nothing, 0, ""},
        {"1152", 7, SizeField::Width, A::Store, 1152, "1152"},
        {"0", 7, SizeField::Height, A::Store, 0, "0"},
        {"20480", 7, SizeField::Height, A::Store, 20480, "20480"},
        {"20481", 7, SizeField::Width, A::UseFallback, 1024, "1024"},
        {"30000", 7, SizeField::Height, A::UseFallback, 800, "800"},
        {"-1", 7, SizeField::Height, A::UseFallback, 800, "800"},
        {"abc", 2, SizeField::Width, A::UseFallback, 1024, "1024"},
        {"12a", 7, SizeField::Width, A::UseFallback, 1024, "1024"},
        {"99999999999999999999", 7, SizeField::Width, A::UseFallback, 1024, "1024"},
        {"abc", 6, SizeField::Width, A::EmptyField, 0, ""},
        {"abc", 5, SizeField::Height, A::EmptyField, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " at index " + std::to_string(c.selected));
        const auto outcome = CheckSizeField(c.text, c.selected, c.field);
        EXPECT_EQ(outcome.action, c.action);
        if (c.action == A::Store || c.action == A::UseFallback) {
            EXPECT_EQ(outcome.value, c.value);
            EXPECT_EQ(outcome.text, c.shown);
        }
    }
}

TEST(SizeList, FixedSizesAndTypedFields) {
    ASSERT_TRUE(profiles::FixedDesktopSizeOf(3));
    EXPECT_EQ(profiles::FixedDesktopSizeOf(3)->width, 1152);
    EXPECT_EQ(profiles::FixedDesktopSizeOf(3)->height, 864);
    EXPECT_FALSE(profiles::FixedDesktopSizeOf(5));
    EXPECT_FALSE(profiles::FixedDesktopSizeOf(7));
    EXPECT_FALSE(profiles::FixedDesktopSizeOf(-1));
    EXPECT_TRUE(SizeFieldsEnabled(7));
    EXPECT_FALSE(SizeFieldsEnabled(6));
    EXPECT_FALSE(SizeFieldsEnabled(-1));
}

RegistryValue StringValue(std::string text, bool zero = true) {
    RegistryValue value;
    value.data.assign(text.begin(), text.end());
    if (zero) value.data.push_back(0);
    return value;
}

TEST(StoredStrings, AcceptanceLimits) {
    EXPECT_EQ(AcceptStoredString(StringValue("yes"), 3), "yes");
    EXPECT_EQ(AcceptStoredString(StringValue(" yes "), 3), "yes");
    EXPECT_EQ(AcceptStoredString(StringValue("\tyes\r\n"), 3), "yes");
    EXPECT_EQ(AcceptStoredString(StringValue("Yes"), 3), "Yes"); // not "yes": single usage
    EXPECT_FALSE(AcceptStoredString(StringValue("y"), 3));       // 2 bytes
    EXPECT_EQ(AcceptStoredString(StringValue("y"), 2), "y");
    EXPECT_EQ(AcceptStoredString(StringValue(std::string(259, 'a')), 3)->size(), 259u);
    EXPECT_FALSE(AcceptStoredString(StringValue(std::string(260, 'a')), 3));
    EXPECT_FALSE(AcceptStoredString(std::nullopt, 3));
    auto dword = StringValue("yes");
    dword.type = RegistryType::Dword;
    EXPECT_FALSE(AcceptStoredString(dword, 3));
}

TEST(ColumnWidths, KeysAndLimits) {
    EXPECT_EQ(ColumnWidthKey("StringGrid_Servers", 0), "StringGrid_Servers Column width  00");
    EXPECT_EQ(ColumnWidthKey("StringGrid_Servers", 4), "StringGrid_Servers Column width  04");
    EXPECT_FALSE(AcceptColumnWidth(20));
    EXPECT_TRUE(AcceptColumnWidth(21));
    EXPECT_TRUE(AcceptColumnWidth(399));
    EXPECT_FALSE(AcceptColumnWidth(400));
}

TEST(StartLines, Texts) {
    EXPECT_EQ(VersionPairText(0x00060001), "0006.0001");
    EXPECT_EQ(VersionPairText(0x0006001F), "0006.001F");
    EXPECT_EQ(ClientStartedLine("/opt/tsv/client", "4.0.66.1"),
              "Client Started: /opt/tsv/client [4.0.66.1] Build: 01-Jun-2011 20:00:33.739");
    const auto two = MonitorReport({{0, 0, 1920, 1080}, {1920, -10, 1280, 1024}});
    ASSERT_EQ(two.size(), 5u);
    EXPECT_EQ(two[1], " number of monitors: 2");
    EXPECT_EQ(two[3], " monitor: 1: left.top: 1920.-10 width.height: 1280.1024");
    EXPECT_EQ(MonitorReport(std::vector<MonitorRect>(21)).size(), 3u); // only the count
    EXPECT_EQ(MonitorReport(std::vector<MonitorRect>(20)).size(), 23u);
}

TEST(Arguments, OnlyALoneOptionIsAnOption) {
    using CommandLine::Request;
    EXPECT_EQ(CommandLine::RequestOf({"--help"}), Request::Help);
    EXPECT_EQ(CommandLine::RequestOf({"--version"}), Request::Version);
    EXPECT_EQ(CommandLine::RequestOf({}), Request::Run);
    EXPECT_EQ(CommandLine::RequestOf({"--help", "list.txt"}), Request::Run);
    EXPECT_EQ(CommandLine::RequestOf({"-platform"}), Request::Run);
}

} // namespace
} // namespace tsc::shell
