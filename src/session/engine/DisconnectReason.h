#pragma once

// How the end of a session becomes the reason code of OnDisconnected.

#include <cstdint>

namespace tsc::engine {

struct SessionEnd {
    bool timedOut = false;           // the handshake did not finish in time
    bool aborted = false;            // Disconnect was called
    bool certificateRefused = false; // the server's certificate had changed
    bool connected = false;          // the session had become active
    std::uint32_t lastError = 0;     // freerdp_get_last_error
    std::uint32_t errorInfo = 0;     // the server's error info PDU
};

[[nodiscard]] int DisconnectReasonFor(const SessionEnd &end);

} // namespace tsc::engine
