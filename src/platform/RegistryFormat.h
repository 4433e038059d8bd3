#pragma once

// The REGEDIT4 text of one hive, parsed and written as pure functions over bytes.
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SOFTWARE\TerminalServer]
//   "name"="text with \\ and \" escaped"
//   "count"=dword:0000002a
//   "blob"=hex:01,02,ff
//   "list"=hex(7):61,00,62,00,00
//   @="the default value"

#include "Registry.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tsc::detail {

// A hive file larger than this is not read: it cannot be one this client wrote.
inline constexpr std::size_t MaximumHiveFileSize = 4u * 1024u * 1024u;

struct RegistryKeyContent {
    std::string path; // below the hive root, "\"-separated; empty for the root itself
    std::vector<std::pair<std::string, RegistryValue>> values;
};

struct HiveContent {
    std::vector<RegistryKeyContent> keys; // in file order
};

// rootName is "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE". Empty when the text is not
// a hive file of that root; problem then says why.
[[nodiscard]] std::optional<HiveContent> ParseRegistryText(std::string_view bytes, std::string_view rootName,
                                                           std::string *problem = nullptr);
[[nodiscard]] std::string FormatRegistryText(const HiveContent &hive, std::string_view rootName);

[[nodiscard]] bool SameRegistryName(std::string_view a, std::string_view b); // without regard to ASCII case

} // namespace tsc::detail
