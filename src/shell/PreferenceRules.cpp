#include "Preferences.h"

#include <cstdio>

namespace tsc::shell {

std::string TrimText(std::string_view text) {
    auto isBlank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    std::size_t begin = 0, end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

std::optional<std::string> AcceptStoredString(const std::optional<RegistryValue> &value,
                                              std::size_t minimumSize) {
    if (!value || value->type != RegistryType::String) return std::nullopt;
    const auto size = value->data.size();
    if (size < minimumSize || size > StoredStringMaximumSize) return std::nullopt;
    std::string text(value->data.begin(), value->data.end());
    if (const auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
    return TrimText(text);
}

std::string ColumnWidthKey(std::string_view gridName, int column) {
    char index[16];
    std::snprintf(index, sizeof index, "%02d", column);
    return std::string(gridName) + " " + "Column width " + " " + index;
}

bool AcceptColumnWidth(int width) {
    return width > 20 && width < 400;
}

} // namespace tsc::shell
