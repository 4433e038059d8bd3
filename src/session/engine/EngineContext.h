#pragma once

// The library's context of a session: rdpContext first, then the way back to the
// control that runs it. Shared by the engine's files that take the library's callbacks.

#include "FreeRdpControl.h"

#include <freerdp/freerdp.h>

#include <chrono>
#include <cstdint>

namespace tsc::engine {

struct EngineContext {
    rdpContext context;
    FreeRdpControl *control;
};

inline FreeRdpControl *ControlOf(rdpContext *context) {
    return reinterpret_cast<EngineContext *>(context)->control;
}

inline FreeRdpControl *ControlOf(freerdp *instance) {
    return ControlOf(instance->context);
}

// The steady clock in milliseconds, for the engine's own time stamps.
inline std::int64_t NowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace tsc::engine
