#pragma once

// What a session window needs from the main window. The main window implements it;
// the session window never sees the main window's class.

#include "LogSink.h"

#include <string>

namespace tsc {

class SessionHost : public LogSink {
  public:
    // cb_DoSeamless as it is checked now.
    [[nodiscard]] virtual bool DoSeamless() const = 0;
    // AutoConnect: the session was started from the command line.
    [[nodiscard]] virtual bool AutoConnected() const = 0;
    // The process is shutting down: session windows neither log nor act.
    [[nodiscard]] virtual bool ShuttingDown() const = 0;
    virtual void SetTitles(const std::string &text) = 0;
    virtual void ResetTitles() = 0;
    virtual void SaveCurrentProfile(const std::string &tag) = 0;
    virtual void StartUpdateCheck(const std::string &host) = 0;
    // The session ended after an automatic connect: two close requests to the main
    // window and Timer_AutoClose.
    virtual void CloseAfterAutoConnect() = 0;
    virtual void ShowMainWindow() = 0;
    virtual void CloseMainWindow() = 0;
};

} // namespace tsc
