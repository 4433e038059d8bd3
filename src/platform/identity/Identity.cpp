#include "Identity.h"

#include "BuildConfig.h"

namespace tsc::Identity {
namespace {

constexpr const char DefaultAppTitle[] = "Terminal Server";
constexpr const char DefaultAppName[] = "TerminalServer";
constexpr const char DefaultAppPrefix[] = "tsv";
constexpr const char DefaultDesktopFilename[] = "TerminalServerSupport.zip";

// Set once at start-up (before any second thread exists), read everywhere after.
struct Values {
    std::string appTitle = DefaultAppTitle;
    std::string appName = DefaultAppName;
    std::string appPrefix = DefaultAppPrefix;
    std::string desktopFilename = DefaultDesktopFilename;
};

Values &Current() {
    static Values values;
    return values;
}

// Published builds of several platforms sit side by side on the update host, so the
// names that Windows builds form with "Win32" carry this build's system and processor.
std::string ClientStem() {
    return std::string(build::PlatformStem) + "client";
}

} // namespace

const std::string &AppTitle() {
    return Current().appTitle;
}
const std::string &AppName() {
    return Current().appName;
}
const std::string &AppPrefix() {
    return Current().appPrefix;
}
const std::string &DesktopFilename() {
    return Current().desktopFilename;
}

std::string DottedVersion() {
    return build::DottedVersion;
}

std::string UnderscoredVersion() {
    std::string text = build::DottedVersion;
    for (char &character : text)
        if (character == '.') character = '_';
    return text;
}

void SetAppTitle(std::string_view value) {
    Current().appTitle = value;
}
void SetAppName(std::string_view value) {
    Current().appName = value;
}
void SetAppPrefix(std::string_view value) {
    Current().appPrefix = value;
}
void SetDesktopFilename(std::string_view value) {
    Current().desktopFilename = value;
}
void ResetToDefaults() {
    Current() = Values{};
}

std::string LogFileName() {
    return AppName() + "_FarmClient.log";
}
std::string SslGatewayLogFileName() {
    return AppName() + "_SSLGateway.log";
}
std::string RdpPlusLogFileName() {
    return AppName() + "_RDPPLus.log";
}
std::string SingleConnectionProfileName() {
    return AppPrefix() + "_farm.rdp";
}
std::string ServerListFileName() {
    return AppPrefix() + "_farm_v001c003.txt";
}
std::string OlderServerListFileName() {
    return AppPrefix() + "_farm_v001c001.txt";
}
std::string IniFileName() {
    return AppPrefix() + ".ini";
}
std::string InstalledClientName() {
    return AppPrefix() + ClientStem();
}
std::string VersionedCopyPattern() {
    return AppPrefix() + ".*." + ClientStem();
}
std::string PublishedVersionFileName() {
    return AppPrefix() + ClientStem() + ".version";
}

} // namespace tsc::Identity
