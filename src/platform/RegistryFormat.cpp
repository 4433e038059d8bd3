#include "RegistryFormat.h"

#include <cstdio>
#include <unordered_map>

namespace tsc::detail {

namespace {

constexpr std::string_view Header = "REGEDIT4";
constexpr std::size_t HexBytesPerLine = 24;

char Lower(char character) {
    return (character >= 'A' && character <= 'Z') ? static_cast<char>(character - 'A' + 'a') : character;
}

std::string_view TrimmedLeft(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    return text;
}

std::string_view Trimmed(std::string_view text) {
    text = TrimmedLeft(text);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

int HexDigit(char character) {
    if (character >= '0' && character <= '9') return character - '0';
    character = Lower(character);
    if (character >= 'a' && character <= 'f') return character - 'a' + 10;
    return -1;
}

// Reads a quoted text with \\ and \" escapes starting at text[0] == '"'. On success
// text is left after the closing quote.
std::optional<std::string> ReadQuoted(std::string_view &text) {
    if (text.empty() || text.front() != '"') return std::nullopt;
    std::string out;
    for (std::size_t position = 1; position < text.size(); ++position) {
        const char character = text[position];
        if (character == '"') {
            text.remove_prefix(position + 1);
            return out;
        }
        if (character == '\\') {
            if (++position >= text.size()) return std::nullopt;
            if (text[position] != '\\' && text[position] != '"') return std::nullopt;
            out += text[position];
            continue;
        }
        out += character;
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ReadHexList(std::string_view text) {
    std::vector<std::uint8_t> bytes;
    text = Trimmed(text);
    if (text.empty()) return bytes;
    for (;;) {
        text = TrimmedLeft(text);
        if (text.size() < 2) return std::nullopt;
        const int high = HexDigit(text[0]), low = HexDigit(text[1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(high * 16 + low));
        text = Trimmed(text.substr(2));
        if (text.empty()) return bytes;
        if (text.front() != ',') return std::nullopt;
        text.remove_prefix(1);
    }
}

std::optional<RegistryValue> ReadData(std::string_view text) {
    text = Trimmed(text);
    RegistryValue value;
    if (!text.empty() && text.front() == '"') {
        auto content = ReadQuoted(text);
        if (!content || !Trimmed(text).empty()) return std::nullopt;
        value.type = RegistryType::String;
        value.data.assign(content->begin(), content->end());
        value.data.push_back(0);
        return value;
    }
    if (text.size() >= 6 && SameRegistryName(text.substr(0, 6), "dword:")) {
        const std::string_view digits = text.substr(6);
        if (digits.empty() || digits.size() > 8) return std::nullopt;
        std::uint32_t number = 0;
        for (const char character : digits) {
            const int digit = HexDigit(character);
            if (digit < 0) return std::nullopt;
            number = number << 4 | static_cast<std::uint32_t>(digit);
        }
        value.type = RegistryType::Dword;
        value.data = {static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                      static_cast<std::uint8_t>(number >> 16), static_cast<std::uint8_t>(number >> 24)};
        return value;
    }
    if (text.size() < 4 || !SameRegistryName(text.substr(0, 3), "hex")) return std::nullopt;
    text.remove_prefix(3);
    std::uint32_t type = static_cast<std::uint32_t>(RegistryType::Binary);
    if (text.front() == '(') {
        const auto close = text.find(')');
        if (close == std::string_view::npos || close < 2 || close > 9) return std::nullopt;
        type = 0;
        for (const char character : text.substr(1, close - 1)) {
            const int digit = HexDigit(character);
            if (digit < 0) return std::nullopt;
            type = type << 4 | static_cast<std::uint32_t>(digit);
        }
        text.remove_prefix(close + 1);
    }
    if (text.empty() || text.front() != ':') return std::nullopt;
    auto bytes = ReadHexList(text.substr(1));
    if (!bytes) return std::nullopt;
    value.type = static_cast<RegistryType>(type);
    value.data = std::move(*bytes);
    return value;
}

std::string LowerName(std::string_view name) {
    std::string lower(name);
    for (char &character : lower)
        character = Lower(character);
    return lower;
}

// Finds keys and values by name in constant time while a hive is parsed, so that a
// file of many keys or values costs time in proportion to its size.
class HiveIndex {
  public:
    explicit HiveIndex(HiveContent &hive) : hive_(hive) {}

    std::size_t KeyFor(std::string_view path) {
        const auto [entry, added] = keys_.try_emplace(LowerName(path), hive_.keys.size());
        if (added) {
            hive_.keys.push_back({std::string(path), {}});
            values_.emplace_back();
        }
        return entry->second;
    }

    void SetValue(std::size_t keyIndex, std::string name, RegistryValue value) {
        auto &values = hive_.keys[keyIndex].values;
        const auto [entry, added] = values_[keyIndex].try_emplace(LowerName(name), values.size());
        if (added)
            values.emplace_back(std::move(name), std::move(value));
        else
            values[entry->second].second =
                std::move(value); // a repeated name: the later line wins, as on import
    }

  private:
    HiveContent &hive_;
    std::unordered_map<std::string, std::size_t> keys_;
    std::vector<std::unordered_map<std::string, std::size_t>> values_;
};

// Logical lines: a line ending in "\" continues on the next one (long hex lists).
std::vector<std::string> LogicalLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::string pending;
    bool continuing = false;
    bool hexValue = false; // the pending line holds "=hex"; known once, not searched again
    std::size_t start = 0;
    while (start <= bytes.size()) {
        auto end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        std::string_view line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (continuing)
            line = TrimmedLeft(line);
        else
            hexValue = line.find("=hex") != std::string_view::npos;
        pending.append(line);
        while (!pending.empty() &&
               (pending.back() == ' ' || pending.back() == '\t' || pending.back() == '\r'))
            pending.pop_back();
        continuing = hexValue && !pending.empty() && pending.back() == '\\';
        if (continuing) {
            pending.pop_back();
        } else {
            lines.push_back(std::move(pending));
            pending.clear();
        }
        start = end + 1;
    }
    if (continuing) lines.push_back(std::move(pending));
    return lines;
}

std::optional<HiveContent> Fail(std::string *problem, std::string text) {
    if (problem) *problem = std::move(text);
    return std::nullopt;
}

std::string Quoted(std::string_view text) {
    std::string out = "\"";
    for (const char character : text) {
        if (character == '\\' || character == '"') out += '\\';
        out += character;
    }
    return out + '"';
}

std::string HexList(const std::vector<std::uint8_t> &bytes) {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t index = 0; index < bytes.size(); ++index) {
        if (index > 0) {
            out += ',';
            if (index % HexBytesPerLine == 0) out += "\\\n  ";
        }
        out += Digits[bytes[index] >> 4];
        out += Digits[bytes[index] & 15];
    }
    return out;
}

// A REG_SZ goes in quotes when the quotes can carry it: one terminating zero, no
// other zero and no line break. Anything else keeps its exact bytes as hex(1).
bool QuotableString(const std::vector<std::uint8_t> &data) {
    if (data.empty() || data.back() != 0) return false;
    for (std::size_t index = 0; index + 1 < data.size(); ++index)
        if (data[index] == 0 || data[index] == '\n' || data[index] == '\r') return false;
    return true;
}

std::string FormatData(const RegistryValue &value) {
    const auto type = static_cast<std::uint32_t>(value.type);
    if (value.type == RegistryType::String && QuotableString(value.data))
        return Quoted(
            std::string_view(reinterpret_cast<const char *>(value.data.data()), value.data.size() - 1));
    if (value.type == RegistryType::Dword && value.data.size() == 4) {
        const std::uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                     static_cast<std::uint32_t>(value.data[3]) << 24;
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x", number);
        return text;
    }
    std::string prefix = "hex";
    if (value.type != RegistryType::Binary) {
        char text[16];
        std::snprintf(text, sizeof text, "hex(%x)", type);
        prefix = text;
    }
    return prefix + ":" + HexList(value.data);
}

} // namespace

bool SameRegistryName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t index = 0; index < a.size(); ++index)
        if (Lower(a[index]) != Lower(b[index])) return false;
    return true;
}

std::optional<HiveContent> ParseRegistryText(std::string_view bytes, std::string_view rootName,
                                             std::string *problem) {
    if (bytes.size() > MaximumHiveFileSize)
        return Fail(problem, "larger than " + std::to_string(MaximumHiveFileSize) + " bytes");
    if (bytes.find('\0') != std::string_view::npos) return Fail(problem, "contains zero bytes");
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    HiveContent hive;
    const auto lines = LogicalLines(bytes);
    bool headerSeen = false;
    HiveIndex index(hive);
    std::optional<std::size_t> current;
    std::size_t lineNumber = 0;
    for (const auto &rawLine : lines) {
        ++lineNumber;
        const std::string_view line = Trimmed(rawLine);
        if (line.empty() || line.front() == ';') continue;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (!headerSeen) {
            if (line != Header) return Fail(problem, where + "does not start with " + std::string(Header));
            headerSeen = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']') return Fail(problem, where + "unclosed key name");
            const std::string_view name = line.substr(1, line.size() - 2);
            if (!SameRegistryName(name.substr(0, rootName.size()), rootName) ||
                (name.size() > rootName.size() && name[rootName.size()] != '\\'))
                return Fail(problem, where + "key outside " + std::string(rootName));
            std::string_view path = name.substr(std::min(name.size(), rootName.size() + 1));
            if (path.find("\\\\") != std::string_view::npos || (!path.empty() && path.back() == '\\'))
                return Fail(problem, where + "empty key name part");
            current = index.KeyFor(path);
            continue;
        }
        if (!current) return Fail(problem, where + "value outside a key");
        std::string_view rest = line;
        std::string name;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            auto quoted = ReadQuoted(rest);
            if (!quoted) return Fail(problem, where + "bad value name");
            name = std::move(*quoted);
        }
        rest = TrimmedLeft(rest);
        if (rest.empty() || rest.front() != '=') return Fail(problem, where + "missing \"=\"");
        auto value = ReadData(rest.substr(1));
        if (!value) return Fail(problem, where + "bad value data");
        index.SetValue(*current, std::move(name), std::move(*value));
    }
    if (!headerSeen && !lines.empty() && !Trimmed(bytes).empty())
        return Fail(problem, "no " + std::string(Header) + " line");
    return hive;
}

std::string FormatRegistryText(const HiveContent &hive, std::string_view rootName) {
    std::string out = std::string(Header) + "\n";
    for (const auto &key : hive.keys) {
        out += "\n[" + std::string(rootName);
        if (!key.path.empty()) out += "\\" + key.path;
        out += "]\n";
        for (const auto &[name, value] : key.values)
            out += (name.empty() ? std::string("@") : Quoted(name)) + "=" + FormatData(value) + "\n";
    }
    return out;
}

} // namespace tsc::detail
