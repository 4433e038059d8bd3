#pragma once

#include "LogSink.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace tsc::profiles::test {

// Keeps every line the way the log would get it, with its level.
class RecordingLog : public LogSink {
  public:
    void LogInfo(std::string_view message) override { Add("I ", message); }
    void LogWarning(std::string_view message) override { Add("W ", message); }
    void LogError(std::string_view message) override { Add("E ", message); }

    std::vector<std::string> lines;

    [[nodiscard]] bool Has(const std::string &line) const {
        for (const auto &l : lines)
            if (l == line) return true;
        return false;
    }
    [[nodiscard]] std::string All() const {
        std::string all;
        for (const auto &l : lines)
            all += l + "\n";
        return all;
    }

  private:
    void Add(const char *level, std::string_view message) {
        std::string text(message);
        std::size_t start = 0;
        while (start <= text.size()) {
            const auto end = text.find('\n', start);
            lines.push_back(level +
                            text.substr(start, end == std::string::npos ? std::string::npos : end - start));
            if (end == std::string::npos) break;
            start = end + 1;
        }
    }
};

// A private home for one test: HOME, TMPDIR and the XDG folders point into it.
class TestHome : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *name : EnvironmentNames) {
            const char *value = std::getenv(name);
            savedEnvironment.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        std::string pattern = (std::filesystem::temp_directory_path() / "tsc-profiles-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        home = pattern;
        for (const char *folder : {"data", "config", "state", "tmp"})
            std::filesystem::create_directories(home / folder);
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        ::setenv("XDG_STATE_HOME", (home / "state").c_str(), 1);
        ::setenv("TMPDIR", (home / "tmp").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::permissions(home, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(home, ignored);
        // The next test of this process needs a temporary folder that still exists.
        for (const auto &[name, value] : savedEnvironment) {
            if (value)
                ::setenv(name, value->c_str(), 1);
            else
                ::unsetenv(name);
        }
    }

    static std::string ReadBytes(const std::filesystem::path &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void WriteBytes(const std::filesystem::path &path, const std::string &bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }

    std::filesystem::path home;

  private:
    static constexpr const char *EnvironmentNames[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                                       "XDG_STATE_HOME", "TMPDIR"};
    std::vector<std::pair<const char *, std::optional<std::string>>> savedEnvironment;
};

inline std::string FixturePath(const std::string &name) {
    return std::string(TSC_PROFILE_FIXTURES) + "/" + name;
}

} // namespace tsc::profiles::test
