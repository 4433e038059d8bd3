#include "MonitorLayout.h"

#include <algorithm>
#include <charconv>

namespace tsc {

namespace {

std::string_view Trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string RectText(const QRect &area) {
    const auto signedText = [](int value) { return (value < 0 ? "" : "+") + std::to_string(value); };
    return std::to_string(area.width()) + "x" + std::to_string(area.height()) + signedText(area.x()) +
           signedText(area.y());
}

// The screens in the order they are considered: the session's primary first.
std::vector<int> Candidates(const std::vector<LocalScreen> &screens, const std::vector<int> &selected) {
    std::vector<int> order;
    for (const int id : selected)
        if (id >= 0 && id < static_cast<int>(screens.size())) order.push_back(id);
    if (!order.empty()) return order;
    for (int index = 0; index < static_cast<int>(screens.size()); ++index)
        order.push_back(index);
    const auto primary = std::find_if(order.begin(), order.end(), [&](int index) {
        return screens[static_cast<std::size_t>(index)].primary;
    });
    if (primary != order.end()) std::rotate(order.begin(), primary, primary + 1);
    return order;
}

} // namespace

std::vector<QRect> MonitorLayout::LocalAreas() const {
    std::vector<QRect> areas;
    for (const SessionMonitor &monitor : monitors)
        areas.emplace_back(localOrigin.x() + monitor.x, localOrigin.y() + monitor.y, monitor.width,
                           monitor.height);
    return areas;
}

std::vector<int> ParseSelectedMonitors(std::string_view text) {
    std::vector<int> ids;
    while (!text.empty()) {
        const auto comma = text.find(',');
        const std::string_view item = Trimmed(text.substr(0, comma));
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        int id = -1;
        const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), id);
        if (item.empty() || error != std::errc() || end != item.data() + item.size() || id < 0) continue;
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    return ids;
}

MonitorLayout PlanMonitorLayout(const std::vector<LocalScreen> &screens, const std::vector<int> &selected,
                                bool useWorkArea) {
    MonitorLayout layout;
    std::vector<QRect> kept;
    for (const int index : Candidates(screens, selected)) {
        const LocalScreen &screen = screens[static_cast<std::size_t>(index)];
        const QRect area = useWorkArea ? screen.workArea : screen.geometry;
        const std::string name = "monitor " + std::to_string(index) + " " + RectText(area);
        if (area.width() < MinMonitorSide || area.height() < MinMonitorSide ||
            area.width() > MaxMonitorSide || area.height() > MaxMonitorSide) {
            layout.leftOut.push_back(name + ": size out of range");
            continue;
        }
        // A cloned screen shows what another one shows already.
        if (std::any_of(kept.begin(), kept.end(),
                        [&](const QRect &other) { return other.intersects(area); })) {
            layout.leftOut.push_back(name + ": overlaps another monitor");
            continue;
        }
        if (static_cast<int>(kept.size()) == MaxSessionMonitors) {
            layout.leftOut.push_back(name + ": more than " + std::to_string(MaxSessionMonitors) +
                                     " monitors");
            continue;
        }
        const QRect bounds = layout.localBounds.united(area);
        if (bounds.width() > MaxDesktopSide || bounds.height() > MaxDesktopSide) {
            layout.leftOut.push_back(name + ": the desktop would be too large");
            continue;
        }
        layout.localBounds = bounds;
        kept.push_back(area);
        layout.localOrigin = kept.front().topLeft();
        SessionMonitor monitor;
        monitor.x = area.x() - kept.front().x();
        monitor.y = area.y() - kept.front().y();
        monitor.width = area.width();
        monitor.height = area.height();
        monitor.primary = kept.size() == 1;
        if (!screen.physicalMillimetres.isEmpty()) {
            monitor.physicalWidthMm = screen.physicalMillimetres.width();
            monitor.physicalHeightMm = screen.physicalMillimetres.height();
        }
        monitor.screenIndex = index;
        layout.monitors.push_back(monitor);
    }
    return layout;
}

std::string DescribeMonitorLayout(const MonitorLayout &layout) {
    std::string text = std::to_string(layout.monitors.size()) + " monitors:";
    const char *separator = " ";
    for (const SessionMonitor &monitor : layout.monitors) {
        text += separator + std::to_string(monitor.screenIndex) + " " +
                RectText(QRect(monitor.x, monitor.y, monitor.width, monitor.height));
        if (monitor.primary) text += " (primary)";
        separator = ", ";
    }
    return text;
}

} // namespace tsc
