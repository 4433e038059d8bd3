#include "ProfileFiles.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc::profiles {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    [[nodiscard]] int get() const { return fd_; }
    int Close() {
        const int result = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return result;
    }

private:
    int fd_;
};

std::string FolderOf(const std::string &path) {
    const auto cut = path.find_last_of('/');
    if (cut == std::string::npos) return ".";
    return cut == 0 ? std::string("/") : path.substr(0, cut);
}

// A profile reached through a symbolic link is replaced where it really lives, so
// the link stays a link.
std::string RealTarget(const std::string &path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

// Read without umask(), which would change the mask for every thread meanwhile.
mode_t CurrentUmask() {
    FileDescriptor status(::open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    char buffer[4096];
    const ssize_t got = status.get() >= 0 ? ::read(status.get(), buffer, sizeof buffer - 1) : -1;
    if (got > 0) {
        buffer[got] = '\0';
        if (const char *line = std::strstr(buffer, "Umask:")) return static_cast<mode_t>(std::strtoul(line + 6, nullptr, 8));
    }
    return 022;
}

int WriteAll(int fd, std::string_view content) {
    while (!content.empty()) {
        const ssize_t put = ::write(fd, content.data(), content.size());
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) return errno;
        if (put == 0) return EIO;
        content.remove_prefix(static_cast<std::size_t>(put));
    }
    return 0;
}

} // namespace

bool ProfileFileExists(const std::string &path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsReadOnlyFile(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path.c_str(), W_OK) != 0;
}

int ReadSmallFile(const std::string &path, std::size_t maximumSize, std::string &content, std::size_t &size) {
    content.clear();
    size = 0;
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) return errno;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return errno;
    if (!S_ISREG(info.st_mode)) return EINVAL;
    size = static_cast<std::size_t>(info.st_size);
    if (size == 0 || size > maximumSize) return 0;
    content.resize(size);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(file.get(), content.data() + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) break; // the file shrank meanwhile: take what is there
        done += static_cast<std::size_t>(got);
    }
    content.resize(done);
    return 0;
}

int ReplaceFileAtomically(const std::string &path, std::string_view content, const BeforeReplaceHook &beforeReplace) {
    const std::string target = RealTarget(path);
    mode_t mode = 0;
    struct stat old {};
    if (::stat(target.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) return EISDIR;
        if (IsReadOnlyFile(target)) return EACCES;
        mode = old.st_mode & 07777;
    } else {
        mode = 0666 & ~CurrentUmask();
    }
    std::string temporary = FolderOf(target) + "/." + target.substr(target.find_last_of('/') + 1) + ".XXXXXX";
    if (target.find('/') == std::string::npos) temporary = "." + target + ".XXXXXX";
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) return errno;
    int result = ::fchmod(file.get(), mode) == 0 ? 0 : errno;
    if (result == 0) result = WriteAll(file.get(), content);
    if (result == 0 && ::fsync(file.get()) != 0) result = errno;
    if (file.Close() != 0 && result == 0) result = errno;
    if (result == 0 && beforeReplace) result = beforeReplace(temporary);
    if (result == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) result = errno;
    if (result != 0) {
        ::unlink(temporary.c_str());
        return result;
    }
    // The rename itself becomes durable with the folder's entry.
    FileDescriptor folder(::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) (void)::fsync(folder.get());
    return 0;
}

} // namespace tsc::profiles
