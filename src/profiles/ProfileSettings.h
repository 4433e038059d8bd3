#pragma once

// Everything a connection profile moves between its file and the main window: the
// values of the settings controls (first page, Settings page, RDP+ page) and the few
// fields of the main window that the profile touches. The member initialisers are
// the defaults InitSettings gives the controls, so a default-constructed value is
// the state of the window before any profile is read.
//
// The main window applies a ProfileSettings to its controls after ReadProfile and
// collects one from its controls before WriteProfile; the profile functions never
// see a widget.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace tsc::profiles {

// The constants of a connection's settings, each defined here once: the items of the
// size and colour lists as the profile stores them, the sizes and colour depths they
// stand for, and the limit of a typed size.

// Item indexes of cb_Desktopsize.
enum DesktopSizeIndex : int {
    DesktopSize640x480 = 0,
    DesktopSize800x600 = 1,
    DesktopSize1024x768 = 2,
    DesktopSize1152x864 = 3,
    DesktopSize1280x1024 = 4,
    DesktopSizeFullScreenTaskbar = 5,
    DesktopSizeFullScreen = 6,
    DesktopSizeWidthHeight = 7,
};
inline constexpr int DesktopSizeCount = 8;

struct DesktopSize {
    std::uint16_t width = 0;
    std::uint16_t height = 0;
};
// The sizes of the items DesktopSize640x480 to DesktopSize1280x1024, in item order.
inline constexpr std::array<DesktopSize, 5> FixedDesktopSizes{
    {{640, 480}, {800, 600}, {1024, 768}, {1152, 864}, {1280, 1024}}};

// The size an item of the size list sets; none for full screen, "Width x Height"
// and no selection.
[[nodiscard]] constexpr std::optional<DesktopSize> FixedDesktopSizeOf(int index) {
    if (index < 0 || index >= static_cast<int>(FixedDesktopSizes.size())) return std::nullopt;
    return FixedDesktopSizes[static_cast<std::size_t>(index)];
}
[[nodiscard]] constexpr bool IsFullScreenIndex(int index) {
    return index == DesktopSizeFullScreenTaskbar || index == DesktopSizeFullScreen;
}

// Item indexes of cb_Colors.
enum ColorsIndex : int {
    ColorsLow256 = 0,
    ColorsHigh15 = 1,
    ColorsHigh16 = 2,
    ColorsHighest24 = 3,
};
// Bits per pixel of the colour items, in item order.
inline constexpr std::array<int, 4> ColorDepths{8, 15, 16, 24};
inline constexpr int DefaultColorDepth = 15;
// The depth of a colour item; High Color (15 bit) for no item.
[[nodiscard]] constexpr int ColorDepthOf(int colorsIndex) {
    return colorsIndex >= 0 && colorsIndex < static_cast<int>(ColorDepths.size())
               ? ColorDepths[static_cast<std::size_t>(colorsIndex)]
               : DefaultColorDepth;
}

inline constexpr int DesktopSizeLimit = 20480; // largest width or height a size field accepts
inline constexpr const char *DefaultRdpPlusPort = "3391";

struct ProfileSettings {
    // First page.
    std::string userName;        // edit_UserName (InitSettings puts the logon name here)
    std::string password;        // edit_Password, plain text; the file holds it protected
    bool saveMyPassword = false; // cb_SaveMyPassword
    std::string domain;          // edit_Domain
    std::string host;            // Edit_Host

    // Settings page, options.
    bool doLoadBalancing = false;           // cb_DoLoadBalancing
    bool doAskLoadBalancingHostname = true; // cb_DoAskLoadBalancingHostname (disabled control)
    bool doSeamless = false;                // cb_DoSeamless
    // "<prefix>_sharptext:s:yes": the screen of an ordinary true-colour session comes
    // without loss (plain bitmaps, 32 bits), so text and edges stay exact, at the cost
    // of much more network traffic while the screen moves. Written only when set.
    bool sharpText = false;
    bool doRdpPlus = false;    // cb_DoRDPPlus
    bool doSslGateway = false; // cb_DoSSLGateway
    // Reading a profile switches RDP+ and SSL off: cb_DoRDPPlus, cb_DoSSLGateway and
    // cbx_SelectCert disabled, the TabSheet_RDPPlus tab hidden.
    bool rdpPlusControlsEnabled = true;
    bool rdpPlusPageVisible = true;

    // Settings page, display (Panel_Settings1).
    int desktopSizeIndex = DesktopSizeFullScreen; // cb_Desktopsize
    std::uint16_t desktopWidth = 0;               // DesktopWidth; 0 means "not set"
    std::uint16_t desktopHeight = 0;              // DesktopHeight
    bool displayConnectionBar = true;             // cb_DisplayConnectionBar
    int colorsIndex = ColorsHigh15;               // cb_Colors

    // Settings page, local resources (Panel_Settings2).
    int soundIndex = 0;             // cb_Sound: bring to this computer, leave at server, do not play
    int windowsKeysIndex = 1;       // cb_WindowsKeys: local, server, server only in full screen
    bool connectDiskDrives = false; // cb_ConnectDiskDrives
    bool connectPrinters = false;   // cb_ConnectPrinters
    bool commPorts = false;         // cb_CommPorts
    bool smartCards = false;        // cb_SmartCards
    // "redirectclipboard:i:0" in the profile turns the shared clipboard off. No box
    // shows it and the profile writer leaves the line as the file has it.
    bool redirectClipboard = true;
    // "smart sizing:i:1": a windowed session's picture is scaled to the window. No
    // box shows it either; the writer leaves the line as the file has it.
    bool smartSizing = false;
    // "use multimon:i:1": a full-screen or seamless session spans the monitors, those
    // "selectedmonitors:s:..." names (ids as the common Windows client lists them), or
    // all. No box shows them and the profile writer leaves their lines as they are.
    bool useMultimon = false;
    std::string selectedMonitors;

    // Settings page, performance (Panel_Settings3).
    bool bitmapCaching = true;   // cb_Bitmapcaching
    bool themes = false;         // cb_Themes
    bool animation = false;      // cb_Animation
    bool windowDragging = false; // cb_WindowDragging
    bool background = false;     // cb_Background ("Show Desktop background")

    // Main-window state the profile touches.
    bool autoConnect = false;     // AutoConnect: the profile came from command-line parameter 1
    bool hideSettings = false;    // HideSettings: AppPrefix + "_hidesettings"
    bool profileReadOnly = false; // ProfileReadOnly: the profile last read is read-only
    std::string rdpPlusPort = DefaultRdpPlusPort; // RdpPlusPort: AppPrefix + "_rdpplusport"

    // Written only: the farm server chosen by the server list (used while load
    // balancing is on) and its domain (label_Domain1, "..." when unknown).
    std::string selectedServerHost; // SelectedServerHost
    std::string selectedServerPort; // SelectedServerPort
    std::string farmServerDomain;   // label_Domain1
};

} // namespace tsc::profiles
