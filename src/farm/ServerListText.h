#pragma once

// Server list text: the Farm's reply and the stored server list files share it.
// Everything here is pure: bytes and strings in, values out.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc::farm {

inline constexpr std::string_view CurrentTag = "V001C003"; // with the RDP+ port
inline constexpr std::string_view OlderTag = "V001C001";   // without it

// Bounds of one reply. A peer that sends more is cut off and the exchange ends
// incomplete, so neither memory nor the disk fill up. 50,000 servers of about
// 60 bytes each fit with room to spare.
inline constexpr std::size_t MaximumReplyBytes = 4 * 1024 * 1024;
inline constexpr std::size_t MaximumReplyLines = 50'000;
// A stored file holds the reply plus one CR LF per chunk; anything bigger than this
// was not written by us.
inline constexpr std::size_t MaximumListFileBytes = 2 * MaximumReplyBytes;

// Any line that, upper-cased, contains "EOF".
[[nodiscard]] bool IsEndMarker(std::string_view line);

// Splits a reply into lines at CR LF, CR or LF. A line that arrives in two chunks
// stays one line: the unfinished tail waits for the next chunk, and a CR at the end
// of one chunk followed by LF at the start of the next is one line end.
class ReplyLineSplitter {
  public:
    // The lines completed by this chunk, in order.
    [[nodiscard]] std::vector<std::string> Feed(std::string_view chunk);
    // The unfinished last line when the peer ends the reply without a line end.
    [[nodiscard]] std::optional<std::string> Finish();
    [[nodiscard]] const std::string &Pending() const { return pending_; }

  private:
    std::string pending_;
    bool afterCarriageReturn_ = false;
};

// A whole text split into lines the way a text file is read: CR LF, CR or LF end a
// line, and a line end at the very end of the text yields no extra empty line.
[[nodiscard]] std::vector<std::string> SplitTextLines(std::string_view text);

// The fields of a record line, or nothing when the line is not a record (a comment,
// a line beginning with "EOF", a line without a space). fieldCount is 6 for the
// current format and 5 for the older one; fields the line does not reach are empty.
[[nodiscard]] std::optional<std::vector<std::string>> SplitRecord(std::string_view line,
                                                                  std::size_t fieldCount);
[[nodiscard]] std::size_t FieldCountOf(std::string_view tag);

struct PreferredServer {
    std::string host;
    std::string port;
    std::string rdpPlusPort;
    std::string name;
    std::string domain;
};

// One data row of the server grid, in the grid's column order.
struct ServerRow {
    std::string name;
    std::string address;
    std::string rdpPort;
    std::string rdpPlusPort;
    std::string loadBalancingPort;
    friend bool operator==(const ServerRow &, const ServerRow &) = default;
};

// What the fields of a record may hold. The text comes from a peer or from a file
// others may have written, and goes to the screen, into the profile and to a socket;
// a record with a field outside these rules is left out whole.
// A host name (labels of letters, digits, "-" and "_" between dots, at most 253
// characters) or a dotted IPv4 address.
[[nodiscard]] bool IsHostText(std::string_view text);
// Empty (none given) or a decimal number from 0 to 65535, digits only.
[[nodiscard]] bool IsPortText(std::string_view text);
// A server or domain name: at most 255 bytes, no control characters and none of
// \ / : * ? " < > | (what Windows refuses in a computer or domain name).
[[nodiscard]] bool IsNameText(std::string_view text);

// A record line left out, for the log: its number in the list (1 is the preferred
// server) and why. The line itself is not repeated: it is the peer's text.
struct RefusedLine {
    std::size_t number = 0;
    std::string reason;
    friend bool operator==(const RefusedLine &, const RefusedLine &) = default;
};

struct ServerList {
    std::optional<PreferredServer> preferred; // none when line 1 is not a valid record
    std::vector<ServerRow> rows;              // the valid records of the later lines
    std::vector<RefusedLine> refused;         // records left out, in list order
};

// What ShowServerList puts on screen from the lines of a complete list.
[[nodiscard]] ServerList BuildServerList(const std::vector<std::string> &lines, std::string_view tag);

// The grid row (0-based among the data rows) to select after a list is shown: the
// first row whose name equals the remembered one without regard to case, else 0.
[[nodiscard]] std::size_t RowToSelect(const std::optional<std::string> &rememberedName,
                                      const std::vector<ServerRow> &rows);

struct ListText {
    std::vector<std::string> lines;
    bool complete = false; // an end marker was seen
};

// A stored current-format file: every line kept, complete when any line is an end
// marker. Bytes that are not UTF-8 are taken as Windows-1252.
[[nodiscard]] ListText ReadCurrentFormatText(std::string_view bytes);
// A stored older-format file converted to the current format (RDP+ port 3391).
[[nodiscard]] ListText ConvertOlderFormatText(std::string_view bytes);

// The file text of one chunk's lines: each followed by CR LF, then one more CR LF.
[[nodiscard]] std::string ChunkFileText(const std::vector<std::string> &lines);

// A port cell or prompt field: the whole text a decimal number from 1 to 65534.
[[nodiscard]] std::optional<int> LoadBalancingPort(std::string_view text);

// The user name as it may go into the command line: characters below 32 and DEL
// removed, so a name cannot end the command line and start another one.
[[nodiscard]] std::string CommandSafeUserName(std::string_view userName);

// The busy and error pictures: busy1..busy5 for steps 0..4, error below 0.
enum class Indicator { None, Busy1, Busy2, Busy3, Busy4, Busy5, Error };
[[nodiscard]] Indicator VisibleIndicator(int step, bool loadBalancing);
[[nodiscard]] int NextIndicatorStep(int step, bool refreshBusy, bool exchangeRunning);
// The step that shows the error picture for 5 s with the given timer interval.
[[nodiscard]] int ErrorIndicatorStep(int timerIntervalMs);

} // namespace tsc::farm
