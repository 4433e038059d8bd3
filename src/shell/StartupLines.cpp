#include "StartupLines.h"

#include <cstdio>

namespace tsc::shell {

std::string ClientStartedLine(const std::string &executable, const std::string &versionText) {
    return "Client Started: " + executable + " [" + versionText + "] Build: " + BuildStamp;
}

std::string VersionPairText(std::uint32_t version) {
    char text[16];
    std::snprintf(text, sizeof text, "%04X.%04X", static_cast<unsigned>(version >> 16),
                  static_cast<unsigned>(version & 0xFFFFu));
    return text;
}

std::string MonitorLine(int index, const MonitorRect &monitor) {
    return " monitor: " + std::to_string(index) + ": left.top: " + std::to_string(monitor.left) + "." +
           std::to_string(monitor.top) + " width.height: " + std::to_string(monitor.width) + "." +
           std::to_string(monitor.height);
}

std::vector<std::string> MonitorReport(const std::vector<MonitorRect> &monitors) {
    std::vector<std::string> lines{"Begin Monitor information",
                                   " number of monitors: " + std::to_string(monitors.size())};
    if (!monitors.empty() && monitors.size() <= 20)
        for (std::size_t index = 0; index < monitors.size(); ++index)
            lines.push_back(MonitorLine(static_cast<int>(index), monitors[index]));
    lines.push_back("End Monitor information");
    return lines;
}

} // namespace tsc::shell
