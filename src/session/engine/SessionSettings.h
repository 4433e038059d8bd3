#pragma once

// The control's properties as one session uses them, and how they become the
// protocol library's settings. Runs on whichever thread calls it; touches nothing
// but the settings it is given.

#include <cstdint>
#include <string>

#include <freerdp/settings.h>

namespace tsc::engine {

// The work folder that asks the server for the seamless desktop; its key colour
// must reach the client exactly, so such a session uses lossless codecs only.
inline constexpr char SeamlessWorkDir[] = "V001C002";

struct SessionSettings {
    std::string server;
    int port = 3389;
    std::string domain;
    std::string userName;
    std::string password;
    std::string workDir;
    int desktopWidth = 1024;
    int desktopHeight = 768;
    int colorDepth = 16;
    int keyboardHookMode = 0;
    int audioRedirectionMode = 0;
    bool soundOutputAvailable = true; // mode 0 plays here only when this computer can play sound
    bool bitmapPersistence = false;
    bool redirectDrives = false;
    bool redirectPrinters = false;
    bool redirectPorts = false;
    bool redirectSmartCards = false;
    std::uint32_t performanceFlags = 0;

    [[nodiscard]] bool Seamless() const { return workDir == SeamlessWorkDir; }
};

// Which picture the session asks the server for.
enum class GraphicsMode {
    H264Graphics, // graphics pipeline, H.264 4:2:0: least client CPU and bandwidth
    Bitmaps,      // plain bitmap updates at the requested colour depth
    Lossless,     // 32-bit bitmaps, no lossy codec anywhere: the seamless key colour survives
};

[[nodiscard]] GraphicsMode ChooseGraphicsMode(const SessionSettings &session);

// The user name as the server gets it: "domain\user" splits into its two parts
// unless a domain is given separately.
struct Credentials {
    std::string domain;
    std::string userName;
};
[[nodiscard]] Credentials SplitCredentials(const std::string &domain, const std::string &userName);

// Fills `settings` from `session`. Returns false when the library refuses a value.
// Devices for redirection are added here; the channels themselves are loaded by the
// library from these settings at pre-connect.
[[nodiscard]] bool ApplySessionSettings(rdpSettings *settings, const SessionSettings &session);

} // namespace tsc::engine
