#include "ServerListText.h"

#include "TextEncoding.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace tsc::farm {

namespace {

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Upper(x) == Upper(y); });
}

std::string Join(std::initializer_list<std::string_view> fields) {
    std::string line;
    bool first = true;
    for (std::string_view field : fields) {
        if (!std::exchange(first, false)) line += ' ';
        line += field;
    }
    return line;
}

const std::string &Field(const std::vector<std::string> &fields, std::size_t number) {
    return fields[number - 1];
}

bool IsHostLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// Why a record's fields may not be taken, or nothing when they may.
std::optional<std::string> FieldProblem(std::string_view host, std::initializer_list<std::string_view> ports,
                                        std::initializer_list<std::string_view> names) {
    if (!IsHostText(host)) return "the address is no host name or IPv4 address";
    for (std::string_view port : ports)
        if (!IsPortText(port)) return "a port is no number from 0 to 65535";
    for (std::string_view name : names)
        if (!IsNameText(name)) return "a name holds characters no server or domain name may hold";
    return std::nullopt;
}

} // namespace

bool IsEndMarker(std::string_view line) {
    for (std::size_t i = 0; i + 3 <= line.size(); ++i)
        if (Upper(line[i]) == 'E' && Upper(line[i + 1]) == 'O' && Upper(line[i + 2]) == 'F') return true;
    return false;
}

std::vector<std::string> ReplyLineSplitter::Feed(std::string_view chunk) {
    std::vector<std::string> lines;
    for (char c : chunk) {
        const bool afterCr = std::exchange(afterCarriageReturn_, false);
        if (c == '\n' && afterCr) continue; // the second half of a CR LF split between chunks
        if (c == '\r' || c == '\n') {
            lines.push_back(std::exchange(pending_, {}));
            afterCarriageReturn_ = c == '\r';
        } else {
            pending_ += c;
        }
    }
    return lines;
}

std::optional<std::string> ReplyLineSplitter::Finish() {
    afterCarriageReturn_ = false;
    if (pending_.empty()) return std::nullopt;
    return std::exchange(pending_, {});
}

std::vector<std::string> SplitTextLines(std::string_view text) {
    ReplyLineSplitter splitter;
    std::vector<std::string> lines = splitter.Feed(text);
    if (auto tail = splitter.Finish()) lines.push_back(std::move(*tail));
    return lines;
}

std::optional<std::vector<std::string>> SplitRecord(std::string_view line, std::size_t fieldCount) {
    if (line.starts_with('#') || line.starts_with("EOF")) return std::nullopt;
    if (line.find(' ') == std::string_view::npos) return std::nullopt;
    std::vector<std::string> fields(fieldCount);
    std::string_view rest = line;
    for (std::size_t i = 0; i < fieldCount; ++i) {
        const auto space = rest.find(' ');
        if (space == std::string_view::npos) {
            fields[i] = rest;
            break;
        }
        fields[i] = rest.substr(0, space);
        rest.remove_prefix(space + 1);
    }
    return fields;
}

std::size_t FieldCountOf(std::string_view tag) {
    return tag == OlderTag ? 5 : 6;
}

bool IsHostText(std::string_view text) {
    if (text.empty() || text.size() > 253) return false;
    std::size_t labelLength = 0;
    for (char c : text) {
        if (c == '.') {
            if (labelLength == 0) return false;
            labelLength = 0;
        } else if (!IsHostLabelCharacter(c) || ++labelLength > 63) {
            return false;
        }
    }
    return labelLength > 0;
}

bool IsPortText(std::string_view text) {
    if (text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 65535;
}

bool IsNameText(std::string_view text) {
    if (text.size() > 255) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 32 || c == 127 ||
            std::string_view("\\/:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
        // C1 control characters, U+0080 to U+009F, in UTF-8.
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80)
            return false;
    }
    return true;
}

ServerList BuildServerList(const std::vector<std::string> &lines, std::string_view tag) {
    ServerList list;
    const bool older = tag == OlderTag;
    const std::size_t count = FieldCountOf(tag);
    if (lines.empty()) return list;
    if (auto f = SplitRecord(lines.front(), count)) {
        PreferredServer preferred =
            older ? PreferredServer{Field(*f, 1), Field(*f, 2), "0", Field(*f, 3), Field(*f, 4)}
                  : PreferredServer{Field(*f, 1), Field(*f, 2), Field(*f, 3), Field(*f, 4), Field(*f, 5)};
        if (auto problem = FieldProblem(preferred.host, {preferred.port, preferred.rdpPlusPort},
                                        {preferred.name, preferred.domain}))
            list.refused.push_back({1, std::move(*problem)});
        else
            list.preferred = std::move(preferred);
    }
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto f = SplitRecord(lines[i], count);
        if (!f) continue;
        ServerRow row = older
                            ? ServerRow{Field(*f, 4), Field(*f, 1), Field(*f, 2), "0", Field(*f, 3)}
                            : ServerRow{Field(*f, 5), Field(*f, 1), Field(*f, 2), Field(*f, 3), Field(*f, 4)};
        if (auto problem =
                FieldProblem(row.address, {row.rdpPort, row.rdpPlusPort, row.loadBalancingPort}, {row.name}))
            list.refused.push_back({i + 1, std::move(*problem)});
        else
            list.rows.push_back(std::move(row));
    }
    return list;
}

std::size_t RowToSelect(const std::optional<std::string> &rememberedName,
                        const std::vector<ServerRow> &rows) {
    if (!rememberedName) return 0;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (EqualsIgnoringCase(rows[i].name, *rememberedName)) return i;
    return 0;
}

ListText ReadCurrentFormatText(std::string_view bytes) {
    ListText text;
    text.lines = SplitTextLines(detail::TextAsUtf8(bytes));
    text.complete =
        std::any_of(text.lines.begin(), text.lines.end(), [](const auto &l) { return IsEndMarker(l); });
    return text;
}

ListText ConvertOlderFormatText(std::string_view bytes) {
    ListText text;
    const std::vector<std::string> lines = SplitTextLines(detail::TextAsUtf8(bytes));
    if (lines.empty()) return text;
    if (auto f = SplitRecord(lines.front(), 5))
        text.lines.push_back(Join({Field(*f, 1), Field(*f, 2), "3391", Field(*f, 3), Field(*f, 4)}));
    else
        text.lines.emplace_back();
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.empty()) continue;
        if (line.starts_with('#')) {
            text.lines.push_back(line);
        } else if (auto f = SplitRecord(line, 5)) {
            text.lines.push_back(
                Join({Field(*f, 1), Field(*f, 2), "3391", Field(*f, 3), Field(*f, 4), Field(*f, 5)}));
        }
        if (IsEndMarker(line)) text.complete = true;
    }
    return text;
}

std::string ChunkFileText(const std::vector<std::string> &lines) {
    std::string text;
    for (const auto &line : lines) {
        text += line;
        text += "\r\n";
    }
    text += "\r\n";
    return text;
}

std::optional<int> LoadBalancingPort(std::string_view text) {
    if (text.empty() || text.size() > 6) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65534) return std::nullopt;
    return value;
}

std::string CommandSafeUserName(std::string_view userName) {
    std::string safe;
    for (char c : userName)
        if (static_cast<unsigned char>(c) >= 32 && c != 127) safe += c;
    return safe;
}

Indicator VisibleIndicator(int step, bool loadBalancing) {
    if (!loadBalancing) return Indicator::None;
    if (step < 0) return Indicator::Error;
    switch (step) {
    case 0:
        return Indicator::Busy1;
    case 1:
        return Indicator::Busy2;
    case 2:
        return Indicator::Busy3;
    case 3:
        return Indicator::Busy4;
    case 4:
        return Indicator::Busy5;
    default:
        return Indicator::None;
    }
}

int NextIndicatorStep(int step, bool refreshBusy, bool exchangeRunning) {
    if (step > 0) {
        ++step;
        if (step > 4) step = refreshBusy ? 1 : 0;
    } else if (step < 0) {
        ++step;
        if (step == 0 && exchangeRunning) step = 1;
    }
    return step;
}

int ErrorIndicatorStep(int timerIntervalMs) {
    return timerIntervalMs > 0 ? -(5000 / timerIntervalMs) : -10;
}

} // namespace tsc::farm
