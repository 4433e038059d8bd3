// A profile named on the command line may be anything a user (or someone who tricks
// one) can name: what is read, logged and written must never reach beyond a
// profile of this user. Runs as root in the test environment; another user's
// files belong to nobody (65534).
#include "PasswordProtection.h"
#include "ProfileText.h"
#include "RdpProfile.h"
#include "TestSupport.h"

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc::profiles {
namespace {

using test::RecordingLog;
namespace fs = std::filesystem;

constexpr uid_t OtherUser = 65534;

class CommandLineProfileTest : public test::TestHome {
  protected:
    void SetUp() override {
        TestHome::SetUp();
        fs::create_directories(home / "data" / "TerminalServer");
        environment.applicationDataFolder = (home / "data" / "TerminalServer").string();
        environment.localSettingsFolder = (home / "state").string();
        environment.tempFolder = (home / "tmp").string();
        keyFile = (home / "config" / "protection.key").string();
        service = std::make_unique<ProtectionService>(keyFile);
        environment.protection = service.get();
        environment.passwordLog = &log;
    }

    static void OwnedByOtherUser(const fs::path &path) {
        ASSERT_EQ(::lchown(path.c_str(), OtherUser, OtherUser), 0);
    }

    std::vector<std::string> LinesOf(const fs::path &path) {
        return SplitProfileLines(DecodeProfileBytes(ReadBytes(path)).text);
    }

    ProfileEnvironment environment;
    std::string keyFile;
    std::unique_ptr<ProtectionService> service;
    RecordingLog log;
};

bool Contains(const std::vector<std::string> &lines, const std::string &line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(CommandLineProfileTest, WhatIsReadLoggedAndWritten) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
    const std::string foreignProfile = "full address:s:gw.example\r\n"
                                       "username:s:foreign\r\n"
                                       "gatewayhostname:s:gw.example.net\r\n"
                                       "Signature:s:AAAAbase64\r\n"
                                       "\r\n"
                                       "loadbalanceinfo:s:tsv://MS Terminal Services Plugin.1.Farm\r\n"
                                       "signscope:s:Full Address,Username\r\n"
                                       "remoteapplicationprogram:s:||notepad\r\n"
                                       "DOMAIN:s:OLD\r\n";
    struct Case {
        std::string name;
        std::function<fs::path()> plant; // makes what parameter 1 names
        bool read;                       // its lines were applied
        std::string userNameRead;
        bool message;                         // the user is told once
        std::vector<std::string> logged;      // lines the log must have
        std::vector<std::string> neverLogged; // texts no log line may hold
        bool writtenInPlace;                  // else to the temporary folder
        std::function<void(const fs::path &planted, const std::vector<std::string> &written)> check;
    };
    const Case cases[] = {
        {"regular file",
         [&] {
             WriteBytes(home / "mine.rdp", "username:s:me\r\nfull address:s:ts1\r\n");
             return home / "mine.rdp";
         },
         true,
         "me",
         false,
         {"I username:s:me"},
         {},
         true,
         [](const fs::path &, const std::vector<std::string> &written) {
             EXPECT_TRUE(Contains(written, "username:s:me"));
         }},
        {"link to another user's file, not a profile",
         [&] {
             WriteBytes(home / "shadow", "root:$y$j9T$secrethash:19000:0:99999:7:::\nnobody:*:19000::::::\n");
             OwnedByOtherUser(home / "shadow");
             fs::create_symlink(home / "shadow", home / "a.rdp");
             return home / "a.rdp";
         },
         true,
         "",
         false,
         {"W Line 1 is not key:type:value; the rest of the file is not logged"},
         {"secrethash", "nobody:"},
         false,
         [&](const fs::path &, const std::vector<std::string> &written) {
             EXPECT_EQ(ReadBytes(home / "shadow"),
                       "root:$y$j9T$secrethash:19000:0:99999:7:::\nnobody:*:19000::::::\n");
             EXPECT_TRUE(fs::is_symlink(home / "a.rdp"));
             for (const auto &line : written)
                 EXPECT_EQ(line.find("secrethash"), std::string::npos);
         }},
        {"link to another user's profile",
         [&] {
             WriteBytes(home / "theirs.rdp", "username:s:them\r\n");
             OwnedByOtherUser(home / "theirs.rdp");
             fs::create_symlink(home / "theirs.rdp", home / "b.rdp");
             return home / "b.rdp";
         },
         true,
         "them",
         false,
         {"I username:s:them"},
         {},
         false,
         [&](const fs::path &, const std::vector<std::string> &) {
             EXPECT_EQ(ReadBytes(home / "theirs.rdp"), "username:s:them\r\n");
         }},
        {"link to a FIFO",
         [&] {
             EXPECT_EQ(::mkfifo((home / "fifo").c_str(), 0600), 0);
             fs::create_symlink(home / "fifo", home / "c.rdp");
             return home / "c.rdp";
         },
         false,
         "",
         true,
         {"W Profile " + (home / "c.rdp").string() + " is no regular file; it is not read"},
         {},
         false,
         [&](const fs::path &, const std::vector<std::string> &) {
             EXPECT_TRUE(fs::is_fifo(home / "fifo"));
         }},
        {"directory",
         [&] {
             fs::create_directories(home / "d.rdp");
             return home / "d.rdp";
         },
         false,
         "",
         true,
         {"W Profile " + (home / "d.rdp").string() + " is no regular file; it is not read"},
         {},
         false,
         [&](const fs::path &planted, const std::vector<std::string> &) {
             EXPECT_TRUE(fs::is_directory(planted));
         }},
        {"10,000-byte file",
         [&] {
             WriteBytes(home / "big.rdp", "username:s:big\r\n" + std::string(10000 - 16, 'x'));
             return home / "big.rdp";
         },
         false,
         "",
         true,
         {"W Profile " + (home / "big.rdp").string() + " is not read: 10000 bytes, 10000 or more"},
         {},
         false,
         [&](const fs::path &planted, const std::vector<std::string> &) {
             EXPECT_EQ(fs::file_size(planted), 10000u) << "never written back over";
         }},
        {"foreign file with unknown keys",
         [&] {
             WriteBytes(home / "web.rdp", foreignProfile);
             return home / "web.rdp";
         },
         true,
         "foreign",
         false,
         {"I gatewayhostname:s:gw.example.net"},
         {},
         true,
         [&](const fs::path &, const std::vector<std::string> &written) {
             // The program's lines first, exactly as ever, then the others in their order.
             const auto own = std::find(written.begin(), written.end(), "tsv_doseamless:s:no");
             ASSERT_NE(own, written.end());
             EXPECT_EQ(std::vector<std::string>(own + 1, written.end()),
                       (std::vector<std::string>{"gatewayhostname:s:gw.example.net",
                                                 "loadbalanceinfo:s:tsv://MS Terminal Services Plugin.1.Farm",
                                                 "remoteapplicationprogram:s:||notepad"}));
             EXPECT_TRUE(Contains(written, "domain:s:OLD"));
             EXPECT_FALSE(Contains(written, "DOMAIN:s:OLD"));
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        log.lines.clear();
        const fs::path planted = c.plant();
        environment.parameters = {planted.string()};
        ProfileSettings settings;
        const ReadProfileResult read = ReadProfile("tsv_farm.rdp", settings, environment, log);
        EXPECT_EQ(settings.userName, c.userNameRead);
        EXPECT_EQ(read.read, c.read);
        EXPECT_EQ(!read.userMessage.empty(), c.message) << read.userMessage;
        for (const auto &line : c.logged)
            EXPECT_TRUE(log.Has(line)) << line << "\n" << log.All();
        for (const auto &text : c.neverLogged)
            EXPECT_EQ(log.All().find(text), std::string::npos) << text;

        const WriteProfileResult written = WriteProfile("tsv_farm.rdp", "2", settings, environment, log);
        EXPECT_TRUE(written.written) << written.userMessage;
        const std::string temporary = environment.tempFolder + "/" + planted.filename().string();
        EXPECT_EQ(written.path, c.writtenInPlace ? planted.string() : temporary);
        if (!c.writtenInPlace) EXPECT_TRUE(log.Has("I Write temporary FileName: " + temporary)) << log.All();
        c.check(planted, LinesOf(written.path));
    }
}

// Kept lines that would make the profile too big to be read again are dropped:
// written as UTF-16, a 6,000-byte 8-bit profile would grow past the limit.
TEST_F(CommandLineProfileTest, KeptLinesNeverMakeTheProfileUnreadable) {
    std::string text = "username:s:me\r\n";
    for (int line = 0; text.size() < 6000; ++line)
        text += "x" + std::to_string(line) + ":s:" + std::string(40, 'v') + "\r\n";
    WriteBytes(home / "grown.rdp", text);
    environment.parameters = {(home / "grown.rdp").string()};
    ProfileSettings settings;
    ASSERT_TRUE(ReadProfile("x.rdp", settings, environment, log).read);
    ASSERT_TRUE(WriteProfile("x.rdp", "2", settings, environment, log).written);
    EXPECT_LT(fs::file_size(home / "grown.rdp"), ProfileSizeLimit);
    EXPECT_NE(log.All().find("W The other lines of " + (home / "grown.rdp").string() + " are not kept"),
              std::string::npos);
    settings = {};
    EXPECT_TRUE(ReadProfile("x.rdp", settings, environment, log).read);
    EXPECT_EQ(settings.userName, "me");
}

// The key that protects saved passwords cannot be used (another owner, a link, the
// wrong size): the saved password is kept as it was read, and the user is told.
TEST_F(CommandLineProfileTest, UnusableKeyKeepsTheSavedPassword) {
    const fs::path profile = home / "pw.rdp";
    ProfileSettings saved;
    saved.userName = "me";
    saved.password = "secret";
    saved.saveMyPassword = true;
    ASSERT_TRUE(WriteProfile(profile.string(), "1", saved, environment, log).written);
    const std::string blob = *[&] {
        for (const auto &line : LinesOf(profile))
            if (line.rfind("password 51:b:", 0) == 0) return std::optional(line.substr(14));
        return std::optional<std::string>();
    }();
    ASSERT_GT(blob.size(), 20u);

    const auto breakers = std::vector<std::pair<std::string, std::function<void()>>>{
        {"wrong size", [&] { WriteBytes(keyFile, "short"); }},
        {"a link", [&] { fs::create_symlink(home / "elsewhere", keyFile); }},
        {"another owner",
         [&] {
             WriteBytes(keyFile, std::string(32, 'k'));
             if (::geteuid() == 0) OwnedByOtherUser(keyFile);
         }},
    };
    const std::string goodKey = ReadBytes(keyFile);
    for (const auto &[name, breakKey] : breakers) {
        SCOPED_TRACE(name);
        fs::remove(keyFile);
        breakKey();
        service->Close();
        environment.parameters = {profile.string()};
        ProfileSettings settings;
        const ReadProfileResult read = ReadProfile("x.rdp", settings, environment, log);
        EXPECT_TRUE(read.read);
        EXPECT_TRUE(settings.password.empty());
        EXPECT_TRUE(settings.saveMyPassword);
        EXPECT_TRUE(read.passwordUnusable);
        EXPECT_FALSE(read.userMessage.empty());

        ASSERT_TRUE(WriteProfile("x.rdp", "2", settings, environment, log).written);
        EXPECT_TRUE(Contains(LinesOf(profile), "password 51:b:" + blob));
        EXPECT_TRUE(fs::is_symlink(keyFile) || fs::is_regular_file(keyFile)) << "the key is not replaced";
    }
    // With the key back, the kept password is the user's again.
    fs::remove(keyFile);
    WriteBytes(keyFile, goodKey);
    fs::permissions(keyFile, fs::perms::owner_read | fs::perms::owner_write);
    service->Close();
    ProfileSettings settings;
    EXPECT_FALSE(ReadProfile("x.rdp", settings, environment, log).passwordUnusable);
    EXPECT_EQ(settings.password, "secret");
}

} // namespace
} // namespace tsc::profiles
