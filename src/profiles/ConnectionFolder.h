#pragma once

// The connection folder of multiple connection usage: a folder of profiles, each
// one connection, each with its own server list file beside it. These functions
// list the folder, make names, and rename, copy, move and delete a profile together
// with its server list file, writing the log lines of each step. They know nothing
// of widgets; the application core calls them and shows the result.
//
// A profile and its server list file stay a pair: when the second half of an
// operation fails, the first half is undone where it can be, and the log says so.
// Nothing here replaces an existing file unless it says so.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc {
class LogSink;
}

namespace tsc::profiles {

// The names the folder's files derive from (AppPrefix and the file names built on it).
struct ConnectionFolderNames {
    std::string defaultProfile;  // AppPrefix + "_farm.rdp": never a connection
    std::string serverList;      // AppPrefix + "_farm_v001c003.txt"
    std::string olderServerList; // AppPrefix + "_farm_v001c001.txt"
};
[[nodiscard]] ConnectionFolderNames FolderNamesFor(std::string_view appPrefix);

// "Office.RDP" -> "Office": a final ".rdp" in any letter case is removed when the
// name is longer than 4 characters.
[[nodiscard]] std::string ConnectionDisplayName(std::string_view fileName);
// "Office" and "Office.Rdp" -> "Office.rdp": exactly one extension, in lower case.
[[nodiscard]] std::string ConnectionFileName(std::string_view name);
// Keeps digits, the characters from 'A' to 'z', space, '.' and '-'; every other
// character (a UTF-8 sequence counts as one) becomes "_".
[[nodiscard]] std::string MakeSafeConnectionName(std::string_view text);
// The profile path with its extension replaced by "." + the server list file name.
[[nodiscard]] std::string ServerListPathOf(std::string_view profilePath, const ConnectionFolderNames &names);

// Why a new connection name cannot be used, or None.
enum class NameProblem { None, Empty, LeadingDot, TooLong };
[[nodiscard]] NameProblem CheckConnectionName(std::string_view name, const ConnectionFolderNames &names);
// The text of the message that refuses a name.
[[nodiscard]] std::string NameProblemText(NameProblem problem, std::string_view name);

// One connection of the folder: the name it is shown under and its file's real name
// (whose extension may be in any letter case).
struct Connection {
    std::string name;
    std::string fileName;
};

struct FolderListing {
    std::vector<Connection> connections; // in the order the folder delivers them
    int error = 0;                       // errno when the folder could not be read
};
// Every entry of the folder that ends in ".rdp" in any letter case, is no folder
// (links to files count), and is not the default profile (compared case-blind).
// Should two files show the same name ("A.rdp" and "A.RDP"), the later one is shown
// under its whole file name so that each entry names one file.
[[nodiscard]] FolderListing ListConnections(const std::string &folder, const ConnectionFolderNames &names);
// The names sorted the way the drop-down shows them: case-blind, then by bytes.
[[nodiscard]] std::vector<Connection> SortedConnections(std::vector<Connection> connections);

// The two folders are one folder (the same directory, however spelled).
[[nodiscard]] bool SameFolder(const std::string &a, const std::string &b);
[[nodiscard]] bool FileExists(const std::string &path);

// How a file leaves the folder: to the trash where one exists, else deleted.
// Returns 0 or an errno code. Tests replace it.
using RemoveFileFunction = std::function<int(const std::string &path)>;
[[nodiscard]] int MoveToTrashOrDelete(const std::string &path);

// Renames the connection `from` (its file `fromFile`) to the name `to` in `folder`,
// its server list file with it. Fails, changing nothing, when a file of the new name
// exists. Returns whether the profile now has the new name.
bool RenameConnection(const std::string &folder, const Connection &from, const std::string &to,
                      const ConnectionFolderNames &names, LogSink &log);

// The first free name "<name> Copy n" for n = 1 to 999, or none when all are taken.
[[nodiscard]] std::optional<std::string> FreeCopyName(const std::string &folder, const std::string &name);
inline constexpr int MaximumCopyNumber = 999;

// Copies the connection under the first free copy name together with its server
// list file; returns the new name, or none (logged) when no copy was made.
std::optional<std::string> DuplicateConnection(const std::string &folder, const Connection &source,
                                               const ConnectionFolderNames &names, LogSink &log);

// Removes the profile and then its server list file. A profile that cannot be
// removed keeps its server list file.
void DeleteConnection(const std::string &folder, const Connection &connection,
                      const ConnectionFolderNames &names, LogSink &log,
                      const RemoveFileFunction &remove = MoveToTrashOrDelete);

// Moves every profile and every connection server list file from one folder to the
// other. A file whose name the target folder already holds stays where it is (with
// an error line), and so does the server list file of a profile that stayed.
void MoveAllRdpFiles(const std::string &from, const std::string &to, const ConnectionFolderNames &names,
                     LogSink &log);

// Copies `source` over `target` (replacing it atomically). 0 or an errno code.
[[nodiscard]] int CopyFileReplacing(const std::string &source, const std::string &target);

} // namespace tsc::profiles
