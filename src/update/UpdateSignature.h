#pragma once

// The update signature: the MD5 digest of a file as 32 lower-case hexadecimal
// digits, passed through the signature key table that the publisher shares with
// every client. It only tells a damaged or mismatched download from the published
// one: the table ships inside the client, so it proves nothing about the publisher
// (PublisherSignature.h does).

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tsc::update {

// 16 rows, each a permutation of "0123456789abcdef".
using SignatureKeyTable = std::array<std::string, 16>;

// The table of this project's published builds.
[[nodiscard]] const SignatureKeyTable &ProjectSignatureKeyTable();
// Reads a table of 16 lines (blank lines and lines starting with "#" skipped); empty
// unless every row is a permutation of the 16 digits.
[[nodiscard]] std::optional<SignatureKeyTable> ParseSignatureKeyTable(std::string_view text);

// The largest executable the update takes: a bigger file is no client.
inline constexpr std::uint64_t MaximumExecutableSize = 512ull * 1024 * 1024;

[[nodiscard]] std::string Md5Hex(const unsigned char *data, std::size_t length);
// Character i (from 1) is looked up in row i mod 16 and replaced by the character at
// the same position of row 15 - (i mod 16); other characters stay.
[[nodiscard]] std::string KeyedSignature(std::string_view digestHex, const SignatureKeyTable &table);
// The update signature of a file; that of empty content when the file cannot be
// mapped, is empty or is larger than MaximumExecutableSize.
[[nodiscard]] std::string UpdateSignature(std::string_view file,
                                          const SignatureKeyTable &table = ProjectSignatureKeyTable());
// Signatures compare with "A" to "Z" lower-cased on both sides.
[[nodiscard]] bool SignaturesEqual(std::string_view a, std::string_view b);

} // namespace tsc::update
