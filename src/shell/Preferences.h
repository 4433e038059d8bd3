#pragma once

// The per-user preferences kept between runs: in the user's registry key the
// connection usage, its folder and the last chosen connection; in the
// initialisation file the column widths of the Farm Info grid.

#include "Registry.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc {
class IniFile;
class LogSink;
} // namespace tsc

namespace tsc::shell {

inline constexpr const char *ValueMultipleConnections = "Client does multiple connections";
inline constexpr const char *ValueMultipleConnectionsFolder = "Client does multiple connections folder";
inline constexpr const char *ValueLastConnection = "Last Connection chosen";
inline constexpr const char *NoLastConnection = "????";

// Registry strings are read into a 260-byte buffer: longer data is not accepted.
inline constexpr std::size_t StoredStringMaximumSize = 260;

// A stored string under the reading limits: string type, data size (terminating
// zero counted) from minimumSize to 260 bytes; the text is trimmed of spaces and
// control characters at both ends. Anything else counts as absent.
[[nodiscard]] std::optional<std::string> AcceptStoredString(const std::optional<RegistryValue> &value,
                                                            std::size_t minimumSize);
// Spaces and control characters removed at both ends.
[[nodiscard]] std::string TrimText(std::string_view text);

struct ConnectionUsage {
    bool multiple = false;
    std::string folder; // empty unless multiple
};
[[nodiscard]] ConnectionUsage ReadConnectionUsage();
// Writing single usage leaves the stored folder as it is.
void WriteConnectionUsage(bool multiple, std::string_view folder);
// The stored folder whatever the stored usage says: single usage keeps it for the
// next switch to multiple usage. Empty when absent.
[[nodiscard]] std::string ReadConnectionFolder();
[[nodiscard]] std::string ReadLastConnection();
void WriteLastConnection(std::string_view name);

// Column widths of StringGrid_Servers.
inline constexpr const char *ColumnWidthSection = "Column widths";
inline constexpr const char *ServerGridName = "StringGrid_Servers";
[[nodiscard]] std::string ColumnWidthKey(std::string_view gridName, int column);
// A stored width is applied only when it is above 20 and below 400.
[[nodiscard]] bool AcceptColumnWidth(int width);
[[nodiscard]] std::string IniFilePath();

// Reads the stored widths for `columnCount` columns: one entry per column, empty
// where the stored value is missing or outside the limits. The log lines of
// ReadAllIniValues go to `log`.
[[nodiscard]] std::vector<std::optional<int>> ReadColumnWidths(const std::string &path, int columnCount,
                                                               LogSink &log);
// False when they could not be saved (the log says why).
bool WriteColumnWidths(const std::string &path, const std::vector<int> &widths, LogSink &log);

} // namespace tsc::shell
