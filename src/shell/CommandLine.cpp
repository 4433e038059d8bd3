#include "CommandLine.h"

namespace tsc::shell::CommandLine {
namespace {
std::vector<std::string> stored;
} // namespace

void SetParameters(std::vector<std::string> parameters) {
    stored = std::move(parameters);
}
const std::vector<std::string> &Parameters() {
    return stored;
}
std::string Parameter(std::size_t number) {
    return number >= 1 && number <= stored.size() ? stored[number - 1] : std::string{};
}

Request RequestOf(const std::vector<std::string> &parameters) {
    // Only a lone option counts: any other first argument is a profile path.
    if (parameters.size() != 1) return Request::Run;
    if (parameters[0] == "--help") return Request::Help;
    if (parameters[0] == "--version") return Request::Version;
    return Request::Run;
}

std::string HelpText(const std::string &programName) {
    return "Usage: " + programName +
           " [profile [server-list [alternative-profile [alternative-server-list]]]]\n"
           "\n"
           "  profile                  connection profile (.rdp); when it exists it is read and\n"
           "                           the client connects at once; the profile is saved here\n"
           "  server-list              server list file, read when it exists and written to\n"
           "  alternative-profile      profile read when the first one does not exist\n"
           "  alternative-server-list  server list read when the second one does not exist\n"
           "\n"
           "Parameters may hold %NAME% environment references and &XX hexadecimal escapes.\n"
           "\n"
           "  --help                   show this text\n"
           "  --version                show the client's version\n";
}

} // namespace tsc::shell::CommandLine
