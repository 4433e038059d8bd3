#pragma once

// The platform layer has no log of its own. What it has to report (a damaged
// registry or INI file kept aside, a hive that could not be written) waits here until
// the main window takes it and writes it to the log.

#include <string>
#include <vector>

namespace tsc {

// Returns the pending lines, oldest first, and forgets them.
[[nodiscard]] std::vector<std::string> TakePlatformDiagnostics();

namespace detail {
void AddPlatformDiagnostic(std::string line);
// Adds the line only the first time this key is seen, so a damaged file that is read
// again and again is reported once.
void AddPlatformDiagnosticOnce(const std::string &key, std::string line);
} // namespace detail

} // namespace tsc
