#pragma once

// The decisions of the connect procedure, apart from any window: where to connect,
// which session window variant, which display mode, where the session window goes
// and which value each control property gets. The application core's connect
// procedure applies what these functions return to the session window and control.

#include "ConnectionSettings.h"
#include "MonitorLayout.h"
#include "ProfileSettings.h"
#include "RdpClientDetection.h"

#include <QRect>
#include <QSize>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tsc {

struct ConnectTarget {
    std::string host;
    int port = DefaultRdpPort;
};

// The host typed into Edit_Host: the part before the first ":" is the host; at most
// five characters after it are the port, which falls back to 3389 when missing, not
// a number, or outside 10..65534.
[[nodiscard]] ConnectTarget TargetFromHostField(std::string_view hostField);
// The server the Farm named: host up to the first ":", port as a decimal number
// (3389 when it is none).
[[nodiscard]] ConnectTarget TargetFromSelectedServer(std::string_view selectedServerHost,
                                                     std::string_view selectedServerPort);

// What distinguishes the three session window variants.
struct SessionVariantTraits {
    RdpControlVariant variant;
    const char *windowClassName; // Tform_win7_61_RDPObject, ...
    const char *profileTag;      // written with the profile when the session ends
    const char *closeName;       // "RDP 6.1" in the shutdown lines
    std::vector<QSize> sizeFallbacks;
};
[[nodiscard]] const SessionVariantTraits &TraitsOf(RdpControlVariant variant);
// The order in which shutdown visits the variants.
inline constexpr RdpControlVariant SessionVariants[] = {RdpControlVariant::WXP51, RdpControlVariant::WXP60,
                                                        RdpControlVariant::Win7_61};
[[nodiscard]] constexpr int SessionVariantIndex(RdpControlVariant variant) {
    return variant == RdpControlVariant::WXP51 ? 0 : variant == RdpControlVariant::WXP60 ? 1 : 2;
}

// The size that follows a refused one: each dimension lowered to the next fall-back
// of the variant, never raised. `step` counts the refusals so far (0 = first).
[[nodiscard]] QSize FallbackSize(const QSize &refused, const SessionVariantTraits &traits, std::size_t step);

enum class DisplayMode { Windowed, FullScreen, Seamless };

// A colour as 0xRRGGBB from the Windows order 0x00BBGGRR the platform keeps it in
// (the swap is its own inverse).
[[nodiscard]] constexpr std::uint32_t RgbFromColorRef(std::uint32_t colorRef) {
    return ((colorRef & 0xFFu) << 16) | (colorRef & 0xFF00u) | ((colorRef >> 16) & 0xFFu);
}

inline constexpr std::uint32_t WindowWhite = 0xFFFFFF;

struct DisplayPlan {
    DisplayMode mode = DisplayMode::Windowed;
    const char *logLine = "Do not seamless";
    bool frameless = false;
    std::uint32_t windowColour = WindowWhite; // 0xRRGGBB
    std::string workDir;
};
// `transparencyColour` is the key colour as 0xRRGGBB.
[[nodiscard]] DisplayPlan PlanDisplay(bool seamless, int desktopSizeIndex, std::uint32_t transparencyColour);

// The client rectangle of the session window. For a seamless window this is where
// it shows once the overlay is found; it starts `seamlessShift` pixels further left.
struct Placement {
    QRect client;
    int seamlessShift = 0;
    bool usesClientOrigin = false; // false: `client.topLeft()` is the window frame's top-left
    // "Full Screen" on the whole monitor: the window manager is asked for full screen
    // too (EWMH), as some place and size a window only on that request.
    bool wholeMonitor = false;
};
[[nodiscard]] Placement PlaceSessionWindow(DisplayMode mode, int desktopSizeIndex, int desktopWidth,
                                           int desktopHeight, const QRect &monitor, const QRect &workArea);
// Client sizes of the windowed display for the fixed size items, and the typed size.
[[nodiscard]] QSize WindowedClientSize(int desktopSizeIndex, int desktopWidth, int desktopHeight);

// Several monitors ("use multimon"): a full-screen or seamless session spans the
// monitors of the layout planned at connect; a windowed one stays in its window.
[[nodiscard]] constexpr bool SpansMonitors(bool useMultimon, DisplayMode mode) {
    return useMultimon && mode != DisplayMode::Windowed;
}
// Each monitor is its screen's work area where one monitor would be (seamless and
// "Full Screen with taskbar"), the whole screen for "Full Screen".
[[nodiscard]] constexpr bool MonitorsUseWorkArea(DisplayMode mode, int desktopSizeIndex) {
    return mode == DisplayMode::Seamless || desktopSizeIndex == profiles::DesktopSizeFullScreenTaskbar;
}
// The session window over the monitors of `layout`, whose bounding box is `bounds` in
// the toolkit's coordinates. A seamless window starts left of every monitor.
[[nodiscard]] Placement PlaceAcrossMonitors(DisplayMode mode, int desktopSizeIndex, const QRect &bounds);
// What the server is told of `layout`: nothing for a single monitor.
[[nodiscard]] std::vector<MonitorDefinition> MonitorDefinitionsOf(const MonitorLayout &layout);
// Where the navigation bar of a session over `layout` sits, in local coordinates: on
// the monitor it sits on with one monitor (`homeMonitor`, the one nearest the main
// window) when the session spans it, else on the session's primary monitor.
[[nodiscard]] QRect NavigationBarArea(const QRect &homeMonitor, const MonitorLayout &layout);

// Whether the session takes the whole keyboard while it has the focus: in full
// screen with the Windows keys applied to the server. Elsewhere the local desktop
// keeps its shortcuts, as the setting says.
[[nodiscard]] constexpr bool GrabsKeyboard(DisplayMode mode, KeyboardHookMode hook) {
    return mode == DisplayMode::FullScreen && hook == KeyboardHookMode::Remote;
}

// The scale the server is told for a screen at `screenScale` times 96 pixels per
// inch: the nearest of the scales servers know, 100, 140 and 180 %.
[[nodiscard]] int RemoteScalePercent(double screenScale);

// The caption of a session: "user :: host", or the host alone.
[[nodiscard]] std::string SessionCaption(const profiles::ProfileSettings &settings, const std::string &host);

// Whether an administrator turned the shared clipboard off for every session of this
// computer: a DWORD "DisableClipboard" other than 0 under the application's key of
// HKEY_LOCAL_MACHINE.
[[nodiscard]] bool ClipboardTurnedOffForComputer();

// The one value a session is started with: the profile's settings, the target, the
// display plan (its work folder) and the desktop size the control accepted.
[[nodiscard]] ConnectionSettings BuildConnectionSettings(const profiles::ProfileSettings &settings,
                                                         const ConnectTarget &target,
                                                         const DisplayPlan &display, QSize desktop);
// A domain of "..." stands for no domain.
[[nodiscard]] bool IsDomainGiven(std::string_view domain);

} // namespace tsc
