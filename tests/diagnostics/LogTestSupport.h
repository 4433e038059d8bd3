#pragma once

// A private folder per test, with the environment pointed into it, and helpers
// that read a log file back.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

class LogFolderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (BaseFolder() / "tsc-log-XXXXXX").string();
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

    [[nodiscard]] std::string PathOf(const std::string &name) const { return (folder_ / name).string(); }

    static std::string ReadAll(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static void WriteAll(const std::string &path, const std::string &content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    static long HeaderOffset(const std::string &content) { return std::stol(content.substr(0, 10)); }

    // The lines from byte 12 up to the header's offset (a log that has not wrapped).
    static std::vector<std::string> LinesOf(const std::string &path) {
        const std::string content = ReadAll(path);
        std::vector<std::string> lines;
        const std::string body = content.substr(12, static_cast<std::size_t>(HeaderOffset(content)) - 12);
        std::size_t start = 0;
        for (auto end = body.find("\r\n"); end != std::string::npos; end = body.find("\r\n", start)) {
            lines.push_back(body.substr(start, end - start));
            start = end + 2;
        }
        EXPECT_EQ(start, body.size()) << "the last line is not ended by CR LF";
        return lines;
    }

    std::filesystem::path folder_;

  private:
    static constexpr const char *EnvironmentNames[] = {"HOME", "TMPDIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME",
                                                       "XDG_STATE_HOME"};
    // Taken once, before any test has pointed TMPDIR into its own folder.
    static const std::filesystem::path &BaseFolder() {
        static const std::filesystem::path base = std::filesystem::temp_directory_path();
        return base;
    }
    std::vector<std::pair<bool, std::string>> saved_;
};
