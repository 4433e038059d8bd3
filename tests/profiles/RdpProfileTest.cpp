#include "RdpProfile.h"
#include "PasswordProtection.h"
#include "ProfileText.h"
#include "TestSupport.h"

#include <algorithm>
#include <csignal>
#include <functional>
#include <sys/resource.h>

namespace tsc::profiles {
namespace {

using test::RecordingLog;
namespace fs = std::filesystem;

class RdpProfileTest : public test::TestHome {
  protected:
    void SetUp() override {
        TestHome::SetUp();
        fs::create_directories(home / "data" / "TerminalServer");
        environment.applicationDataFolder = (home / "data" / "TerminalServer").string();
        environment.localSettingsFolder = (home / "state").string();
        environment.tempFolder = (home / "tmp").string();
        service = std::make_unique<ProtectionService>((home / "config" / "key").string());
        environment.protection = service.get();
        environment.passwordLog = &log;
    }

    // Reads an 8-bit profile made of the lines into default settings.
    ProfileSettings ReadLines(const std::string &text) {
        WriteBytes(home / "p.rdp", text);
        ProfileSettings settings;
        ReadProfile((home / "p.rdp").string(), settings, environment, log);
        return settings;
    }

    std::vector<std::string> Written(const ProfileSettings &settings) {
        const auto result = WriteProfile((home / "w.rdp").string(), "3", settings, environment, log);
        EXPECT_TRUE(result.written);
        return SplitProfileLines(DecodeProfileBytes(ReadBytes(result.path)).text);
    }

    ProfileEnvironment environment;
    std::unique_ptr<ProtectionService> service;
    RecordingLog log;
};

TEST_F(RdpProfileTest, ReadsEveryKeyOfTheTable) {
    struct Case {
        std::string lines;
        std::function<void(const ProfileSettings &)> check;
    };
    const Case cases[] = {
        {"", [](auto &s) { EXPECT_EQ(s.desktopSizeIndex, DesktopSizeFullScreen); }}, // empty file: not parsed
        {"x",
         [](auto &s) {
             EXPECT_EQ(std::tie(s.desktopWidth, s.desktopHeight, s.desktopSizeIndex),
                       std::tuple(800, 600, 1));
         }},
        {"desktopwidth:i:1024\ndesktopheight:i:768", [](auto &s) { EXPECT_EQ(s.desktopSizeIndex, 2); }},
        {"desktopwidth:i:1024\ndesktopheight:i:600",
         [](auto &s) {
             EXPECT_EQ(std::tie(s.desktopWidth, s.desktopHeight, s.desktopSizeIndex),
                       std::tuple(1024, 600, 7));
         }},
        {"desktopwidth:i:0\ndesktopheight:i:99999",
         [](auto &s) { EXPECT_EQ(std::tie(s.desktopWidth, s.desktopHeight), std::tuple(800, 600)); }},
        {"desktopwidth:i:65536\ndesktopheight:i:66304",
         [](auto &s) { EXPECT_EQ(std::tie(s.desktopWidth, s.desktopHeight), std::tuple(800, 768)); }},
        {"desktopwidth:i:-1\ndesktopheight:i:1152abc",
         [](auto &s) { EXPECT_EQ(std::tie(s.desktopWidth, s.desktopHeight), std::tuple(800, 1152)); }},
        {"desktopwidth:i:$480\ndesktopheight:i:99999999999999999999",
         [](auto &s) { EXPECT_EQ(std::tie(s.desktopWidth, s.desktopHeight), std::tuple(1152, 600)); }},
        {"desktopwidth:i:1280\ndesktopheight:i:1024\nscreen mode id:i:2",
         [](auto &s) { EXPECT_EQ(std::tie(s.desktopSizeIndex, s.desktopWidth), std::tuple(6, 1280)); }},
        {"screen mode id:i:3", [](auto &s) { EXPECT_EQ(s.desktopSizeIndex, 5); }},
        {"screen mode id:i:1", [](auto &s) { EXPECT_EQ(s.desktopSizeIndex, 1); }},
        {"session bpp:i:24", [](auto &s) { EXPECT_EQ(s.colorsIndex, 3); }},
        {"session bpp:i:8", [](auto &s) { EXPECT_EQ(s.colorsIndex, 0); }},
        {"session bpp:i:32",
         [](auto &s) { EXPECT_EQ(s.colorsIndex, ColorsHighest24); }}, // the common client's true colour
        {"session bpp:i:66",
         [](auto &s) { EXPECT_EQ(s.colorsIndex, ColorsHigh15); }}, // not listed: unchanged
        {"keyboardhook:i:2\naudiomode:i:1",
         [](auto &s) { EXPECT_EQ(std::tie(s.windowsKeysIndex, s.soundIndex), std::tuple(2, 1)); }},
        {"keyboardhook:i:3\naudiomode:i:",
         [](auto &s) { EXPECT_EQ(std::tie(s.windowsKeysIndex, s.soundIndex), std::tuple(1, 0)); }},
        {"redirectdrives:i:1\nredirectprinters:i:1\nredirectcomports:i:1\nredirectsmartcards:i:"
         "1\ndisplayconnectionbar:i:0",
         [](auto &s) {
             EXPECT_TRUE(s.connectDiskDrives && s.connectPrinters && s.commPorts && s.smartCards);
             EXPECT_FALSE(s.displayConnectionBar);
         }},
        {"disable wallpaper:i:1\ndisable full window drag:i:0\ndisable menu anims:i:0\ndisable "
         "themes:i:0\nbitmapcachepersistenable:i:0",
         [](auto &s) {
             EXPECT_TRUE(s.background && s.windowDragging && s.animation && s.themes);
             EXPECT_FALSE(s.bitmapCaching);
         }},
        {"REDIRECTDRIVES:I:1\nredirectdrives:i:0\nRedirectDrives:i:1",
         [](auto &s) { EXPECT_TRUE(s.connectDiskDrives); }},
        {"redirectdrives:i:yes", [](auto &s) { EXPECT_FALSE(s.connectDiskDrives); }},
        {"username:s:<bob>", [](auto &s) { EXPECT_EQ(s.userName, "bob"); }},
        {"username:s:<bob", [](auto &s) { EXPECT_EQ(s.userName, "bo"); }},
        {"username:s:<", [](auto &s) { EXPECT_EQ(s.userName, ""); }},
        {"username:s:EXAMPLE\\alice", [](auto &s) { EXPECT_EQ(s.userName, "EXAMPLE\\alice"); }},
        {"username", [](auto &s) { EXPECT_EQ(s.userName, ""); }},
        {"usernamex:s:bob",
         [](auto &s) { EXPECT_EQ(s.userName, ":bob"); }}, // value from the 4th character after the key
        {"savemypassword:s:YES", [](auto &s) { EXPECT_FALSE(s.saveMyPassword); }},
        {"savemypassword:s:yes", [](auto &s) { EXPECT_TRUE(s.saveMyPassword); }},
        {"tsv_doloadbalancing:s:YES\ntsv_doaskloadbalancinghostname:s:no\ntsv_doseamless:s:Yes",
         [](auto &s) {
             EXPECT_TRUE(s.doLoadBalancing && s.doSeamless);
             EXPECT_FALSE(s.doAskLoadBalancingHostname);
         }},
        {"tsv_doseamless:s:1", [](auto &s) { EXPECT_FALSE(s.doSeamless); }},
        {"tsv_sharptext:s:YES", [](auto &s) { EXPECT_TRUE(s.sharpText); }},
        {"tsv_sharptext:i:1", [](auto &s) { EXPECT_FALSE(s.sharpText); }},
        {"full address:s:host.example:3390", [](auto &s) { EXPECT_EQ(s.host, "host.example:3390"); }},
        {"x", [](auto &s) { EXPECT_EQ(s.rdpPlusPort, "3391"); }},
        {"tsv_rdpplusport:i:4000", [](auto &s) { EXPECT_EQ(s.rdpPlusPort, "4000"); }},
        {"tsv_hidesettings:s:yEs", [](auto &s) { EXPECT_TRUE(s.hideSettings); }},
        {"domain:s:...", [](auto &s) { EXPECT_EQ(s.domain, ""); }},
        {"domain:s:CORP", [](auto &s) { EXPECT_EQ(s.domain, "CORP"); }},
        {"domainname:s:CORP", [](auto &s) { EXPECT_EQ(s.domain, "e:s:CORP"); }},
        {"x",
         [](auto &s) {
             EXPECT_FALSE(s.doRdpPlus || s.doSslGateway || s.rdpPlusControlsEnabled || s.rdpPlusPageVisible);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines);
        c.check(ReadLines(c.lines));
    }
}

TEST_F(RdpProfileTest, WritesEveryKeyInFileOrder) {
    ProfileSettings settings;
    settings.userName = "alice";
    settings.domain = "CORP";
    settings.host = "rdp.example";
    EXPECT_EQ(Written(settings), (std::vector<std::string>{"screen mode id:i:2",
                                                           "desktopwidth:i:0",
                                                           "desktopheight:i:0",
                                                           "session bpp:i:15",
                                                           "keyboardhook:i:1",
                                                           "audiomode:i:0",
                                                           "displayconnectionbar:i:1",
                                                           "redirectdrives:i:0",
                                                           "redirectprinters:i:0",
                                                           "redirectcomports:i:0",
                                                           "redirectsmartcards:i:0",
                                                           "bitmapcachepersistenable:i:1",
                                                           "disable themes:i:1",
                                                           "disable menu anims:i:1",
                                                           "disable full window drag:i:1",
                                                           "disable wallpaper:i:0",
                                                           "full address:s:rdp.example",
                                                           "tsv_rdpplusport:i:3391",
                                                           "autoreconnection enabled:i:0",
                                                           "auto connect:i:1",
                                                           "username:s:alice",
                                                           "domain:s:CORP",
                                                           "savemypassword:s:no",
                                                           "password 51:b:",
                                                           "tsv_hidesettings:s:no",
                                                           "tsv_doloadbalancing:s:no",
                                                           "tsv_doaskloadbalancinghostname:s:yes",
                                                           "tsv_doseamless:s:no"}));
    // Bytes: mark, UTF-16 LE, CR LF after every line.
    const std::string bytes = ReadBytes(home / "w.rdp");
    EXPECT_EQ(bytes.substr(0, 6), std::string("\xFF\xFE"
                                              "s\0c\0",
                                              6));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST_F(RdpProfileTest, WritesEachSettingAsItsLine) {
    struct Case {
        std::function<void(ProfileSettings &)> change;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {[](auto &s) { s.desktopSizeIndex = 0; },
         {"screen mode id:i:1", "desktopwidth:i:640", "desktopheight:i:480"}},
        {[](auto &s) { s.desktopSizeIndex = 3; }, {"desktopwidth:i:1152", "desktopheight:i:864"}},
        {[](auto &s) { s.desktopSizeIndex = 4; }, {"desktopwidth:i:1280", "desktopheight:i:1024"}},
        {[](auto &s) {
             s.desktopSizeIndex = 5;
             s.desktopWidth = 1400;
         },
         {"screen mode id:i:3", "desktopwidth:i:1400"}},
        {[](auto &s) {
             s.desktopSizeIndex = 7;
             s.desktopWidth = 1000;
             s.desktopHeight = 700;
         },
         {"screen mode id:i:1", "desktopwidth:i:1000", "desktopheight:i:700"}},
        {[](auto &s) { s.colorsIndex = 0; }, {"session bpp:i:8"}},
        {[](auto &s) { s.colorsIndex = 3; }, {"session bpp:i:24"}},
        {[](auto &s) {
             s.windowsKeysIndex = 2;
             s.soundIndex = 2;
         },
         {"keyboardhook:i:2", "audiomode:i:2"}},
        {[](auto &s) {
             s.connectDiskDrives = s.connectPrinters = s.commPorts = s.smartCards = true;
             s.displayConnectionBar = false;
         },
         {"redirectdrives:i:1", "redirectprinters:i:1", "redirectcomports:i:1", "redirectsmartcards:i:1",
          "displayconnectionbar:i:0"}},
        {[](auto &s) {
             s.background = s.windowDragging = s.animation = s.themes = true;
             s.bitmapCaching = false;
         },
         {"disable wallpaper:i:1", "disable full window drag:i:0", "disable menu anims:i:0",
          "disable themes:i:0", "bitmapcachepersistenable:i:0"}},
        {[](auto &s) {
             s.doLoadBalancing = true;
             s.selectedServerHost = "ts7";
             s.selectedServerPort = "3389";
             s.host = "farm";
         },
         {"full address:s:ts7:3389", "tsv_doloadbalancing:s:yes"}},
        // No server chosen by the farm yet: the typed host is kept, not replaced by ":".
        {[](auto &s) {
             s.doLoadBalancing = true;
             s.host = "farm";
         },
         {"full address:s:farm"}},
        {[](auto &s) {
             s.doLoadBalancing = true;
             s.domain = "OWN";
             s.farmServerDomain = "FARM";
         },
         {"domain:s:FARM"}},
        {[](auto &s) {
             s.doLoadBalancing = true;
             s.domain = "OWN";
             s.farmServerDomain = "...";
         },
         {"domain:s:OWN"}},
        {[](auto &s) {
             s.domain = "OWN";
             s.farmServerDomain = "FARM";
         },
         {"domain:s:OWN"}},
        {[](auto &s) {
             s.rdpPlusPort = "4000";
             s.hideSettings = s.doSeamless = true;
         },
         {"tsv_rdpplusport:i:4000", "tsv_hidesettings:s:yes", "tsv_doseamless:s:yes"}},
        {[](auto &s) { s.sharpText = true; }, {"tsv_sharptext:s:yes"}},
    };
    for (const Case &c : cases) {
        ProfileSettings settings;
        c.change(settings);
        const auto lines = Written(settings);
        for (const auto &line : c.lines) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
        }
    }
}

// The clipboard switch has no box: the profile's own line decides, and a write keeps
// that line as the file has it without adding one.
TEST_F(RdpProfileTest, ClipboardLineIsReadAndKeptAsTheFileHasIt) {
    EXPECT_TRUE(ReadLines("x").redirectClipboard);
    EXPECT_TRUE(ReadLines("redirectclipboard:i:1").redirectClipboard);
    ProfileSettings settings = ReadLines("redirectclipboard:i:0\nusername:s:bob");
    EXPECT_FALSE(settings.redirectClipboard);
    WriteBytes(home / "next.rdp", "username:s:eve");
    ReadProfile((home / "next.rdp").string(), settings, environment, log);
    EXPECT_TRUE(settings.redirectClipboard); // the last profile's "0" does not stay

    WriteBytes(home / "keep.rdp", "redirectclipboard:i:0\nusername:s:bob\n");
    const auto result = WriteProfile((home / "keep.rdp").string(), "3", settings, environment, log);
    ASSERT_TRUE(result.written);
    const auto lines = SplitProfileLines(DecodeProfileBytes(ReadBytes(result.path)).text);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "redirectclipboard:i:0"), 1);
    for (const std::string &line : Written(ProfileSettings{}))
        EXPECT_NE(line.rfind("redirectclipboard", 0), 0u) << line;
}

// Smart sizing has no box either: only "1" turns it on, each profile decides for
// itself, and a write keeps the file's line without adding one.
TEST_F(RdpProfileTest, SmartSizingLineIsReadAndKeptAsTheFileHasIt) {
    const struct {
        const char *lines;
        bool smartSizing;
    } cases[] = {
        {"smart sizing:i:1", true},
        {"Smart Sizing:i:1", true},
        {"smart sizing:i:0", false},
        {"smart sizing:i:2", false},
        {"smart sizing:i:", false},
        {"username:s:bob", false},
        {"smart sizing:i:1\nsmart sizing:i:0", false}, // the last line wins
    };
    for (const auto &c : cases)
        EXPECT_EQ(ReadLines(c.lines).smartSizing, c.smartSizing) << c.lines;

    ProfileSettings settings = ReadLines("smart sizing:i:1");
    WriteBytes(home / "next.rdp", "username:s:eve");
    ReadProfile((home / "next.rdp").string(), settings, environment, log);
    EXPECT_FALSE(settings.smartSizing); // the last profile's "1" does not stay

    WriteBytes(home / "keep.rdp", "screen mode id:i:1\nsmart sizing:i:1\nusername:s:bob\n");
    ReadProfile((home / "keep.rdp").string(), settings, environment, log);
    ASSERT_TRUE(settings.smartSizing);
    settings.smartSizing = false; // nothing the writer looks at
    const auto result = WriteProfile((home / "keep.rdp").string(), "3", settings, environment, log);
    ASSERT_TRUE(result.written);
    const auto lines = SplitProfileLines(DecodeProfileBytes(ReadBytes(result.path)).text);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "smart sizing:i:1"), 1);
    settings.smartSizing = true;
    for (const std::string &line : Written(settings))
        EXPECT_NE(line.rfind("smart sizing", 0), 0u) << line;
}

// The monitor keys of the common Windows client: read, never written, kept in the
// file as they are.
TEST_F(RdpProfileTest, MonitorLinesAreReadAndKeptAsTheFileHasThem) {
    EXPECT_FALSE(ReadLines("x").useMultimon);
    EXPECT_FALSE(ReadLines("use multimon:i:0").useMultimon);
    ProfileSettings settings = ReadLines("use multimon:i:1\nselectedmonitors:s:1,0\nusername:s:bob");
    EXPECT_TRUE(settings.useMultimon);
    EXPECT_EQ(settings.selectedMonitors, "1,0");
    WriteBytes(home / "next.rdp", "username:s:eve");
    ReadProfile((home / "next.rdp").string(), settings, environment, log);
    EXPECT_FALSE(settings.useMultimon); // nothing stays from the last profile
    EXPECT_EQ(settings.selectedMonitors, "");

    WriteBytes(home / "keep.rdp", "use multimon:i:1\nselectedmonitors:s:2,1\nusername:s:bob\n");
    ReadProfile((home / "keep.rdp").string(), settings, environment, log);
    const auto result = WriteProfile((home / "keep.rdp").string(), "3", settings, environment, log);
    ASSERT_TRUE(result.written);
    const auto lines = SplitProfileLines(DecodeProfileBytes(ReadBytes(result.path)).text);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "use multimon:i:1"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "selectedmonitors:s:2,1"), 1);
    ProfileSettings spanning;
    spanning.useMultimon = true;
    spanning.selectedMonitors = "0";
    for (const std::string &line : Written(spanning)) {
        EXPECT_NE(line.rfind("use multimon", 0), 0u) << line;
        EXPECT_NE(line.rfind("selectedmonitors", 0), 0u) << line;
    }
}

TEST_F(RdpProfileTest, WrittenProfileReadsBackUnchanged) {
    ProfileSettings written;
    written.userName = "J\xC3\xBCrgen";
    written.password = "pa55 w\xC3\xB6rd";
    written.saveMyPassword = true;
    written.domain = "CORP";
    written.host = "rdp.example:3390";
    written.desktopSizeIndex = DesktopSizeWidthHeight;
    written.desktopWidth = 1366;
    written.desktopHeight = 700;
    written.colorsIndex = 3;
    written.soundIndex = 1;
    written.windowsKeysIndex = 0;
    written.connectPrinters = written.smartCards = written.background = written.animation = true;
    written.bitmapCaching = written.displayConnectionBar = false;
    written.doSeamless = written.hideSettings = written.sharpText = true;
    written.doAskLoadBalancingHostname = false;
    written.rdpPlusPort = "4001";
    WriteProfile((home / "rt.rdp").string(), "1", written, environment, log);

    ProfileSettings read;
    read.password = "stale";
    ReadProfile((home / "rt.rdp").string(), read, environment, log);
    ProfileSettings expected = written;
    expected.rdpPlusControlsEnabled = expected.rdpPlusPageVisible = false;
    const auto fields = [](const ProfileSettings &s) {
        return std::tie(s.userName, s.password, s.saveMyPassword, s.domain, s.host, s.desktopSizeIndex,
                        s.desktopWidth, s.desktopHeight, s.colorsIndex, s.soundIndex, s.windowsKeysIndex,
                        s.connectDiskDrives, s.connectPrinters, s.commPorts, s.smartCards, s.background,
                        s.animation, s.themes, s.windowDragging, s.bitmapCaching, s.displayConnectionBar,
                        s.doSeamless, s.hideSettings, s.doLoadBalancing, s.doAskLoadBalancingHostname,
                        s.rdpPlusPort, s.rdpPlusControlsEnabled, s.sharpText);
    };
    EXPECT_TRUE(fields(read) == fields(expected));
    EXPECT_EQ(read.password, written.password);
}

TEST_F(RdpProfileTest, ProfileOfTheCommonClientReadsLikeItsEightBitTwin) {
    ProfileSettings wide;
    ProfileSettings narrow;
    ReadProfile(test::FixturePath("mstsc-remoteapp-utf16.rdp"), wide, environment, log);
    EXPECT_TRUE(log.Has("I tsv_RDP_file is a MS-type, widechar"));
    ReadProfile(test::FixturePath("mstsc-remoteapp-8bit.rdp"), narrow, environment, log);
    EXPECT_TRUE(log.Has("I tsv_RDP_file is simple ascii"));
    const auto fields = [](const ProfileSettings &s) {
        return std::tie(s.userName, s.domain, s.host, s.desktopSizeIndex, s.desktopWidth, s.desktopHeight,
                        s.colorsIndex, s.soundIndex, s.windowsKeysIndex, s.connectDiskDrives,
                        s.connectPrinters, s.commPorts, s.smartCards, s.background, s.animation, s.themes,
                        s.windowDragging, s.bitmapCaching, s.displayConnectionBar);
    };
    EXPECT_TRUE(fields(wide) == fields(narrow));
    EXPECT_EQ(wide.host, "rdgw-farm.example.net");
    EXPECT_EQ(wide.userName, "EXAMPLE\\alice");
    EXPECT_EQ(wide.desktopSizeIndex, DesktopSize1024x768);
    EXPECT_EQ(wide.colorsIndex, ColorsHigh16);
    EXPECT_EQ(wide.soundIndex, 2);
    EXPECT_TRUE(wide.connectDiskDrives && wide.smartCards && wide.background && wide.animation);
}

// A profile that asked for 32 bits is written back as this client's true colour.
TEST_F(RdpProfileTest, ThirtyTwoBitsAreWrittenBackAsTrueColour) {
    const std::vector<std::string> lines = Written(ReadLines("session bpp:i:32\r\n"));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "session bpp:i:24"), lines.end());
}

// A profile the common client saved (UTF-16, "session bpp:i:32") opens in true colour.
TEST_F(RdpProfileTest, ProfileSavedByTheCommonClientOpensInTrueColour) {
    const std::string path = std::string(TSC_CORPUS_DIR) + "/rdp/05-mstsc-win7-wallpaper-off.rdp";
    if (!fs::exists(path)) GTEST_SKIP() << "no corpus at " << path;
    ProfileSettings settings;
    ReadProfile(path, settings, environment, log);
    EXPECT_TRUE(log.Has("I tsv_RDP_file is a MS-type, widechar"));
    EXPECT_EQ(settings.colorsIndex, ColorsHighest24);
}

TEST_F(RdpProfileTest, UnmarkedUtf16IsReadAsWidechar) {
    std::string bytes;
    for (const char c : std::string("username:s:wide\r\nfull address:s:h2"))
        bytes += std::string{c, '\0'};
    ProfileSettings settings = ReadLines(bytes);
    EXPECT_TRUE(log.Has("I tsv_RDP_file is widechar"));
    EXPECT_EQ(settings.userName, "wide");
    EXPECT_EQ(settings.host, "h2");
}

TEST_F(RdpProfileTest, EightBitFileThatIsNotUtf8IsWindows1252) {
    ProfileSettings settings;
    ReadProfile(test::FixturePath("windows1252-username.rdp"), settings, environment, log);
    EXPECT_EQ(settings.userName, "Ren\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(settings.host, "host1");
}

TEST_F(RdpProfileTest, SizeLimitDecidesWhetherTheFileIsParsed) {
    const auto padded = [](std::size_t size) {
        std::string text = "redirectdrives:i:1\r\n";
        text += std::string(size - text.size(), ' ');
        return text;
    };
    ProfileSettings settings = ReadLines(padded(9999));
    EXPECT_TRUE(settings.connectDiskDrives);
    EXPECT_FALSE(settings.rdpPlusPageVisible);

    log.lines.clear();
    settings = ReadLines(padded(10000));
    EXPECT_FALSE(settings.connectDiskDrives);
    EXPECT_TRUE(settings.rdpPlusPageVisible); // not reset either
    EXPECT_EQ(settings.desktopSizeIndex, DesktopSizeFullScreen);
    EXPECT_FALSE(log.Has("I tsv_RDP_file is simple ascii"));
    EXPECT_EQ(log.lines.back(), "I End Read_tsv_RDP_file");
}

TEST_F(RdpProfileTest, BadBytesNeverCrashAndChangeOnlyWhatTheyHold) {
    const std::string bad[] = {
        std::string("\xFF\xFE", 2), // lone mark
        std::string("\xFF\xFE"
                    "a\0b\0c",
                    7),                                     // odd-length UTF-16
        std::string("a\0", 2) + std::string(1, '\xD8'),     // UTF-16 without mark, odd
        std::string("\x00\x01\x02\xFF\xFE\xFD\x80\x81", 8), // garbage
        "no colons here\nnor here",
        "desktopwidth:i:\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF",
    };
    for (const std::string &bytes : bad) {
        ProfileSettings settings = ReadLines(bytes);
        ProfileSettings expected;
        EXPECT_EQ(settings.userName, expected.userName);
        EXPECT_EQ(settings.host, expected.host);
        EXPECT_EQ(settings.connectDiskDrives, expected.connectDiskDrives);
        EXPECT_EQ(settings.desktopWidth, 800);
        EXPECT_EQ(settings.desktopHeight, 600);
    }
}

TEST_F(RdpProfileTest, ReadLogsItsStepsAndNeverAPassword) {
    ProfileSettings saved;
    saved.saveMyPassword = true;
    saved.password = "TopSecret99";
    saved.hideSettings = true;
    WriteProfile((home / "pw.rdp").string(), "4", saved, environment, log);
    std::string hex;
    for (const auto &line : SplitProfileLines(DecodeProfileBytes(ReadBytes(home / "pw.rdp")).text)) {
        if (line.rfind("password 51:b:", 0) == 0) hex = line.substr(14);
    }
    ASSERT_FALSE(hex.empty());
    // The same password line in capitals still matches the key and must not be logged either.
    WriteBytes(home / "caps.rdp", "savemypassword:s:yes\nPASSWORD 51:B:" + hex + "\npassword:s:plain\n");

    ProfileSettings read;
    ReadProfile((home / "pw.rdp").string(), read, environment, log);
    EXPECT_EQ(read.password, "TopSecret99");
    ProfileSettings caps;
    ReadProfile((home / "caps.rdp").string(), caps, environment, log);
    EXPECT_EQ(caps.password, "TopSecret99");

    const std::string all = log.All();
    EXPECT_EQ(all.find("TopSecret99"), std::string::npos);
    EXPECT_EQ(all.find(hex.substr(0, 16)), std::string::npos);
    EXPECT_EQ(all.find("plain"), std::string::npos);
    EXPECT_TRUE(log.Has("I Begin Read_tsv_RDP_file: " + (home / "pw.rdp").string()));
    EXPECT_TRUE(log.Has("I ParamCount: 0"));
    EXPECT_TRUE(log.Has("I tsv_RDP_file: " + (home / "pw.rdp").string() + ": autoconnect: no"));
    EXPECT_TRUE(log.Has("I tsv_doseamless:s:no"));
    EXPECT_TRUE(log.Has("I Show no settings"));
    EXPECT_TRUE(log.Has("I Begin Write_tsv_RDP_file[4]: " + (home / "pw.rdp").string()));
    EXPECT_TRUE(log.Has("I Write FileName: " + (home / "pw.rdp").string()));
    EXPECT_TRUE(log.Has("I OK UCPWR:2"));
}

TEST_F(RdpProfileTest, PasswordIsReadOnlyWhenSaveMyPasswordIsChecked) {
    ProfileSettings saved;
    saved.saveMyPassword = true;
    saved.password = "TopSecret99";
    WriteProfile((home / "pw.rdp").string(), "4", saved, environment, log);
    std::string text = DecodeProfileBytes(ReadBytes(home / "pw.rdp")).text;
    text.replace(text.find("savemypassword:s:yes"), 20, "savemypassword:s:no");
    ProfileSettings read;
    read.password = "typed";
    read.saveMyPassword = true;
    WriteBytes(home / "p.rdp", text);
    ReadProfile((home / "p.rdp").string(), read, environment, log);
    EXPECT_EQ(read.password, "typed");
    EXPECT_FALSE(read.saveMyPassword);

    // A blob that does not unprotect empties the password box.
    text.replace(text.find("savemypassword:s:no"), 19, "savemypassword:s:yes");
    text.replace(text.find("password 51:b:") + 14, 2, "00");
    WriteBytes(home / "p.rdp", text);
    ReadProfile((home / "p.rdp").string(), read, environment, log);
    EXPECT_EQ(read.password, "");
}

TEST_F(RdpProfileTest, UncheckedSaveMyPasswordWritesNoProtectedPassword) {
    ProfileSettings settings;
    settings.password = "TopSecret99";
    settings.saveMyPassword = false;
    const auto lines = Written(settings);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "password 51:b:"), lines.end());
    EXPECT_FALSE(log.Has("I Begin CPWR")); // nothing was protected at all
    settings.saveMyPassword = true;
    settings.password = "x"; // too short to protect
    const auto shortLines = Written(settings);
    EXPECT_NE(std::find(shortLines.begin(), shortLines.end(), "password 51:b:"), shortLines.end());
}

TEST_F(RdpProfileTest, NamesResolveInTheDataFolderThenLocalSettings) {
    WriteBytes(home / "state" / "only-local.rdp", "username:s:local");
    ProfileSettings settings;
    ReadProfile("only-local.rdp", settings, environment, log);
    EXPECT_EQ(settings.userName, "local");

    ReadProfile("missing.rdp", settings, environment, log);
    EXPECT_TRUE(log.Has("W Can not find file: " + environment.applicationDataFolder + "/missing.rdp"));
    EXPECT_EQ(log.lines.back(), "I End Read_tsv_RDP_file");

    const auto result = WriteProfile("new.rdp", "1", settings, environment, log);
    EXPECT_EQ(result.path, environment.applicationDataFolder + "/new.rdp");
    EXPECT_TRUE(fs::exists(result.path));
}

TEST_F(RdpProfileTest, CommandLineNamesTheProfile) {
    WriteBytes(home / "one.rdp", "username:s:one");
    WriteBytes(home / "three.rdp", "username:s:three");
    environment.expandText = [this](std::string_view text) {
        std::string expanded(text);
        if (const auto at = expanded.find("%H%"); at != std::string::npos)
            expanded.replace(at, 3, home.string());
        return expanded;
    };

    environment.parameters = {"%H%/one.rdp", "list.txt", "%H%/three.rdp"};
    ProfileSettings settings;
    ReadProfile("default.rdp", settings, environment, log);
    EXPECT_EQ(settings.userName, "one");
    EXPECT_TRUE(settings.autoConnect);
    EXPECT_TRUE(log.Has("I PRM 1: %H%/one.rdp"));

    environment.parameters = {"%H%/absent.rdp", "list.txt", "%H%/three.rdp"};
    ReadProfile("default.rdp", settings, environment, log);
    EXPECT_EQ(settings.userName, "three");
    EXPECT_FALSE(settings.autoConnect);
    EXPECT_TRUE(log.Has("I PRM 3: %H%/three.rdp"));

    // Written back to parameter 1 whenever there is one, even if it did not exist.
    const auto result = WriteProfile("default.rdp", "2", settings, environment, log);
    EXPECT_EQ(result.path, (home / "absent.rdp").string());
    EXPECT_TRUE(log.Has("I Write FileName (commandline parameter 1): " + result.path));
    EXPECT_TRUE(fs::exists(result.path));
}

TEST_F(RdpProfileTest, ReadOnlyProfileIsNeverOverwritten) {
    WriteBytes(home / "ro.rdp", "username:s:kept");
    fs::permissions(home / "ro.rdp", fs::perms::owner_read | fs::perms::group_read);
    ProfileSettings settings;
    ReadProfile((home / "ro.rdp").string(), settings, environment, log);
    EXPECT_TRUE(settings.profileReadOnly);

    settings.userName = "changed";
    const auto result = WriteProfile((home / "ro.rdp").string(), "1", settings, environment, log);
    EXPECT_EQ(result.path, environment.tempFolder + "/ro.rdp");
    EXPECT_TRUE(log.Has("I Write temporary FileName: " + result.path));
    EXPECT_TRUE(log.Has("I File: " + (home / "ro.rdp").string() + " is read only"));
    EXPECT_EQ(ReadBytes(home / "ro.rdp"), "username:s:kept");

    // Parameter 1 naming the read-only file: written to the temporary folder instead.
    environment.parameters = {(home / "ro.rdp").string()};
    const auto again = WriteProfile("x.rdp", "2", settings, environment, log);
    EXPECT_TRUE(again.written);
    EXPECT_EQ(again.path, environment.tempFolder + "/ro.rdp");
    EXPECT_TRUE(log.Has("W File: " + (home / "ro.rdp").string() + " is not written back: it is read only"));
    EXPECT_EQ(ReadBytes(home / "ro.rdp"), "username:s:kept");
}

TEST_F(RdpProfileTest, InterruptedWriteLeavesTheOldProfileWhole) {
    WriteBytes(home / "w.rdp", "username:s:old");
    ProfileSettings settings;
    settings.userName = "new";
    std::string seenTemporary;
    environment.beforeReplace = [&](const std::string &temporary) {
        seenTemporary = temporary;
        EXPECT_EQ(fs::path(temporary).parent_path(), home); // same folder, so the rename is atomic
        return EIO;
    };
    EXPECT_FALSE(WriteProfile((home / "w.rdp").string(), "1", settings, environment, log).written);
    EXPECT_EQ(ReadBytes(home / "w.rdp"), "username:s:old");
    EXPECT_FALSE(fs::exists(seenTemporary));
    EXPECT_TRUE(log.Has("E Excp 2"));
    EXPECT_EQ(log.lines.back(), "I End Write_tsv_RDP_file");
}

TEST_F(RdpProfileTest, FullDiskLeavesTheOldProfileWhole) {
    WriteBytes(home / "w.rdp", "username:s:old");
    ProfileSettings settings;
    // Files may not grow past 100 bytes: the write of the new profile fails half-way.
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto result = WriteProfile((home / "w.rdp").string(), "1", settings, environment, log);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_FALSE(result.written);
    EXPECT_EQ(ReadBytes(home / "w.rdp"), "username:s:old");
    EXPECT_EQ(std::distance(fs::directory_iterator(home), {}), 5); // 4 folders and w.rdp: no leftovers
}

TEST_F(RdpProfileTest, ReplacedProfileKeepsItsMode) {
    WriteBytes(home / "w.rdp", "username:s:old");
    fs::permissions(home / "w.rdp", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    Written(ProfileSettings{});
    EXPECT_EQ(fs::status(home / "w.rdp").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_NE(ReadBytes(home / "w.rdp"), "username:s:old");
}

} // namespace
} // namespace tsc::profiles
