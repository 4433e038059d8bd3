#pragma once

// The process-wide language table: captions, branding and the window font, shared by
// all sessions of a terminal server. Until a table is loaded every lookup answers
// with the built-in text. Used on the user-interface thread only.
//
// The first client that loads a language file publishes the table in a named shared
// block; later clients map that block read-only, check it and copy it. A block is
// trusted only when it is whole (its size fits its header, its digest fits its data)
// and its header is that of the language file registered for the machine, so that a
// block planted by another user cannot change what this user sees.

#include "LanguageFormat.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tsc::shell {

// Machine hive key and values that publish the language file.
inline constexpr std::string_view TerminalServerKey =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Terminal Server";
inline constexpr std::string_view LanguageValueName = "wez Language";
inline constexpr std::string_view AppNameValueName = "wez AppName";
inline constexpr std::string_view PrefixValueName = "wez Prefix";

// Name of the shared block: the format version follows it.
inline constexpr std::string_view SharedBlockName = "Merevant_BV_2008_LANG_v_5";
// The native key of the shared block: a key file in the temporary folder.
[[nodiscard]] std::string SharedBlockKey();

// Loads the table from the shared block or from `path` (empty: the registered
// file) and takes the identity values it holds. True when a table is loaded.
[[nodiscard]] bool LoadLanguage(const std::string &path);
// Records the language file and the identity for the machine; the first failure's
// errno-style code, 0 when every write succeeded.
int RegisterLanguage(const std::string &path);
void ReleaseLanguage();

enum class LanguageOrigin { None, SharedMemory, File };
[[nodiscard]] LanguageOrigin CurrentLanguageOrigin();
[[nodiscard]] bool HasLanguageTable();

// Lines for the log about where the table came from and what was refused; the log
// does not exist yet while the table loads. Each call hands them over once.
[[nodiscard]] std::vector<std::string> TakeLanguageLogLines();

// The text stored under prefix + identifier, expanded, or `fallback`.
[[nodiscard]] std::string LookupText(std::string_view prefix, std::string_view identifier,
                                     std::string_view fallback);
[[nodiscard]] language::LookupResult LookupTextFound(std::string_view prefix, std::string_view identifier,
                                                     std::string_view fallback);

// The table's window font; empty without a table.
[[nodiscard]] std::optional<language::FontFace> LanguageFont();
// The table's images (bytes of an image file); empty without a table or image.
[[nodiscard]] std::span<const std::uint8_t> LanguageFirstImage();
[[nodiscard]] std::span<const std::uint8_t> LanguageSecondImage();

} // namespace tsc::shell
