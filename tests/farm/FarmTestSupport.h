#pragma once

// A private folder per test with the environment pointed into it, a log that keeps
// its lines, and a way to let the event loop run until something happened.

#include "LogSink.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

class RecordingLog : public tsc::LogSink {
  public:
    void LogInfo(std::string_view message) override { lines.push_back("I " + std::string(message)); }
    void LogWarning(std::string_view message) override { lines.push_back("W " + std::string(message)); }
    void LogError(std::string_view message) override { lines.push_back("E " + std::string(message)); }
    [[nodiscard]] bool Has(std::string_view text) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const auto &l) { return l.find(text) != std::string::npos; });
    }
    [[nodiscard]] std::size_t Count(std::string_view text) const {
        return static_cast<std::size_t>(std::count_if(
            lines.begin(), lines.end(), [&](const auto &l) { return l.find(text) != std::string::npos; }));
    }
    std::vector<std::string> lines;
};

// Runs the event loop until the condition holds or the time is up.
inline bool RunUntil(const std::function<bool()> &condition, int timeoutMs = 10'000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

class FarmFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (BaseFolder() / "tsc-farm-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        for (const char *name : EnvironmentNames) {
            const char *value = std::getenv(name);
            saved_.emplace_back(value != nullptr, value ? value : "");
            ::setenv(name, folder_.c_str(), 1);
        }
    }
    void TearDown() override {
        for (std::size_t i = 0; i < saved_.size(); ++i) {
            if (saved_[i].first)
                ::setenv(EnvironmentNames[i], saved_[i].second.c_str(), 1);
            else
                ::unsetenv(EnvironmentNames[i]);
        }
        std::filesystem::remove_all(folder_);
    }
    // The application data folder: XDG_DATA_HOME + "/TerminalServer".
    [[nodiscard]] std::string DataPath(const std::string &name) const {
        std::filesystem::create_directories(folder_ / "TerminalServer");
        return (folder_ / "TerminalServer" / name).string();
    }
    [[nodiscard]] std::string PathOf(const std::string &name) const { return (folder_ / name).string(); }
    static std::string ReadAll(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void WriteAll(const std::string &path, const std::string &content) {
        std::ofstream(path, std::ios::binary) << content;
    }

    std::filesystem::path folder_;
    RecordingLog log_;

  private:
    static constexpr const char *EnvironmentNames[] = {"HOME", "TMPDIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                                       "XDG_STATE_HOME"};
    static const std::filesystem::path &BaseFolder() {
        static const std::filesystem::path base = std::filesystem::temp_directory_path();
        return base;
    }
    std::vector<std::pair<bool, std::string>> saved_;
};
