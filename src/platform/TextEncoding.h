#pragma once

#include <string>
#include <string_view>

namespace tsc::detail {

// Appends one Unicode code point (up to U+10FFFF) as UTF-8.
void AppendUtf8(std::string &out, char32_t code);
// The character of one Windows-1252 code (1..255), as UTF-8.
[[nodiscard]] std::string Windows1252ToUtf8(unsigned code);
// A whole text: UTF-8 stays as it is; anything else is taken as Windows-1252, the
// code page of files made on Windows.
[[nodiscard]] std::string TextAsUtf8(std::string_view bytes);
[[nodiscard]] bool IsValidUtf8(std::string_view bytes);

} // namespace tsc::detail
