#include "SessionSettings.h"

#include <freerdp/client/cmdline.h>
#include <freerdp/constants.h>
#include <freerdp/settings.h>

#include <array>
#include <filesystem>
#include <string>

namespace tsc::engine {

namespace {

bool SetBool(rdpSettings *settings, size_t id, bool value) {
    return freerdp_settings_set_bool(settings, id, value ? TRUE : FALSE);
}

bool SetString(rdpSettings *settings, size_t id, const std::string &value) {
    return freerdp_settings_set_string(settings, id, value.empty() ? nullptr : value.c_str());
}

bool AddDevice(rdpSettings *settings, std::initializer_list<const char *> parameters) {
    std::array<char *, 5> argv{};
    size_t count = 0;
    for (const char *parameter : parameters)
        argv[count++] = const_cast<char *>(parameter);
    return freerdp_client_add_device_channel(settings, count, argv.data());
}

bool ApplyIdentity(rdpSettings *settings, const ConnectionSettings &session) {
    const Credentials credentials = SplitCredentials(session.domain, session.userName);
    return SetString(settings, FreeRDP_ServerHostname, session.server) &&
           freerdp_settings_set_uint32(settings, FreeRDP_ServerPort, static_cast<UINT32>(session.port)) &&
           SetString(settings, FreeRDP_Domain, credentials.domain) &&
           SetString(settings, FreeRDP_Username, credentials.userName) &&
           SetString(settings, FreeRDP_Password, session.password) &&
           SetString(settings, FreeRDP_ShellWorkingDirectory, session.workDir);
}

bool ApplyAudio(rdpSettings *settings, AudioMode mode) {
    return SetBool(settings, FreeRDP_AudioPlayback, mode == AudioMode::PlayHere) &&
           SetBool(settings, FreeRDP_RemoteConsoleAudio, mode == AudioMode::LeaveAtServer);
}

// The Windows control shares every local drive; here that is the home folder and
// all mounted media (which the library follows as they come and go).
bool ApplyRedirection(rdpSettings *settings, const ConnectionSettings &session) {
    if (session.redirectDrives) {
        if (!AddDevice(settings, {"drive", "home", "%"}) || !AddDevice(settings, {"drive", "media", "*"}))
            return false;
    }
    if (session.redirectPrinters && !AddDevice(settings, {"printer"})) return false;
    if (session.redirectSmartCards && !AddDevice(settings, {"smartcard"})) return false;
    if (session.redirectPorts) {
        if (!SetBool(settings, FreeRDP_RedirectSerialPorts, true)) return false;
        for (int index = 0; index < 4; ++index) {
            const std::string device = "/dev/ttyS" + std::to_string(index);
            const std::string name = "COM" + std::to_string(index + 1);
            std::error_code error;
            if (std::filesystem::exists(device, error) &&
                !AddDevice(settings, {"serial", name.c_str(), device.c_str()}))
                return false;
        }
    }
    const bool anyDevice = session.redirectDrives || session.redirectPrinters || session.redirectSmartCards ||
                           session.redirectPorts;
    // Every channel costs a channel join at every connect, so only what the
    // session uses is loaded: the clipboard only when shared, and the library
    // loads the device channel for network detection, heartbeat and
    // multi-transport alone (the last it does not implement in this version).
    return SetBool(settings, FreeRDP_RedirectClipboard, session.redirectClipboard) &&
           SetBool(settings, FreeRDP_NetworkAutoDetect, false) &&
           SetBool(settings, FreeRDP_SupportHeartbeatPdu, false) &&
           SetBool(settings, FreeRDP_SupportMultitransport, false) &&
           SetBool(settings, FreeRDP_RedirectDrives, session.redirectDrives) &&
           SetBool(settings, FreeRDP_RedirectPrinters, session.redirectPrinters) &&
           SetBool(settings, FreeRDP_RedirectSmartCards, session.redirectSmartCards) &&
           SetBool(settings, FreeRDP_DeviceRedirection, anyDevice);
}

bool ApplyPerformance(rdpSettings *settings, const ConnectionSettings &session) {
    if (!freerdp_settings_set_uint32(settings, FreeRDP_PerformanceFlags, session.performanceFlags))
        return false;
    freerdp_performance_flags_split(settings);
    return SetBool(settings, FreeRDP_BitmapCachePersistEnabled, session.bitmapPersistence);
}

bool ApplyGraphicsPipeline(rdpSettings *settings, bool on) {
    return SetBool(settings, FreeRDP_SupportGraphicsPipeline, on) && SetBool(settings, FreeRDP_GfxH264, on) &&
           SetBool(settings, FreeRDP_GfxAVC444, false) && SetBool(settings, FreeRDP_GfxAVC444v2, false) &&
           SetBool(settings, FreeRDP_GfxProgressive, false);
}

// Applied after everything else: a later setting (an "autodetect" connection type
// above all) would switch lossy codecs back on. The connection type stays unset for
// that reason, and because setting one rewrites the performance flags.
bool ApplyGraphics(rdpSettings *settings, const ConnectionSettings &session) {
    const GraphicsMode mode = ChooseGraphicsMode(session);
    const bool lossless = mode == GraphicsMode::Lossless;
    const UINT32 depth = mode == GraphicsMode::Bitmaps ? static_cast<UINT32>(session.colorDepth) : 32;
    return ApplyGraphicsPipeline(settings, mode == GraphicsMode::H264Graphics) &&
           SetBool(settings, FreeRDP_RemoteFxCodec, false) && SetBool(settings, FreeRDP_NSCodec, false) &&
           SetBool(settings, FreeRDP_JpegCodec, false) &&
           freerdp_settings_set_uint32(settings, FreeRDP_ColorDepth, depth) &&
           SetBool(settings, FreeRDP_DrawAllowDynamicColorFidelity, !lossless) &&
           SetBool(settings, FreeRDP_DrawAllowColorSubsampling, false);
}

// A session over several monitors tells the server each one (the client's monitor
// data; the library writes them relative to the primary). One monitor is told
// nothing beyond the desktop size, as before.
bool ApplyMonitors(rdpSettings *settings, const ConnectionSettings &session) {
    const auto &monitors = session.monitors;
    if (monitors.size() < 2) return SetBool(settings, FreeRDP_UseMultimon, false);
    if (monitors.size() > settings->MonitorDefArraySize || !settings->MonitorDefArray) return false;
    bool attributes = true;
    for (std::size_t index = 0; index < monitors.size(); ++index) {
        const MonitorDefinition &from = monitors[index];
        rdpMonitor &to = settings->MonitorDefArray[index];
        to = rdpMonitor{};
        to.x = from.x;
        to.y = from.y;
        to.width = from.width;
        to.height = from.height;
        to.is_primary = from.primary ? TRUE : FALSE;
        to.orig_screen = static_cast<UINT32>(index);
        to.attributes.physicalWidth = static_cast<UINT32>(from.physicalWidthMm);
        to.attributes.physicalHeight = static_cast<UINT32>(from.physicalHeightMm);
        to.attributes.orientation = 0; // landscape
        to.attributes.desktopScaleFactor = static_cast<UINT32>(session.scalePercent);
        to.attributes.deviceScaleFactor = static_cast<UINT32>(session.scalePercent);
        // The protocol takes physical sizes of 10 to 10000 mm, or none for every monitor.
        attributes = attributes && from.physicalWidthMm >= 10 && from.physicalWidthMm <= 10000 &&
                     from.physicalHeightMm >= 10 && from.physicalHeightMm <= 10000;
    }
    return freerdp_settings_set_uint32(settings, FreeRDP_MonitorCount,
                                       static_cast<UINT32>(monitors.size())) &&
           SetBool(settings, FreeRDP_UseMultimon, true) && SetBool(settings, FreeRDP_ForceMultimon, true) &&
           SetBool(settings, FreeRDP_SpanMonitors, false) &&
           SetBool(settings, FreeRDP_HasMonitorAttributes, attributes);
}

} // namespace

GraphicsMode ChooseGraphicsMode(const ConnectionSettings &session) {
    if (session.Seamless()) return GraphicsMode::Lossless;
    // Fewer colours are the user's request for a lighter session: plain bitmaps at
    // that depth. True colour goes through H.264, by far the cheapest for the client
    // and the network, unless the profile asks for exact text: H.264 4:2:0 halves the
    // colour resolution, so coloured text and thin lines arrive blurred and stay so.
    if (session.colorDepth < 24) return GraphicsMode::Bitmaps;
    return session.losslessScreen ? GraphicsMode::Lossless : GraphicsMode::H264Graphics;
}

Credentials SplitCredentials(const std::string &domain, const std::string &userName) {
    const auto separator = userName.find('\\');
    if (separator == std::string::npos) return {domain, userName};
    return {domain.empty() ? userName.substr(0, separator) : domain, userName.substr(separator + 1)};
}

bool ApplySessionSettings(rdpSettings *settings, const ConnectionSettings &session) {
    return ApplyIdentity(settings, session) &&
           freerdp_settings_set_uint32(settings, FreeRDP_DesktopWidth,
                                       static_cast<UINT32>(session.desktopWidth)) &&
           freerdp_settings_set_uint32(settings, FreeRDP_DesktopHeight,
                                       static_cast<UINT32>(session.desktopHeight)) &&
           freerdp_settings_set_uint32(settings, FreeRDP_DesktopScaleFactor,
                                       static_cast<UINT32>(session.scalePercent)) &&
           freerdp_settings_set_uint32(settings, FreeRDP_DeviceScaleFactor,
                                       static_cast<UINT32>(session.scalePercent)) &&
           freerdp_settings_set_uint32(settings, FreeRDP_OsMajorType, OSMAJORTYPE_UNIX) &&
           freerdp_settings_set_uint32(settings, FreeRDP_OsMinorType, OSMINORTYPE_NATIVE_XSERVER) &&
           ApplyMonitors(settings, session) && ApplyAudio(settings, session.audioMode) &&
           ApplyRedirection(settings, session) && ApplyPerformance(settings, session) &&
           ApplyGraphics(settings, session) &&
           // The server's auto-reconnect cookie is kept and shown again when the control
           // reconnects (the control runs the attempts itself, not the library).
           SetBool(settings, FreeRDP_AutoReconnectionEnabled, true);
}

} // namespace tsc::engine
