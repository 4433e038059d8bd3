#include "ConnectPlan.h"

#include "Registry.h"
#include "SystemInfo.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tsc {

namespace {

constexpr int LowestPort = 10;
constexpr int HighestPort = 65534;
constexpr std::size_t PortCharacters = 5;
// A typed size counts below the size fields' limit.
constexpr int LargestTypedSize = profiles::DesktopSizeLimit - 1;
constexpr QSize DefaultWindowedSize(800, 600);

// A whole decimal integer with an optional sign; nothing else.
bool ParseInteger(std::string_view text, int &value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

std::string HostPart(std::string_view text) {
    return std::string(text.substr(0, text.find(':')));
}

} // namespace

ConnectTarget TargetFromHostField(std::string_view hostField) {
    ConnectTarget target{HostPart(hostField), DefaultRdpPort};
    const auto colon = hostField.find(':');
    if (colon == std::string_view::npos) return target;
    int port = 0;
    if (ParseInteger(hostField.substr(colon + 1, PortCharacters), port) && port >= LowestPort &&
        port <= HighestPort)
        target.port = port;
    return target;
}

ConnectTarget TargetFromSelectedServer(std::string_view selectedServerHost,
                                       std::string_view selectedServerPort) {
    ConnectTarget target{HostPart(selectedServerHost), DefaultRdpPort};
    int port = 0;
    if (ParseInteger(selectedServerPort, port)) target.port = port;
    return target;
}

const SessionVariantTraits &TraitsOf(RdpControlVariant variant) {
    static const SessionVariantTraits wxp51{
        RdpControlVariant::WXP51, "Tform_WXP51_RDPObject", "51", "RDP 5.1", {{1600, 1200}, {1280, 1024}}};
    static const SessionVariantTraits wxp60{
        RdpControlVariant::WXP60, "Tform_wxp60_RDPObject", "60", "RDP 6.0", {{1600, 1200}, {1280, 1024}}};
    static const SessionVariantTraits win7{RdpControlVariant::Win7_61,
                                           "Tform_win7_61_RDPObject",
                                           "61",
                                           "RDP 6.1",
                                           {{4096, 2048}, {1600, 1200}, {1280, 1024}}};
    switch (variant) {
    case RdpControlVariant::WXP51:
        return wxp51;
    case RdpControlVariant::WXP60:
        return wxp60;
    default:
        return win7;
    }
}

QSize FallbackSize(const QSize &refused, const SessionVariantTraits &traits, std::size_t step) {
    const QSize limit = traits.sizeFallbacks.at(step);
    return {std::min(refused.width(), limit.width()), std::min(refused.height(), limit.height())};
}

DisplayPlan PlanDisplay(bool seamless, int desktopSizeIndex, std::uint32_t transparencyColour) {
    if (seamless) return {DisplayMode::Seamless, "Do seamless", true, transparencyColour, SeamlessWorkDir};
    if (profiles::IsFullScreenIndex(desktopSizeIndex))
        return {DisplayMode::FullScreen, "Do fullscreen", true, WindowWhite, {}};
    return {DisplayMode::Windowed, "Do not seamless", false, WindowWhite, {}};
}

QSize WindowedClientSize(int desktopSizeIndex, int desktopWidth, int desktopHeight) {
    if (const auto fixed = profiles::FixedDesktopSizeOf(desktopSizeIndex))
        return {fixed->width, fixed->height};
    const auto typed = [](int value) { return value >= 1 && value <= LargestTypedSize; };
    if (typed(desktopWidth) && typed(desktopHeight)) return {desktopWidth, desktopHeight};
    return DefaultWindowedSize;
}

Placement PlaceSessionWindow(DisplayMode mode, int desktopSizeIndex, int desktopWidth, int desktopHeight,
                             const QRect &monitor, const QRect &workArea) {
    if (mode == DisplayMode::Windowed)
        return {QRect(workArea.topLeft(), WindowedClientSize(desktopSizeIndex, desktopWidth, desktopHeight)),
                0, false};
    const QRect area =
        mode == DisplayMode::Seamless || desktopSizeIndex == profiles::DesktopSizeFullScreenTaskbar ? workArea
                                                                                                    : monitor;
    return {area, mode == DisplayMode::Seamless ? 3 * monitor.width() : 0, true,
            mode == DisplayMode::FullScreen && desktopSizeIndex == profiles::DesktopSizeFullScreen};
}

Placement PlaceAcrossMonitors(DisplayMode mode, int desktopSizeIndex, const QRect &bounds) {
    return {bounds, mode == DisplayMode::Seamless ? 3 * bounds.width() : 0, true,
            mode == DisplayMode::FullScreen && desktopSizeIndex == profiles::DesktopSizeFullScreen};
}

std::vector<MonitorDefinition> MonitorDefinitionsOf(const MonitorLayout &layout) {
    std::vector<MonitorDefinition> definitions;
    if (layout.monitors.size() < 2) return definitions;
    for (const SessionMonitor &monitor : layout.monitors)
        definitions.push_back({monitor.x, monitor.y, monitor.width, monitor.height, monitor.primary,
                               monitor.physicalWidthMm, monitor.physicalHeightMm});
    return definitions;
}

QRect NavigationBarArea(const QRect &homeMonitor, const MonitorLayout &layout) {
    const std::vector<QRect> areas = layout.LocalAreas();
    if (areas.empty()) return homeMonitor;
    for (const QRect &area : areas)
        if (area.intersects(homeMonitor)) return area;
    return areas.front();
}

int RemoteScalePercent(double screenScale) {
    int nearest = 100;
    for (const int percent : {100, 140, 180})
        if (std::abs(screenScale * 100 - percent) < std::abs(screenScale * 100 - nearest)) nearest = percent;
    return nearest;
}

bool IsDomainGiven(std::string_view domain) {
    return !domain.empty() && domain != "...";
}

std::string SessionCaption(const profiles::ProfileSettings &settings, const std::string &host) {
    return settings.userName.empty() ? host : settings.userName + " :: " + host;
}

bool ClipboardTurnedOffForComputer() {
    return Registry::ReadDword(Hive::LocalMachine, ApplicationKeyPath(), "DisableClipboard").value_or(0) != 0;
}

ConnectionSettings BuildConnectionSettings(const profiles::ProfileSettings &settings,
                                           const ConnectTarget &target, const DisplayPlan &display,
                                           QSize desktop) {
    ConnectionSettings connection;
    connection.server = target.host;
    connection.port = target.port;
    const bool domainGiven = IsDomainGiven(settings.domain);
    connection.domain = domainGiven ? settings.domain : std::string();
    connection.userName = domainGiven ? settings.domain + "\\" + settings.userName : settings.userName;
    connection.password = settings.password;
    connection.workDir = display.workDir;
    connection.desktopWidth = desktop.width();
    connection.desktopHeight = desktop.height();
    connection.colorDepth = profiles::ColorDepthOf(settings.colorsIndex);
    if (settings.windowsKeysIndex == 1 || settings.windowsKeysIndex == 2)
        connection.keyboardHookMode = static_cast<KeyboardHookMode>(settings.windowsKeysIndex);
    if (settings.soundIndex == 1 || settings.soundIndex == 2)
        connection.audioMode = static_cast<AudioMode>(settings.soundIndex);
    connection.redirectDrives = settings.connectDiskDrives;
    connection.redirectPrinters = settings.connectPrinters;
    connection.redirectPorts = settings.commPorts;
    connection.redirectSmartCards = settings.smartCards;
    connection.redirectClipboard = settings.redirectClipboard && !ClipboardTurnedOffForComputer();
    connection.bitmapPersistence = settings.bitmapCaching;
    using namespace PerformanceFlag;
    connection.performanceFlags = (settings.doSeamless || !settings.background ? NoWallpaper : 0u) |
                                  (!settings.themes ? NoThemes : 0u) |
                                  (!settings.windowDragging ? NoFullWindowDrag : 0u) |
                                  (!settings.animation ? NoMenuAnimations : 0u);
    connection.displayConnectionBar = settings.displayConnectionBar;
    connection.losslessScreen = settings.sharpText;
    return connection;
}

} // namespace tsc
