#pragma once

// A session window's host that keeps its log lines ("I ...", "W ...", "E ...", one per
// line) and otherwise does nothing: a windowed session that no main window owns.

#include "SessionHost.h"

#include <string>
#include <string_view>

namespace tsc::test {

class QuietHost final : public SessionHost {
  public:
    void LogInfo(std::string_view line) override { log += "I " + std::string(line) + "\n"; }
    void LogWarning(std::string_view line) override { log += "W " + std::string(line) + "\n"; }
    void LogError(std::string_view line) override { log += "E " + std::string(line) + "\n"; }
    bool DoSeamless() const override { return false; }
    bool AutoConnected() const override { return false; }
    bool ShuttingDown() const override { return false; }
    void SetTitles(const std::string &) override {}
    void ResetTitles() override {}
    void SaveCurrentProfile(const std::string &) override {}
    void StartUpdateCheck(const std::string &) override {}
    void CloseAfterAutoConnect() override {}
    void ShowMainWindow() override {}
    void CloseMainWindow() override {}
    std::string log;
};

} // namespace tsc::test
