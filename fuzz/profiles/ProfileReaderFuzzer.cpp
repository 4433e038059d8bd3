// Feeds arbitrary bytes to the profile reader: decoding, key lookup, integer
// reading, the password path and the log filter.
#include "LogSink.h"
#include "PasswordProtection.h"
#include "ProfileText.h"
#include "RdpProfile.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

class NullLog : public tsc::LogSink {
  public:
    void LogInfo(std::string_view) override {}
    void LogWarning(std::string_view) override {}
    void LogError(std::string_view) override {}
};

std::string KeyFile() {
    static char folder[] = "/tmp/tsc-profile-fuzz-XXXXXX";
    if (!::mkdtemp(folder)) std::abort();
    return std::string(folder) + "/protection.key";
}

tsc::profiles::ProtectionService &Service() {
    static tsc::profiles::ProtectionService service(KeyFile());
    return service;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size >= tsc::profiles::ProfileSizeLimit) return 0; // the reader never parses these
    NullLog log;
    tsc::profiles::ProfileEnvironment environment;
    environment.protection = &Service();
    environment.passwordLog = &log;
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const auto decoded = tsc::profiles::DecodeProfileBytes(bytes);
    tsc::profiles::ProfileSettings settings;
    settings.saveMyPassword = true;
    tsc::profiles::ApplyProfileText(decoded.text, settings, environment);
    const std::string loggable = tsc::profiles::LoggableProfileText(decoded.text);
    if (tsc::profiles::LowerAscii(loggable).find("password 51") != std::string::npos) std::abort();
    if (settings.desktopWidth == 0 || settings.desktopWidth > 20480) std::abort();
    // What was read must survive writing: the lines encode and decode again.
    (void)tsc::profiles::DecodeProfileBytes(
        tsc::profiles::EncodeProfileLines(tsc::profiles::ProfileLines(settings, environment, nullptr)));
    return 0;
}
