// A profile's "selectedmonitors" text against a fixed set of screens: the ids parse
// to distinct non-negative numbers and the layout keeps to the protocol's limits.
#include "MonitorLayout.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const std::vector<int> ids = tsc::ParseSelectedMonitors(text);
    for (const int id : ids)
        if (id < 0) std::abort();
    std::vector<tsc::LocalScreen> screens;
    for (int index = 0; index < 20; ++index)
        screens.push_back({QRect((index % 5) * 1920, (index / 5) * 1080, 1920, 1080),
                           QRect((index % 5) * 1920, (index / 5) * 1080, 1920, 1040),
                           index == 3,
                           {}});
    const tsc::MonitorLayout layout = tsc::PlanMonitorLayout(screens, ids, size % 2 == 0);
    if (layout.monitors.size() > tsc::MaxSessionMonitors || layout.localBounds.width() > tsc::MaxDesktopSide)
        std::abort();
    if (!layout.monitors.empty() && (layout.monitors.front().x != 0 || layout.monitors.front().y != 0))
        std::abort();
    return 0;
}
