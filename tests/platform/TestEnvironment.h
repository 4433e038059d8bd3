#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

// Gives each test its own folder and points HOME, TMPDIR and the XDG variables into
// it, so nothing touches the real home folder. Restores the variables afterwards.
class IsolatedTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    void SetVariable(const std::string &name, const std::string &value);
    void UnsetVariable(const std::string &name);
    [[nodiscard]] const std::string &Root() const { return root_; }
    static void WriteFile(const std::string &path, const std::string &bytes);
    [[nodiscard]] static std::string ReadFile(const std::string &path);

  private:
    std::string root_;
    std::map<std::string, std::optional<std::string>> saved_;
};
