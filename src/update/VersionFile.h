#pragma once

// The version file an update host publishes, and the tests the update check applies
// to its reply: one header line must read "Content-type: text/plain" and the body
// must have exactly two lines, the published version and its update signature.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc::update {

// A longer reply is no version file; reading stops there.
inline constexpr std::size_t MaximumVersionReply = 4096;

// Splits at CR LF, LF or CR. A break at the very end starts no further line, but any
// further empty line counts. Lines are not trimmed.
[[nodiscard]] std::vector<std::string> SplitReplyLines(std::string_view text);

// Whether a header line, trimmed and upper-cased, is "CONTENT-TYPE: TEXT/PLAIN"
// (so a charset parameter does not pass).
[[nodiscard]] bool DeclaresPlainText(std::string_view headerLine);

struct PublishedVersion {
    std::string version;   // line 1, e.g. "4.0.66.1"
    std::string signature; // line 2, 32 hexadecimal digits of any case
};
// The two lines of a body; empty unless it has exactly two.
[[nodiscard]] std::optional<PublishedVersion> ParseVersionBody(std::string_view body);

// The part after the second ".", e.g. "66.1" of "4.0.66.1"; empty with fewer than two.
[[nodiscard]] std::string VersionKey(std::string_view version);

} // namespace tsc::update
