#pragma once

// Where server list files lie, reading them, and deleting the other format's file.

#include "ServerListText.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc {
class LogSink;
}

namespace tsc::farm {

// What decides where the list is written: the connection usage, the selected
// connection's profile, and the program's positional parameters as given.
struct ListFileSituation {
    bool multipleConnections = false;
    std::string selectedProfilePath; // multiple-connection usage; empty when none is selected
    std::vector<std::string> parameters;
};

// The file an exchange with this tag records into; empty when there is none (a
// folder of connections with none selected: nothing is recorded then).
[[nodiscard]] std::string ServerListFilePath(std::string_view tag, const ListFileSituation &situation);
// The data folder's file of a tag; empty without a data folder.
[[nodiscard]] std::string DataFolderListPath(std::string_view tag);
// A profile path with its extension replaced by "." + AppPrefix + the list file name.
[[nodiscard]] std::string ConnectionListPath(std::string_view profilePath, std::string_view tag);

struct FileRead {
    bool found = false; // the file existed and could be read
    ListText text;
};

// Read_V001C003_file without the display: path none means the data folder's file;
// the second and fourth parameters, when they name existing files, win.
[[nodiscard]] FileRead ReadCurrentFormatFile(const std::optional<std::string> &path,
                                             const std::vector<std::string> &parameters, bool loadDomain,
                                             LogSink &log);
// Read_V001C001_file_and_convert without the display.
[[nodiscard]] FileRead ReadOlderFormatFile(bool loadDomain, LogSink &log);
// Start-up: the older file is converted (and deleted) only when no current file exists.
[[nodiscard]] bool OlderFormatNeedsMigration();
void DeleteOlderFormatFile(LogSink &log);
// After a list arrived: the data folder's file of the other format goes.
void DeleteOtherFormatFile(std::string_view tag, LogSink &log);

} // namespace tsc::farm
