#include "PasswordProtection.h"
#include "SystemInfo.h"
#include "TestSupport.h"

#include <sys/stat.h>
#include <thread>

namespace tsc::profiles {
namespace {

using test::RecordingLog;

class PasswordProtectionTest : public test::TestHome {
  protected:
    std::string KeyFile(const char *name = "protection.key") {
        return (home / "config" / "tsc" / name).string();
    }
};

TEST_F(PasswordProtectionTest, RoundTripGivesThePasswordBackTrimmed) {
    ProtectionService service(KeyFile());
    RecordingLog log;
    const std::string hex = ProtectPassword(service, "  s3cr\xC3\xA9t \t", ProtectUiForbidden, &log);
    ASSERT_FALSE(hex.empty());
    EXPECT_EQ(hex.size() % 2, 0u);
    EXPECT_EQ(hex.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"I Begin CPWR", "I OK CPWR:2", "I End CPWR"}));

    log.lines.clear();
    EXPECT_EQ(UnprotectPassword(service, hex, true, &log, 8), "s3cr\xC3\xA9t");
    EXPECT_EQ(log.lines.front(), "I Begin UCPWR:" + std::to_string(hex.size()) + ":yes:f 8");
    EXPECT_EQ(log.lines.back(), "I End UCPWR");
    EXPECT_TRUE(log.Has("I OK UCPWR:2"));

    // A new service instance (the next program start) reads the same key.
    ProtectionService later(KeyFile());
    EXPECT_EQ(UnprotectPassword(later, hex, true, nullptr, 8), "s3cr\xC3\xA9t");
    // An odd last digit is ignored.
    EXPECT_EQ(UnprotectPassword(later, hex + "F", true, nullptr, 8), "s3cr\xC3\xA9t");
}

TEST_F(PasswordProtectionTest, KeyFileIsPrivateAndCreatedOnce) {
    // Several services opening at once all end up with the one key.
    std::vector<std::string> blobs(6);
    std::vector<std::thread> threads;
    for (auto &blob : blobs) {
        threads.emplace_back([&] {
            ProtectionService service(KeyFile());
            blob = ProtectPassword(service, "password", ProtectUiForbidden, nullptr);
        });
    }
    for (auto &thread : threads)
        thread.join();
    ProtectionService service(KeyFile());
    for (const auto &blob : blobs)
        EXPECT_EQ(UnprotectPassword(service, blob, true, nullptr, 8), "password");

    struct stat info {};
    ASSERT_EQ(::stat(KeyFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_size, 32);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home / "config" / "tsc"), {}),
              1); // no leftovers
}

TEST_F(PasswordProtectionTest, TooShortPasswordGivesNothing) {
    ProtectionService service(KeyFile());
    for (const char *password : {"", "x"}) {
        RecordingLog log;
        EXPECT_EQ(ProtectPassword(service, password, ProtectUiForbidden, &log), "");
        EXPECT_EQ(log.lines, (std::vector<std::string>{"I Begin CPWR", "E Err CPWR:1", "I End CPWR"}));
    }
}

TEST_F(PasswordProtectionTest, TextsThatDoNotUnprotectGiveNothingAfterOneRetry) {
    ProtectionService service(KeyFile());
    const std::string hex = ProtectPassword(service, "password", ProtectUiForbidden, nullptr);
    ProtectionService otherUser(KeyFile("other.key"));
    const std::string otherUsersHex = ProtectPassword(otherUser, "password", ProtectUiForbidden, nullptr);

    std::string lowerCase = hex;
    for (char &c : lowerCase)
        c = static_cast<char>(std::tolower(c));
    std::string changedByte = hex;
    changedByte[hex.size() / 2] = changedByte[hex.size() / 2] == '0' ? '1' : '0';

    const std::pair<const char *, std::string> cases[] = {
        {"lower case", lowerCase},
        {"changed byte", changedByte},
        {"another user's key", otherUsersHex},
        {"cut short", hex.substr(0, 20)},
        {"not hex", std::string(40, 'Z')},
    };
    for (const auto &[what, text] : cases) {
        RecordingLog log;
        EXPECT_EQ(UnprotectPassword(service, text, true, &log, 8), "") << what;
        EXPECT_TRUE(log.Has("W Err UCPWR:2:" + std::to_string(EBADMSG))) << what << log.All();
        EXPECT_TRUE(log.Has("E Err UCPWR:2:" + std::to_string(EBADMSG))) << what;
        EXPECT_TRUE(log.Has("E " + SystemErrorText(EBADMSG))) << what;
        EXPECT_EQ(log.lines.back(), "I End UCPWR");
    }
    RecordingLog log;
    EXPECT_EQ(UnprotectPassword(service, "A", true, &log, 8), "");
    EXPECT_EQ(log.lines,
              (std::vector<std::string>{"I Begin UCPWR:01:yes:f 8", "E Err UCPWR:1", "I End UCPWR"}));
}

TEST_F(PasswordProtectionTest, UnusableKeyFileIsAFailureNotACrash) {
    std::filesystem::create_directories(home / "config" / "tsc");
    WriteBytes(KeyFile(), "short");
    ProtectionService service(KeyFile());
    RecordingLog log;
    EXPECT_EQ(ProtectPassword(service, "password", ProtectUiForbidden, &log), "");
    EXPECT_TRUE(log.Has("W Err CPWR:2" + std::to_string(EINVAL)));
    EXPECT_TRUE(log.Has("E Err CPWR:2" + std::to_string(EINVAL)));
    EXPECT_EQ(ReadBytes(KeyFile()), "short"); // a damaged key is never replaced: old passwords may need it
}

TEST(HexText, UpperCasePairsInBlobOrder) {
    EXPECT_EQ(HexText({0x00, 0xAB, 0x0F, 0xF0}), "00AB0FF0");
    EXPECT_EQ(BytesFromHexText("00AB0FF0"), (Bytes{0x00, 0xAB, 0x0F, 0xF0}));
    EXPECT_EQ(BytesFromHexText("ABC"), (Bytes{0xAB}));
    EXPECT_EQ(BytesFromHexText("ab"), (Bytes{0x00}));
}

} // namespace
} // namespace tsc::profiles
