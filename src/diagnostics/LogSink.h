#pragma once

#include <string_view>

namespace tsc {

// What every part of the client logs through: the main window's LogInfo,
// LogWarning and LogError. A message may hold several lines; the implementation
// splits them, drops lines that carry a protected password and never throws.
class LogSink {
  public:
    virtual ~LogSink() = default;
    virtual void LogInfo(std::string_view message) = 0;
    virtual void LogWarning(std::string_view message) = 0;
    virtual void LogError(std::string_view message) = 0;
};

} // namespace tsc
