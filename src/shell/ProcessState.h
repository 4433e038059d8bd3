#pragma once

// Process-wide run state of the client. The closing flag is also read by the
// update thread, so it is atomic; it only ever goes from false to true.

#include <string>

namespace tsc::shell::ProcessState {

[[nodiscard]] bool Closing();
void SetClosing();
[[nodiscard]] bool ShuttingDown();
void SetShuttingDown();

// The verified newer copy to start after the message loop (empty: none), and its
// version text. Set by the self-update decision at start-up.
[[nodiscard]] const std::string &PendingStartPath();
[[nodiscard]] const std::string &PendingStartVersion();
void SetPendingStart(std::string path, std::string version);

} // namespace tsc::shell::ProcessState
