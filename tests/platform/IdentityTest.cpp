#include "Identity.h"
#include "SystemInfo.h"

#include "BuildConfig.h"

#include <gtest/gtest.h>

namespace {

TEST(Identity, DefaultsAndDerivedNames) {
    using namespace tsc::Identity;
    ResetToDefaults();
    const std::string client = std::string(tsc::build::PlatformStem) + "client";
    EXPECT_EQ(AppTitle(), "Terminal Server");
    EXPECT_EQ(AppName(), "TerminalServer");
    EXPECT_EQ(AppPrefix(), "tsv");
    EXPECT_EQ(DesktopFilename(), "TerminalServerSupport.zip");
    EXPECT_EQ(DottedVersion(), "4.0.66.1");
    EXPECT_EQ(UnderscoredVersion(), "4_0_66_1");
    EXPECT_EQ(LogFileName(), "TerminalServer_FarmClient.log");
    EXPECT_EQ(SslGatewayLogFileName(), "TerminalServer_SSLGateway.log");
    EXPECT_EQ(RdpPlusLogFileName(), "TerminalServer_RDPPLus.log");
    EXPECT_EQ(SingleConnectionProfileName(), "tsv_farm.rdp");
    EXPECT_EQ(ServerListFileName(), "tsv_farm_v001c003.txt");
    EXPECT_EQ(OlderServerListFileName(), "tsv_farm_v001c001.txt");
    EXPECT_EQ(IniFileName(), "tsv.ini");
    EXPECT_EQ(InstalledClientName(), "tsv" + client);
    EXPECT_EQ(InstalledClientName(), tsc::build::ClientName);
    EXPECT_EQ(VersionedCopyPattern(), "tsv.*." + client);
    EXPECT_EQ(PublishedVersionFileName(), "tsv" + client + ".version");
    EXPECT_EQ(tsc::ApplicationKeyPath(), "SOFTWARE\\TerminalServer");
}

TEST(Identity, BrandingMovesEveryDerivedName) {
    using namespace tsc::Identity;
    SetAppName("Acme");
    SetAppPrefix("acm");
    EXPECT_EQ(LogFileName(), "Acme_FarmClient.log");
    EXPECT_EQ(SingleConnectionProfileName(), "acm_farm.rdp");
    EXPECT_EQ(tsc::ApplicationKeyPath(), "SOFTWARE\\Acme");
    EXPECT_EQ(VersionedCopyPattern().substr(0, 6), "acm.*.");
    ResetToDefaults();
    EXPECT_EQ(AppName(), "TerminalServer");
}

} // namespace
