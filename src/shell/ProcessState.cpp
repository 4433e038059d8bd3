#include "ProcessState.h"

#include <atomic>

namespace tsc::shell::ProcessState {
namespace {
std::atomic<bool> closing{false};
bool shuttingDown = false; // user-interface thread only
std::string pendingStartPath;
std::string pendingStartVersion;
} // namespace

bool Closing() {
    return closing.load(std::memory_order_acquire);
}
void SetClosing() {
    closing.store(true, std::memory_order_release);
}
bool ShuttingDown() {
    return shuttingDown;
}
void SetShuttingDown() {
    shuttingDown = true;
}
const std::string &PendingStartPath() {
    return pendingStartPath;
}
const std::string &PendingStartVersion() {
    return pendingStartVersion;
}
void SetPendingStart(std::string path, std::string version) {
    pendingStartPath = std::move(path);
    pendingStartVersion = std::move(version);
}

} // namespace tsc::shell::ProcessState
