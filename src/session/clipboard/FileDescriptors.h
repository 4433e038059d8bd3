#pragma once

// File lists on the shared clipboard: the "FileGroupDescriptorW" format, a count
// followed by one 592-byte descriptor per file or folder (flags, attributes, times,
// size and a UTF-16 name of at most 260 units with "\" between folders). Reading a
// server's list checks every name before it can reach the file system: a name that
// could leave the folder the files go into is refused, with one log line that does
// not show it.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tsc::clipboard {

inline constexpr std::size_t FileDescriptorBytes = 592;
// The most entries one list holds, either way, and the most folders a name goes down.
inline constexpr std::size_t MaximumFileCount = 10000;
inline constexpr int MaximumFolderDepth = 32;

// One file or folder of a list. The name is relative, with "/" between its parts.
struct FileDescriptor {
    QString name;
    bool directory = false;
    std::optional<std::uint64_t> size;
    std::optional<std::int64_t> writeTimeMs; // since 1970-01-01 UTC
    std::uint32_t listIndex = 0;             // the entry's place in the list it came in
};

struct FileListReading {
    std::vector<FileDescriptor> files; // the entries taken, in the list's order
    QStringList refusals;              // one log line per entry refused (never its name)
    QString problem;                   // set when the list as a whole is unreadable
};

// Why a name from the server may not be used, empty when it may: empty names or parts,
// absolute names, drive letters and stream names (":"), "." and ".." parts, device
// names (CON, NUL, COM1, ...), control characters, broken UTF-16, too deep, too long.
[[nodiscard]] QString RemoteNameProblem(const QString &name);

// A server's FileGroupDescriptorW data.
[[nodiscard]] FileListReading ReadFileGroupDescriptor(const std::uint8_t *data, std::size_t size);

// The FileGroupDescriptorW data for files (names with "/" are sent with "\").
// Entries whose name does not fit a descriptor are left out.
[[nodiscard]] QByteArray BuildFileGroupDescriptor(const std::vector<FileDescriptor> &files);

} // namespace tsc::clipboard
