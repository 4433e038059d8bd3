#include "TimeText.h"

#include <ctime>

namespace tsc {

namespace {
void PutDigits(std::string &out, long value, int width) {
    char buffer[12];
    for (int i = width - 1; i >= 0; --i) {
        buffer[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(buffer, static_cast<size_t>(width));
}
} // namespace

std::string FormatTimeText(std::chrono::system_clock::time_point moment, bool utc, bool separators,
                           bool milliseconds) {
    using namespace std::chrono;
    const auto since = moment.time_since_epoch();
    const auto seconds = duration_cast<std::chrono::seconds>(since);
    long millis = static_cast<long>(duration_cast<std::chrono::milliseconds>(since - seconds).count());
    time_t whole = static_cast<time_t>(seconds.count());
    if (millis < 0) { // moments before 1970
        millis += 1000;
        --whole;
    }
    std::tm parts{};
    if (utc)
        gmtime_r(&whole, &parts);
    else
        localtime_r(&whole, &parts);

    std::string text;
    text.reserve(24);
    PutDigits(text, parts.tm_mday, 2);
    if (separators) text += '-';
    PutDigits(text, parts.tm_mon + 1, 2);
    if (separators) text += '-';
    text += std::to_string(parts.tm_year + 1900);
    if (separators) text += ' ';
    PutDigits(text, parts.tm_hour, 2);
    if (separators) text += ':';
    PutDigits(text, parts.tm_min, 2);
    if (separators) text += ':';
    PutDigits(text, parts.tm_sec, 2);
    if (milliseconds) {
        if (separators) text += '.';
        PutDigits(text, millis, 3);
    }
    return text;
}

std::string TimeStampText() {
    return FormatTimeText(std::chrono::system_clock::now(), false, true, true);
}

std::string DateTimeText(std::chrono::system_clock::time_point moment, bool utc) {
    return FormatTimeText(moment, utc, true, false);
}

std::string FileTimeStampText() {
    return FormatTimeText(std::chrono::system_clock::now(), false, false, true);
}

} // namespace tsc
