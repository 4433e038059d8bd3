#include "ClipboardFiles.h"

#include <QUrl>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace tsc::clipboard {

namespace {

std::optional<std::int64_t> WriteTimeOf(const struct stat &info) {
    return std::int64_t{info.st_mtim.tv_sec} * 1000 + info.st_mtim.tv_nsec / 1000000;
}

struct Walk {
    LocalFileList list;
    bool Full() const { return list.files.size() >= MaximumFileCount; }
};

void AddEntry(Walk &walk, const std::string &path, const QString &name, const struct stat &info, int depth);

void AddFolderContents(Walk &walk, const std::string &path, const QString &name, int depth) {
    DIR *folder = opendir(path.c_str());
    if (!folder) {
        ++walk.list.leftOut;
        return;
    }
    std::vector<std::string> names;
    while (const dirent *entry = readdir(folder)) {
        const std::string child = entry->d_name;
        if (child != "." && child != "..") names.push_back(child);
    }
    closedir(folder);
    std::sort(names.begin(), names.end());
    for (const std::string &child : names) {
        const std::string childPath = path + '/' + child;
        struct stat info {};
        // Links inside a chosen folder are not followed: they could lead anywhere.
        if (lstat(childPath.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) {
            ++walk.list.leftOut;
            continue;
        }
        AddEntry(walk, childPath, name + QLatin1Char('/') + QString::fromStdString(child), info, depth + 1);
    }
}

void AddEntry(Walk &walk, const std::string &path, const QString &name, const struct stat &info, int depth) {
    const bool folder = S_ISDIR(info.st_mode);
    if ((!folder && !S_ISREG(info.st_mode)) || walk.Full() || depth >= MaximumFolderDepth) {
        ++walk.list.leftOut;
        return;
    }
    LocalFile file;
    file.path = path;
    file.descriptor.name = name;
    file.descriptor.directory = folder;
    if (!folder) file.descriptor.size = static_cast<std::uint64_t>(info.st_size);
    file.descriptor.writeTimeMs = WriteTimeOf(info);
    file.descriptor.listIndex = static_cast<std::uint32_t>(walk.list.files.size());
    walk.list.files.push_back(std::move(file));
    if (folder) AddFolderContents(walk, path, name, depth);
}

int OpenRegularForReading(const std::string &path) {
    const int descriptor = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) return -1;
    struct stat info {};
    if (fstat(descriptor, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(descriptor);
        return -1;
    }
    return descriptor;
}

} // namespace

QStringList LocalPathsFromUriList(const QByteArray &list) {
    QStringList paths;
    for (const QByteArray &rawLine : list.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#') || line == "copy" || line == "cut") continue;
        const QUrl url = QUrl::fromEncoded(line, QUrl::StrictMode);
        if (!url.isValid() || !url.isLocalFile()) continue;
        if (!url.host().isEmpty() && url.host() != QLatin1String("localhost")) continue;
        const QString path = url.toLocalFile();
        if (!path.isEmpty() && !paths.contains(path)) paths << path;
    }
    return paths;
}

LocalFileList CollectLocalFiles(const QStringList &paths) {
    Walk walk;
    for (const QString &given : paths) {
        QString path = given;
        while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
            path.chop(1);
        const std::string local = path.toStdString();
        struct stat info {};
        // A chosen item may be a link: the user chose what it leads to.
        const QString name = path.section(QLatin1Char('/'), -1);
        if (name.isEmpty() || stat(local.c_str(), &info) != 0) {
            ++walk.list.leftOut;
            continue;
        }
        AddEntry(walk, local, name, info, 0);
    }
    return std::move(walk.list);
}

std::optional<std::uint64_t> LocalFileSize(const std::string &path) {
    const int descriptor = OpenRegularForReading(path);
    if (descriptor < 0) return std::nullopt;
    struct stat info {};
    const bool ok = fstat(descriptor, &info) == 0;
    close(descriptor);
    if (!ok) return std::nullopt;
    return static_cast<std::uint64_t>(info.st_size);
}

std::optional<QByteArray> ReadLocalRange(const std::string &path, std::uint64_t offset, std::uint32_t count) {
    const int descriptor = OpenRegularForReading(path);
    if (descriptor < 0) return std::nullopt;
    QByteArray bytes(static_cast<qsizetype>(count), Qt::Uninitialized);
    qsizetype done = 0;
    bool ok = true;
    while (done < bytes.size()) {
        const ssize_t got =
            pread(descriptor, bytes.data() + done, static_cast<std::size_t>(bytes.size() - done),
                  static_cast<off_t>(offset + static_cast<std::uint64_t>(done)));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ok = false;
        if (got <= 0) break;
        done += got;
    }
    close(descriptor);
    if (!ok) return std::nullopt;
    bytes.truncate(done);
    return bytes;
}

QString ReceivingFolderProblem(const QString &folder) {
    if (folder.isEmpty()) return QStringLiteral("no folder");
    struct stat info {};
    if (stat(folder.toStdString().c_str(), &info) != 0) return QStringLiteral("it cannot be examined");
    if (!S_ISDIR(info.st_mode)) return QStringLiteral("it is no folder");
    if (info.st_uid != geteuid()) return QStringLiteral("it belongs to another user");
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return QStringLiteral("others may write it");
    return {};
}

std::optional<FileReceiver> FileReceiver::Open(const QString &folder) {
    if (!ReceivingFolderProblem(folder).isEmpty()) return std::nullopt;
    const int descriptor = open(folder.toStdString().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) return std::nullopt;
    struct stat info {};
    // The folder checked is the folder opened.
    if (fstat(descriptor, &info) != 0 || info.st_uid != geteuid() ||
        (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(descriptor);
        return std::nullopt;
    }
    return std::optional<FileReceiver>(std::in_place, descriptor);
}

FileReceiver::FileReceiver(FileReceiver &&other) noexcept
    : folder_(std::exchange(other.folder_, -1)), parent_(std::exchange(other.parent_, -1)),
      leaf_(std::move(other.leaf_)), file_(std::exchange(other.file_, -1)) {}

FileReceiver::~FileReceiver() {
    Abandon();
    if (folder_ >= 0) close(folder_);
}

int FileReceiver::OpenFolders(const QStringList &parts, bool create) {
    int current = dup(folder_);
    for (const QString &part : parts) {
        if (current < 0) return -1;
        const std::string name = part.toStdString();
        int next = openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create && mkdirat(current, name.c_str(), 0700) == 0)
            next = openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        close(current);
        errno = saved;
        current = next;
    }
    return current;
}

bool FileReceiver::MakeFolder(const QString &relative) {
    const int descriptor = OpenFolders(relative.split(QLatin1Char('/')), true);
    if (descriptor < 0) return false;
    close(descriptor);
    return true;
}

bool FileReceiver::Create(const QString &relative) {
    Abandon();
    QStringList parts = relative.split(QLatin1Char('/'));
    const QString leaf = parts.takeLast();
    parent_ = OpenFolders(parts, true);
    if (parent_ < 0) return false;
    leaf_ = leaf.toStdString();
    file_ =
        openat(parent_, leaf_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
    if (file_ >= 0) return true;
    const int saved = errno;
    close(parent_);
    parent_ = -1;
    errno = saved;
    return false;
}

bool FileReceiver::Write(const std::uint8_t *data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(file_, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool FileReceiver::Finish(std::optional<std::int64_t> writeTimeMs) {
    if (file_ < 0) return false;
    if (writeTimeMs) {
        const struct timespec times[2] = {
            {0, UTIME_OMIT},
            {static_cast<time_t>(*writeTimeMs / 1000), static_cast<long>((*writeTimeMs % 1000) * 1000000)}};
        (void)futimens(file_, times);
    }
    const bool ok = close(file_) == 0;
    file_ = -1;
    close(parent_);
    parent_ = -1;
    return ok;
}

void FileReceiver::Abandon() {
    if (file_ >= 0) {
        close(file_);
        file_ = -1;
        unlinkat(parent_, leaf_.c_str(), 0);
    }
    if (parent_ >= 0) close(parent_);
    parent_ = -1;
}

} // namespace tsc::clipboard
