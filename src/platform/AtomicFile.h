#pragma once

// Whole-file reads and atomic replacement shared by the registry hives and INI files.

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace tsc::detail {

enum class ReadOutcome { Read, Missing, Unreadable, TooBig };

struct FileContent {
    ReadOutcome outcome = ReadOutcome::Missing;
    std::string bytes;
};

// Reads a file of at most maximumSize bytes.
[[nodiscard]] FileContent ReadWholeFile(const std::string &path, std::size_t maximumSize);

// The same for a file that someone else may have replaced: anything that is not a
// regular file (a folder, a FIFO, a device) is Unreadable, and opening never blocks.
[[nodiscard]] FileContent ReadRegularFile(const std::string &path, std::size_t maximumSize);

// Writes a temporary file in the same folder, flushes it to disk and renames it over
// path, so a reader sees either the old or the new file, never a part.
[[nodiscard]] bool ReplaceFileAtomically(const std::string &path, std::string_view bytes, mode_t mode);

// Renames a damaged file to path + ".damaged-" + time stamp so nothing in it is lost;
// returns the new name, or empty when it could not be moved.
[[nodiscard]] std::string KeepDamagedFile(const std::string &path);

// An exclusive advisory lock on path + ".lock", held while the object lives.
class FileLock {
public:
    explicit FileLock(const std::string &path);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    [[nodiscard]] bool Held() const { return descriptor_ >= 0; }

private:
    int descriptor_ = -1;
};

} // namespace tsc::detail
