#include "AtomicFile.h"
#include "PlatformDiagnostics.h"
#include "SystemInfo.h"
#include "TimeText.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tsc {

namespace {
std::mutex diagnosticsMutex;
std::vector<std::string> pendingDiagnostics;
std::set<std::string> reportedKeys;
} // namespace

std::vector<std::string> TakePlatformDiagnostics() {
    const std::lock_guard lock(diagnosticsMutex);
    return std::exchange(pendingDiagnostics, {});
}

namespace detail {

void AddPlatformDiagnostic(std::string line) {
    const std::lock_guard lock(diagnosticsMutex);
    pendingDiagnostics.push_back(std::move(line));
}

void AddPlatformDiagnosticOnce(const std::string &key, std::string line) {
    const std::lock_guard lock(diagnosticsMutex);
    if (reportedKeys.insert(key).second) pendingDiagnostics.push_back(std::move(line));
}

FileContent ReadWholeFile(const std::string &path, std::size_t maximumSize, FolderUse use) {
    FileContent content;
    if (path.empty()) return content; // no folder for it: nothing to read
    if (!UsableFolder(FolderOfPath(path), use, false)) {
        content.outcome = FolderExists(FolderOfPath(path)) ? ReadOutcome::Unreadable : ReadOutcome::Missing;
        return content;
    }
    const int descriptor = OpenPrivateFile(path, O_RDONLY, 0, use == FolderUse::Shared);
    if (descriptor < 0) {
        const int problem = errno;
        content.outcome = problem == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unreadable;
        if (problem == ELOOP || problem == EPERM)
            AddPlatformDiagnosticOnce("unsafe file " + path + " " + std::to_string(problem),
                                      "File " + path + " is not used (" + SystemErrorText(problem) + ")");
        return content;
    }
    return ReadOpenFile(descriptor, maximumSize);
}

FileContent ReadRegularFile(const std::string &path, std::size_t maximumSize) {
    FileContent content;
    // O_NONBLOCK keeps open() from waiting for a writer when the path is a FIFO.
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0) {
        content.outcome = errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unreadable;
        return content;
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(descriptor);
        content.outcome = ReadOutcome::Unreadable;
        return content;
    }
    return ReadOpenFile(descriptor, maximumSize);
}

FileContent ReadOpenFile(int descriptor, std::size_t maximumSize) {
    FileContent content;
    content.outcome = ReadOutcome::Read;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            content.outcome = ReadOutcome::Unreadable;
            break;
        }
        if (got == 0) break;
        if (content.bytes.size() + static_cast<std::size_t>(got) > maximumSize) {
            content.outcome = ReadOutcome::TooBig;
            break;
        }
        content.bytes.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(descriptor);
    if (content.outcome != ReadOutcome::Read) content.bytes.clear();
    return content;
}

bool ReplaceFileAtomically(const std::string &path, std::string_view bytes, mode_t mode, FolderUse use) {
    if (path.empty()) return false; // no folder for it: never the working folder
    const std::string folder = FolderOfPath(path);
    if (!UsableFolder(folder, use, true)) return false;
    std::string temporary;
    const int descriptor = CreateTemporaryFile(path, temporary);
    if (descriptor < 0) return false;
    errno = 0;
    bool written = ::fchmod(descriptor, mode) == 0;
    std::size_t done = 0;
    // A full disk (ENOSPC) and a file-size limit (EFBIG, with SIGXFSZ ignored) end
    // the write alike: the temporary file goes and the old file stays.
    while (written && done < bytes.size()) {
        const ssize_t put = ::write(descriptor, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0)
            written = false;
        else
            done += static_cast<std::size_t>(put);
    }
    written = written && ::fsync(descriptor) == 0;
    // The rename comes before the close: the close releases the lock that tells a
    // cleaner at start that this file is still being written.
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int problem = errno != 0 ? errno : EIO;
        ::unlink(temporary.c_str());
        ::close(descriptor);
        AddPlatformDiagnosticOnce("unwritten " + path + " " + std::to_string(problem),
                                  "File " + path + " could not be written (" + SystemErrorText(problem) +
                                      "); the old one is kept");
        return false;
    }
    ::close(descriptor);
    // The rename itself is durable only once the folder is flushed.
    const int folderDescriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor >= 0) {
        ::fsync(folderDescriptor);
        ::close(folderDescriptor);
    }
    return true;
}

bool ReplacingFile::Fail(int code) {
    if (error_ == 0) error_ = code != 0 ? code : EIO;
    Cancel();
    return false;
}

bool ReplacingFile::Open() {
    Cancel();
    error_ = 0;
    if (path_.empty()) return Fail(ENOENT);
    mode_t mode = 0600;
    struct stat existing {};
    if (::lstat(path_.c_str(), &existing) == 0) {
        if (existing.st_uid != ::geteuid()) return Fail(EPERM);
        if (S_ISDIR(existing.st_mode)) return Fail(EISDIR);
        if (S_ISREG(existing.st_mode)) mode = existing.st_mode & 07777;
    } else if (errno != ENOENT) {
        return Fail(errno);
    }
    descriptor_ = CreateTemporaryFile(path_, temporary_);
    if (descriptor_ < 0) return Fail(errno);
    if (::fchmod(descriptor_, mode) != 0) return Fail(errno);
    return true;
}

bool ReplacingFile::Write(std::string_view bytes) {
    if (descriptor_ < 0) return Fail(EBADF);
    while (!bytes.empty()) {
        const ssize_t put = ::write(descriptor_, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return Fail(put < 0 ? errno : EIO);
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

bool ReplacingFile::Commit() {
    if (descriptor_ < 0) return Fail(EBADF);
    if (::fsync(descriptor_) != 0 || ::rename(temporary_.c_str(), path_.c_str()) != 0) return Fail(errno);
    // Closed after the rename: the lock tells a cleaner the file is being written.
    ::close(descriptor_);
    descriptor_ = -1;
    temporary_.clear();
    const int folder = ::open(FolderOfPath(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)::fsync(folder);
        ::close(folder);
    }
    return true;
}

void ReplacingFile::Cancel() {
    if (!temporary_.empty()) (void)::unlink(temporary_.c_str());
    temporary_.clear();
    if (descriptor_ >= 0) ::close(descriptor_);
    descriptor_ = -1;
}

std::string KeepDamagedFile(const std::string &path) {
    const std::string kept = path + ".damaged-" + FileTimeStampText();
    return ::rename(path.c_str(), kept.c_str()) == 0 ? kept : std::string();
}

FileLock::FileLock(const std::string &path, FolderUse use) {
    const std::string lockPath = path + ".lock";
    if (!UsableFolder(FolderOfPath(lockPath), use, true)) return;
    descriptor_ = OpenPrivateFile(lockPath, O_RDWR | O_CREAT, use == FolderUse::Shared ? 0644 : 0600,
                                  use == FolderUse::Shared);
    if (descriptor_ < 0) {
        const int problem = errno;
        if (problem == ELOOP || problem == EPERM || problem == EINVAL)
            AddPlatformDiagnosticOnce("unsafe file " + lockPath + " " + std::to_string(problem),
                                      "Lock file " + lockPath + " is not used (" + SystemErrorText(problem) +
                                          ")");
        return;
    }
    while (::flock(descriptor_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(descriptor_);
            descriptor_ = -1;
            return;
        }
    }
}

FileLock::~FileLock() {
    if (descriptor_ >= 0) ::close(descriptor_); // closing releases the lock
}

} // namespace detail
} // namespace tsc
