#pragma once

// Files and folders the client keeps for the user alone (log, password key, registry
// hives, lock files, the INI file, profiles it writes) are only used when nobody else
// can change them: a folder owned by the user with no rights for others (0700) below
// folders that only the user or root can change; files owned by the user (0600),
// opened without following a link and checked after the open, so that a link or a
// file planted by another user is never read, written or truncated.
//
// A folder that fails the check is reported once in the platform diagnostics with
// one line ("Folder ... is not safe to use (...); it is not used") and not used.

#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace tsc::detail {

enum class FolderUse {
    Private, // the user's own: owned by the user, no rights for others (tightened to 0700)
    Shared,  // readable by all, like the machine's registry: owned by the user or root, writable by no one
             // else
};

// Why folder may not be used, empty when it may. Missing folders (and missing
// folders above them) are created with mode 0700 when create is set; otherwise a
// missing folder gives "missing". Every folder above it must be owned by the user or
// root and be writable by nobody else (OthersMayWrite) unless it has the sticky bit
// (as /tmp).
[[nodiscard]] std::string FolderProblem(const std::string &folder, FolderUse use, bool create);

// FolderProblem, with the problem reported once as a diagnostic line; a missing
// folder without create is not reported.
[[nodiscard]] bool UsableFolder(const std::string &folder, FolderUse use, bool create);

// Someone besides the user and root belongs to group: a listed member or a user
// whose primary group it is. A user private group (only the user in it) has none.
[[nodiscard]] bool GroupHasOtherMembers(gid_t group);

// Someone besides the user may write what info describes: it is writable by others,
// or by a group with other members. The group bit of a user private group (the
// default with umask 002) gives nobody else a right.
[[nodiscard]] bool OthersMayWrite(const struct stat &info);

// Other users can create or replace entries in folder (OthersMayWrite, or it is not
// the user's); true as well when it cannot be examined.
[[nodiscard]] bool FolderSharedWithOthers(const std::string &folder);

// The file at path (links resolved) is a regular file of the user that no one else
// may write, in a folder that no one else may change (FolderProblem for Shared use
// finds nothing): a team share or the temporary folder fails.
[[nodiscard]] bool OnlyUserCanChange(const std::string &path);

// The folder part of a path ("." for a bare name).
[[nodiscard]] std::string FolderOfPath(const std::string &path);

// Opens path with flags plus O_NOFOLLOW|O_CLOEXEC|O_NOCTTY; a created file gets mode
// (0600 unless said). After the open the file must be a regular file owned by the
// user (or root, when rootMayOwn). Returns the descriptor, or -1 with errno set:
// ELOOP for a link, EPERM for a file of another owner, EINVAL for no regular file.
[[nodiscard]] int OpenPrivateFile(const std::string &path, int flags, mode_t mode = 0600,
                                  bool rootMayOwn = false);

// The name of a temporary file written beside path before it replaces path:
// "<folder>/.<name>.tsc-XXXXXX", a pattern for mkstemp. The marker lets the client
// find its own leftovers and nothing else.
[[nodiscard]] std::string TemporaryFilePattern(const std::string &path);

// Creates a temporary file from TemporaryFilePattern(path) and holds an advisory
// lock on it while the descriptor is open, so that a cleaner never takes a file that
// a running process is still writing. Returns the descriptor (mode 0600) or -1.
[[nodiscard]] int CreateTemporaryFile(const std::string &path, std::string &temporaryPath);

} // namespace tsc::detail

namespace tsc {

// Removes temporary files the client left in folder when it was killed in the middle
// of a write: files named like those of its writers (TemporaryFilePattern, the
// copies of profiles, of the executable and of older versions' server lists), owned
// by the user, older than a few seconds and not locked by a running process (a copy
// of the executable: its process is gone). Returns how many were removed.
std::size_t RemoveStaleTemporaryFiles(const std::string &folder);

// RemoveStaleTemporaryFiles for the client's own folders: the application data
// folder, the user's registry folder and (when this user may write them) the
// machine's registry folder and the executable's folder. Called once at start;
// a connection folder is cleaned when it is listed.
std::size_t RemoveOwnStaleTemporaryFiles();

// Process-wide protection set once at start: the process is not dumpable (no core
// file and no ptrace by other processes of the user can read a password from its
// memory), and SIGXFSZ is ignored so that a file-size limit makes a write fail with
// EFBIG instead of killing the client.
void HardenProcess();

} // namespace tsc
