#pragma once

// What the update tests share: a log that records its lines, a client-like program
// whose version a test can change, and file helpers.

#include "LogSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace update_test {

class RecordingLog : public tsc::LogSink {
  public:
    void LogInfo(std::string_view message) override { lines.push_back("I " + std::string(message)); }
    void LogWarning(std::string_view message) override { lines.push_back("W " + std::string(message)); }
    void LogError(std::string_view message) override { lines.push_back("E " + std::string(message)); }
    [[nodiscard]] bool Has(std::string_view text) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string &line) { return line.find(text) != std::string::npos; });
    }
    [[nodiscard]] std::string Text() const {
        std::string text;
        for (const std::string &line : lines)
            text += line + "\n";
        return text;
    }
    std::vector<std::string> lines;
};

inline std::string ReadBytes(const std::string &path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

inline void WriteBytes(const std::string &path, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A copy of the fake client with the given version, mode 0700.
inline void MakeClientCopy(const std::string &path, const std::string &version) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::filesystem::copy_file(TSC_FAKE_CLIENT, path, std::filesystem::copy_options::overwrite_existing);
    const std::string command = std::string(TSC_SET_FILE_VERSION) + " '" + path + "' " + version;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
}

inline std::string FixturePath(const std::string &name) {
    return std::string(TSC_UPDATE_FIXTURES) + "/" + name;
}

} // namespace update_test
