#pragma once

// The language table: captions and branding shared by all sessions of a terminal
// server. Until a table is loaded every lookup answers with the built-in text.

#include <string>
#include <string_view>

namespace tsc::shell {

// Loads the table from shared memory or from `path` (empty: the registered file).
// True when a table is loaded.
[[nodiscard]] bool LoadLanguage(const std::string &path);
void RegisterLanguage(const std::string &path);
void ReleaseLanguage();

// The text stored under prefix + identifier, or `fallback`.
[[nodiscard]] std::string LookupText(std::string_view prefix, std::string_view identifier, std::string_view fallback);

} // namespace tsc::shell
