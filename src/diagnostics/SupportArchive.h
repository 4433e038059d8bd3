#pragma once

// The support archive: the client's log and server-list files, found anywhere below
// the folder that holds the user profiles, packed into "Client_" + AppName +
// "Support.zip" on the desktop with their folder names.
//
// The walk never follows a symbolic link, enters only folders of this user (other
// users' homes are theirs to send), takes only files of this user, each opened once
// and read from what was opened, skips what it cannot read with one line per
// folder, and can be cancelled. The archive is written under a temporary name
// in the desktop folder, with mode 0600 (it names users and hosts), and replaces an
// older archive only once it is complete.

#include <QObject>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

namespace tsc {

struct SupportArchiveRequest {
    std::string profilesRoot;           // walked from here
    std::string desktopFolder;          // the archive goes here; empty: nowhere (no archive)
    std::string archiveName;            // "Client_" + AppName + "Support.zip"
    std::vector<std::string> fileNames; // collected in this order in every folder
};

// The request of the Support page for the current identity and folders.
[[nodiscard]] SupportArchiveRequest DefaultSupportArchiveRequest();

struct SupportArchiveLine {
    enum class Level { Info, Warning, Error } level = Level::Info;
    std::string text;
};

struct SupportArchiveResult {
    bool written = false;
    bool cancelled = false;
    std::size_t fileCount = 0;
    std::string archivePath;
    std::vector<SupportArchiveLine> lines; // for the log, in order
};

struct SupportArchiveProgress {
    std::function<void(const std::string &folder)> enteringFolder; // may be empty
    const std::atomic<bool> *cancel = nullptr;                     // may be null
};

// The files the archive takes, in walk order: for each folder first its
// subfolders, then its own files of the six names.
[[nodiscard]] std::vector<std::string> CollectSupportFiles(const SupportArchiveRequest &request,
                                                           const SupportArchiveProgress &progress,
                                                           std::vector<SupportArchiveLine> &lines);

// Walks and writes the archive; runs on any thread and touches no shared state.
[[nodiscard]] SupportArchiveResult BuildSupportArchive(const SupportArchiveRequest &request,
                                                       const SupportArchiveProgress &progress = {});

// Runs BuildSupportArchive on a thread of its own. Move it to a QThread, connect
// the thread's started() to run(); folderEntered() tells the folder being searched,
// finished() the outcome. cancel() may be called from any thread.
class SupportArchiveWorker : public QObject {
    Q_OBJECT
  public:
    explicit SupportArchiveWorker(SupportArchiveRequest request, QObject *parent = nullptr);

    void cancel() { cancel_ = true; }

  public slots:
    void run();

  signals:
    void folderEntered(const QString &folder);
    void finished(const tsc::SupportArchiveResult &result);

  private:
    SupportArchiveRequest request_;
    std::atomic<bool> cancel_{false};
};

} // namespace tsc

Q_DECLARE_METATYPE(tsc::SupportArchiveResult)
