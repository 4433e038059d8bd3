#pragma once

// How one connection's settings become the protocol library's settings. Runs on
// whichever thread calls it; touches nothing but the settings it is given.

#include "ConnectionSettings.h"

#include <string>

#include <freerdp/settings.h>

namespace tsc::engine {

// Which picture the session asks the server for.
enum class GraphicsMode {
    H264Graphics, // graphics pipeline, H.264 4:2:0: least client CPU and bandwidth
    Bitmaps,      // plain bitmap updates at the requested colour depth
    Lossless,     // 32-bit bitmaps, no lossy codec anywhere: the seamless key colour survives
};

[[nodiscard]] GraphicsMode ChooseGraphicsMode(const ConnectionSettings &session);

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
[[nodiscard]] bool ApplySessionSettings(rdpSettings *settings, const ConnectionSettings &session);

} // namespace tsc::engine
