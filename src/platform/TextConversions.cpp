#include "SystemInfo.h"
#include "TextEncoding.h"

#include <cstring>

extern char **environ;

namespace tsc {

namespace detail {

void AppendUtf8(std::string &out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// An escaped byte means a character of Windows-1252, the 8-bit code page the
// escapes were written for; our texts are UTF-8.
std::string Windows1252ToUtf8(unsigned code) {
    static constexpr char16_t Windows1252High[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    AppendUtf8(out, (code >= 0x80 && code < 0xA0) ? Windows1252High[code - 0x80] : code);
    return out;
}

bool IsValidUtf8(std::string_view bytes) {
    std::size_t position = 0;
    while (position < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[position]);
        std::size_t length = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            ++position;
            continue;
        }
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        } else
            return false;
        if (position + length > bytes.size()) return false;
        for (std::size_t i = 1; i < length; ++i) {
            const auto next = static_cast<unsigned char>(bytes[position + i]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
            (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        position += length;
    }
    return true;
}

std::string TextAsUtf8(std::string_view bytes) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char character : bytes) {
        const auto code = static_cast<unsigned char>(character);
        if (code < 0x80)
            out += character;
        else
            out += Windows1252ToUtf8(code);
    }
    return out;
}

} // namespace detail

namespace {

// ExpandText does at most this many steps in all; each pass stops once it is passed.
constexpr int MaximumExpansionSteps = 500;
// Longest environment entry ExpandText reads; the rest of a longer one is not seen.
constexpr std::size_t MaximumEnvironmentEntryLength = 10239;

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

char AsciiLower(char character) {
    return (character >= 'A' && character <= 'Z') ? static_cast<char>(character - 'A' + 'a') : character;
}

// Position of "%" + name + "%" at or after from, matched without regard to ASCII case.
std::size_t FindReference(std::string_view text, std::string_view name, std::size_t from) {
    const std::size_t length = name.size() + 2;
    while (from + length <= text.size()) {
        const std::size_t percent = text.find('%', from);
        if (percent == std::string_view::npos || percent + length > text.size())
            return std::string_view::npos;
        if (text[percent + length - 1] == '%') {
            std::size_t matched = 0;
            while (matched < name.size() &&
                   AsciiLower(text[percent + 1 + matched]) == AsciiLower(name[matched]))
                ++matched;
            if (matched == name.size()) return percent;
        }
        from = percent + 1;
    }
    return std::string_view::npos;
}

int UpperHexValue(char character) {
    if (character >= '0' && character <= '9') return character - '0';
    if (character >= 'A' && character <= 'F') return character - 'A' + 10;
    return -1;
}

// Byte length of the UTF-8 character starting at position (1 for a stray byte).
std::size_t CharacterLength(std::string_view text, std::size_t position) {
    const auto lead = static_cast<unsigned char>(text[position]);
    std::size_t length = lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    std::size_t available = 1;
    while (available < length && position + available < text.size() &&
           (static_cast<unsigned char>(text[position + available]) & 0xC0) == 0x80)
        ++available;
    return available;
}

void ExpandEnvironmentReferences(std::string &text, int &steps) {
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (++steps > MaximumExpansionSteps) return;
        const std::string_view line(*entry, ::strnlen(*entry, MaximumEnvironmentEntryLength));
        const auto equals = line.find('=', 1);
        if (equals == std::string_view::npos) continue;
        const std::string_view name = Trimmed(line.substr(0, equals));
        const std::string_view value = Trimmed(line.substr(equals + 1));
        if (name.empty() || value.empty() || text.find('%') == std::string::npos) continue;
        std::size_t position = 0;
        while ((position = FindReference(text, name, position)) != std::string::npos) {
            if (++steps > MaximumExpansionSteps) return;
            text.replace(position, name.size() + 2, value);
            position += value.size(); // the inserted value is not searched again for this name
        }
    }
}

void ExpandEscapes(std::string &text, int &steps) {
    std::size_t position = 0;
    while ((position = text.find('&', position)) != std::string::npos) {
        if (++steps > MaximumExpansionSteps) return;
        const std::size_t first = position + 1;
        if (first >= text.size()) {
            text.erase(position);
            return;
        }
        const std::size_t second = first + CharacterLength(text, first);
        if (second >= text.size()) {
            text.erase(position); // fewer than two characters after the "&"
            return;
        }
        const int high = UpperHexValue(text[first]);
        const int low = UpperHexValue(text[second]);
        const int code = (high < 0 || low < 0) ? 0 : high * 16 + low;
        if (code >= 1) {
            const std::string character = detail::Windows1252ToUtf8(static_cast<unsigned>(code));
            text.replace(position, 3, character);
            position += character.size();
        } else {
            text.erase(position, second + CharacterLength(text, second) - position);
        }
    }
}

// strerror_r comes in the GNU shape (returns the text) or the XSI shape (fills the buffer).
[[maybe_unused]] std::string StrerrorResult(const char *text, const char *) {
    return text ? text : "";
}
[[maybe_unused]] std::string StrerrorResult(int result, const char *buffer) {
    return result == 0 ? buffer : "";
}

} // namespace

std::string ExpandText(std::string_view text) {
    if (text.empty()) return {};
    try {
        std::string result(text);
        int steps = 0;
        ExpandEnvironmentReferences(result, steps);
        ExpandEscapes(result, steps);
        return result;
    } catch (...) {
        return std::string(text);
    }
}

std::string SystemErrorText(int code) {
    char buffer[256] = {};
    std::string message = StrerrorResult(::strerror_r(code, buffer, sizeof buffer), buffer);
    if (message.size() > 255) message.resize(255);
    while (!message.empty() && (static_cast<unsigned char>(message.back()) < '!' || message.back() == '.'))
        message.pop_back();
    return message + " [" + std::to_string(code) + "]";
}

std::string YesNoText(bool flag) {
    return flag ? "yes" : "no";
}

std::string SafeFileName(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    bool insideMultiByte = false;
    for (const char character : text) {
        const auto code = static_cast<unsigned char>(character);
        if (code >= 0x80) {
            // One "_" for each UTF-8 character, not for each of its bytes.
            const bool continuation = (code & 0xC0) == 0x80;
            if (!(continuation && insideMultiByte)) result += '_';
            insideMultiByte = true;
            continue;
        }
        insideMultiByte = false;
        const bool kept = (code >= '0' && code <= '9') || (code >= 'A' && code <= 'z') || code == ' ' ||
                          code == '.' || code == '-';
        result += kept ? character : '_';
    }
    return result;
}

std::uint32_t TickDifference(std::uint32_t a, std::uint32_t b) {
    return a - b;
}

} // namespace tsc
