#pragma once

// The few file-system operations the profile functions need. Each answers with a
// value or an errno code and never throws.

#include <functional>
#include <string>
#include <string_view>

namespace tsc::profiles {

// A regular file (or a link to one) exists under the path. Folders, devices and
// pipes do not count: reading one could block or never end.
[[nodiscard]] bool ProfileFileExists(const std::string &path);

// Anything exists under the path (a link is followed).
[[nodiscard]] bool AnythingExists(const std::string &path);

// The file carries the read-only attribute: nobody may write it (no write bit), or
// this user may not.
[[nodiscard]] bool IsReadOnlyFile(const std::string &path);

// Opens the file read-only and reads it whole when its size is within
// [1, maximumSize]; size receives the file's size either way. 0 or an errno code.
[[nodiscard]] int ReadSmallFile(const std::string &path, std::size_t maximumSize, std::string &content,
                                std::size_t &size);

// Why the existing file at path may not be replaced by a profile the program
// writes; empty when it may (or when there is no file). Only a regular file of this
// user, not a link, that the reader could read (below the size limit) is replaced.
[[nodiscard]] std::string WriteBackRefusal(const std::string &path, std::size_t sizeLimit);

// Called after the new content is written and flushed, before it replaces the old
// file; a non-zero errno result abandons the replacement. Tests use it to stand for
// a crash or a failing disk at the last moment.
using BeforeReplaceHook = std::function<int(const std::string &temporaryPath)>;

// Replaces the file's content atomically: a temporary file in the same folder is
// written, flushed to disk and renamed over the old one, so readers see either the
// whole old or the whole new profile. A link at path is replaced itself, never the
// file it points to. An existing file with the read-only attribute is left alone
// (EACCES). A new file gets mode 0600; a replaced one keeps its mode. A full disk
// gives ENOSPC, a file-size limit EFBIG. 0 or an errno code.
[[nodiscard]] int ReplaceFileAtomically(const std::string &path, std::string_view content,
                                        const BeforeReplaceHook &beforeReplace = {});

} // namespace tsc::profiles
