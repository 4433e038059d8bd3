#include "PrivateFiles.h"

#include "Identity.h"
#include "PlatformDiagnostics.h"
#include "Registry.h"
#include "SystemInfo.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <mutex>
#include <optional>
#include <pwd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tsc {

namespace detail {

namespace {

constexpr std::string_view TemporaryMarker = ".tsc-";
constexpr std::size_t TemporaryRandomLength = 6; // the XXXXXX of mkstemp
// A writer locks its temporary file right after creating it; a file this old and
// unlocked belongs to no running write.
constexpr time_t StaleTemporaryAgeSeconds = 5;

using group_t = struct group;

std::string ErrorText(int code) {
    return std::strerror(code);
}

// The passwd entry of a name or of the iteration, as a uid; nullopt when unknown.
std::optional<uid_t> UserIdOfName(const char *name) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd *found = nullptr;
    if (::getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return found->pw_uid;
}

// Someone besides the user (and root, who may write anywhere anyway) belongs to
// group: a member named in the group database, or a user whose primary group it is.
// A group that cannot be looked up counts as having others.
bool LookUpOtherMembers(gid_t group, uid_t user) {
    std::vector<char> buffer(65536);
    group_t entry{};
    group_t *found = nullptr;
    while (::getgrgid_r(group, &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 24))
        buffer.resize(buffer.size() * 4);
    if (found == nullptr) return true;
    for (char **member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
        const auto uid = UserIdOfName(*member);
        if (!uid || (*uid != user && *uid != 0)) return true;
    }
    ::setpwent();
    bool others = false;
    while (const passwd *account = ::getpwent()) {
        if (account->pw_gid == group && account->pw_uid != user && account->pw_uid != 0) {
            others = true;
            break;
        }
    }
    ::endpwent();
    return others;
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
        if (OthersMayWrite(info) && (info.st_mode & S_ISVTX) == 0)
            return "folder " + folder + " is writable by other users";
        if (folder == "/") return {};
        folder = FolderOfPath(folder);
    }
}

} // namespace

bool GroupHasOtherMembers(gid_t group) {
    // The group database is walked with the process-wide passwd iteration: one
    // walker at a time, and each group once per process.
    static std::mutex mutex;
    static std::map<std::pair<gid_t, uid_t>, bool> known;
    const uid_t user = ::geteuid();
    const std::lock_guard lock(mutex);
    const auto [place, added] = known.try_emplace({group, user}, false);
    if (added) place->second = LookUpOtherMembers(group, user);
    return place->second;
}

bool OthersMayWrite(const struct stat &info) {
    if ((info.st_mode & S_IWOTH) != 0) return true;
    return (info.st_mode & S_IWGRP) != 0 && GroupHasOtherMembers(info.st_gid);
}

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
        if (OthersMayWrite(info)) return "writable by other users";
    }
    return AncestorProblem(resolved);
}

bool FolderSharedWithOthers(const std::string &folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return true;
    return info.st_uid != ::geteuid() || OthersMayWrite(info);
}

bool OnlyUserCanChange(const std::string &path) {
    char resolved[PATH_MAX];
    if (path.empty() || ::realpath(path.c_str(), resolved) == nullptr) return false;
    struct stat info {};
    if (::stat(resolved, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid() ||
        OthersMayWrite(info))
        return false;
    return FolderProblem(FolderOfPath(resolved), FolderUse::Shared, false).empty();
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

bool EndsWithRandomPart(std::string_view name, std::string_view before) {
    constexpr std::size_t random = detail::TemporaryRandomLength;
    if (name.size() < before.size() + random) return false;
    const std::string_view tail = name.substr(name.size() - random);
    return name.substr(name.size() - random - before.size(), before.size()) == before &&
           std::all_of(tail.begin(), tail.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

bool AllDigits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

enum class Leftover { None, Temporary, OfProcess };

// The temporary files the client's writers leave when killed mid-write:
//   ".<name>.tsc-XXXXXX"   CreateTemporaryFile (locked while written)
//   ".tsc-copy-XXXXXX"     copies of profiles and lists (locked while written)
//   "<client>.new-<pid>"   a copy of the installed client, by process id
//   "<list>.XXXXXX"        server lists recorded by older versions of the client
Leftover LeftoverKind(std::string_view name) {
    if (name.size() > 1 && name.front() == '.' && EndsWithRandomPart(name, detail::TemporaryMarker))
        return Leftover::Temporary;
    if (name.size() == 10 + detail::TemporaryRandomLength && EndsWithRandomPart(name, ".tsc-copy-"))
        return Leftover::Temporary;
    const std::string copyOfClient = Identity::InstalledClientName() + ".new-";
    if (name.rfind(copyOfClient, 0) == 0 && AllDigits(name.substr(copyOfClient.size())) &&
        name.size() - copyOfClient.size() <= 10)
        return Leftover::OfProcess;
    for (const std::string &list : {Identity::ServerListFileName(), Identity::OlderServerListFileName()})
        if (EndsWithRandomPart(name, list + ".")) return Leftover::Temporary;
    return Leftover::None;
}

bool ProcessGone(std::string_view name) {
    const std::string digits(name.substr(name.rfind(".new-") + 5));
    const long id = std::strtol(digits.c_str(), nullptr, 10);
    return id > 0 && id <= INT_MAX && ::kill(static_cast<pid_t>(id), 0) != 0 && errno == ESRCH;
}

} // namespace

std::size_t RemoveStaleTemporaryFiles(const std::string &folder) {
    DIR *listing = ::opendir(folder.c_str());
    if (listing == nullptr) return 0;
    std::size_t removed = 0;
    const time_t now = std::time(nullptr);
    const int folderDescriptor = ::dirfd(listing);
    while (const dirent *entry = ::readdir(listing)) {
        const Leftover kind = LeftoverKind(entry->d_name);
        if (kind == Leftover::None || (kind == Leftover::OfProcess && !ProcessGone(entry->d_name))) continue;
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
    // Folders of others that this user may write: the machine's registry, and the
    // folder of the installed client, where a newer client is copied in.
    for (const std::string &shared : {detail::FolderOfPath(Registry::HiveFile(Hive::LocalMachine)),
                                      detail::FolderOfPath(ExecutablePath())})
        if (::access(shared.c_str(), W_OK) == 0) removed += RemoveStaleTemporaryFiles(shared);
    return removed;
}

void HardenProcess() {
    // Always, not only while a password is held: a password typed into the window
    // lives in widget and toolkit buffers we cannot wipe.
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    (void)std::signal(SIGXFSZ, SIG_IGN);
}

} // namespace tsc
