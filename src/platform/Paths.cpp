#include "Environment.h"
#include "Identity.h"
#include "PrivateFiles.h"
#include "SystemInfo.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tsc {

namespace detail {

std::optional<std::string> CountingEnvironmentValue(const char *name, std::size_t minimumLength) {
    const char *value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    const std::string text(value);
    if (text.size() <= minimumLength || text.size() > MaximumFolderValueLength) return std::nullopt;
    return text;
}

std::string HomeFolder() {
    if (auto home = CountingEnvironmentValue("HOME", 0)) return WithoutTrailingSeparator(*home);
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr)
        return WithoutTrailingSeparator(found->pw_dir);
    return {};
}

std::string XdgFolder(const char *variable, const char *fallbackBelowHome) {
    // The XDG base directory rules ignore relative values.
    if (auto value = CountingEnvironmentValue(variable, 0); value && value->front() == '/')
        return WithoutTrailingSeparator(*value);
    const std::string home = HomeFolder();
    if (home.empty()) return {};
    return home + fallbackBelowHome;
}

std::string FirstXdgConfigDir() {
    if (auto dirs = CountingEnvironmentValue("XDG_CONFIG_DIRS", 0)) {
        const std::string first = dirs->substr(0, dirs->find(':'));
        if (!first.empty() && first.front() == '/') return WithoutTrailingSeparator(first);
    }
    return "/etc/xdg";
}

} // namespace detail

namespace {

// The application data base ($XDG_DATA_HOME or its default) when it counts: a value
// of three characters or fewer does not, like a too short APPDATA.
std::optional<std::string> DataHome() {
    if (std::getenv("XDG_DATA_HOME") != nullptr && *std::getenv("XDG_DATA_HOME") != '\0') {
        auto value = detail::CountingEnvironmentValue("XDG_DATA_HOME", 3);
        if (!value) return std::nullopt;
        return WithoutTrailingSeparator(*value);
    }
    const std::string home = detail::HomeFolder();
    if (home.empty()) return std::nullopt;
    return home + "/.local/share";
}

// Reads XDG_DESKTOP_DIR from user-dirs.dirs: a line XDG_DESKTOP_DIR="$HOME/Desktop"
// where only a leading $HOME is expanded, as the xdg-user-dirs format defines.
std::optional<std::string> DesktopFromUserDirs() {
    const std::string configHome = detail::XdgFolder("XDG_CONFIG_HOME", "/.config");
    if (configHome.empty()) return std::nullopt;
    std::ifstream file(configHome + "/user-dirs.dirs");
    std::string line;
    const std::string key = "XDG_DESKTOP_DIR=";
    while (file && std::getline(file, line)) {
        if (line.rfind(key, 0) != 0) continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.rfind("$HOME", 0) == 0) value = detail::HomeFolder() + value.substr(5);
        if (value.empty() || value.front() != '/') return std::nullopt;
        return WithoutTrailingSeparator(value);
    }
    return std::nullopt;
}

} // namespace

std::string TempFolder() {
    if (auto value = detail::CountingEnvironmentValue("TMPDIR", 0)) {
        const std::string folder = WithoutTrailingSeparator(*value);
        if (!folder.empty()) return folder;
    }
    return "/tmp";
}

// The programs of the operating system itself.
std::string SystemFolder() {
    return "/usr/bin";
}

namespace {

struct DataFolderCheck {
    std::string folder;
    std::string problem; // empty: the folder may be used
};

DataFolderCheck CheckDataFolder() {
    const auto base = DataHome();
    if (!base) return {{}, "XDG_DATA_HOME and HOME name no usable folder"};
    DataFolderCheck check{*base + "/" + Identity::AppName(), {}};
    check.problem = detail::FolderProblem(check.folder, detail::FolderUse::Private, true);
    return check;
}

} // namespace

// A folder another user could change is never used, and nothing takes its place:
// a shared folder such as the temporary folder would let that user plant the
// profile, the server list or the files a later start trusts.
std::string ApplicationDataFolder() {
    try {
        const DataFolderCheck check = CheckDataFolder();
        if (check.problem.empty()) return check.folder;
        (void)detail::UsableFolder(check.folder, detail::FolderUse::Private, false); // reported once
        return {};
    } catch (...) {
        return {};
    }
}

std::string ApplicationDataFolderProblem() {
    try {
        const DataFolderCheck check = CheckDataFolder();
        if (check.problem.empty()) return {};
        return (check.folder.empty() ? std::string("There is no folder") : "The folder " + check.folder) +
               " cannot be used for this program's files (" + check.problem + ").";
    } catch (...) {
        return "The program's folder cannot be used.";
    }
}

std::string ApplicationDataFile(std::string_view name) {
    const std::string folder = ApplicationDataFolder();
    return folder.empty() ? std::string() : folder + "/" + std::string(name);
}

std::string PrivateTemporaryFolder() {
    try {
        const auto runtime = detail::CountingEnvironmentValue("XDG_RUNTIME_DIR", 0);
        if (!runtime || runtime->front() != '/') return {};
        const std::string base = WithoutTrailingSeparator(*runtime);
        // The runtime folder is the session manager's: used as it is, never changed.
        struct stat info {};
        if (::stat(base.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid() ||
            (info.st_mode & 077) != 0)
            return {};
        const std::string folder = base + "/" + Identity::AppName();
        return detail::UsableFolder(folder, detail::FolderUse::Private, true) ? folder : std::string();
    } catch (...) {
        return {};
    }
}

std::string UserAppDataFolder() {
    try {
        const auto base = DataHome();
        if (!base) return {};
        if (!FolderExists(*base)) (void)EnsureFolder(*base);
        return FolderExists(*base) ? *base : std::string();
    } catch (...) {
        return {};
    }
}

// Only a desktop that no one else can write receives the archive of the user's
// logs; without one the private data folder does.
std::string DesktopFolder() {
    try {
        const auto onlyUsersOwn = [](const std::string &folder) {
            return FolderExists(folder) &&
                   detail::FolderProblem(folder, detail::FolderUse::Shared, false).empty();
        };
        if (auto desktop = DesktopFromUserDirs(); desktop && onlyUsersOwn(*desktop)) return *desktop;
        const std::string home = detail::HomeFolder();
        if (home.size() > 3 && onlyUsersOwn(home + "/Desktop")) return home + "/Desktop";
    } catch (...) {
    }
    return ApplicationDataFolder();
}

// Without an existence test, like the Local Settings folder it stands for.
std::string LocalSettingsFolder() {
    try {
        return detail::XdgFolder("XDG_STATE_HOME", "/.local/state");
    } catch (...) {
        return {};
    }
}

std::string ProgramFilesFolder() {
    return "/opt";
}
std::string AllUsersProfileFolder() {
    return "/usr/share";
}

std::string ProfilesRootFolder() {
    const std::string home = detail::HomeFolder();
    const auto cut = home.find_last_of('/');
    if (home.empty() || cut == std::string::npos) return "/home/";
    return home.substr(0, cut + 1);
}

std::string LongPathName(std::string_view path) {
    if (path.empty()) return {};
    try {
        std::filesystem::path result =
            std::filesystem::absolute(std::filesystem::path(path)).lexically_normal();
        std::string text = result.string();
        if (text.size() > 1 && text.back() == '/') text.pop_back();
        return text;
    } catch (...) {
        return std::string(path);
    }
}

std::string WithTrailingSeparator(std::string_view path) {
    std::string result(path);
    if (!result.empty() && result.back() != '/') result += '/';
    return result;
}

std::string WithoutTrailingSeparator(std::string_view path) {
    std::string result(path);
    if (!result.empty() && (result.back() == '/' || result.back() == '\\')) result.pop_back();
    return result;
}

bool FolderExists(std::string_view path) {
    struct stat info {};
    return !path.empty() && ::stat(std::string(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EnsureFolder(std::string_view path) {
    if (path.empty()) return false; // "Unable to create directory"
    std::string folder = WithoutTrailingSeparator(path);
    // Fewer than three characters left ("/", "a", "..") count as present, like a drive root.
    if (folder.size() < 3 || FolderExists(folder)) return true;
    const auto cut = folder.find_last_of("/\\");
    if (cut != std::string::npos && cut > 0) {
        const std::string parent = folder.substr(0, cut);
        if (parent != folder && !EnsureFolder(parent)) return false;
    }
    return ::mkdir(folder.c_str(), 0700) == 0 || (errno == EEXIST && FolderExists(folder));
}

std::string ExpandFileName(std::string_view given) {
    const std::string name(given);
    struct stat info {};
    if (name.empty() || ::lstat(name.c_str(), &info) == 0) return name;
    const auto cut = name.find_last_of('/');
    const std::string folderPart = cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
    const std::string filePart = cut == std::string::npos ? name : name.substr(cut + 1);
    const std::string folder = ExpandText(folderPart);
    if (::lstat((folder + filePart).c_str(), &info) == 0) return folder + filePart;
    const std::string expandedFile = ExpandText(filePart);
    if (expandedFile.empty() || expandedFile == "." || expandedFile == ".." ||
        expandedFile.find('/') != std::string::npos)
        return {};
    return folder + expandedFile;
}

std::string ApplicationKeyPath() {
    return "SOFTWARE\\" + Identity::AppName();
}

} // namespace tsc
