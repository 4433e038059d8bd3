#pragma once

// One connection as the engine takes it: built once by the connect procedure
// (BuildConnectionSettings in ConnectPlan.h) from the profile's settings and the
// session window's plan, and handed to RdpControl::Connect whole. Plain values,
// nothing of the protocol library.

#include <cstdint>
#include <string>
#include <vector>

namespace tsc {

inline constexpr int DefaultRdpPort = 3389;
// The work folder that asks the server for the seamless desktop. Its key colour must
// reach the client exactly, so such a session uses lossless codecs only.
inline constexpr char SeamlessWorkDir[] = "V001C002";

// What happens to the Windows key combinations (the "Windows keys" list).
enum class KeyboardHookMode { Local = 0, Remote = 1, RemoteInFullScreen = 2 };
// Where the session's sound plays (the "Sound" list).
enum class AudioMode { PlayHere = 0, LeaveAtServer = 1, DoNotPlay = 2 };

// Performance flags the server honours: what it leaves out of the picture.
namespace PerformanceFlag {
inline constexpr std::uint32_t NoWallpaper = 1;
inline constexpr std::uint32_t NoFullWindowDrag = 2;
inline constexpr std::uint32_t NoMenuAnimations = 4;
inline constexpr std::uint32_t NoThemes = 8;
} // namespace PerformanceFlag

// One monitor of a session that spans several: where it lies relative to the
// session's primary monitor (which is at 0,0), in the screen's pixels.
struct MonitorDefinition {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool primary = false;
    int physicalWidthMm = 0; // 0: unknown
    int physicalHeightMm = 0;
};

struct ConnectionSettings {
    std::string server;
    int port = DefaultRdpPort;
    std::string domain;   // empty: none
    std::string userName; // "domain\user" when a domain is given
    std::string password; // empty: the server asks
    std::string workDir;  // SeamlessWorkDir for the seamless desktop
    int desktopWidth = 1024;
    int desktopHeight = 768;
    int colorDepth = 16; // 8, 15, 16, 24 or 32
    KeyboardHookMode keyboardHookMode = KeyboardHookMode::Local;
    AudioMode audioMode = AudioMode::PlayHere;
    bool bitmapPersistence = false; // keep the bitmap cache on disk between sessions
    bool redirectDrives = false;
    bool redirectPrinters = false;
    bool redirectPorts = false;
    bool redirectSmartCards = false;
    bool redirectClipboard = false;     // share the clipboard (the channel is loaded only then)
    std::uint32_t performanceFlags = 0; // PerformanceFlag bits
    bool displayConnectionBar = false;  // the navigation bar in full screen (the client's own)
    bool losslessScreen = false;        // true colour without a lossy codec (sharp text)
    // The scale the server draws its desktop at, in percent: 100, 140 or 180. The
    // desktop size is in the screen's own pixels whatever the scale.
    int scalePercent = 100;
    // The monitors the session spans, the primary first; the desktop size is their
    // bounding box. Empty: one monitor of the desktop size.
    std::vector<MonitorDefinition> monitors;

    [[nodiscard]] bool Seamless() const { return workDir == SeamlessWorkDir; }

    // Overwrites the password's characters before they are released, so no copy of
    // it stays behind in freed memory.
    void WipePassword() {
        volatile char *characters = password.data();
        for (std::size_t index = 0; index < password.size(); ++index)
            characters[index] = 0;
        password.clear();
    }
};

} // namespace tsc
