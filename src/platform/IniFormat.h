#pragma once

// The text of a Windows INI file, parsed and written as pure functions over bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc::detail {

// An INI file larger than this is not one this client wrote; it is treated as damaged.
inline constexpr std::size_t MaximumIniFileSize = 1024u * 1024u;

struct IniEntry {
    std::string key, value;
};
struct IniSection {
    std::string name;
    std::vector<IniEntry> entries;
};

// Empty when the bytes are not text (zero bytes or other control characters).
// Text that is not UTF-8 is read as Windows-1252. Lines outside a section and lines
// without "=" are skipped, as Windows does.
[[nodiscard]] std::optional<std::vector<IniSection>> ParseIniText(std::string_view bytes);
[[nodiscard]] std::string FormatIniText(const std::vector<IniSection> &sections);

// A value read as an integer: an optional sign, then decimal digits or hexadecimal
// ones after "$" or "0x"; fallback for anything else or a value outside int.
[[nodiscard]] int IniIntegerValue(const std::string &text, int fallback);

} // namespace tsc::detail
