#pragma once

// Shared pieces of the window tests: a private set of user folders for the process
// and a log that records what the window writes.

#include "ClientCore.h"
#include "WindowLog.h"

#include <QTemporaryDir>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace tsc::shell::testing {

// Points every folder the client uses into `root`.
inline void UsePrivateFolders(const QString &root) {
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CONFIG_DIRS"}) {
        const QString folder = root + "/" + name;
        ::setenv(name, folder.toLocal8Bit().constData(), 1);
    }
    ::setenv("TMPDIR", root.toLocal8Bit().constData(), 1);
    ::setenv("HOME", root.toLocal8Bit().constData(), 1);
    // The session's runtime folder is the user's alone, as a session manager makes it.
    const QByteArray runtime = (root + "/XDG_RUNTIME_DIR").toLocal8Bit();
    ::mkdir(runtime.constData(), 0700);
    ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
}

// Changes the core's settings the way a profile or the command line would.
template <typename Change> void ChangeSettings(ClientCore &core, Change change) {
    profiles::ProfileSettings settings = core.Settings();
    change(settings);
    core.SetSettings(settings);
}

struct LoggedLine {
    char level; // 'I', 'W', 'E'
    std::string text;
    bool operator==(const LoggedLine &) const = default;
};

class RecordingLog final : public WindowLog {
  public:
    explicit RecordingLog(std::vector<LoggedLine> &lines, DisplayLineSink display = {})
        : lines_(lines), display_(std::move(display)) {}
    bool IsActive() const override { return active_; }
    void Stop() override {
        lines_.push_back({'I', "Log stopped"});
        active_ = false;
    }
    void LogInfo(std::string_view message) override { Add('I', message); }
    void LogWarning(std::string_view message) override { Add('W', message); }
    void LogError(std::string_view message) override { Add('E', message); }

  private:
    void Add(char level, std::string_view message) {
        lines_.push_back({level, std::string(message)});
        if (display_) display_(std::string(message));
    }
    std::vector<LoggedLine> &lines_;
    DisplayLineSink display_;
    bool active_ = true;
};

} // namespace tsc::shell::testing
