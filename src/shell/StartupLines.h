#pragma once

// Texts of the lines the main window writes at start-up and on page changes.

#include <cstdint>
#include <string>
#include <vector>

namespace tsc::shell {

inline constexpr const char *BuildStamp = "01-Jun-2011 20:00:33.739";

struct MonitorRect {
    int left = 0, top = 0, width = 0, height = 0;
};

// "Client Started: <path> [<version>] Build: <stamp>"
[[nodiscard]] std::string ClientStartedLine(const std::string &executable, const std::string &versionText);
// A version packed as major << 16 | minor, as "0006.0001".
[[nodiscard]] std::string VersionPairText(std::uint32_t version);
// " monitor: 0: left.top: 0.0 width.height: 1920.1080"
[[nodiscard]] std::string MonitorLine(int index, const MonitorRect &monitor);
// The monitor report between "Begin Monitor information" and "End Monitor information":
// the count, and one line per monitor when there are 1 to 20.
[[nodiscard]] std::vector<std::string> MonitorReport(const std::vector<MonitorRect> &monitors);

} // namespace tsc::shell
