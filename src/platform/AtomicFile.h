#pragma once

// Whole-file reads and atomic replacement shared by the registry hives and INI files.

#include "PrivateFiles.h"

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

// Reads a file of at most maximumSize bytes. The folder must pass FolderProblem for
// use and the file must be ours (or root's, for a shared folder); a link is not
// followed. An unsafe folder or file counts as unreadable.
[[nodiscard]] FileContent ReadWholeFile(const std::string &path, std::size_t maximumSize,
                                        FolderUse use = FolderUse::Private);

// The same for a file that someone else may have replaced: anything that is not a
// regular file (a folder, a FIFO, a device) is Unreadable, and opening never blocks.
[[nodiscard]] FileContent ReadRegularFile(const std::string &path, std::size_t maximumSize);

// Writes a temporary file in the same folder (created when missing and checked for
// use), flushes it to disk and renames it over path, so a reader sees either the
// old or the new file, never a part. A link at path is replaced, never followed.
[[nodiscard]] bool ReplaceFileAtomically(const std::string &path, std::string_view bytes, mode_t mode,
                                         FolderUse use = FolderUse::Private);

// Renames a damaged file to path + ".damaged-" + time stamp so nothing in it is lost;
// returns the new name, or empty when it could not be moved.
[[nodiscard]] std::string KeepDamagedFile(const std::string &path);

// An exclusive advisory lock on path + ".lock", held while the object lives. The
// lock file is a private file: a link or another user's file there is not used.
class FileLock {
  public:
    explicit FileLock(const std::string &path, FolderUse use = FolderUse::Private);
    ~FileLock();
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;
    [[nodiscard]] bool Held() const { return descriptor_ >= 0; }

  private:
    int descriptor_ = -1;
};

} // namespace tsc::detail
