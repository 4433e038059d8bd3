#include "PrivateFiles.h"

#include "Identity.h"
#include "PlatformDiagnostics.h"
#include "Registry.h"
#include "SystemInfo.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc {

namespace detail {

namespace {

constexpr std::string_view TemporaryMarker = ".tsc-";
constexpr std::size_t TemporaryRandomLength = 6; // the XXXXXX of mkstemp
// A writer locks its temporary file right after creating it; a file this old and
// unlocked belongs to no running write.
constexpr time_t StaleTemporaryAgeSeconds = 5;

std::string ErrorText(int code) {
    return std::strerror(code);
}

std::string OwnerText(uid_t owner) {
    return "owned by user " + std::to_string(owner);
}

int MakeFolders(const std::string &folder) {
    if (folder.empty() || folder == "/" || folder == ".") return 0;
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
    if (const int parent = MakeFolders(FolderOfPath(folder)); parent != 0) return parent;
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) return 0;
    return errno;
}

// Every folder above a used one: only the user or root may change it, or it has
// the sticky bit, which keeps others from renaming or removing what is ours.
std::string AncestorProblem(const std::string &resolved) {
    const uid_t user = ::geteuid();
    std::string folder = FolderOfPath(resolved);
    for (;;) {
        struct stat info {};
        if (::stat(folder.c_str(), &info) != 0) return "folder " + folder + ": " + ErrorText(errno);
        if (info.st_uid != user && info.st_uid != 0)
            return "folder " + folder + " is " + OwnerText(info.st_uid);
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0)
            return "folder " + folder + " is writable by other users";
        if (folder == "/") return {};
        folder = FolderOfPath(folder);
    }
}

} // namespace

std::string FolderOfPath(const std::string &path) {
    const auto cut = path.find_last_of('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? std::string("/") : path.substr(0, cut);
}

std::string FolderProblem(const std::string &folder, FolderUse use, bool create) {
    if (folder.empty()) return "no folder";
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) {
        if (errno != ENOENT) return ErrorText(errno);
        if (!create) return "missing";
        if (const int made = MakeFolders(folder); made != 0) return "cannot be created: " + ErrorText(made);
    }
    char resolvedBuffer[PATH_MAX];
    if (::realpath(folder.c_str(), resolvedBuffer) == nullptr) return ErrorText(errno);
    const std::string resolved = resolvedBuffer;
    if (::stat(resolved.c_str(), &info) != 0) return ErrorText(errno);
    if (!S_ISDIR(info.st_mode)) return "not a folder";
    const uid_t user = ::geteuid();
    if (use == FolderUse::Private) {
        if (info.st_uid != user) return OwnerText(info.st_uid);
        // A shared folder with the sticky bit (the temporary folder, when we are
        // root) stays as it is; our own folder, opened to others by an older
        // version or a umask, is closed.
        if ((info.st_mode & S_ISVTX) != 0) return "shared with other users";
        if ((info.st_mode & 077) != 0 && ::chmod(resolved.c_str(), 0700) != 0) return "open to other users";
    } else {
        if (info.st_uid != user && info.st_uid != 0) return OwnerText(info.st_uid);
        if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by other users";
    }
    return AncestorProblem(resolved);
}

bool FolderSharedWithOthers(const std::string &folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return true;
    return info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool UsableFolder(const std::string &folder, FolderUse use, bool create) {
    const std::string problem = FolderProblem(folder, use, create);
    if (problem.empty()) return true;
    // A folder that cannot be made (no rights to the machine's folder) is only unusable.
    if (problem != "missing" && problem.rfind("cannot be created", 0) != 0)
        AddPlatformDiagnosticOnce("unsafe folder " + folder + " " + problem,
                                  "Folder " + folder + " is not safe to use (" + problem +
                                      "); it is not used");
    return false;
}

int OpenPrivateFile(const std::string &path, int flags, mode_t mode, bool rootMayOwn) {
    // O_NONBLOCK only for the open itself: a planted FIFO must not block it.
    const int descriptor = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
    if (descriptor < 0) return -1;
    struct stat info {};
    int problem = 0;
    if (::fstat(descriptor, &info) != 0)
        problem = errno;
    else if (!S_ISREG(info.st_mode))
        problem = EINVAL;
    else if (info.st_uid != ::geteuid() && !(rootMayOwn && info.st_uid == 0))
        problem = EPERM;
    else if ((flags & O_NONBLOCK) == 0 &&
             ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0)
        problem = errno;
    if (problem != 0) {
        ::close(descriptor);
        errno = problem;
        return -1;
    }
    return descriptor;
}

std::string TemporaryFilePattern(const std::string &path) {
    const auto cut = path.find_last_of('/');
    const std::string name = cut == std::string::npos ? path : path.substr(cut + 1);
    const std::string folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    return folder + "." + name + std::string(TemporaryMarker) + std::string(TemporaryRandomLength, 'X');
}

int CreateTemporaryFile(const std::string &path, std::string &temporaryPath) {
    temporaryPath = TemporaryFilePattern(path);
    const int descriptor = ::mkostemp(temporaryPath.data(), O_CLOEXEC);
    if (descriptor < 0) return -1;
    // Released by the close after the rename (or the removal).
    (void)::flock(descriptor, LOCK_EX | LOCK_NB);
    return descriptor;
}

} // namespace detail

namespace {

bool IsTemporaryName(std::string_view name) {
    constexpr std::size_t tail = detail::TemporaryMarker.size() + detail::TemporaryRandomLength;
    if (name.size() < 2 + tail || name.front() != '.') return false;
    return name.substr(name.size() - tail, detail::TemporaryMarker.size()) == detail::TemporaryMarker;
}

} // namespace

std::size_t RemoveStaleTemporaryFiles(const std::string &folder) {
    DIR *listing = ::opendir(folder.c_str());
    if (listing == nullptr) return 0;
    std::size_t removed = 0;
    const time_t now = std::time(nullptr);
    const int folderDescriptor = ::dirfd(listing);
    while (const dirent *entry = ::readdir(listing)) {
        if (!IsTemporaryName(entry->d_name)) continue;
        const int file =
            ::openat(folderDescriptor, entry->d_name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (file < 0) continue;
        struct stat info {};
        if (::fstat(file, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() &&
            now - info.st_mtime >= detail::StaleTemporaryAgeSeconds &&
            ::flock(file, LOCK_EX | LOCK_NB) == 0 && ::unlinkat(folderDescriptor, entry->d_name, 0) == 0)
            ++removed;
        ::close(file);
    }
    ::closedir(listing);
    return removed;
}

std::size_t RemoveOwnStaleTemporaryFiles() {
    std::size_t removed = RemoveStaleTemporaryFiles(ApplicationDataFolder());
    removed += RemoveStaleTemporaryFiles(detail::FolderOfPath(Registry::HiveFile(Hive::CurrentUser)));
    const std::string machineFolder = detail::FolderOfPath(Registry::HiveFile(Hive::LocalMachine));
    if (::access(machineFolder.c_str(), W_OK) == 0) removed += RemoveStaleTemporaryFiles(machineFolder);
    return removed;
}

void HardenProcess() {
    // Always, not only while a password is held: a password typed into the window
    // lives in widget and toolkit buffers we cannot wipe.
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace tsc
