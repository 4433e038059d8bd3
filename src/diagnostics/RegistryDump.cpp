#include "RegistryDump.h"

#include <algorithm>
#include <cstdio>

namespace tsc {

namespace {

constexpr char Q = '"';

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

std::string Quoted(std::string_view text) {
    return Q + std::string(text) + Q;
}

std::string HexByte(std::uint8_t byte) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X ", byte);
    return text;
}

using Values = std::vector<std::pair<std::string, RegistryValue>>;

// The values of the first key of that path, as a key read by path finds it.
const Values *ValuesOf(const std::vector<Registry::RegistryKey> &keys, std::string_view path) {
    for (const auto &key : keys)
        if (EqualNoCase(key.path, path)) return &key.values;
    return nullptr;
}

// The names of the keys directly below `path`, in file order, each once.
std::vector<std::string> SubkeysOf(const std::vector<Registry::RegistryKey> &keys, std::string_view path) {
    std::vector<std::string> names;
    const std::string prefix = std::string(path) + "\\";
    for (const auto &key : keys) {
        if (key.path.size() <= prefix.size() ||
            !EqualNoCase(std::string_view(key.path).substr(0, prefix.size()), prefix))
            continue;
        const std::string_view rest = std::string_view(key.path).substr(prefix.size());
        std::string child(rest.substr(0, rest.find('\\')));
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::string &n) { return EqualNoCase(n, child); }))
            names.push_back(std::move(child));
    }
    return names;
}

void DumpKey(const std::vector<Registry::RegistryKey> &keys, const std::string &key, std::string_view filter,
             std::string_view keyPrefix, std::vector<std::string> &lines) {
    try {
        const Values *values = ValuesOf(keys, key);
        if (!values) return;
        const std::size_t count = std::min(values->size(), DumpMaximumValues);
        for (std::size_t i = 0; i < count; ++i) {
            const auto &[name, value] = (*values)[i];
            if (name.size() > DumpMaximumNameLength) continue;
            if (!filter.empty() && !EqualNoCase(name, filter)) continue;
            for (std::string &line : RegistryValueLines(name, value, keyPrefix))
                lines.push_back(std::move(line));
        }
    } catch (...) {
        lines.push_back("ERR: " + key);
    }
}

} // namespace

std::vector<std::string> RegistryValueLines(std::string_view name, const RegistryValue &value,
                                            std::string_view keyPrefix) {
    std::vector<std::string> lines;
    const auto &data = value.data;
    // Data larger than the reader's buffer is named without its content.
    const bool fits = data.size() <= DumpMaximumDataSize;
    const std::string prefix(keyPrefix);
    switch (value.type) {
    case RegistryType::String:
        if (fits && data.size() >= 1 && data.size() <= 199) {
            std::string_view text(reinterpret_cast<const char *>(data.data()), data.size());
            if (text.back() == '\0') text.remove_suffix(1);
            lines.push_back(prefix + Quoted("sz" + std::string(name)) + "=" + Quoted(Trimmed(text)));
        } else {
            lines.push_back(prefix + Quoted("sz" + std::string(name)) + "=");
        }
        return lines;
    case RegistryType::Dword:
        if (data.size() == 4) {
            char hex[9];
            std::snprintf(hex, sizeof hex, "%08X",
                          data[0] | data[1] << 8 | data[2] << 16 | static_cast<unsigned>(data[3]) << 24);
            lines.push_back(prefix + Quoted("dw" + std::string(name)) + "=" + hex);
            return lines;
        }
        break;
    case RegistryType::MultiString: {
        lines.push_back(Quoted("mz" + std::string(name)) + "=");
        if (!fits) return lines;
        std::string current;
        for (std::uint8_t byte : data) {
            if (byte != 0) {
                current += static_cast<char>(byte);
                continue;
            }
            if (!current.empty()) lines.push_back(prefix + "--" + Quoted(current));
            current.clear();
        }
        if (!current.empty()) lines.push_back(prefix + "--" + Quoted(current));
        return lines;
    }
    case RegistryType::Binary:
        break;
    }
    lines.push_back(Quoted(name) + "=type:" + std::to_string(static_cast<std::uint32_t>(value.type)));
    if (data.empty() || data.size() > 1023) return lines;
    for (std::size_t start = 0; start < data.size(); start += 16) {
        const std::size_t end = std::min(data.size(), start + 16);
        std::string line = end - start == 16 ? prefix : std::string();
        for (std::size_t i = start; i < end; ++i)
            line += HexByte(data[i]);
        lines.push_back(std::move(line));
    }
    return lines;
}

void DumpRegistryValues(std::string_view path, std::string_view filter, std::vector<std::string> &lines) {
    const std::string root(path);
    // One read of the hive for the whole dump.
    const std::vector<Registry::RegistryKey> keys = Registry::AllKeys(Hive::LocalMachine);
    if (filter.empty()) {
        DumpKey(keys, root, {}, {}, lines);
        return;
    }
    try {
        auto subkeys = SubkeysOf(keys, root);
        if (subkeys.size() > DumpMaximumSubkeys) subkeys.resize(DumpMaximumSubkeys);
        for (const std::string &name : subkeys) {
            if (name.empty()) continue;
            const std::string key = root + "\\" + name;
            DumpKey(keys, key, filter, key + " ", lines);
        }
    } catch (...) {
        lines.push_back("ERR: " + root);
    }
}

void LogRegistryDump(LogSink &log) {
    std::vector<std::string> lines;
    DumpRegistryValues("SOFTWARE", "wez AppName", lines);
    log.LogInfo("Begin RegDump");
    for (const std::string &line : lines)
        log.LogInfo(line);
    log.LogInfo("End RegDump");
}

} // namespace tsc
