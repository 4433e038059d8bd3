#pragma once

// The local file system's side of files on the shared clipboard. Local files offered
// to the session are listed (folders gone through, links inside them not followed)
// and read a range at a time when the server asks. Files from the session are written
// into a folder only the user can write: each one created anew (never over an
// existing file, never through a link) with mode 0600, its parts in order.

#include "FileDescriptors.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tsc::clipboard {

// The local paths of a text/uri-list or x-special/gnome-copied-files ("copy" or
// "cut" on the first line, then file URLs): only file URLs of this computer.
[[nodiscard]] QStringList LocalPathsFromUriList(const QByteArray &list);

struct LocalFile {
    std::string path; // where it is read from
    FileDescriptor descriptor;
};

struct LocalFileList {
    std::vector<LocalFile> files;
    int leftOut = 0; // links inside folders, special files, unreadable or too many
};

// The files and folders below paths (the chosen items themselves may be links),
// at most MaximumFileCount entries and MaximumFolderDepth folders deep.
[[nodiscard]] LocalFileList CollectLocalFiles(const QStringList &paths);

// A regular local file's size now; nothing for a link, a folder or a special file.
[[nodiscard]] std::optional<std::uint64_t> LocalFileSize(const std::string &path);
// Reads up to count bytes of a regular file from offset (fewer at its end). The file
// is opened without following a link and without waiting on a special file.
[[nodiscard]] std::optional<QByteArray> ReadLocalRange(const std::string &path, std::uint64_t offset,
                                                       std::uint32_t count);

// Why folder cannot take files from the session (empty: it can): it must be a folder
// of the user that nobody else may write.
[[nodiscard]] QString ReceivingFolderProblem(const QString &folder);

// Writes files from the session below one folder. Every call answers false (with
// errno kept) when the file system refused; the caller then ends the transfer.
class FileReceiver {
  public:
    explicit FileReceiver(int folderDescriptor) : folder_(folderDescriptor) {}
    // Opens folder after ReceivingFolderProblem found nothing; nothing when it fails.
    [[nodiscard]] static std::optional<FileReceiver> Open(const QString &folder);
    FileReceiver(FileReceiver &&other) noexcept;
    FileReceiver &operator=(FileReceiver &&) = delete;
    FileReceiver(const FileReceiver &) = delete;
    ~FileReceiver();

    // A folder below the receiving one (and those above it), mode 0700 when created.
    bool MakeFolder(const QString &relative);
    // Starts a new file: an existing name is not replaced.
    bool Create(const QString &relative);
    bool Write(const std::uint8_t *data, std::size_t size);
    // The file is complete: closed, with the session's write time when it has one.
    bool Finish(std::optional<std::int64_t> writeTimeMs);
    // The file is incomplete: closed and removed.
    void Abandon();

  private:
    int OpenFolders(const QStringList &parts, bool create);

    int folder_ = -1;
    int parent_ = -1; // the current file's folder
    std::string leaf_;
    int file_ = -1;
};

} // namespace tsc::clipboard
