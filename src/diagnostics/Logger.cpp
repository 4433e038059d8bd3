#include "Logger.h"

namespace tsc {

namespace {
// Marks the profile line that holds the protected password; it is never logged.
constexpr std::string_view PasswordMarker = "password 51";
} // namespace

void Logger::Open(std::unique_ptr<LogFile> log) {
    Stop();
    log_ = std::move(log);
}

void Logger::Stop() noexcept {
    try {
        if (log_) log_->Stop();
    } catch (...) {
    }
    log_.reset();
}

void Logger::SplitLines(std::string_view text, std::vector<std::string> &lines) {
    lines.clear();
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + (text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n' ? 2 : 1);
    }
}

void Logger::Log(Operation operation, std::string_view message) noexcept {
    try {
        if (!log_ || !log_->Active()) return;
        SplitLines(message, lineList_);
        for (const auto &line : lineList_) {
            if (line.empty() || line.find(PasswordMarker) != std::string::npos) continue;
            const std::string display = (log_.get()->*operation)(line);
            if (display_) display_(display);
        }
    } catch (...) {
        // Logging never raises to its caller.
    }
}

void Logger::LogInfo(std::string_view message) {
    Log(&LogFile::Info, message);
}
void Logger::LogWarning(std::string_view message) {
    Log(&LogFile::Warning, message);
}
void Logger::LogError(std::string_view message) {
    Log(&LogFile::Error, message);
}

} // namespace tsc
