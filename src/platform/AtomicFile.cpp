#include "AtomicFile.h"
#include "PlatformDiagnostics.h"
#include "SystemInfo.h"
#include "TimeText.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <utility>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
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

namespace {
FileContent ReadOpenFile(int descriptor, std::size_t maximumSize);
}

FileContent ReadWholeFile(const std::string &path, std::size_t maximumSize) {
    FileContent content;
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        content.outcome = errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unreadable;
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

namespace {
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
} // namespace

bool ReplaceFileAtomically(const std::string &path, std::string_view bytes, mode_t mode) {
    const auto cut = path.find_last_of('/');
    const std::string folder = cut == std::string::npos ? "." : (cut == 0 ? "/" : path.substr(0, cut));
    if (!EnsureFolder(folder)) return false;
    std::string temporary = path + ".XXXXXX";
    const int descriptor = ::mkstemp(temporary.data());
    if (descriptor < 0) return false;
    bool written = ::fchmod(descriptor, mode) == 0;
    std::size_t done = 0;
    while (written && done < bytes.size()) {
        const ssize_t put = ::write(descriptor, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) written = false;
        else done += static_cast<std::size_t>(put);
    }
    written = written && ::fsync(descriptor) == 0;
    written = ::close(descriptor) == 0 && written;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    // The rename itself is durable only once the folder is flushed.
    const int folderDescriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderDescriptor >= 0) {
        ::fsync(folderDescriptor);
        ::close(folderDescriptor);
    }
    return true;
}

std::string KeepDamagedFile(const std::string &path) {
    const std::string kept = path + ".damaged-" + FileTimeStampText();
    return ::rename(path.c_str(), kept.c_str()) == 0 ? kept : std::string();
}

FileLock::FileLock(const std::string &path) {
    const std::string lockPath = path + ".lock";
    const auto cut = lockPath.find_last_of('/');
    if (cut != std::string::npos && cut > 0) (void)EnsureFolder(lockPath.substr(0, cut));
    descriptor_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor_ < 0) return;
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
