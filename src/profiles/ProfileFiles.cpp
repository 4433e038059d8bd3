#include "ProfileFiles.h"

#include "PrivateFiles.h"
#include "SystemInfo.h"

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

bool AnythingExists(const std::string &path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;
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

std::string WriteBackRefusal(const std::string &path, std::size_t sizeLimit) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT ? std::string() : SystemErrorText(errno);
    if (S_ISLNK(info.st_mode)) return "it is a link";
    if (!S_ISREG(info.st_mode)) return "it is no regular file";
    if (info.st_uid != ::geteuid()) return "it belongs to user " + std::to_string(info.st_uid);
    if (static_cast<std::size_t>(info.st_size) >= sizeLimit)
        return "it could not be read: " + std::to_string(info.st_size) + " bytes";
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (file.get() < 0) return "it could not be read: " + SystemErrorText(errno);
    return {};
}

int ReplaceFileAtomically(const std::string &path, std::string_view content,
                          const BeforeReplaceHook &beforeReplace) {
    mode_t mode = 0600;
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0 && !S_ISLNK(old.st_mode)) {
        if (!S_ISREG(old.st_mode)) return EISDIR;
        if (IsReadOnlyFile(path)) return EACCES;
        mode = old.st_mode & 07777;
    }
    std::string temporary;
    FileDescriptor file(detail::CreateTemporaryFile(path, temporary));
    if (file.get() < 0) return errno;
    int result = ::fchmod(file.get(), mode) == 0 ? 0 : errno;
    if (result == 0) result = WriteAll(file.get(), content);
    if (result == 0 && ::fsync(file.get()) != 0) result = errno;
    if (result == 0 && beforeReplace) result = beforeReplace(temporary);
    if (result == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) result = errno;
    if (result != 0) {
        ::unlink(temporary.c_str());
        return result;
    }
    // Closed only after the rename: the lock on the temporary file tells a cleaner
    // at start that it is still being written.
    (void)file.Close(); // the content was flushed by fsync already
    // The rename itself becomes durable with the folder's entry.
    FileDescriptor folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() >= 0) (void)::fsync(folder.get());
    return 0;
}

} // namespace tsc::profiles
