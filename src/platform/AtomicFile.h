#pragma once

// Whole-file reads and atomic replacement shared by the registry hives and INI files.

#include "PrivateFiles.h"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

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

// Reads what descriptor gives, at most maximumSize bytes, and closes it: for a file
// opened once and checked as opened.
[[nodiscard]] FileContent ReadOpenFile(int descriptor, std::size_t maximumSize);

// Writes a temporary file in the same folder (created when missing and checked for
// use), flushes it to disk and renames it over path, so a reader sees either the
// old or the new file, never a part. A link at path is replaced, never followed.
[[nodiscard]] bool ReplaceFileAtomically(const std::string &path, std::string_view bytes, mode_t mode,
                                         FolderUse use = FolderUse::Private);

// A file written in pieces that replaces path in one step once it is complete: the
// bytes go to a private temporary file beside path (CreateTemporaryFile), Commit
// flushes it and renames it over path. What is at path must be the user's: a link
// of the user's is replaced, never followed; another user's file or link is left
// alone (EPERM), and so is a folder (EISDIR). A new file
// gets mode 0600, a replaced one keeps its mode. Until Commit nothing at path
// changes; without Commit the temporary file goes when the object does.
class ReplacingFile {
  public:
    explicit ReplacingFile(std::string path) : path_(std::move(path)) {}
    ~ReplacingFile() { Cancel(); }
    ReplacingFile(const ReplacingFile &) = delete;
    ReplacingFile &operator=(const ReplacingFile &) = delete;

    [[nodiscard]] bool Open();
    [[nodiscard]] bool Write(std::string_view bytes);
    [[nodiscard]] bool Commit();
    void Cancel();
    // The errno code of the first failure; 0 when there was none.
    [[nodiscard]] int Error() const { return error_; }

  private:
    bool Fail(int code);

    std::string path_;
    std::string temporary_;
    int descriptor_ = -1;
    int error_ = 0;
};

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
