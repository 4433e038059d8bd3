#include "Preferences.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <gtest/gtest.h>

namespace tsc::shell {
namespace {

class PreferencesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
    }
    static void Store(std::string_view name, std::string_view text) {
        ASSERT_TRUE(Registry::WriteString(Hive::CurrentUser, ApplicationKeyPath(), name, text));
    }
    QTemporaryDir folder_;
};

TEST_F(PreferencesTest, ConnectionUsageMeansMultipleOnlyForTrimmedLowerCaseYes) {
    struct Case {
        const char *stored;
        bool multiple;
    };
    for (const Case c : {Case{"yes", true}, Case{" yes ", true}, Case{"Yes", false}, Case{"no", false},
                         Case{"yes please", false}, Case{"y", false}}) {
        SCOPED_TRACE(c.stored);
        Store(ValueMultipleConnections, c.stored);
        Store(ValueMultipleConnectionsFolder, " /srv/connections ");
        const ConnectionUsage usage = ReadConnectionUsage();
        EXPECT_EQ(usage.multiple, c.multiple);
        EXPECT_EQ(usage.folder, c.multiple ? "/srv/connections" : "");
    }
}

TEST_F(PreferencesTest, NothingStoredMeansSingleUsageAndNoLastConnection) {
    EXPECT_FALSE(ReadConnectionUsage().multiple);
    EXPECT_EQ(ReadLastConnection(), "????");
}

TEST_F(PreferencesTest, WritingSingleUsageKeepsTheFolder) {
    WriteConnectionUsage(true, "/srv/connections");
    WriteConnectionUsage(false, "/elsewhere");
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, ApplicationKeyPath(), ValueMultipleConnections), "no");
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, ApplicationKeyPath(), ValueMultipleConnectionsFolder),
              "/srv/connections");
    WriteConnectionUsage(true, "/srv/connections");
    EXPECT_EQ(ReadConnectionUsage().folder, "/srv/connections");
}

TEST_F(PreferencesTest, LastConnectionWithinItsLimits) {
    WriteLastConnection("Sales");
    EXPECT_EQ(ReadLastConnection(), "Sales");
    WriteLastConnection(std::string(260, 'x')); // 261 bytes with its zero: not accepted
    EXPECT_EQ(ReadLastConnection(), "????");
    WriteLastConnection(std::string(259, 'x'));
    EXPECT_EQ(ReadLastConnection().size(), 259u);
    WriteLastConnection(""); // 1 byte: too short
    EXPECT_EQ(ReadLastConnection(), "????");
}

} // namespace
} // namespace tsc::shell
