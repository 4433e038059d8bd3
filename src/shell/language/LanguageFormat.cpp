#include "LanguageFormat.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace tsc::language {

namespace {

std::uint32_t ReadU32(std::span<const std::uint8_t> bytes, std::size_t offset) {
    const std::uint8_t *p = bytes.data() + offset;
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void WriteU32(std::span<std::uint8_t> bytes, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::span<const std::uint8_t> DataArea(std::span<const std::uint8_t> table) {
    return table.subspan(HeaderSize);
}

std::span<const std::uint8_t> Image(std::span<const std::uint8_t> table, std::size_t sizeOffset,
                                    std::size_t imageOffset, std::size_t slot) {
    const auto data = DataArea(table);
    if (data.size() < TextOffset) return {};
    const std::uint32_t size = ReadU32(data, sizeOffset);
    if (size == 0 || size > slot) return {};
    return data.subspan(imageOffset, size);
}

bool IsTrimmed(unsigned char c) {
    return c <= ' ' || c == 0x7F;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<Header> ParseHeader(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < HeaderSize) return std::nullopt;
    Header header;
    std::copy_n(bytes.begin() + DigestOffset, header.digest.size(), header.digest.begin());
    header.version = ReadU32(bytes, VersionOffset);
    header.textLength = ReadU32(bytes, TextLengthOffset);
    return header;
}

std::string_view VerdictText(Verdict verdict) {
    switch (verdict) {
    case Verdict::Accepted:
        return "accepted";
    case Verdict::Truncated:
        return "shorter than its header";
    case Verdict::WrongVersion:
        return "not of version 5";
    case Verdict::TextTooLong:
        return "text length out of bounds";
    case Verdict::FileTooLarge:
        return "larger than any language file";
    case Verdict::BadStream:
        return "damaged data";
    case Verdict::DataTooLong:
        return "data larger than its table";
    case Verdict::WrongDigest:
        return "digest differs";
    case Verdict::WrongSize:
        return "size differs from its header";
    }
    return "refused";
}

Verdict InflateInto(std::span<const std::uint8_t> stream, std::span<std::uint8_t> out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return Verdict::BadStream;
    // zlib counts in 32-bit units; both sides are bounded far below that.
    z.next_in = const_cast<Bytef *>(stream.data());
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(stream.size(), std::numeric_limits<uInt>::max()));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size(), std::numeric_limits<uInt>::max()));
    const int status = inflate(&z, Z_FINISH);
    const bool full = z.avail_out == 0;
    inflateEnd(&z);
    if (status == Z_STREAM_END) return Verdict::Accepted;
    // Out of room with more to come: the stream holds more than the table.
    if (full && (status == Z_BUF_ERROR || status == Z_OK)) return Verdict::DataTooLong;
    return Verdict::BadStream;
}

Digest Md5(std::span<const std::uint8_t> bytes) {
    Digest digest{};
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_md5(), nullptr);
    return digest;
}

bool DigestMatches(std::span<const std::uint8_t> table, const Header &header) {
    if (table.size() < TableSize(header.textLength)) return false;
    return Md5(DataArea(table).first(TextOffset + header.textLength)) == header.digest;
}

Verdict CheckFileHeader(std::span<const std::uint8_t> fileBytes, std::size_t fileSize, Header &header) {
    const auto parsed = ParseHeader(fileBytes);
    if (!parsed || fileSize < HeaderSize) return Verdict::Truncated;
    header = *parsed;
    if (header.version != FormatVersion) return Verdict::WrongVersion;
    if (header.textLength > MaximumTextLength) return Verdict::TextTooLong;
    if (fileSize > MaximumFileSize) return Verdict::FileTooLarge;
    return Verdict::Accepted;
}

Verdict UnpackFile(std::span<const std::uint8_t> fileBytes, const Header &header,
                   std::span<std::uint8_t> table) {
    if (fileBytes.size() < HeaderSize || table.size() != TableSize(header.textLength))
        return Verdict::Truncated;
    std::copy_n(fileBytes.begin(), HeaderSize, table.begin());
    const Verdict inflated = InflateInto(fileBytes.subspan(HeaderSize), table.subspan(HeaderSize));
    if (inflated != Verdict::Accepted) return inflated;
    return DigestMatches(table, header) ? Verdict::Accepted : Verdict::WrongDigest;
}

Verdict CheckTable(std::span<const std::uint8_t> table) {
    Header header;
    if (const Verdict verdict = CheckFileHeader(table, HeaderSize, header); verdict != Verdict::Accepted)
        return verdict;
    if (table.size() != TableSize(header.textLength)) return Verdict::WrongSize;
    return DigestMatches(table, header) ? Verdict::Accepted : Verdict::WrongDigest;
}

std::string_view TableText(std::span<const std::uint8_t> table) {
    const auto header = ParseHeader(table);
    if (!header || header->textLength > MaximumTextLength || table.size() < TableSize(header->textLength))
        return {};
    return {reinterpret_cast<const char *>(DataArea(table).data() + TextOffset), header->textLength};
}

std::span<const std::uint8_t> FirstImage(std::span<const std::uint8_t> table) {
    if (table.size() < HeaderSize) return {};
    return Image(table, FirstImageSizeOffset, FirstImageOffset, FirstImageSlot);
}

std::span<const std::uint8_t> SecondImage(std::span<const std::uint8_t> table) {
    if (table.size() < HeaderSize) return {};
    return Image(table, SecondImageSizeOffset, SecondImageOffset, SecondImageSlot);
}

FontFace TableFont(std::span<const std::uint8_t> table) {
    FontFace font;
    if (table.size() < HeaderSize + TextOffset) return font;
    const auto data = DataArea(table);
    const char *name = reinterpret_cast<const char *>(data.data() + FontNameOffset);
    // A name that fills all 32 bytes has no zero byte: it ends with its field.
    font.name.assign(name, strnlen(name, FontNameSize));
    font.colour = ReadU32(data, FontColourOffset);
    font.pointSize = ReadU32(data, FontSizeOffset);
    font.style = ReadU32(data, FontStyleOffset);
    return font;
}

std::optional<std::vector<std::uint8_t>> BuildFile(const FileContents &contents) {
    if (contents.text.size() > MaximumTextLength || contents.firstImage.size() > FirstImageSlot ||
        contents.secondImage.size() > SecondImageSlot || contents.font.name.size() > FontNameSize)
        return std::nullopt;
    const auto n = static_cast<std::uint32_t>(contents.text.size());
    std::vector<std::uint8_t> data(TextOffset + n, 0);
    const auto put = [&](std::size_t sizeOffset, std::size_t offset, const std::vector<std::uint8_t> &image) {
        WriteU32(data, sizeOffset, static_cast<std::uint32_t>(image.size()));
        std::copy(image.begin(), image.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
    };
    put(FirstImageSizeOffset, FirstImageOffset, contents.firstImage);
    put(SecondImageSizeOffset, SecondImageOffset, contents.secondImage);
    std::copy(contents.font.name.begin(), contents.font.name.end(), data.begin() + FontNameOffset);
    WriteU32(data, FontColourOffset, contents.font.colour);
    WriteU32(data, FontSizeOffset, contents.font.pointSize);
    WriteU32(data, FontStyleOffset, contents.font.style);
    std::copy(contents.text.begin(), contents.text.end(), data.begin() + TextOffset);

    std::vector<std::uint8_t> file(HeaderSize + compressBound(static_cast<uLong>(data.size())), 0);
    static constexpr std::string_view Signature = "Terminal Server Client language table\r\n";
    std::copy(Signature.begin(), Signature.end(), file.begin());
    const Digest digest = Md5(data);
    std::copy(digest.begin(), digest.end(), file.begin() + DigestOffset);
    WriteU32(file, VersionOffset, FormatVersion);
    WriteU32(file, TextLengthOffset, n);
    uLongf packed = static_cast<uLongf>(file.size() - HeaderSize);
    if (compress2(file.data() + HeaderSize, &packed, data.data(), static_cast<uLong>(data.size()), 9) != Z_OK)
        return std::nullopt;
    file.resize(HeaderSize + packed);
    return file;
}

// ---------------------------------------------------------------------------

LookupResult FindLine(std::string_view text, std::string_view prefix, std::string_view identifier,
                      std::string_view fallback) {
    LookupResult result{std::string(fallback), false};
    if (prefix.size() != 3 || identifier.size() != 8) return result;
    const std::string key = std::string(prefix) + "-" + std::string(identifier) + ":";
    std::size_t position = 0;
    while (text.compare(position, key.size(), key) != 0) {
        if (position >= text.size()) return result;
        const std::size_t lf = text.find('\n', position);
        position = lf == std::string_view::npos ? text.size() : lf + 1;
    }
    const std::size_t lf = text.find('\n', position);
    std::string_view line = text.substr(position, lf == std::string_view::npos ? text.npos : lf - position);
    if (line.size() <= key.size()) return result;
    while (!line.empty() && IsTrimmed(static_cast<unsigned char>(line.front())))
        line.remove_prefix(1);
    while (!line.empty() && IsTrimmed(static_cast<unsigned char>(line.back())))
        line.remove_suffix(1);
    line.remove_prefix(std::min(line.size(), key.size()));
    if (const std::size_t comment = line.find("//"); comment != std::string_view::npos)
        line = line.substr(0, comment);
    result.text.assign(line);
    result.found = true;
    return result;
}

namespace {

// The text as pieces, each either from the table or put in by a replacement.
struct Piece {
    std::string text;
    bool inserted;
};

std::vector<Piece> ReplacePlaceholders(std::string_view text, const IdentityValues &identity) {
    std::vector<Piece> pieces{{std::string(text), false}};
    const std::pair<std::string_view, const std::string *> placeholders[] = {
        {"%cAppName%", &identity.appName},
        {"%cAppTitle%", &identity.appTitle},
        {"%cAppPrefix%", &identity.appPrefix},
        {"%sDesktopFilename%", &identity.desktopFilename},
        {"%Dottedversion%", &identity.dottedVersion},
        {"%HTMLversion%", &identity.underscoredVersion},
    };
    for (const auto &[placeholder, value] : placeholders) {
        std::vector<Piece> next;
        for (Piece &piece : pieces) {
            if (piece.inserted) {
                next.push_back(std::move(piece));
                continue;
            }
            std::size_t start = 0;
            for (std::size_t at; (at = piece.text.find(placeholder, start)) != std::string::npos;
                 start = at + placeholder.size()) {
                next.push_back({piece.text.substr(start, at - start), false});
                next.push_back({*value, true});
            }
            next.push_back({piece.text.substr(start), false});
        }
        pieces = std::move(next);
    }
    return pieces;
}

// Decodes one piece of table text onto `result`; false when decoding stopped at a
// "%" that is no escape (the rest of the piece is then appended as it is).
bool DecodeOnto(std::string_view text, std::string &result) {
    std::string buffer(text);
    std::size_t position = 0;
    for (;;) {
        const std::size_t percent = buffer.find('%', position);
        if (percent == std::string::npos) {
            result.append(buffer, position);
            return true;
        }
        result.append(buffer, position, percent - position);
        const int high = percent + 2 < buffer.size() ? HexValue(buffer[percent + 1]) : -1;
        const int low = percent + 2 < buffer.size() ? HexValue(buffer[percent + 2]) : -1;
        if (high < 0 || low < 0 || (high | low) == 0) {
            result.append(buffer, percent);
            return false;
        }
        // Everything before the escape holds no "%": searching again from the start
        // finds the decoded character first, so decoding goes on from there.
        buffer[percent + 2] = static_cast<char>(high * 16 + low);
        position = percent + 2;
    }
}

} // namespace

std::string ExpandText(std::string_view text, const IdentityValues &identity, bool &prefixReset) {
    std::string result;
    bool decoding = true;
    for (const Piece &piece : ReplacePlaceholders(text, identity)) {
        if (piece.inserted || !decoding)
            result += piece.text;
        else
            decoding = DecodeOnto(piece.text, result);
    }
    prefixReset = identity.appPrefix.size() != 3;
    return result;
}

std::string DecodeEscapes(std::string_view text) {
    std::string result;
    (void)DecodeOnto(text, result);
    return result;
}

} // namespace tsc::language
