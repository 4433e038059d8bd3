#pragma once

// The rules behind the settings controls of the main window: item lists with their
// language-table identifiers, defaults, the size fields' validation and the page
// height rule. Plain data and functions; the window applies them to its controls.

#include "ProfileSettings.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tsc::shell {

struct ListItem {
    const char *text;       // built-in text, shown when the language table has none
    const char *identifier; // language-table identifier under prefix "004"; empty: never translated
};

inline constexpr const char *SettingsTextPrefix = "004";

// In the order of profiles::DesktopSizeIndex.
inline constexpr std::array<ListItem, profiles::DesktopSizeCount> DesktopSizeItems{{
    {"640 x 480", ""},
    {"800 x 600", ""},
    {"1024 x 768", ""},
    {"1152 x 864", ""},
    {"1280 x 1024", ""},
    {"Full Screen - taskbar", "00000230"},
    {"Full Screen", "00000231"},
    {"Width x Height", "00000232"},
}};

inline constexpr std::array<ListItem, 4> ColorItems{{
    {"Low Color (256 Colors)", "00000240"},
    {"High Color (15 bit)", "00000241"},
    {"High Color (16 bit)", "00000242"},
    {"Highest Color (24 bit)", "00000243"},
}};

inline constexpr std::array<ListItem, 3> SoundItems{{
    {"Bring to this computer", "00000250"},
    {"Leave at server", "00000251"},
    {"Do not play", "00000252"},
}};

inline constexpr std::array<ListItem, 3> WindowsKeyItems{{
    {"Apply Windows key to this computer", "00000260"},
    {"Apply Windows key to the server", "00000261"},
    {"Apply Windows key to the server, only when Full Screen", "00000262"},
}};

inline constexpr std::array<ListItem, 4> PrintFileItems{{
    {"Leave print files on the Server", "00000270"},
    {"Copy print files to this Client", "00000271"},
    {"Move print files to this Client", "00000272"},
    {"Print print files on this Client", "00000273"},
}};

// The two size fields differ only in the value they fall back to.
enum class SizeField { Width, Height };
using profiles::DesktopSizeLimit;
using profiles::IsFullScreenIndex;

// The size fields can be typed into only for "Width x Height".
[[nodiscard]] constexpr bool SizeFieldsEnabled(int index) {
    return index == profiles::DesktopSizeWidthHeight;
}
[[nodiscard]] const char *SizeFieldFallbackText(SizeField field);

// What a change of a size field's text does.
struct SizeFieldOutcome {
    enum class Action {
        Nothing,     // empty text: nothing changes
        Store,       // a valid size: store `value`
        EmptyField,  // invalid while a full-screen item is selected: empty the field
        UseFallback, // invalid otherwise: the field shows `text`, `value` is stored
    } action = Action::Nothing;
    std::uint16_t value = 0;
    std::string text;
};
[[nodiscard]] SizeFieldOutcome CheckSizeField(std::string_view text, int selectedIndex, SizeField field);

// Page height rule. Sizes were designed at 96 pixels per inch; an 88-pixel band of
// the window does not scale, so S(x) = x*P/96 - (88*P/96 - 88), in integer steps.
inline constexpr int DesignPixelsPerInch = 96;
inline constexpr int UnscaledBand = 88;
[[nodiscard]] constexpr int ScaledHeight(int x, int pixelsPerInch) {
    return x * pixelsPerInch / DesignPixelsPerInch -
           (UnscaledBand * pixelsPerInch / DesignPixelsPerInch - UnscaledBand);
}

struct WindowHeights {
    int minimum = 0;
    int height = 0;
};
// Heights for the active page: the first page and the support page get a fixed
// short window (taller by the connection selector in multiple-connection usage),
// every other page at least the full height.
[[nodiscard]] WindowHeights PageHeights(bool shortPage, bool multipleConnections, int selectorPanelHeight,
                                        int currentHeight, int pixelsPerInch);

// Keeps a window on the first monitor: the new top of a window that reaches below
// the monitor's height.
[[nodiscard]] int TopOnFirstMonitor(int monitorTop, int monitorHeight, int windowTop, int windowHeight);

} // namespace tsc::shell
