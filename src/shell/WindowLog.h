#pragma once

// The log as the main window holds it: opened in FormCreate, written through the
// LogSink operations, stopped as the last step of FormDestroy. Each written line
// is also handed to the window as its display line for the Logging page.

#include "LogSink.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tsc::shell {

class WindowLog : public LogSink {
  public:
    // False when the file could not be opened: the window then tries elsewhere.
    [[nodiscard]] virtual bool IsActive() const = 0;
    // Writes the stop line and closes the file; later writes do nothing.
    virtual void Stop() = 0;
    // The log file itself, without the Logging page; nullptr when there is none.
    [[nodiscard]] virtual LogSink *FileOnly() { return nullptr; }
};

using DisplayLineSink = std::function<void(const std::string &line)>;
using LogOpener = std::function<std::unique_ptr<WindowLog>(const std::string &path, std::int64_t kilobytes,
                                                           DisplayLineSink displayLine)>;

} // namespace tsc::shell
