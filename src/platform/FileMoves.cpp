#include "FileMoves.h"

#include "SystemInfo.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc {

namespace {

std::string PathIn(const std::string &folder, std::string_view fileName) {
    return WithTrailingSeparator(folder) + std::string(fileName);
}

// Copies `source` into a temporary file beside `target`, flushed to disk, and hands
// it to `place` to become `target`. The target never holds a part of a file.
int CopyThroughTemporary(const std::string &source, const std::string &target,
                         const std::function<int(const std::string &, const std::string &)> &place) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return errno;
    struct stat info {};
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISREG(info.st_mode) ? errno : EISDIR;
        ::close(in);
        return error;
    }
    const auto slash = target.find_last_of('/');
    std::string temporary =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".tsc-copy-XXXXXX";
    const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        return error;
    }
    // Tells the cleaner at start that this copy is being written.
    (void)::flock(out, LOCK_EX | LOCK_NB);
    int error = 0;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (got == 0) break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR) continue;
                error = errno;
                break;
            }
            done += put;
        }
        if (error) break;
    }
    if (!error && ::fchmod(out, info.st_mode & 07777) != 0) error = errno;
    if (!error && ::fsync(out) != 0) error = errno;
    if (::close(out) != 0 && !error) error = errno;
    ::close(in);
    if (!error) error = place(temporary, target);
    if (error) (void)::unlink(temporary.c_str());
    return error;
}

} // namespace

FolderEntries ReadFolderFiles(const std::string &folder,
                              const std::function<bool(std::string_view)> &wanted) {
    FolderEntries entries;
    DIR *dir = ::opendir(folder.c_str());
    if (!dir) {
        entries.error = errno;
        return entries;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name == "." || name == ".." || !wanted(name)) continue;
        if (entry->d_type == DT_DIR) continue;
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            if (::stat(PathIn(folder, name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        }
        entries.files.emplace_back(name);
    }
    ::closedir(dir);
    return entries;
}

// Renames without ever replacing: renameat2 where the file system knows it, else
// link and unlink, which refuse an existing target just as well. 0 or an errno code.
int RenameNoReplace(const std::string &from, const std::string &to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    const int error = errno;
    if (error != EINVAL && error != ENOSYS && error != ENOTSUP) return error;
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    if (::unlink(from.c_str()) != 0) {
        const int unlinkError = errno;
        (void)::unlink(to.c_str());
        return unlinkError;
    }
    return 0;
}

int CopyFileNoReplace(const std::string &source, const std::string &target) {
    return CopyThroughTemporary(source, target, RenameNoReplace);
}

// Moves a file without replacing one in the target folder: a rename where both lie
// on one file system, else a copy and a delete.
MoveResult MoveFileNoReplace(const std::string &from, const std::string &to) {
    MoveResult result;
    const int renamed = RenameNoReplace(from, to);
    if (renamed != EXDEV) {
        result.copyError = renamed;
        return result;
    }
    result.copyError = CopyFileNoReplace(from, to);
    if (!result.copyError && ::unlink(from.c_str()) != 0) result.deleteError = errno;
    return result;
}

int CopyFileReplacing(const std::string &source, const std::string &target) {
    return CopyThroughTemporary(source, target, [](const std::string &temporary, const std::string &to) {
        return ::rename(temporary.c_str(), to.c_str()) == 0 ? 0 : errno;
    });
}

bool SameFolder(const std::string &a, const std::string &b) {
    struct stat first {
    }, second{};
    if (::stat(a.c_str(), &first) != 0 || ::stat(b.c_str(), &second) != 0)
        return WithoutTrailingSeparator(a) == WithoutTrailingSeparator(b);
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool PathExists(const std::string &path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

int RemoveFile(const std::string &path) {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

} // namespace tsc
