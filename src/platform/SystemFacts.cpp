#include "Registry.h"
#include "SystemInfo.h"

#include <cstdio>
#include <ctime>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace tsc {

namespace {

constexpr std::uint32_t DefaultTransparencyColor = 0x00FF00FF; // red 255, green 0, blue 255

// The kernel release ("6.1.0-18-amd64") as major << 16 | minor; 0 when unreadable.
std::uint32_t KernelVersion() {
    utsname names{};
    if (::uname(&names) != 0) return 0;
    unsigned major = 0, minor = 0;
    if (std::sscanf(names.release, "%u.%u", &major, &minor) < 1) return 0;
    return (static_cast<std::uint32_t>(major & 0xFFFF) << 16) | (minor & 0xFFFF);
}

} // namespace

std::uint32_t TransparencyColor() {
    return Registry::ReadDword(Hive::LocalMachine, ApplicationKeyPath(), "Transparancy color")
        .value_or(DefaultTransparencyColor);
}

std::uint32_t RealOSVersion() {
    return KernelVersion();
}
std::uint32_t OSVersion() {
    return KernelVersion();
}

// Native build for its processor: there is no second registry view to choose.
bool IsWin64() {
    return false;
}

std::string LogonUserName() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        found->pw_name == nullptr)
        return {};
    std::string name = found->pw_name;
    if (name.size() > 255) name.resize(255);
    return name;
}

bool IsAdministrator() {
    return ::geteuid() == 0;
}

std::string ExecutablePath() {
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::uint32_t TickCount() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto milliseconds =
        static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(milliseconds);
}

} // namespace tsc
