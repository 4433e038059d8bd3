#pragma once

// The text layer of profile files: decoding the bytes of a file the way the reader
// accepts them, encoding the lines the writer produces, and the runtime-style
// integer reading of numeric values. Pure functions over bytes and UTF-8 strings.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tsc::profiles {

enum class ProfileEncoding {
    Utf16WithMark, // FF FE, then UTF-16 LE
    Utf16,         // second byte 00: UTF-16 LE without mark
    EightBit,      // UTF-8, or Windows-1252 when the bytes are not valid UTF-8
};

struct DecodedProfile {
    ProfileEncoding encoding = ProfileEncoding::EightBit;
    std::string text; // UTF-8, trimmed of codes 0-32 at both ends
};

[[nodiscard]] DecodedProfile DecodeProfileBytes(std::string_view bytes);

// The log tag of an encoding, to follow the application prefix.
[[nodiscard]] const char *EncodingLogTag(ProfileEncoding encoding);

// UTF-16 LE code units (or their bytes) to UTF-8; unpaired surrogates become U+FFFD.
[[nodiscard]] std::string Utf16ToUtf8(const std::u16string &units);
// UTF-8 to UTF-16 code units; invalid sequences become U+FFFD.
[[nodiscard]] std::u16string Utf8ToUtf16(std::string_view text);

// Removes characters with codes 0-32 from both ends.
[[nodiscard]] std::string TrimControls(std::string_view text);

// Splits at CR LF, CR or LF.
[[nodiscard]] std::vector<std::string> SplitProfileLines(std::string_view text);

// FF FE, then each line as UTF-16 LE followed by CR LF.
[[nodiscard]] std::string EncodeProfileLines(const std::vector<std::string> &lines);

// Reads an integer like the runtime's conversion: leading blanks, an optional sign,
// "$", "x" or "0x" for hexadecimal; reading stops at the first character that does
// not belong (or would overflow a 32-bit integer) and the digits read so far count.
[[nodiscard]] std::int32_t RuntimeIntegerValue(std::string_view text);

[[nodiscard]] std::string LowerAscii(std::string_view text);
[[nodiscard]] bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix);

} // namespace tsc::profiles
