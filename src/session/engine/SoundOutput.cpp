#include "SoundOutput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace tsc::engine {

namespace {

bool IsSocket(const std::string &path) {
    struct stat status {};
    return !path.empty() && stat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool HasSoundServer() {
    const char *server = std::getenv("PULSE_SERVER");
    if (server && *server) return true; // a server named by the user, possibly on another host
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && IsSocket(std::string(runtime) + "/pulse/native")) return true;
    return IsSocket("/run/user/" + std::to_string(getuid()) + "/pulse/native");
}

// /proc/asound/cards lists one card per two lines, or says " --- no soundcards ---".
bool HasSoundCard() {
    std::ifstream cards("/proc/asound/cards");
    std::string line;
    if (!cards || !std::getline(cards, line)) return false;
    return line.find("no soundcards") == std::string::npos;
}

} // namespace

SoundOutputProbe ProbeSoundOutput() {
    return {HasSoundServer(), HasSoundCard()};
}

} // namespace tsc::engine
