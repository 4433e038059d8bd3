#pragma once

// The client's log file: a text file of bounded size, overwritten in a circle.
//
// Bytes 0-11 hold the offset at which the next line goes, as ten right-aligned
// decimal characters and CR LF; the lines follow from byte 12. The file is never
// truncated: once the circle has wrapped, the newest line ends at the header's
// offset and the older lines follow it. Consecutive repetitions of a message are
// folded into one summary line with a count, and messages beginning with "Begin"
// and "End" indent the lines between them.
//
// Used on the user-interface thread only; it has no lock of its own. The file is
// held with an exclusive advisory lock, so a second client process cannot write
// it (it may still read it) and falls back to a log of its own.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tsc {

class LogFile {
  public:
    static constexpr std::int64_t HeaderSize = 12;
    static constexpr std::int64_t DefaultMaximumSize = 10'485'760;
    static constexpr std::size_t ChunkLength = 220;
    static constexpr std::size_t SummaryTextLength = 210;
    static constexpr std::size_t MaximumIndentation = 10;

    // Opens or creates the file and writes the start line. Whether the file
    // opened is told by Active(); an inactive log skips every write.
    LogFile(std::string fileName, std::int64_t maximumSizeKilobytes);
    ~LogFile(); // stops the log when still active
    LogFile(const LogFile &) = delete;
    LogFile &operator=(const LogFile &) = delete;

    [[nodiscard]] bool Active() const { return file_ >= 0; }
    [[nodiscard]] const std::string &FileName() const { return fileName_; }
    [[nodiscard]] std::int64_t MaximumSize() const { return maximumSize_; }
    [[nodiscard]] std::int64_t WriteOffset() const { return writeOffset_; }
    [[nodiscard]] const std::string &Indentation() const { return indentation_; }

    // Each writes the message (or counts it as a repetition) and returns the
    // display line: time stamp, tag, indentation and the first 220 characters.
    std::string Info(std::string_view message);
    std::string Warning(std::string_view message);
    std::string Error(std::string_view message);

    // Writes pending repetition summaries and the stop line, then closes the file.
    void Stop();

    // The maximum size in bytes for a size given in kilobytes.
    [[nodiscard]] static std::int64_t MaximumSizeFor(std::int64_t kilobytes);
    // The write offset a log header's first bytes stand for: 12 unless they hold a
    // decimal number (leading spaces allowed) of at least 12.
    [[nodiscard]] static std::int64_t ParseHeader(std::string_view firstBytes);

  private:
    enum Level { InfoLevel, WarningLevel, ErrorLevel, LevelCount };

    struct RepeatRecord {
        std::string lastMessage;
        std::int64_t count = 0;
        std::string lastStamp; // time stamp of the last repetition
    };

    std::string Write(Level level, std::string_view message);
    void Flush(Level level);
    void WriteMessageLines(Level level, std::string_view message);
    void WriteLine(std::string_view line);
    void Open();
    const std::string &Stamp();

    std::string fileName_;
    int file_ = -1;
    std::int64_t maximumSize_ = DefaultMaximumSize;
    std::int64_t writeOffset_ = HeaderSize;
    std::string indentation_;
    RepeatRecord repeats_[LevelCount];

    // Work texts kept between calls so that writing a line allocates nothing.
    std::string line_;
    std::string stamp_;
    std::int64_t stampSecond_ = -1;
    std::string stampSecondText_; // "DD-MM-YYYY HH:MM:SS" of stampSecond_
};

// Opens the client log as the main window does at start-up: fileName in
// dataFolder with 200 KB; when that does not open, timeStamp + "_" + fileName in
// tempFolder; when that fails too, none (the client runs without a log).
[[nodiscard]] std::unique_ptr<LogFile> OpenClientLog(std::string_view dataFolder, std::string_view tempFolder,
                                                     std::string_view fileName, std::string_view timeStamp);

} // namespace tsc
