#pragma once

// The client's positional parameters, kept exactly as given (before any
// expansion): 1 profile file, 2 server list file, 3 alternative profile file,
// 4 alternative server list file.

#include <string>
#include <vector>

namespace tsc::shell::CommandLine {

void SetParameters(std::vector<std::string> parameters);
[[nodiscard]] const std::vector<std::string> &Parameters();
// Parameter `number` counted from 1; empty when not given.
[[nodiscard]] std::string Parameter(std::size_t number);

// What the arguments ask of the program before any window exists.
enum class Request { Run, Help, Version };
[[nodiscard]] Request RequestOf(const std::vector<std::string> &parameters);
[[nodiscard]] std::string HelpText(const std::string &programName);

} // namespace tsc::shell::CommandLine
