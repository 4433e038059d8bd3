#pragma once

// A profile opened from the command line (a double-click on an .rdp file) connects at
// once and shares what it asks for. A file received by mail or downloaded names a
// server of its sender's choosing, so before such a file connects the user is shown
// what it does: the host, and each local resource it shares.
//
// The decision is a pure function over facts the core gathers (OpenedProfileFacts);
// the records behind the facts (profiles this client wrote, files the user said
// not to ask about again, hosts connected to) are content hashes and host names in
// the user's registry hive, under ApplicationKeyPath() + "\OpenedFiles".

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tsc::profiles {
struct ProfileSettings;
}

namespace tsc::shell {

// A file from elsewhere is any file named on the command line, and any profile read
// from where others can change it, unless it lies where only the user can change it
// (the file and its folder are the user's, and no one else may write that folder or
// one above it) and the client wrote it or the user made it theirs by keeping it in
// the data folder or the connection folder.
struct OpenedProfileFacts {
    bool fromCommandLine = false;     // parameter 1 named the profile read (an automatic connect)
    bool insideOwnFolders = false;    // it lies in the data folder or the connection folder
    bool writtenByClient = false;     // its content hash is one this client wrote
    bool userSaidDontAsk = false;     // "Don't ask again for this file" for this content
    bool questionSwitchedOff = false; // the machine hive switches the question off
    bool hostKnown = false;           // this client has connected to the host before
    bool hasTarget = true;            // it names a host, or asks the Farm for one
    bool onlyUserCanChange = true;    // no one else may replace or change it (see above)
};

struct OpenedProfilePlan {
    bool fromElsewhere = false;    // its own settings page hiding is ignored
    bool ask = false;              // show the question before connecting
    bool keepSavedPassword = true; // false: its saved password is dropped
};

// What to do with the profile read at start-up.
[[nodiscard]] OpenedProfilePlan PlanOpenedProfile(const OpenedProfileFacts &facts);

// What the question shows.
struct OpenedProfileQuestion {
    std::string file;
    std::string host;
    bool hostKnown = false;
    std::vector<std::string> sharedResources; // one line per local resource shared
    bool savedPasswordDropped = false;        // the file's saved password is not used
};
[[nodiscard]] std::vector<std::string> SharedResources(const profiles::ProfileSettings &settings,
                                                       bool passwordKept);
// The question as one text (the message box's body, and a log line's source).
[[nodiscard]] std::string QuestionText(const OpenedProfileQuestion &question);

struct OpenedProfileAnswer {
    bool connect = false;
    bool dontAskAgain = false; // only taken with connect
};

// The hash that names a file's content: SHA-256 of its first `limit` bytes and its
// size, as lower-case hex. Empty when the file cannot be read. Bounded, so a huge
// or endless file does not hang the start.
inline constexpr std::size_t HashedBytesLimit = 1 << 20;
[[nodiscard]] std::string ProfileContentHash(const std::string &path);

// `path` lies inside `folder` (both resolved through links; false when either is
// missing or empty).
[[nodiscard]] bool IsInsideFolder(const std::string &path, const std::string &folder);

// A host as the known-host list keeps it: by name (lower case) and port, so that a
// file naming another port of a known host is not "connected before".
[[nodiscard]] std::string KnownHostKey(const std::string &host, int port);

// The records, in the user's hive; each list keeps its newest entries only.
namespace OpenedFileRecords {
inline constexpr std::size_t ListLimit = 256;
[[nodiscard]] bool WrittenByClient(const std::string &hash);
void RecordWritten(const std::string &hash);
[[nodiscard]] bool UserSaidDontAsk(const std::string &hash);
void RecordDontAsk(const std::string &hash);
[[nodiscard]] bool HostKnown(const std::string &host);
void RecordHost(const std::string &host);
// The machine hive's DWORD "AskBeforeOpenedFiles" under ApplicationKeyPath(): 0
// switches the question off; missing or any other value keeps it.
[[nodiscard]] bool QuestionSwitchedOff();
// Adds `entry` at the end of `list`, once, keeping the newest `limit` entries.
[[nodiscard]] std::vector<std::string> WithEntry(std::vector<std::string> list, const std::string &entry,
                                                 std::size_t limit = ListLimit);
} // namespace OpenedFileRecords

} // namespace tsc::shell
