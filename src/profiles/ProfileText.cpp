#include "ProfileText.h"

#include "TextEncoding.h"

#include <limits>

namespace tsc::profiles {

namespace {

constexpr char32_t ReplacementCharacter = 0xFFFD;

// Decodes one UTF-8 sequence at text[pos]; returns its length, 0 when invalid.
std::size_t DecodeUtf8At(std::string_view text, std::size_t pos, char32_t &code) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    std::size_t length = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, code = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (pos + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte(pos + i) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

std::u16string UnitsFromBytes(std::string_view bytes) {
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return units;
}

} // namespace

std::string Utf16ToUtf8(const std::u16string &units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t code = units[i];
        if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = ReplacementCharacter;
        }
        tsc::detail::AppendUtf8(out, code);
    }
    return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t code = 0;
        std::size_t length = DecodeUtf8At(text, pos, code);
        if (length == 0) {
            code = ReplacementCharacter;
            length = 1;
        }
        pos += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

std::string TrimControls(std::string_view text) {
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isControl(text[begin]))
        ++begin;
    while (end > begin && isControl(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

DecodedProfile DecodeProfileBytes(std::string_view bytes) {
    DecodedProfile decoded;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        decoded.encoding = ProfileEncoding::Utf16WithMark;
        decoded.text = TrimControls(Utf16ToUtf8(UnitsFromBytes(bytes.substr(2))));
    } else if (bytes.size() >= 2 && bytes[1] == '\0') {
        decoded.encoding = ProfileEncoding::Utf16;
        decoded.text = TrimControls(Utf16ToUtf8(UnitsFromBytes(bytes)));
    } else {
        decoded.encoding = ProfileEncoding::EightBit;
        std::string_view text = bytes;
        // A UTF-8 byte-order mark is no part of the first key.
        if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
        decoded.text = TrimControls(tsc::detail::TextAsUtf8(text));
    }
    return decoded;
}

const char *EncodingLogTag(ProfileEncoding encoding) {
    switch (encoding) {
    case ProfileEncoding::Utf16WithMark:
        return "_RDP_file is a MS-type, widechar";
    case ProfileEncoding::Utf16:
        return "_RDP_file is widechar";
    case ProfileEncoding::EightBit:
        break;
    }
    return "_RDP_file is simple ascii";
}

std::vector<std::string> SplitProfileLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n') continue;
        lines.emplace_back(text.substr(start, i - start));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

std::string EncodeProfileLines(const std::vector<std::string> &lines) {
    std::string bytes = "\xFF\xFE";
    const auto appendUnit = [&bytes](char16_t unit) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    };
    for (const std::string &line : lines) {
        for (const char16_t unit : Utf8ToUtf16(line))
            appendUnit(unit);
        appendUnit(u'\r');
        appendUnit(u'\n');
    }
    return bytes;
}

std::int32_t RuntimeIntegerValue(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
    unsigned base = 10;
    if (pos < text.size() && (text[pos] == '$' || text[pos] == 'x' || text[pos] == 'X')) {
        base = 16;
        ++pos;
    } else if (pos + 1 < text.size() && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    // Decimal stops before the value leaves the 32-bit signed range, hexadecimal
    // before it leaves 32 bits.
    const std::uint64_t limit =
        base == 10 ? std::uint64_t{std::numeric_limits<std::int32_t>::max()} + (negative ? 1 : 0)
                   : std::numeric_limits<std::uint32_t>::max();
    std::uint64_t value = 0;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        const std::uint64_t next = value * base + digit;
        if (next > limit) break;
        value = next;
    }
    const auto bits = static_cast<std::uint32_t>(value);
    const auto result = static_cast<std::int32_t>(bits);
    return negative ? static_cast<std::int32_t>(0u - bits) : result;
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    for (char &c : lower) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lower;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(text[i]) != lower(prefix[i])) return false;
    }
    return true;
}

} // namespace tsc::profiles
