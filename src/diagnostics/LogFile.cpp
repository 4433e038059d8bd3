#include "LogFile.h"

#include "PrivateFiles.h"
#include "SystemInfo.h"
#include "TimeText.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc {

namespace {

constexpr std::string_view Tags[] = {"|Info|", "|Warning|", "|Error|"};
// Continuation lines carry these spaces where the time stamp would stand.
constexpr std::string_view ContinuationStamp = "                       ";
constexpr std::string_view NewHeader = "        12\r\n";
constexpr std::string_view LineEnd = "\r\n";

bool StartsWithNoCase(std::string_view text, std::string_view lowerPrefix) {
    if (text.size() < lowerPrefix.size()) return false;
    for (std::size_t i = 0; i < lowerPrefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerPrefix[i]) return false;
    }
    return true;
}

// The length of text cut to at most limit bytes. A cut never splits a UTF-8
// sequence, so a long message breaks between characters. Bytes that are not
// UTF-8 (text from an 8-bit file) are cut at the limit itself.
std::size_t CutLength(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    const auto isContinuation = [&](std::size_t at) {
        return (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80;
    };
    if (!isContinuation(limit)) return limit;
    for (std::size_t back = 1; back <= 3 && back < limit; ++back) {
        const auto lead = static_cast<unsigned char>(text[limit - back]);
        if (lead >= 0xC0) return limit - back;
        if ((lead & 0xC0) != 0x80) break;
    }
    return limit;
}

void AppendNumber(std::string &out, std::int64_t value) {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0)
        out += digits[--count];
}

std::string ParentFolder(const std::string &path) {
    const auto cut = path.find_last_of('/');
    if (cut == std::string::npos || cut == 0) return {};
    return path.substr(0, cut);
}

} // namespace

std::int64_t LogFile::MaximumSizeFor(std::int64_t kilobytes) {
    if (kilobytes < 20 || kilobytes > 100'000) return DefaultMaximumSize;
    return kilobytes * 1024;
}

std::int64_t LogFile::ParseHeader(std::string_view firstBytes) {
    std::string_view field = firstBytes.substr(0, 10);
    std::size_t at = 0;
    while (at < field.size() && field[at] == ' ')
        ++at;
    if (at == field.size()) return HeaderSize;
    std::int64_t value = 0;
    for (; at < field.size(); ++at) {
        if (field[at] < '0' || field[at] > '9') return HeaderSize;
        value = value * 10 + (field[at] - '0'); // ten digits cannot overflow
    }
    return value < HeaderSize ? HeaderSize : value;
}

LogFile::LogFile(std::string fileName, std::int64_t maximumSizeKilobytes)
    : fileName_(std::move(fileName)), maximumSize_(MaximumSizeFor(maximumSizeKilobytes)) {
    line_.reserve(512);
    stamp_.reserve(32);
    for (auto &record : repeats_)
        record.lastStamp = Stamp();
    Open();
    if (!Active()) return;
    line_.assign(Stamp());
    line_ += " Log Started: ";
    line_ += fileName_;
    line_ += " [UTC:";
    line_ += DateTimeText(std::chrono::system_clock::now(), true);
    line_ += "]";
    WriteLine(line_);
}

LogFile::~LogFile() {
    Stop();
}

void LogFile::Open() {
    // O_CLOEXEC (added by OpenPrivateFile): a started program must not inherit the
    // descriptor, or it would keep the lock alive after this process ends. No link
    // is followed and only a file of this user is used, so nobody can make the log
    // write into a file of theirs or of the system.
    std::string folder = ParentFolder(fileName_);
    if (folder.empty()) folder = fileName_.rfind('/', 0) == 0 ? "/" : ".";
    // In a folder others can write (the temporary folder), a file found under the
    // name may have been planted there to receive the log: only a file created
    // here and now is used.
    const bool sharedFolder = FolderExists(folder) && detail::FolderSharedWithOthers(folder);
    int file = sharedFolder ? -1 : detail::OpenPrivateFile(fileName_, O_RDWR);
    if (file < 0 && (sharedFolder || errno == ENOENT)) {
        if (!sharedFolder) (void)EnsureFolder(folder);
        // O_EXCL: only a file we create here gets a fresh header; an existing
        // file is never overwritten or truncated.
        file = detail::OpenPrivateFile(fileName_, O_RDWR | O_CREAT | O_EXCL, 0600);
        if (file >= 0) (void)!::pwrite(file, NewHeader.data(), NewHeader.size(), 0);
    }
    if (file < 0) return;
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        ::close(file);
        return;
    }
    char header[10];
    const auto got = ::pread(file, header, sizeof header, 0);
    writeOffset_ = ParseHeader(std::string_view(header, got > 0 ? static_cast<std::size_t>(got) : 0));
    file_ = file;
}

const std::string &LogFile::Stamp() {
    // Formatting local time is the dearest part of a line; the date and time of
    // day change once a second, so only the milliseconds are formatted each time.
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto second = floor<seconds>(now);
    const auto millis = duration_cast<milliseconds>(now - second).count();
    if (second.time_since_epoch().count() != stampSecond_) {
        stampSecond_ = second.time_since_epoch().count();
        stampSecondText_ = FormatTimeText(second, false, true, false);
    }
    stamp_.assign(stampSecondText_);
    stamp_ += '.';
    stamp_ += static_cast<char>('0' + millis / 100);
    stamp_ += static_cast<char>('0' + millis / 10 % 10);
    stamp_ += static_cast<char>('0' + millis % 10);
    return stamp_;
}

void LogFile::WriteLine(std::string_view text) {
    if (!Active()) return;
    // Only a start line with an absurd file name can be this long; it is cut so
    // that nothing is ever written beyond the maximum size.
    const auto room = static_cast<std::size_t>(maximumSize_ - HeaderSize - 1 - LineEnd.size());
    if (text.size() > room) text = text.substr(0, room);
    const auto length = static_cast<std::int64_t>(text.size() + LineEnd.size());
    if (writeOffset_ + length >= maximumSize_) writeOffset_ = HeaderSize;

    char buffer[512];
    if (text.size() + LineEnd.size() <= sizeof buffer) {
        text.copy(buffer, text.size());
        LineEnd.copy(buffer + text.size(), LineEnd.size());
        (void)!::pwrite(file_, buffer, static_cast<std::size_t>(length), writeOffset_);
    } else {
        std::string whole(text);
        whole += LineEnd;
        (void)!::pwrite(file_, whole.data(), whole.size(), writeOffset_);
    }
    // A failed write is not reported: the circle goes on as if it had succeeded.
    writeOffset_ += length;

    char header[HeaderSize];
    std::int64_t value = writeOffset_;
    for (int at = 9; at >= 0; --at) {
        header[at] = (value > 0 || at == 9) ? static_cast<char>('0' + value % 10) : ' ';
        value /= 10;
    }
    header[10] = '\r';
    header[11] = '\n';
    (void)!::pwrite(file_, header, sizeof header, 0);
}

void LogFile::Flush(Level level) {
    auto &record = repeats_[level];
    if (!record.lastMessage.empty() && record.count > 1) {
        line_.assign(record.lastStamp);
        line_ += Tags[level];
        line_ += indentation_;
        line_.append(record.lastMessage, 0, CutLength(record.lastMessage, SummaryTextLength));
        line_ += " [";
        AppendNumber(line_, record.count);
        line_ += "x]";
        WriteLine(line_);
    }
    record.lastMessage.clear();
    record.count = 0;
}

void LogFile::WriteMessageLines(Level level, std::string_view message) {
    std::string_view stamp = stamp_; // the display line's stamp, taken just before
    std::string_view rest = message;
    do {
        const auto lineBreak = rest.find(LineEnd);
        std::size_t chunk;
        std::size_t skip = 0;
        if (lineBreak == std::string_view::npos || lineBreak > ChunkLength) {
            chunk = CutLength(rest, ChunkLength);
        } else {
            chunk = lineBreak;
            skip = LineEnd.size();
        }
        line_.assign(stamp);
        line_ += Tags[level];
        line_ += indentation_;
        line_.append(rest.substr(0, chunk));
        WriteLine(line_);
        rest.remove_prefix(chunk + skip);
        stamp = ContinuationStamp;
    } while (!rest.empty());
}

std::string LogFile::Write(Level level, std::string_view message) {
    static constexpr Level OthersFlushed[LevelCount][2] = {
        {WarningLevel, ErrorLevel}, // Info
        {ErrorLevel, InfoLevel},    // Warning
        {WarningLevel, InfoLevel},  // Error
    };
    auto &record = repeats_[level];
    // An empty message is never counted as a repetition, so it ends a run of
    // repetitions like any other new message and their summary is written first.
    const bool isNew = message.empty() || message != record.lastMessage;
    if (isNew) Flush(level);
    Flush(OthersFlushed[level][0]);
    Flush(OthersFlushed[level][1]);

    if (Active() && StartsWithNoCase(message, "end") && !indentation_.empty()) indentation_.pop_back();

    const std::string &stamp = Stamp();
    std::string display;
    display.reserve(stamp.size() + Tags[level].size() + indentation_.size() + ChunkLength);
    display += stamp;
    display += Tags[level];
    display += indentation_;
    display.append(message.substr(0, CutLength(message, ChunkLength)));

    if (isNew) {
        WriteMessageLines(level, message);
        record.lastMessage.assign(message);
        record.count = 1;
    } else {
        ++record.count;
        record.lastStamp.assign(stamp_);
    }

    if (Active() && StartsWithNoCase(message, "begin") && indentation_.size() < MaximumIndentation)
        indentation_ += '.';
    return display;
}

std::string LogFile::Info(std::string_view message) {
    return Write(InfoLevel, message);
}
std::string LogFile::Warning(std::string_view message) {
    return Write(WarningLevel, message);
}
std::string LogFile::Error(std::string_view message) {
    return Write(ErrorLevel, message);
}

void LogFile::Stop() {
    if (!Active()) return;
    Flush(InfoLevel);
    Flush(ErrorLevel);
    Flush(WarningLevel);
    line_.assign(Stamp());
    line_ += " Log stopped";
    WriteLine(line_);
    ::close(file_); // also releases the lock
    file_ = -1;
}

std::unique_ptr<LogFile> OpenClientLog(std::string_view dataFolder, std::string_view tempFolder,
                                       std::string_view fileName, std::string_view timeStamp) {
    constexpr std::int64_t ClientLogKilobytes = 200;
    auto log = std::make_unique<LogFile>(WithTrailingSeparator(dataFolder) + std::string(fileName),
                                         ClientLogKilobytes);
    if (log->Active()) return log;
    log = std::make_unique<LogFile>(WithTrailingSeparator(tempFolder) + std::string(timeStamp) + "_" +
                                        std::string(fileName),
                                    ClientLogKilobytes);
    if (log->Active()) return log;
    return nullptr;
}

} // namespace tsc
