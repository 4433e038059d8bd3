#include "IniFile.h"

#include "AtomicFile.h"
#include "PlatformDiagnostics.h"
#include "TextEncoding.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace tsc {

namespace detail {

namespace {

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

bool IsBinary(std::string_view bytes) {
    for (const char character : bytes) {
        const auto code = static_cast<unsigned char>(character);
        if (code < 0x20 && code != '\t' && code != '\r' && code != '\n') return true;
    }
    return false;
}

} // namespace

std::optional<std::vector<IniSection>> ParseIniText(std::string_view bytes) {
    if (bytes.size() > MaximumIniFileSize || IsBinary(bytes)) return std::nullopt;
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
    const std::string text = TextAsUtf8(bytes);
    std::vector<IniSection> sections;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line = Trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            sections.push_back({std::string(Trimmed(
                                    line.substr(1, close == std::string_view::npos ? line.npos : close - 1))),
                                {}});
            continue;
        }
        const auto equals = line.find('=');
        if (sections.empty() || equals == std::string_view::npos) continue;
        sections.back().entries.push_back(
            {std::string(Trimmed(line.substr(0, equals))), std::string(Trimmed(line.substr(equals + 1)))});
    }
    return sections;
}

int IniIntegerValue(const std::string &text, int fallback) {
    if (text.empty()) return fallback;
    const char *digits = text.c_str();
    bool negative = false;
    if (*digits == '-' || *digits == '+') negative = *digits++ == '-';
    int base = 10;
    if (*digits == '$')
        base = 16, ++digits;
    else if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        base = 16, digits += 2;
    // Digits must follow at once: strtoll would skip white space and take a second
    // sign, and "-" before "-9223372036854775808" would then negate its minimum.
    const char first = *digits;
    const bool isDigit = (first >= '0' && first <= '9') ||
                         (base == 16 && ((first >= 'a' && first <= 'f') || (first >= 'A' && first <= 'F')));
    if (!isDigit) return fallback;
    errno = 0;
    char *end = nullptr;
    const long long value = std::strtoll(digits, &end, base); // not negative: no sign was left
    if (errno != 0 || *end != '\0') return fallback;
    const long long signedValue = negative ? -value : value;
    if (signedValue < INT_MIN || signedValue > INT_MAX) return fallback;
    return static_cast<int>(signedValue);
}

std::string FormatIniText(const std::vector<IniSection> &sections) {
    std::string out;
    for (const auto &section : sections) {
        if (!out.empty()) out += '\n';
        out += "[" + section.name + "]\n";
        for (const auto &entry : section.entries)
            out += entry.key + "=" + entry.value + "\n";
    }
    return out;
}

} // namespace detail

namespace {

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t index = 0; index < a.size(); ++index) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[index]) != lower(b[index])) return false;
    }
    return true;
}

// A line break inside a name or value would split the line in the file.
std::string SingleLine(std::string_view text) {
    std::string out(text);
    for (char &character : out)
        if (character == '\n' || character == '\r') character = ' ';
    return out;
}

} // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {
    const auto content = detail::ReadWholeFile(path_, detail::MaximumIniFileSize);
    if (content.outcome == detail::ReadOutcome::Missing) return;
    std::optional<std::vector<detail::IniSection>> parsed;
    if (content.outcome == detail::ReadOutcome::Read) parsed = detail::ParseIniText(content.bytes);
    if (parsed) {
        sections_ = std::move(*parsed);
        return;
    }
    damaged_ = true;
    detail::AddPlatformDiagnostic("Initialisation file " + path_ +
                                  " is damaged or unreadable; its values are not used");
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
    for (const auto &candidate : sections_) {
        if (!SameName(candidate.name, section)) continue;
        for (const auto &entry : candidate.entries) {
            if (!SameName(entry.key, key)) continue;
            std::string_view value = entry.value;
            // Windows strips one pair of enclosing quotes.
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return std::string(value);
        }
    }
    return std::string(fallback);
}

int IniFile::ReadInteger(std::string_view section, std::string_view key, int fallback) const {
    return detail::IniIntegerValue(ReadString(section, key, ""), fallback);
}

void IniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
    const std::string sectionName = SingleLine(section), keyName = SingleLine(key), text = SingleLine(value);
    detail::IniSection *target = nullptr;
    for (auto &candidate : sections_)
        if (SameName(candidate.name, sectionName)) {
            target = &candidate;
            break;
        }
    if (target == nullptr) target = &sections_.emplace_back(detail::IniSection{sectionName, {}});
    for (auto &entry : target->entries)
        if (SameName(entry.key, keyName)) {
            entry.value = text;
            return;
        }
    target->entries.push_back({keyName, text});
}

void IniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
    WriteString(section, key, std::to_string(value));
}

bool IniFile::Save() const {
    if (damaged_) {
        // Never write over a file we could not read: keep it beside, then write ours.
        const std::string kept = detail::KeepDamagedFile(path_);
        if (kept.empty() && detail::ReadWholeFile(path_, 0).outcome != detail::ReadOutcome::Missing)
            return false;
        if (!kept.empty()) detail::AddPlatformDiagnostic("Initialisation file " + path_ + " kept as " + kept);
        damaged_ = false;
    }
    return detail::ReplaceFileAtomically(path_, detail::FormatIniText(sections_), 0600);
}

} // namespace tsc
