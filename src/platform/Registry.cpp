#include "Registry.h"

#include "AtomicFile.h"
#include "Environment.h"
#include "PlatformDiagnostics.h"
#include "RegistryFormat.h"

#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unordered_set>
#include <utility>

// The hive files live in a folder named for the program, not for AppName, so that
// every branding of the client finds the same registry:
//   $XDG_CONFIG_HOME/TerminalServerClient/HKEY_CURRENT_USER.reg
//   <first of $XDG_CONFIG_DIRS>/TerminalServerClient/HKEY_LOCAL_MACHINE.reg

namespace tsc::Registry {

namespace {

using detail::HiveContent;
using detail::RegistryKeyContent;
using detail::SameRegistryName;

constexpr const char HiveFolderName[] = "TerminalServerClient";

std::string_view RootName(Hive hive) {
    return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

// The user's hive is private to the user; the machine's is readable by all users.
mode_t HiveFileMode(Hive hive) {
    return hive == Hive::CurrentUser ? 0600 : 0644;
}
detail::FolderUse HiveFolderUse(Hive hive) {
    return hive == Hive::CurrentUser ? detail::FolderUse::Private : detail::FolderUse::Shared;
}

// "\SOFTWARE\TerminalServer\" and "SOFTWARE\TerminalServer" name the same key.
std::optional<std::string> NormalisedKeyPath(std::string_view key) {
    while (!key.empty() && key.front() == '\\')
        key.remove_prefix(1);
    while (!key.empty() && key.back() == '\\')
        key.remove_suffix(1);
    if (key.find("\\\\") != std::string_view::npos) return std::nullopt;
    for (const char character : key)
        if (character == '\n' || character == '\r' || character == '\0' || character == ']')
            return std::nullopt;
    return std::string(key);
}

bool StorableName(std::string_view name) {
    for (const char character : name)
        if (character == '\n' || character == '\r' || character == '\0') return false;
    return true;
}

HiveContent ParseHiveFile(Hive hive, const std::string &path) {
    const auto content = detail::ReadWholeFile(path, detail::MaximumHiveFileSize, HiveFolderUse(hive));
    switch (content.outcome) {
    case detail::ReadOutcome::Missing:
        return {};
    case detail::ReadOutcome::Unreadable:
        detail::AddPlatformDiagnosticOnce(
            "unreadable " + path, "Registry file " + path + " cannot be read; its values are not used");
        return {};
    case detail::ReadOutcome::TooBig:
        detail::AddPlatformDiagnosticOnce("damaged " + path,
                                          "Registry file " + path + " is too big; its values are not used");
        return {};
    case detail::ReadOutcome::Read:
        break;
    }
    std::string problem;
    auto parsed = detail::ParseRegistryText(content.bytes, RootName(hive), &problem);
    if (parsed) return std::move(*parsed);
    detail::AddPlatformDiagnosticOnce("damaged " + path + " " + problem, "Registry file " + path +
                                                                             " is damaged (" + problem +
                                                                             "); its values are not used");
    return {};
}

// What identifies one version of a hive file: every write replaces the file by a
// rename, so a new version has a new inode; size and times catch editors that
// write in place.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};
    bool operator==(const FileStamp &other) const {
        return exists == other.exists && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec && changed.tv_sec == other.changed.tv_sec &&
               changed.tv_nsec == other.changed.tv_nsec;
    }
};

FileStamp StampOf(const std::string &path) {
    FileStamp stamp;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return stamp;
    stamp = {true, info.st_dev, info.st_ino, info.st_size, info.st_mtim, info.st_ctim};
    return stamp;
}

// The last parse of each hive, used again while the file has not changed, so that
// a start-up reading hundreds of values parses each hive once.
struct ParsedHive {
    std::string path;
    FileStamp stamp;
    std::shared_ptr<const HiveContent> content;
};

std::mutex parsedHivesMutex;
ParsedHive parsedHives[2];

std::shared_ptr<const HiveContent> LoadHive(Hive hive) {
    const std::string path = HiveFile(hive);
    const FileStamp before = StampOf(path);
    ParsedHive &cached = parsedHives[hive == Hive::CurrentUser ? 0 : 1];
    {
        const std::lock_guard lock(parsedHivesMutex);
        if (cached.content && cached.path == path && cached.stamp == before && before.exists)
            return cached.content;
    }
    auto content = std::make_shared<const HiveContent>(ParseHiveFile(hive, path));
    // A file replaced while it was read is parsed again at the next read.
    if (StampOf(path) == before) {
        const std::lock_guard lock(parsedHivesMutex);
        cached = {path, before, content};
    }
    return content;
}

const RegistryKeyContent *FindKey(const HiveContent &content, std::string_view path) {
    for (const auto &key : content.keys)
        if (SameRegistryName(key.path, path)) return &key;
    return nullptr;
}

// Re-reads the hive under the lock, lets change alter it and replaces the file when
// it did. A damaged file is moved aside first so that nothing in it is lost.
bool ModifyHive(Hive hive, const std::function<bool(HiveContent &)> &change) {
    const std::string path = HiveFile(hive);
    const detail::FileLock lock(path, HiveFolderUse(hive));
    if (!lock.Held()) return false;
    HiveContent content;
    const auto file = detail::ReadWholeFile(path, detail::MaximumHiveFileSize, HiveFolderUse(hive));
    if (file.outcome == detail::ReadOutcome::Unreadable) return false;
    std::string problem = "too big";
    std::optional<HiveContent> parsed;
    if (file.outcome == detail::ReadOutcome::Read)
        parsed = detail::ParseRegistryText(file.bytes, RootName(hive), &problem);
    if (file.outcome == detail::ReadOutcome::TooBig ||
        (file.outcome == detail::ReadOutcome::Read && !parsed)) {
        const std::string kept = detail::KeepDamagedFile(path);
        if (kept.empty()) return false;
        detail::AddPlatformDiagnostic("Registry file " + path + " is damaged (" + problem + "); kept as " +
                                      kept + ", starting with an empty one");
    } else if (parsed) {
        content = std::move(*parsed);
    }
    if (!change(content)) return true;
    return detail::ReplaceFileAtomically(path, detail::FormatRegistryText(content, RootName(hive)),
                                         HiveFileMode(hive), HiveFolderUse(hive));
}

std::string ValueText(const RegistryValue &value) {
    std::string text(value.data.begin(), value.data.end());
    if (const auto end = text.find('\0'); end != std::string::npos) text.resize(end);
    return text;
}

} // namespace

std::string HiveFile(Hive hive) {
    const std::string folder = hive == Hive::CurrentUser ? detail::XdgFolder("XDG_CONFIG_HOME", "/.config")
                                                         : detail::FirstXdgConfigDir();
    return folder + "/" + HiveFolderName + "/" + std::string(RootName(hive)) + ".reg";
}

std::optional<RegistryValue> Read(Hive hive, std::string_view key, std::string_view name) {
    try {
        const auto path = NormalisedKeyPath(key);
        if (!path) return std::nullopt;
        const auto content = LoadHive(hive);
        const RegistryKeyContent *found = FindKey(*content, *path);
        if (found == nullptr) return std::nullopt;
        for (const auto &[valueName, value] : found->values)
            if (SameRegistryName(valueName, name)) return value;
    } catch (...) {
    }
    return std::nullopt;
}

std::optional<std::string> ReadString(Hive hive, std::string_view key, std::string_view name) {
    auto value = Read(hive, key, name);
    if (!value || value->type != RegistryType::String) return std::nullopt;
    return ValueText(*value);
}

std::optional<std::uint32_t> ReadDword(Hive hive, std::string_view key, std::string_view name) {
    auto value = Read(hive, key, name);
    if (!value || value->type != RegistryType::Dword || value->data.size() != 4) return std::nullopt;
    const auto &d = value->data;
    return d[0] | d[1] << 8 | d[2] << 16 | static_cast<std::uint32_t>(d[3]) << 24;
}

std::optional<std::vector<std::string>> ReadMultiString(Hive hive, std::string_view key,
                                                        std::string_view name) {
    auto value = Read(hive, key, name);
    if (!value || value->type != RegistryType::MultiString) return std::nullopt;
    // Strings each end in a zero; an empty string (two zeros in a row) ends the list.
    std::vector<std::string> strings;
    std::string current;
    for (const auto byte : value->data) {
        if (byte != 0) {
            current += static_cast<char>(byte);
            continue;
        }
        if (current.empty()) break;
        strings.push_back(std::exchange(current, {}));
    }
    if (!current.empty()) strings.push_back(current);
    return strings;
}

bool Write(Hive hive, std::string_view key, std::string_view name, const RegistryValue &value) {
    try {
        const auto path = NormalisedKeyPath(key);
        if (!path || !StorableName(name)) return false;
        return ModifyHive(hive, [&](HiveContent &content) {
            RegistryKeyContent *target = nullptr;
            for (auto &candidate : content.keys)
                if (SameRegistryName(candidate.path, *path)) target = &candidate;
            if (target == nullptr) target = &content.keys.emplace_back(RegistryKeyContent{*path, {}});
            for (auto &[valueName, existing] : target->values)
                if (SameRegistryName(valueName, name)) {
                    existing = value;
                    return true;
                }
            target->values.emplace_back(std::string(name), value);
            return true;
        });
    } catch (...) {
        return false;
    }
}

bool WriteString(Hive hive, std::string_view key, std::string_view name, std::string_view text) {
    RegistryValue value{RegistryType::String, {text.begin(), text.end()}};
    value.data.push_back(0); // REG_SZ counts its terminating zero
    return Write(hive, key, name, value);
}

bool WriteDword(Hive hive, std::string_view key, std::string_view name, std::uint32_t number) {
    const RegistryValue value{RegistryType::Dword,
                              {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                               static_cast<std::uint8_t>(number >> 16),
                               static_cast<std::uint8_t>(number >> 24)}};
    return Write(hive, key, name, value);
}

bool DeleteValue(Hive hive, std::string_view key, std::string_view name) {
    try {
        const auto path = NormalisedKeyPath(key);
        if (!path) return false;
        return ModifyHive(hive, [&](HiveContent &content) {
            for (auto &candidate : content.keys) {
                if (!SameRegistryName(candidate.path, *path)) continue;
                const auto before = candidate.values.size();
                std::erase_if(candidate.values,
                              [&](const auto &entry) { return SameRegistryName(entry.first, name); });
                return candidate.values.size() != before;
            }
            return false;
        });
    } catch (...) {
        return false;
    }
}

std::vector<std::string> Subkeys(Hive hive, std::string_view key) {
    std::vector<std::string> names;
    try {
        const auto path = NormalisedKeyPath(key);
        if (!path) return names;
        const std::string prefix = path->empty() ? std::string() : *path + "\\";
        std::unordered_set<std::string> known;
        const auto content = LoadHive(hive);
        for (const auto &candidate : content->keys) {
            if (candidate.path.size() <= prefix.size() ||
                !SameRegistryName(std::string_view(candidate.path).substr(0, prefix.size()), prefix))
                continue;
            const std::string_view rest = std::string_view(candidate.path).substr(prefix.size());
            const std::string child(rest.substr(0, rest.find('\\')));
            std::string lower = child;
            for (char &character : lower)
                if (character >= 'A' && character <= 'Z')
                    character = static_cast<char>(character - 'A' + 'a');
            if (known.insert(std::move(lower)).second) names.push_back(child);
        }
    } catch (...) {
    }
    return names;
}

std::vector<RegistryKey> AllKeys(Hive hive) {
    std::vector<RegistryKey> keys;
    try {
        const auto content = LoadHive(hive);
        for (const auto &key : content->keys)
            keys.push_back({key.path, key.values});
    } catch (...) {
    }
    return keys;
}

std::vector<std::string> ValueNames(Hive hive, std::string_view key) {
    std::vector<std::string> names;
    try {
        const auto path = NormalisedKeyPath(key);
        if (!path) return names;
        const auto content = LoadHive(hive);
        if (const RegistryKeyContent *found = FindKey(*content, *path))
            for (const auto &entry : found->values)
                names.push_back(entry.first);
    } catch (...) {
    }
    return names;
}

} // namespace tsc::Registry
