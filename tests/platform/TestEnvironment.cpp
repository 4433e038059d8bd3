#include "TestEnvironment.h"

#include "Identity.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {
const char *const IsolatedVariables[] = {
    "HOME", "TMPDIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_STATE_HOME"};
}

void IsolatedTest::SetUp() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tsc-platform-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    for (const char *name : {"home/user", "tmp", "config-dirs"})
        std::filesystem::create_directories(root_ + "/" + name);
    SetVariable("HOME", root_ + "/home/user");
    SetVariable("TMPDIR", root_ + "/tmp");
    SetVariable("XDG_DATA_HOME", root_ + "/home/user/.local/share");
    SetVariable("XDG_CONFIG_HOME", root_ + "/home/user/.config");
    SetVariable("XDG_CONFIG_DIRS", root_ + "/config-dirs:/etc/xdg");
    SetVariable("XDG_STATE_HOME", root_ + "/home/user/.local/state");
    tsc::Identity::ResetToDefaults();
}

void IsolatedTest::TearDown() {
    for (const auto &[name, value] : saved_) {
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
    saved_.clear();
    tsc::Identity::ResetToDefaults();
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

void IsolatedTest::SetVariable(const std::string &name, const std::string &value) {
    if (!saved_.count(name)) {
        const char *old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    ::setenv(name.c_str(), value.c_str(), 1);
}

void IsolatedTest::UnsetVariable(const std::string &name) {
    if (!saved_.count(name)) {
        const char *old = std::getenv(name.c_str());
        saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    ::unsetenv(name.c_str());
}

void IsolatedTest::WriteFile(const std::string &path, const std::string &bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string IsolatedTest::ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}
