#pragma once

// Taking a downloaded executable into use, at the starts after the download:
//  1. the installed client finds a verified versioned copy of another version in the
//     data folder, closes itself and starts that copy (StartupUpdateDecision says
//     HandOver; StartPendingCopy runs after the event loop);
//  2. the copy, running from the data folder, replaces the installed executable;
//  3. the installed client, now of the copy's version, declares itself up to date and
//     deletes the versioned copies.
//
// The operations log to the log file only (a LogSink that writes no Logging page
// lines; nullptr for none); the decision's own lines go to the window's log.

#include "PublisherSignature.h"
#include "UpdateTrust.h"

#include <string>
#include <vector>

namespace tsc {
class LogSink;
}

namespace tsc::update {

// Where the running client and its data folder are; Current() asks the system.
struct ClientPlaces {
    std::string executable; // full path of the running executable
    std::string dataFolder; // the application data folder
    std::string packageFileList = PackageFileList;
    [[nodiscard]] static ClientPlaces Current();
};

// Registry value under HKEY_CURRENT_USER\SOFTWARE\<AppName>.
inline constexpr char ClientFolderValueName[] = "Path File for Client";

[[nodiscard]] bool IsRunningFromDataFolder(LogSink *log, const ClientPlaces &places);
void StoreClientFolder(LogSink *log, const ClientPlaces &places);
// Leaves folder unchanged when no valid value is stored.
void ReadClientFolder(LogSink *log, std::string &folder);

struct FoundCopy {
    bool found = false;
    std::string path;
    std::string version;
};
// Examines the first entry of the data folder that matches the versioned-copy pattern
// (folders are no copies); a copy that fails a check is deleted.
[[nodiscard]] FoundCopy FindVersionedCopy(LogSink *log, const ClientPlaces &places, const PublisherKey &key);

// Deletes every versioned copy, with its publisher signature and unfinished
// downloads; each deletion adds "|I Delete| " + path and "|I Delete| " + the result
// text to list (time-stamped) and/or log.
void DeleteVersionedCopies(std::vector<std::string> *list, LogSink *log, const std::string &dataFolder);

// The installed executable: the running one, or for a versioned copy the one in the
// stored client folder (empty when none is stored).
[[nodiscard]] std::string InstalledExecutable(const ClientPlaces &places);

// Why a versioned copy may not run; empty when it may. Checks that it is a regular
// file of the user, writable by nobody else, no larger than MaximumExecutableSize,
// that its content matches the signature in its name, that a valid publisher key is
// configured and that the publisher's signature beside it is good.
[[nodiscard]] std::string UntrustedCopyReason(const std::string &path, const std::string &entryName,
                                              const PublisherKey &key);

enum class StartupOutcome { Continue, HandOver };
struct StartupDecision {
    StartupOutcome outcome = StartupOutcome::Continue;
    std::string pendingStartPath; // set with HandOver
    std::string pendingStartVersion;
};
// The self-update decision of start-up, after the log is open and the start lines are
// written. windowLog receives the decision's lines (the Logging page too), fileLog
// the lines of the operations. Only a copy of a strictly newer version is handed
// over to, and only by an installed client that is not the package's and has a
// valid publisher key; other copies are deleted. Without a data folder nothing
// happens. On HandOver the caller closes the window at once,
// skips the rest of start-up and runs StartPendingCopy after the event loop.
[[nodiscard]] StartupDecision RunStartupUpdateDecision(LogSink &windowLog, LogSink *fileLog,
                                                       const ClientPlaces &places, const PublisherKey &key);
// The same for the running client with the configured publisher key.
[[nodiscard]] StartupDecision RunStartupUpdateDecision(LogSink &windowLog, LogSink *fileLog);

// Starts the pending copy with the client's own arguments, each passed on as its own
// argument in their order, after checking the copy once more. A copy that fails the
// check or cannot be started is deleted. Returns 0 or the error code; nothing to do
// gives 0.
int StartPendingCopy(const std::string &pendingStartPath, const std::vector<std::string> &arguments,
                     const PublisherKey &key);
// The same with the configured publisher key.
int StartPendingCopy(const std::string &pendingStartPath, const std::vector<std::string> &arguments);

} // namespace tsc::update
