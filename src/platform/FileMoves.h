#pragma once

// File moves that never replace a file, and the folder listing they work on. Each
// answers with a value or an errno code and never throws.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc {

// The entries of a folder that are no folders themselves (links count as what they
// point to) and whose names `wanted` accepts, in the order the folder delivers them.
struct FolderEntries {
    std::vector<std::string> files;
    int error = 0; // errno when the folder could not be read
};
[[nodiscard]] FolderEntries ReadFolderFiles(const std::string &folder,
                                            const std::function<bool(std::string_view)> &wanted);

// Renames without ever replacing: renameat2 with RENAME_NOREPLACE where the file
// system knows it, else link and unlink, which refuse an existing target as well.
[[nodiscard]] int RenameNoReplace(const std::string &from, const std::string &to);
// Copies through a temporary file beside the target, flushed to disk, so the target
// never holds a part of a file. The first refuses an existing target (EEXIST), the
// second replaces it atomically. The copy keeps the source's mode.
[[nodiscard]] int CopyFileNoReplace(const std::string &source, const std::string &target);
[[nodiscard]] int CopyFileReplacing(const std::string &source, const std::string &target);

struct MoveResult {
    int copyError = 0;   // the file is still only in the old place
    int deleteError = 0; // the file is in both places
};
// A rename where both lie on one file system, else a copy and a delete; never
// replaces a file at `to`.
[[nodiscard]] MoveResult MoveFileNoReplace(const std::string &from, const std::string &to);

// The two paths name one directory (or, when either cannot be examined, are spelled
// the same but for a final separator).
[[nodiscard]] bool SameFolder(const std::string &a, const std::string &b);
// Anything exists under the path, a dangling link included.
[[nodiscard]] bool PathExists(const std::string &path);
[[nodiscard]] int RemoveFile(const std::string &path);

} // namespace tsc
