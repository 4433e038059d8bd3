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

// The file carries the read-only attribute: nobody may write it (no write bit), or
// this user may not.
[[nodiscard]] bool IsReadOnlyFile(const std::string &path);

// Opens the file read-only and reads it whole when its size is within
// [1, maximumSize]; size receives the file's size either way. 0 or an errno code.
[[nodiscard]] int ReadSmallFile(const std::string &path, std::size_t maximumSize, std::string &content,
                                std::size_t &size);

// Called after the new content is written and flushed, before it replaces the old
// file; a non-zero errno result abandons the replacement. Tests use it to stand for
// a crash or a failing disk at the last moment.
using BeforeReplaceHook = std::function<int(const std::string &temporaryPath)>;

// Replaces the file's content atomically: a temporary file in the same folder is
// written, flushed to disk and renamed over the old one, so readers see either the
// whole old or the whole new profile. An existing file with the read-only attribute
// is left alone (EACCES). A new file gets the usual creation mode; a replaced one
// keeps its mode. 0 or an errno code.
[[nodiscard]] int ReplaceFileAtomically(const std::string &path, std::string_view content,
                                        const BeforeReplaceHook &beforeReplace = {});

} // namespace tsc::profiles
