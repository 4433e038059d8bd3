#include "ConnectionFolder.h"

#include "FileMoves.h"
#include "LogSink.h"
#include "SystemInfo.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <unordered_set>

namespace tsc::profiles {

namespace {

// The longest file name the file systems of this platform take (NAME_MAX).
constexpr std::size_t MaximumFileNameBytes = 255;

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string UpperCase(std::string_view text) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(), Upper);
    return upper;
}

bool EndsWithCaseBlind(std::string_view text, std::string_view ending) {
    return text.size() >= ending.size() &&
           UpperCase(text.substr(text.size() - ending.size())) == UpperCase(ending);
}

std::string PathIn(const std::string &folder, std::string_view fileName) {
    return WithTrailingSeparator(folder) + std::string(fileName);
}

void LogFromTo(LogSink &log, void (LogSink::*write)(std::string_view), const std::string &first,
               const std::string &from, const std::string &to) {
    (log.*write)(first);
    (log.*write)(" from: " + from);
    (log.*write)("   to: " + to);
}

void LogFailure(LogSink &log, const std::string &first, const std::string &from, const std::string &to,
                int error) {
    LogFromTo(log, &LogSink::LogError, first, from, to);
    log.LogError(SystemErrorText(error));
}

} // namespace

ConnectionFolderNames FolderNamesFor(std::string_view appPrefix) {
    const std::string prefix(appPrefix);
    return {prefix + "_farm.rdp", prefix + "_farm_v001c003.txt", prefix + "_farm_v001c001.txt"};
}

std::string ConnectionDisplayName(std::string_view fileName) {
    if (fileName.size() > 4 && EndsWithCaseBlind(fileName, ".rdp"))
        return std::string(fileName.substr(0, fileName.size() - 4));
    return std::string(fileName);
}

std::string ConnectionFileName(std::string_view name) {
    return ConnectionDisplayName(name) + ".rdp";
}

std::string MakeSafeConnectionName(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = 1;
        if (byte >= 0xF0 && byte <= 0xF7)
            length = 4;
        else if (byte >= 0xE0 && byte <= 0xEF)
            length = 3;
        else if (byte >= 0xC0 && byte <= 0xDF)
            length = 2;
        // A character is one UTF-8 sequence; a broken one ends at the first byte that
        // does not continue it.
        std::size_t used = 1;
        while (used < length && i + used < text.size() &&
               (static_cast<unsigned char>(text[i + used]) & 0xC0) == 0x80)
            ++used;
        const bool kept = length == 1 && ((byte >= 48 && byte <= 57) || (byte >= 65 && byte <= 122) ||
                                          byte == 32 || byte == 46 || byte == 45);
        safe += kept ? static_cast<char>(byte) : '_';
        i += used;
    }
    return safe;
}

std::string ServerListPathOf(std::string_view profilePath, const ConnectionFolderNames &names) {
    std::string path(profilePath);
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
    return path + "." + names.serverList;
}

NameProblem CheckConnectionName(std::string_view name, const ConnectionFolderNames &names) {
    const std::string base = ConnectionDisplayName(name);
    if (base.empty()) return NameProblem::Empty;
    // A leading dot makes a hidden file, and "." or ".." no file at all.
    if (base.front() == '.') return NameProblem::LeadingDot;
    if (ConnectionFileName(base).size() > MaximumFileNameBytes ||
        base.size() + 1 + names.serverList.size() > MaximumFileNameBytes)
        return NameProblem::TooLong;
    return NameProblem::None;
}

std::string NameProblemText(NameProblem problem, std::string_view name) {
    const std::string quoted = "\"" + std::string(name) + "\"";
    switch (problem) {
    case NameProblem::Empty:
        return "A connection needs a name.";
    case NameProblem::LeadingDot:
        return "The name " + quoted + " can not be used: it must not begin with a dot.";
    case NameProblem::TooLong:
        return "The name " + quoted + " is too long for the file system.";
    case NameProblem::None:
        break;
    }
    return {};
}

FolderListing ListConnections(const std::string &folder, const ConnectionFolderNames &names) {
    const std::string defaultProfile = UpperCase(names.defaultProfile);
    const FolderEntries entries = ReadFolderFiles(folder, [&](std::string_view name) {
        return EndsWithCaseBlind(name, ".rdp") && UpperCase(name) != defaultProfile;
    });
    FolderListing listing;
    listing.error = entries.error;
    listing.connections.reserve(entries.files.size());
    std::unordered_set<std::string> shown;
    shown.reserve(entries.files.size());
    for (const std::string &file : entries.files) {
        std::string name = ConnectionDisplayName(file);
        if (!shown.insert(name).second) {
            name = file;
            shown.insert(name);
        }
        listing.connections.push_back({std::move(name), file});
    }
    return listing;
}

std::vector<Connection> SortedConnections(std::vector<Connection> connections) {
    std::sort(connections.begin(), connections.end(), [](const Connection &a, const Connection &b) {
        const auto blind = std::lexicographical_compare(
            a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), [](char x, char y) {
                return static_cast<unsigned char>(Upper(x)) < static_cast<unsigned char>(Upper(y));
            });
        const auto blindReverse = std::lexicographical_compare(
            b.name.begin(), b.name.end(), a.name.begin(), a.name.end(), [](char x, char y) {
                return static_cast<unsigned char>(Upper(x)) < static_cast<unsigned char>(Upper(y));
            });
        if (blind != blindReverse) return blind;
        return a.name < b.name;
    });
    return connections;
}

bool SameFolder(const std::string &a, const std::string &b) {
    return tsc::SameFolder(a, b);
}

bool FileExists(const std::string &path) {
    return PathExists(path);
}

int MoveToTrashOrDelete(const std::string &path) {
    // Qt's trash follows the freedesktop rules; where no trash can be had (or the
    // name is no valid text) the file is simply deleted.
    const QByteArray encoded(path.data(), static_cast<qsizetype>(path.size()));
    const QString name = QFile::decodeName(encoded);
    if (QFile::encodeName(name) == encoded && QFile::moveToTrash(name)) return 0;
    if (!FileExists(path)) return ENOENT;
    return RemoveFile(path);
}

bool RenameConnection(const std::string &folder, const Connection &from, const std::string &to,
                      const ConnectionFolderNames &names, LogSink &log) {
    const std::string oldPath = PathIn(folder, from.fileName);
    const std::string newPath = PathIn(folder, ConnectionFileName(to));
    if (!FileExists(oldPath)) {
        log.LogError("RDP Connection does not exist: " + oldPath);
        return false;
    }
    if (const int error = RenameNoReplace(oldPath, newPath)) {
        LogFailure(log, "Can not rename file:", oldPath, newPath, error);
        return false;
    }
    LogFromTo(log, &LogSink::LogInfo, "Rename ", oldPath, newPath);
    const std::string oldList = ServerListPathOf(oldPath, names);
    const std::string newList = ServerListPathOf(newPath, names);
    if (oldList == newList) return true; // only the extension's letter case changed
    const int error = RenameNoReplace(oldList, newList);
    if (!error) {
        LogFromTo(log, &LogSink::LogInfo, "Rename:", oldList, newList);
        return true;
    }
    LogFailure(log, "Can not rename file:", oldList, newList, error);
    if (error == ENOENT) return true; // the connection had no server list file
    // The server list file stays under the old name: so does the profile.
    if (const int undo = RenameNoReplace(newPath, oldPath)) {
        LogFailure(log, "Can not undo rename:", newPath, oldPath, undo);
        return true;
    }
    LogFromTo(log, &LogSink::LogInfo, "Rename undone:", newPath, oldPath);
    return false;
}

std::optional<std::string> FreeCopyName(const std::string &folder, const std::string &name) {
    for (int n = 1; n <= MaximumCopyNumber; ++n) {
        std::string copy = name + " Copy " + std::to_string(n);
        if (!FileExists(PathIn(folder, ConnectionFileName(copy)))) return copy;
    }
    return std::nullopt;
}

std::optional<std::string> DuplicateConnection(const std::string &folder, const Connection &source,
                                               const ConnectionFolderNames &names, LogSink &log) {
    const std::string sourcePath = PathIn(folder, source.fileName);
    if (!FileExists(sourcePath)) return std::nullopt;
    // The free name is taken by the copy itself, which refuses an existing file: a
    // name taken in between only moves on to the next number.
    for (int n = 1; n <= MaximumCopyNumber; ++n) {
        const std::string name = source.name + " Copy " + std::to_string(n);
        const std::string target = PathIn(folder, ConnectionFileName(name));
        if (FileExists(target)) continue;
        const int error = CopyFileNoReplace(sourcePath, target);
        if (error == EEXIST) continue;
        if (error) {
            LogFailure(log, "Can not copy file:", sourcePath, target, error);
            return std::nullopt;
        }
        LogFromTo(log, &LogSink::LogInfo, "copy:", sourcePath, target);
        const std::string sourceList = ServerListPathOf(sourcePath, names);
        const std::string targetList = ServerListPathOf(target, names);
        const int listError = CopyFileReplacing(sourceList, targetList);
        if (!listError) {
            LogFromTo(log, &LogSink::LogInfo, "Copy:", sourceList, targetList);
            return name;
        }
        LogFailure(log, "Can not copy file:", sourceList, targetList, listError);
        if (listError == ENOENT) return name; // the source had no server list file
        // Without its server list the copy would be a different connection.
        if (const int removeError = RemoveFile(target)) {
            log.LogError("Can not delete file: " + target);
            log.LogError(SystemErrorText(removeError));
            return name;
        }
        log.LogInfo("Delete " + target);
        return std::nullopt;
    }
    log.LogError("No free name for a copy of: " + sourcePath);
    return std::nullopt;
}

void DeleteConnection(const std::string &folder, const Connection &connection,
                      const ConnectionFolderNames &names, LogSink &log, const RemoveFileFunction &remove) {
    const std::string path = PathIn(folder, connection.fileName);
    const std::string list = ServerListPathOf(path, names);
    const auto removeOne = [&](const std::string &file) {
        const int error = remove(file);
        if (!error) {
            log.LogInfo("Delete " + file);
        } else {
            log.LogError("Can not delete file: " + file);
            log.LogError(SystemErrorText(error));
        }
        return error;
    };
    const int error = removeOne(path);
    if (error && error != ENOENT) {
        log.LogInfo("Keep the server list file of the connection: " + list);
        return;
    }
    (void)removeOne(list);
}

void MoveAllRdpFiles(const std::string &from, const std::string &to, const ConnectionFolderNames &names,
                     LogSink &log) {
    log.LogInfo("Begin Move all RDP files from: " + from + " to " + to);
    log.LogInfo("*.RDP");
    const std::string defaultProfile = UpperCase(names.defaultProfile);
    const FolderEntries profiles =
        ReadFolderFiles(from, [](std::string_view name) { return EndsWithCaseBlind(name, ".rdp"); });
    if (profiles.error) {
        log.LogError("Can not read folder: " + from);
        log.LogError(SystemErrorText(profiles.error));
    }
    // Server list files belong to the profile of the same stem.
    std::set<std::string> stayed;
    std::map<std::string, std::string> moved;
    const auto stem = [](const std::string &file) { return file.substr(0, file.find_last_of('.')); };
    for (const std::string &name : profiles.files) {
        if (UpperCase(name) == defaultProfile) {
            log.LogInfo("Do not move default RDP file: " + names.defaultProfile);
            continue;
        }
        const MoveResult result = MoveFileNoReplace(PathIn(from, name), PathIn(to, name));
        if (result.copyError) {
            log.LogError("Can not copy RDP file from old folder: " + name);
            log.LogError(SystemErrorText(result.copyError));
            stayed.insert(stem(name));
            continue;
        }
        if (result.deleteError) {
            log.LogError("Can not delete RDP file from old folder: " + name);
            log.LogError(SystemErrorText(result.deleteError));
        } else {
            log.LogInfo("Moved file: " + name);
        }
        moved[stem(name)] = name;
    }

    log.LogInfo(names.serverList);
    const std::string listEnding = "." + names.serverList;
    const FolderEntries lists =
        ReadFolderFiles(from, [&](std::string_view name) { return EndsWithCaseBlind(name, listEnding); });
    for (const std::string &name : lists.files) {
        const std::string owner = name.substr(0, name.size() - listEnding.size());
        if (stayed.count(owner)) {
            log.LogError("Can not copy " + names.serverList + " file from old folder: " + name);
            log.LogError("Its connection stayed in the old folder");
            continue;
        }
        const MoveResult result = MoveFileNoReplace(PathIn(from, name), PathIn(to, name));
        if (!result.copyError && !result.deleteError) {
            log.LogInfo("Moved file: " + name);
            continue;
        }
        if (result.deleteError) {
            log.LogError("Can not delete " + names.serverList + " file from old folder: " + name);
            log.LogError(SystemErrorText(result.deleteError));
            continue;
        }
        log.LogError("Can not copy " + names.serverList + " file from old folder: " + name);
        log.LogError(SystemErrorText(result.copyError));
        // The profile went ahead alone: it goes back to its server list file.
        const auto profile = moved.find(owner);
        if (profile == moved.end()) continue;
        const MoveResult back = MoveFileNoReplace(PathIn(to, profile->second), PathIn(from, profile->second));
        if (back.copyError || back.deleteError) {
            log.LogError("Can not move RDP file back to old folder: " + profile->second);
            log.LogError(SystemErrorText(back.copyError ? back.copyError : back.deleteError));
        } else {
            log.LogInfo("Moved file back to old folder: " + profile->second);
        }
    }
    log.LogInfo("End Move all RDP + " + names.olderServerList + " + " + names.serverList + " files");
}

int CopyFileReplacing(const std::string &source, const std::string &target) {
    return tsc::CopyFileReplacing(source, target);
}

} // namespace tsc::profiles
