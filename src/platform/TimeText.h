#pragma once

#include <chrono>
#include <string>

namespace tsc {

// Local time now as DD-MM-YYYY HH:MM:SS.mmm (23 characters): the prefix of log lines.
[[nodiscard]] std::string TimeStampText();
// A given moment as DD-MM-YYYY HH:MM:SS; utc chooses UTC instead of local time.
[[nodiscard]] std::string DateTimeText(std::chrono::system_clock::time_point moment, bool utc = false);
// Local time now as DDMMYYYYHHMMSSmmm, for file names.
[[nodiscard]] std::string FileTimeStampText();

// Formats one moment; the three texts above are built on it.
[[nodiscard]] std::string FormatTimeText(std::chrono::system_clock::time_point moment, bool utc,
                                         bool separators, bool milliseconds);

} // namespace tsc
