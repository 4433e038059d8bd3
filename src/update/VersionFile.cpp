#include "VersionFile.h"

namespace tsc::update {

std::vector<std::string> SplitReplyLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t position = 0;
    while (position < text.size()) {
        const char character = text[position];
        if (character != '\r' && character != '\n') {
            ++position;
            continue;
        }
        lines.emplace_back(text.substr(start, position - start));
        position += (character == '\r' && position + 1 < text.size() && text[position + 1] == '\n') ? 2 : 1;
        start = position;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

bool DeclaresPlainText(std::string_view headerLine) {
    const auto isBlank = [](char character) { return static_cast<unsigned char>(character) <= ' '; };
    while (!headerLine.empty() && isBlank(headerLine.front()))
        headerLine.remove_prefix(1);
    while (!headerLine.empty() && isBlank(headerLine.back()))
        headerLine.remove_suffix(1);
    constexpr std::string_view expected = "CONTENT-TYPE: TEXT/PLAIN";
    if (headerLine.size() != expected.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        char character = headerLine[i];
        if (character >= 'a' && character <= 'z') character = static_cast<char>(character - ('a' - 'A'));
        if (character != expected[i]) return false;
    }
    return true;
}

std::optional<PublishedVersion> ParseVersionBody(std::string_view body) {
    std::vector<std::string> lines = SplitReplyLines(body);
    if (lines.size() != 2) return std::nullopt;
    return PublishedVersion{std::move(lines[0]), std::move(lines[1])};
}

std::string VersionKey(std::string_view version) {
    const auto first = version.find('.');
    if (first == std::string_view::npos) return {};
    const auto second = version.find('.', first + 1);
    if (second == std::string_view::npos) return {};
    return std::string(version.substr(second + 1));
}

} // namespace tsc::update
