#pragma once

// The identity values of this client: its title, folder/registry name and file
// prefix, with built-in defaults that a language table may override once at
// start-up. Every file, folder and registry name derives from them.

#include <string>
#include <string_view>

namespace tsc::Identity {

[[nodiscard]] const std::string &AppTitle();  // "Terminal Server"
[[nodiscard]] const std::string &AppName();   // "TerminalServer"
[[nodiscard]] const std::string &AppPrefix(); // "tsv"
[[nodiscard]] const std::string &DesktopFilename();
[[nodiscard]] std::string DottedVersion();      // "4.0.66.1"
[[nodiscard]] std::string UnderscoredVersion(); // "4_0_66_1"

// Set by the language table before the main window exists.
void SetAppTitle(std::string_view value);
void SetAppName(std::string_view value);
void SetAppPrefix(std::string_view value);
void SetDesktopFilename(std::string_view value);
void ResetToDefaults();

// Derived file names, without folder.
[[nodiscard]] std::string LogFileName();                 // AppName + "_FarmClient.log"
[[nodiscard]] std::string SslGatewayLogFileName();       // AppName + "_SSLGateway.log"
[[nodiscard]] std::string RdpPlusLogFileName();          // AppName + "_RDPPLus.log"
[[nodiscard]] std::string SingleConnectionProfileName(); // AppPrefix + "_farm.rdp"
[[nodiscard]] std::string ServerListFileName();          // AppPrefix + "_farm_v001c003.txt"
[[nodiscard]] std::string OlderServerListFileName();     // AppPrefix + "_farm_v001c001.txt"
[[nodiscard]] std::string IniFileName();                 // AppPrefix + ".ini"
[[nodiscard]] std::string InstalledClientName();         // AppPrefix + stem + "client"
[[nodiscard]] std::string VersionedCopyPattern();        // AppPrefix + ".*." + stem + "client"
[[nodiscard]] std::string PublishedVersionFileName();    // AppPrefix + stem + "client.version"

} // namespace tsc::Identity
