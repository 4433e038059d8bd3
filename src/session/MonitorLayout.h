#pragma once

// The monitors a session spans ("use multimon:i:1"), worked out from the local
// screens present at connect, apart from any window or display.
//
// Monitor ids ("selectedmonitors:s:1,0") are the ids the common Windows client lists
// with its "/l" switch: numbers from 0 in the order the system enumerates its
// monitors. Here they count the local screens from 0 in the order the desktop lists
// them: QGuiApplication::screens(), which on X11 is the order of `xrandr
// --listmonitors` (the primary monitor first, then the others in the server's
// order). A profile made on another computer may name ids that do not exist here;
// those are left out.
//
// The layout the server is told follows the protocol's rules: the session's primary
// monitor at 0,0 (the local primary, or the first selected id), every other monitor
// where it lies relative to it (negative coordinates left of or above it), at most
// 16 monitors, none overlapping another. The remote desktop is their bounding box,
// whose top-left is the session window's top-left.

#include <QRect>
#include <QSize>

#include <string>
#include <string_view>
#include <vector>

namespace tsc {

// The protocol's limits.
inline constexpr int MaxSessionMonitors = 16;
inline constexpr int MinMonitorSide = 200;
inline constexpr int MaxMonitorSide = 8192;
inline constexpr int MaxDesktopSide = 32766;

// One local screen as the connect procedure found it, in the screen's own pixels.
struct LocalScreen {
    QRect geometry; // the whole screen
    QRect workArea; // without the desktop's panels
    bool primary = false;
    QSize physicalMillimetres; // empty when unknown
};

// One monitor of the session as the server is told it.
struct SessionMonitor {
    int x = 0; // relative to the session's primary monitor
    int y = 0;
    int width = 0;
    int height = 0;
    bool primary = false;
    int physicalWidthMm = 0; // 0: unknown
    int physicalHeightMm = 0;
    int screenIndex = 0; // the local screen it stands for (its id)

    friend bool operator==(const SessionMonitor &, const SessionMonitor &) = default;
};

struct MonitorLayout {
    std::vector<SessionMonitor> monitors; // the primary first
    QRect localBounds;                    // the monitors' bounding box, local coordinates
    QPoint localOrigin;                   // the session's 0,0 in local coordinates
    // Screens left out, each with its reason, for the log.
    std::vector<std::string> leftOut;

    [[nodiscard]] QSize DesktopSize() const { return localBounds.size(); }
    // The monitors' areas in local coordinates.
    [[nodiscard]] std::vector<QRect> LocalAreas() const;
};

// The ids of "selectedmonitors": comma-separated decimal numbers, blanks around them
// allowed, in their order, each once. Anything that is not such a number is skipped.
[[nodiscard]] std::vector<int> ParseSelectedMonitors(std::string_view text);

// The session's monitors from the screens in the desktop's order. `selected` empty:
// every screen, the local primary as the session's primary; otherwise the screens
// with those ids, the first one as the session's primary (ids without a screen are
// left out; when none is left, every screen). `useWorkArea`: each monitor is its
// screen's work area rather than the whole screen.
[[nodiscard]] MonitorLayout PlanMonitorLayout(const std::vector<LocalScreen> &screens,
                                              const std::vector<int> &selected, bool useWorkArea);

// A one-line description of the layout for the log: "2 monitors: 0 1920x1080+0+0
// (primary), 1 1280x1024+1920+0".
[[nodiscard]] std::string DescribeMonitorLayout(const MonitorLayout &layout);

} // namespace tsc
