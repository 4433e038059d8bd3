#pragma once

// The language file and the language table it unpacks into, as plain bytes.
//
// File: a 312-byte header (bytes 280-295 the MD5 digest of the data area up to the
// end of its text, 296-299 the format version 5, 300-303 the text length N, both
// little-endian) followed by the data area as a zlib stream. Table: the header, then
// the inflated data area: 1,048,580 bytes carried unread, two size-prefixed image
// slots, the font, the text of N bytes and 1,024 spare bytes.
//
// Everything here treats its input as hostile: every length is bounded before it is
// used to allocate, copy or index, so a file or a shared block written by someone
// else can at worst give "no table".

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tsc::language {

inline constexpr std::uint32_t FormatVersion = 5;
inline constexpr std::size_t HeaderSize = 312;
inline constexpr std::size_t DigestOffset = 280;
inline constexpr std::size_t VersionOffset = 296;
inline constexpr std::size_t TextLengthOffset = 300;

// Offsets inside the data area.
inline constexpr std::size_t FirstImageSizeOffset = 1'048'580;
inline constexpr std::size_t FirstImageOffset = 1'048'584;
inline constexpr std::size_t FirstImageSlot = 10'240;
inline constexpr std::size_t SecondImageSizeOffset = 1'058'824;
inline constexpr std::size_t SecondImageOffset = 1'058'828;
inline constexpr std::size_t SecondImageSlot = 20'488;
inline constexpr std::size_t FontNameOffset = 1'079'316;
inline constexpr std::size_t FontNameSize = 32;
inline constexpr std::size_t FontColourOffset = 1'079'348;
inline constexpr std::size_t FontSizeOffset = 1'079'352;
inline constexpr std::size_t FontStyleOffset = 1'079'356;
inline constexpr std::size_t TextOffset = 1'079'360;
inline constexpr std::size_t SpareAfterText = 1'024;

// The longest text a table may hold. Real tables hold a few kilobytes; the bound
// keeps a forged N from asking for gigabytes.
inline constexpr std::uint32_t MaximumTextLength = 4u << 20;
// The largest file worth reading: a zlib stream of the largest data area, stored.
inline constexpr std::size_t MaximumFileSize =
    HeaderSize + TextOffset + MaximumTextLength + SpareAfterText + (1u << 20);

// Size of the data area and of the whole table for a text of N bytes.
[[nodiscard]] constexpr std::size_t DataCapacity(std::uint32_t n) {
    return TextOffset + n + SpareAfterText;
}
[[nodiscard]] constexpr std::size_t TableSize(std::uint32_t n) {
    return HeaderSize + DataCapacity(n);
}

using Digest = std::array<std::uint8_t, 16>;

struct Header {
    Digest digest{};
    std::uint32_t version = 0;
    std::uint32_t textLength = 0; // N
};

// The header fields of the first 312 bytes; empty when fewer bytes are given.
[[nodiscard]] std::optional<Header> ParseHeader(std::span<const std::uint8_t> bytes);

// Why a file or block was refused; Accepted when it is sound.
enum class Verdict {
    Accepted,
    Truncated,    // shorter than a header
    WrongVersion, // version other than 5
    TextTooLong,  // N above MaximumTextLength
    FileTooLarge, // more bytes than any table can need
    BadStream,    // the zlib stream is damaged or does not end
    DataTooLong,  // the stream inflates to more than the data area holds
    WrongDigest,  // the MD5 digest of the data area differs from the header's
    WrongSize,    // a shared block whose size is not the table size of its N
};
[[nodiscard]] std::string_view VerdictText(Verdict verdict);

// Inflates a zlib stream into `out` without ever writing past its end: Accepted when
// the stream ended within `out`, DataTooLong when it would give more, BadStream else.
[[nodiscard]] Verdict InflateInto(std::span<const std::uint8_t> stream, std::span<std::uint8_t> out);

[[nodiscard]] Digest Md5(std::span<const std::uint8_t> bytes);

// Checks a header against the data area that follows it in `table` (size
// TableSize(N)): the digest over the data area up to the end of the text.
[[nodiscard]] bool DigestMatches(std::span<const std::uint8_t> table, const Header &header);

// A language file is read in two steps: its header is checked against the file's
// size first, so that only then the caller sizes a zero-filled table with
// TableSize(header.textLength) and unpacks the whole file into it.
[[nodiscard]] Verdict CheckFileHeader(std::span<const std::uint8_t> fileBytes, std::size_t fileSize,
                                      Header &header);
[[nodiscard]] Verdict UnpackFile(std::span<const std::uint8_t> fileBytes, const Header &header,
                                 std::span<std::uint8_t> table);

// Checks a table some other process wrote: size, version, N and digest.
[[nodiscard]] Verdict CheckTable(std::span<const std::uint8_t> table);

// Views into a checked table.
[[nodiscard]] std::string_view TableText(std::span<const std::uint8_t> table);
// An image's bytes; empty when its size is 0 or does not fit its slot.
[[nodiscard]] std::span<const std::uint8_t> FirstImage(std::span<const std::uint8_t> table);
[[nodiscard]] std::span<const std::uint8_t> SecondImage(std::span<const std::uint8_t> table);

struct FontFace {
    std::string name; // up to the first zero byte, at most 32 characters
    std::uint32_t colour = 0;
    std::uint32_t pointSize = 0;
    std::uint32_t style = 0; // 1 bold, 2 italic, 4 underline, 8 strike-out
};
[[nodiscard]] FontFace TableFont(std::span<const std::uint8_t> table);

// Builds a language file, for the language tool and for tests.
struct FileContents {
    std::string text;
    std::vector<std::uint8_t> firstImage;  // at most FirstImageSlot bytes
    std::vector<std::uint8_t> secondImage; // at most SecondImageSlot bytes
    FontFace font;
};
// Empty when a part does not fit its slot or the text is too long.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> BuildFile(const FileContents &contents);

// ---------------------------------------------------------------------------
// Looking texts up.

struct IdentityValues {
    std::string appTitle, appName, appPrefix, desktopFilename, dottedVersion, underscoredVersion;
};

struct LookupResult {
    std::string text;
    bool found = false;
};

// The raw text of the line with key prefix + "-" + identifier + ":" in `text`, with
// its key removed, trimmed and cut at "//"; found = false with the fallback when the
// key is malformed or missing or its line holds no more than the key.
[[nodiscard]] LookupResult FindLine(std::string_view text, std::string_view prefix,
                                    std::string_view identifier, std::string_view fallback);

// Expands a found text: replaces the identity placeholders in their order, then
// decodes "%" + two hexadecimal digits (not "00") from the first "%" on; the first
// "%" that is no such escape ends decoding and stays, with all after it. A decoded
// "%" may start an escape with the characters after it. Text put in by a replacement
// is taken as it is: never searched for placeholders again, never decoded (an
// identity value was decoded once already when it was looked up). `prefixReset`
// tells that AppPrefix is not 3 characters long.
[[nodiscard]] std::string ExpandText(std::string_view text, const IdentityValues &identity,
                                     bool &prefixReset);

// The escape decoding alone, of text from the table.
[[nodiscard]] std::string DecodeEscapes(std::string_view text);

} // namespace tsc::language
