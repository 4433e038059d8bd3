// Writes a profile the way the client does, for the end-to-end check with FreeRDP's
// own reader: profile_writer_tool FILE HOST:PORT USER [PASSWORD]. With a password it
// is saved protected with the user's key, as the client saves it (for the benches).
#include "LogSink.h"
#include "ProtectionService.h"
#include "RdpProfile.h"

#include <cstdio>

namespace {
class StderrLog : public tsc::LogSink {
  public:
    void LogInfo(std::string_view) override {}
    void LogWarning(std::string_view m) override {
        std::fprintf(stderr, "W %.*s\n", int(m.size()), m.data());
    }
    void LogError(std::string_view m) override { std::fprintf(stderr, "E %.*s\n", int(m.size()), m.data()); }
};
} // namespace

int main(int argc, char **argv) {
    if (argc != 4 && argc != 5) return 2;
    tsc::profiles::ProfileSettings settings;
    settings.host = argv[2];
    settings.userName = argv[3];
    settings.desktopSizeIndex = tsc::profiles::DesktopSize800x600;
    settings.colorsIndex = tsc::profiles::ColorsHigh16;
    StderrLog log;
    tsc::profiles::ProtectionService protection(tsc::profiles::ProtectionService::DefaultKeyFile());
    tsc::profiles::ProfileEnvironment environment;
    if (argc == 5) {
        settings.password = argv[4];
        settings.saveMyPassword = true;
        environment.protection = &protection;
    }
    const auto result = tsc::profiles::WriteProfile(argv[1], "e2e", settings, environment, log);
    return result.written ? 0 : 1;
}
