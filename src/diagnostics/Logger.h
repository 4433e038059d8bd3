#pragma once

// LogInfo, LogWarning and LogError of the main window: each splits a message into
// lines, drops empty lines and lines holding a protected password, writes the
// rest to the log file and hands each display line to the Logging page.

#include "LogFile.h"
#include "LogSink.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tsc {

class Logger final : public LogSink {
  public:
    using DisplayLine = std::function<void(const std::string &)>;

    Logger() = default;
    explicit Logger(std::unique_ptr<LogFile> log) : log_(std::move(log)) {}

    // Takes the log file; an older one is stopped first.
    void Open(std::unique_ptr<LogFile> log);
    // Where display lines go (the Logging page); empty for none.
    void SetDisplay(DisplayLine display) { display_ = std::move(display); }
    // The log file itself, for lines that go to the file but not to the page;
    // nullptr when the client runs without a log.
    [[nodiscard]] LogFile *File() const { return log_.get(); }
    // Stops the log and forgets it; the wrappers do nothing afterwards.
    void Stop() noexcept;

    void LogInfo(std::string_view message) override;
    void LogWarning(std::string_view message) override;
    void LogError(std::string_view message) override;

    // Splits text at CR LF, CR or LF.
    static void SplitLines(std::string_view text, std::vector<std::string> &lines);

  private:
    using Operation = std::string (LogFile::*)(std::string_view);
    void Log(Operation operation, std::string_view message) noexcept;

    std::unique_ptr<LogFile> log_;
    std::vector<std::string> lineList_;
    DisplayLine display_;
};

} // namespace tsc
