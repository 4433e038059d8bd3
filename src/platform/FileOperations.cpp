#include "FileOperations.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

extern char **environ;

namespace tsc {

namespace {

std::string FolderOf(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int SyncFolder(const std::string &folder) {
    const int descriptor = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return errno;
    const int result = ::fsync(descriptor) == 0 ? 0 : errno;
    ::close(descriptor);
    return result;
}

} // namespace

FileFacts FileFactsOf(std::string_view path) {
    FileFacts facts;
    struct stat info {};
    if (::lstat(std::string(path).c_str(), &info) != 0) return facts;
    facts.exists = true;
    facts.regular = S_ISREG(info.st_mode);
    facts.symlink = S_ISLNK(info.st_mode);
    facts.directory = S_ISDIR(info.st_mode);
    facts.ownedByUser = info.st_uid == ::geteuid();
    facts.writableByOthers = (info.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    facts.mode = info.st_mode & 07777;
    facts.size = static_cast<std::uint64_t>(info.st_size);
    return facts;
}

std::vector<std::string> FolderEntries(std::string_view folder) {
    std::vector<std::string> names;
    DIR *directory = ::opendir(std::string(folder).c_str());
    if (!directory) return names;
    while (const dirent *entry = ::readdir(directory)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(directory);
    return names;
}

int DeleteFileCode(std::string_view path) {
    return ::unlink(std::string(path).c_str()) == 0 ? 0 : errno;
}

int RenameFileCode(std::string_view from, std::string_view to) {
    return ::rename(std::string(from).c_str(), std::string(to).c_str()) == 0 ? 0 : errno;
}

std::optional<std::uint64_t> FreeSpace(std::string_view folder) {
    struct statvfs info {};
    if (::statvfs(std::string(folder).c_str(), &info) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

NewFile::~NewFile() {
    if (descriptor_ >= 0) ::close(descriptor_);
}

int NewFile::Create(std::string_view path, std::uint32_t mode) {
    if (descriptor_ >= 0) return EBUSY;
    descriptor_ =
        ::open(std::string(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (descriptor_ < 0) return errno;
    // The creation mask must not widen or narrow what the caller asked for.
    if (::fchmod(descriptor_, mode) != 0) firstError_ = errno;
    return firstError_;
}

int NewFile::Write(const void *bytes, std::size_t length) {
    if (descriptor_ < 0) return EBADF;
    const auto *data = static_cast<const unsigned char *>(bytes);
    while (length > 0) {
        const ssize_t written = ::write(descriptor_, data, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (firstError_ == 0) firstError_ = errno;
            return errno;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return 0;
}

int NewFile::Close() {
    if (descriptor_ < 0) return firstError_ != 0 ? firstError_ : EBADF;
    if (::fsync(descriptor_) != 0 && firstError_ == 0) firstError_ = errno;
    if (::close(descriptor_) != 0 && firstError_ == 0) firstError_ = errno;
    descriptor_ = -1;
    return firstError_;
}

int ReplaceFileWithCopy(std::string_view source, std::string_view target) {
    const std::string targetPath(target);
    const int input = ::open(std::string(source).c_str(), O_RDONLY | O_CLOEXEC);
    if (input < 0) return errno;
    struct stat sourceInfo {
    }, targetInfo{};
    if (::fstat(input, &sourceInfo) != 0 || !S_ISREG(sourceInfo.st_mode)) {
        const int code = errno != 0 ? errno : EINVAL;
        ::close(input);
        return code;
    }
    const mode_t mode =
        (::stat(targetPath.c_str(), &targetInfo) == 0 ? targetInfo.st_mode : sourceInfo.st_mode) & 07777;
    const std::string temporary = targetPath + ".new-" + std::to_string(::getpid());
    (void)::unlink(temporary.c_str());
    NewFile output;
    int code = output.Create(temporary, mode);
    char buffer[1 << 16];
    while (code == 0) {
        const ssize_t got = ::read(input, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) code = errno;
        if (got <= 0) break;
        code = output.Write(buffer, static_cast<std::size_t>(got));
    }
    ::close(input);
    const int closed = output.Close();
    if (code == 0) code = closed;
    if (code == 0 && ::rename(temporary.c_str(), targetPath.c_str()) != 0) code = errno;
    if (code != 0) {
        (void)::unlink(temporary.c_str());
        return code;
    }
    return SyncFolder(FolderOf(targetPath));
}

MappedFile::MappedFile(std::string_view path, std::uint64_t maximumSize) {
    const int descriptor = ::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) return;
    struct stat info {};
    if (::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        static_cast<std::uint64_t>(info.st_size) <= maximumSize) {
        void *mapped =
            ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ, MAP_PRIVATE, descriptor, 0);
        if (mapped != MAP_FAILED) {
            data_ = mapped;
            size_ = static_cast<std::size_t>(info.st_size);
        }
    }
    ::close(descriptor);
}

MappedFile::~MappedFile() {
    if (data_) ::munmap(data_, size_);
}

int StartProgram(const std::string &program, const std::vector<std::string> &arguments) {
    std::vector<char *> argv;
    std::string zero = program;
    argv.push_back(zero.data());
    std::vector<std::string> copies(arguments);
    for (std::string &argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    const int code = ::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
    return code;
}

} // namespace tsc
