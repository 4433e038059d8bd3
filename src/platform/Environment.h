#pragma once

// Reading environment values with the length rules the folder operations share.

#include <cstddef>
#include <optional>
#include <string>

namespace tsc::detail {

// Longest environment value taken as a folder: longer ones would not have fit the
// 1024-character working buffers these folders were always asked into.
inline constexpr std::size_t MaximumFolderValueLength = 1022;

// The value of an environment variable when it "counts": longer than minimumLength
// and no longer than MaximumFolderValueLength characters.
[[nodiscard]] std::optional<std::string> CountingEnvironmentValue(const char *name,
                                                                  std::size_t minimumLength);

// $HOME, else the home folder of the effective user's passwd entry; empty when neither.
[[nodiscard]] std::string HomeFolder();

// An XDG base folder: the variable when it counts, else $HOME + fallbackBelowHome.
// Empty when neither is available.
[[nodiscard]] std::string XdgFolder(const char *variable, const char *fallbackBelowHome);

// The first entry of $XDG_CONFIG_DIRS, else /etc/xdg.
[[nodiscard]] std::string FirstXdgConfigDir();

} // namespace tsc::detail
