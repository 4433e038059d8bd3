// Finding the engine at start-up: versions, the detection sequence, the status text.

#include "RdpClientDetection.h"
#include "RdpEngineLibrary.h"
#include "Recorders.h"

#include <QFileInfo>

#include <gtest/gtest.h>

namespace tsc {
namespace {

TEST(RdpClientVariants, VersionPrefixesChooseTheVariant) {
    struct Case {
        const char *version;
        RdpControlVariant variant;
    };
    for (const Case &c :
         {Case{"5.1.2600.2180", RdpControlVariant::WXP51}, Case{"5.2.3790.1830", RdpControlVariant::WXP51},
          Case{"6.0.6000.16386", RdpControlVariant::WXP60},
          Case{"6.1.7601.17514", RdpControlVariant::Win7_61}, Case{"2.11.7.0", RdpControlVariant::Win7_61},
          Case{"6.2.9200.16384", RdpControlVariant::Unsupported},
          Case{"10.0.19041.1", RdpControlVariant::Unsupported},
          Case{"0.0.0.0", RdpControlVariant::Unsupported}, Case{"3.0.0.0", RdpControlVariant::Unsupported},
          Case{"", RdpControlVariant::Unsupported}})
        EXPECT_EQ(VariantForVersion(c.version), c.variant) << c.version;
}

TEST(RdpClientStatus, TextsByUsabilityAndVersion) {
    const RdpStatusTextLookup defaults = [](std::string_view, std::string_view text) {
        return std::string(text);
    };
    EXPECT_EQ(RdpClientStatusText(true, "2.11.7.0", defaults), "Everything seems to be OK");
    EXPECT_EQ(RdpClientStatusText(false, "2.11.7.0", defaults),
              "This PC seems to have the correct version of the FreeRDP engine library, but it is not yet "
              "registered with the dynamic linker.\r\rPlease contact your Administrator.");
    EXPECT_EQ(
        RdpClientStatusText(false, "0.0.0.0", defaults),
        "This PC seems not to have the correct version of the FreeRDP engine library: it needs the client's "
        "engine module and the FreeRDP 2 package (libfreerdp-client2-2).\r\rPlease contact your "
        "Administrator.");
    std::string asked;
    const RdpStatusTextLookup table = [&](std::string_view id, std::string_view) {
        asked = id;
        return std::string("translated");
    };
    EXPECT_EQ(RdpClientStatusText(false, "10.0.1.1", table), "translated");
    EXPECT_EQ(asked, "00000089");
}

// A scripted environment: the control becomes usable at a chosen test.
struct Script {
    std::string version = "2.11.7.0";
    int usableFromTest = 1; // 0: never
    bool administrator = true;
    int tests = 0;
    int registrations = 0;
    int waitedMs = 0;

    RdpClientDetectionEnvironment Environment() {
        RdpClientDetectionEnvironment environment;
        environment.detectVersion = [this](LogSink &) { return version; };
        environment.testControl = [this](std::string_view, LogSink &log) {
            ++tests;
            const bool usable = usableFromTest != 0 && tests >= usableFromTest;
            if (usable)
                log.LogInfo("test OK");
            else
                log.LogError("test failed");
            return usable;
        };
        environment.registerControl = [this](LogSink &log) {
            ++registrations;
            log.LogInfo("registered");
        };
        environment.isNtFamily = [] { return true; };
        environment.isAdministrator = [this] { return administrator; };
        environment.wait = [this](int ms) { waitedMs += ms; };
        return environment;
    }
};

TEST(RdpClientDetectionSequence, UsableControlNeedsNothingMore) {
    Script script;
    test::LogRecorder log;
    const RdpClientDetectionResult result = RunRdpClientDetection(script.Environment(), log);
    EXPECT_TRUE(result.rdpControlUsable);
    EXPECT_FALSE(result.showStatusPage);
    EXPECT_EQ(script.registrations, 0);
    EXPECT_EQ(script.tests, 1);
    EXPECT_TRUE(log.Contains(": [2.11.7.0]"));
}

TEST(RdpClientDetectionSequence, RegistrationFixingItOnTheThirdRetest) {
    Script script;
    script.usableFromTest = 4; // the first test and two retests fail
    test::LogRecorder log;
    const RdpClientDetectionResult result = RunRdpClientDetection(script.Environment(), log);
    EXPECT_TRUE(result.rdpControlUsable);
    EXPECT_FALSE(result.showStatusPage);
    EXPECT_EQ(script.registrations, 1);
    EXPECT_EQ(script.tests, 4);
    EXPECT_EQ(script.waitedMs, 3000);
    EXPECT_TRUE(log.Contains("test failed") && log.Contains("registered") && log.Contains("test OK"));
}

TEST(RdpClientDetectionSequence, UnusableAfterFourRetestsShowsThePage) {
    Script script;
    script.usableFromTest = 0;
    test::LogRecorder log;
    const RdpClientDetectionResult result = RunRdpClientDetection(script.Environment(), log);
    EXPECT_FALSE(result.rdpControlUsable);
    EXPECT_TRUE(result.showStatusPage);
    EXPECT_EQ(script.tests, 5);
    EXPECT_EQ(script.waitedMs, 4000);
}

TEST(RdpClientDetectionSequence, WithoutAdministratorRightsNothingIsRegistered) {
    Script script;
    script.usableFromTest = 0;
    script.administrator = false;
    test::LogRecorder log;
    const RdpClientDetectionResult result = RunRdpClientDetection(script.Environment(), log);
    EXPECT_TRUE(result.showStatusPage);
    EXPECT_EQ(script.registrations, 0);
    EXPECT_EQ(script.tests, 1);
}

TEST(RdpClientDetectionSequence, UnsupportedVersionIsNeitherRegisteredNorRetested) {
    Script script;
    script.version = "10.0.19041.1";
    script.usableFromTest = 0;
    test::LogRecorder log;
    const RdpClientDetectionResult result = RunRdpClientDetection(script.Environment(), log);
    EXPECT_TRUE(result.showStatusPage);
    EXPECT_EQ(script.registrations, 0);
    EXPECT_EQ(script.tests, 1);
}

// The real engine library of this build, then a missing one.
TEST(RdpEngineDetection, TheBuiltEngineReportsItsProtocolLibraryVersion) {
    test::LogRecorder log;
    const std::string version = DetectRdpClientVersion(log);
    EXPECT_EQ(version, "2.11.7.0") << log.All();
    EXPECT_TRUE(TestRdpControl(version, log));
    EXPECT_TRUE(log.Contains("Testing libtsc-rdpengine.so class: OK")) << log.All();
    EXPECT_FALSE(TestRdpControl("0.0.0.0", log)); // unsupported: nothing tested, nothing logged
    EXPECT_EQ(log.lines.size(), 1u);
}

TEST(RdpEngineDetection, AMissingEngineGivesNoVersionAndTheErrorLine) {
    const QByteArray saved = qgetenv(RdpEngineLibrary::OverrideVariable);
    qputenv(RdpEngineLibrary::OverrideVariable, "/nonexistent/libtsc-rdpengine.so");
    test::LogRecorder log;
    RdpClientDetectionEnvironment environment = DefaultRdpClientDetectionEnvironment(
        [] { return true; }, [](int code) { return std::to_string(code); });
    const RdpClientDetectionResult result = RunRdpClientDetection(environment, log);
    qputenv(RdpEngineLibrary::OverrideVariable, saved);
    EXPECT_EQ(result.rdpClientVersion, "0.0.0.0");
    EXPECT_FALSE(result.rdpControlUsable);
    EXPECT_TRUE(result.showStatusPage);
    ASSERT_GE(log.lines.size(), 2u);
    EXPECT_EQ(log.lines[0], "E Can not find: /nonexistent/libtsc-rdpengine.so");
    EXPECT_EQ(log.lines[1], "I libtsc-rdpengine.so: [0.0.0.0]");
    EXPECT_EQ(log.lines.size(), 2u); // nothing tested, nothing registered
    const RdpStatusTextLookup defaults = [](std::string_view, std::string_view text) {
        return std::string(text);
    };
    EXPECT_EQ(RdpClientStatusText(result.rdpControlUsable, result.rdpClientVersion, defaults).substr(0, 40),
              "This PC seems not to have the correct ve");
}

// Only a tool that cannot start: the real one would change the machine's linker cache.
TEST(RdpEngineRegistration, LogsTheCommandLineAndAFailureToStart) {
    test::LogRecorder log;
    RegisterMSTSCAX(
        log, [](int code) { return "error " + std::to_string(code); }, "/nonexistent/ldconfig");
    const std::string folder = QFileInfo(RdpEngineLibrary::LibraryPath()).absolutePath().toStdString();
    ASSERT_EQ(log.lines.size(), 2u) << log.All();
    EXPECT_EQ(log.lines[0], "I RegisterMSTSCAX: /nonexistent/ldconfig " + folder);
    EXPECT_EQ(log.lines[1], "E Cannot start /nonexistent/ldconfig " + folder + " error 2");
}

} // namespace
} // namespace tsc
