#include "SupportArchive.h"

#include "AtomicFile.h"
#include "Identity.h"
#include "SystemInfo.h"

#include <QFile>
#include <QTemporaryFile>
#include <zip.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tsc {

namespace {

namespace fs = std::filesystem;
using Level = SupportArchiveLine::Level;

bool Cancelled(const SupportArchiveProgress &progress) {
    return progress.cancel && progress.cancel->load();
}

// A collected file: opened once, without following a link, checked as opened, and
// read from that descriptor, so that nothing swapped in after the check is read.
struct CollectedFile {
    std::string path;
    std::string bytes;
};

// Larger files are left out: the logs and lists the archive is for are far smaller.
constexpr std::size_t CollectedFileLimit = 64u << 20;

enum class Collect { Taken, NotThere, Refused };

Collect ReadCollectable(const fs::path &file, CollectedFile &collected) {
    const int descriptor = ::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (descriptor < 0) return errno == ENOENT ? Collect::NotThere : Collect::Refused;
    struct stat info {};
    const bool usable = ::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) &&
                        info.st_uid == ::geteuid() &&
                        static_cast<std::uint64_t>(info.st_size) <= CollectedFileLimit;
    const detail::FileContent content =
        usable ? detail::ReadOpenFile(descriptor, CollectedFileLimit) : detail::FileContent{};
    if (!usable) ::close(descriptor);
    if (content.outcome != detail::ReadOutcome::Read) return Collect::Refused;
    collected = {file.string(), content.bytes};
    return Collect::Taken;
}

// Folders of other users are theirs to hand to support, not ours.
bool OwnFolder(const fs::path &folder) {
    struct stat info {};
    return ::lstat(folder.c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

class Walker {
  public:
    Walker(const SupportArchiveRequest &request, const SupportArchiveProgress &progress,
           std::vector<SupportArchiveLine> &lines)
        : request_(request), progress_(progress), lines_(lines) {}

    std::vector<CollectedFile> Walk() {
        Visit(fs::path(request_.profilesRoot));
        if (othersLeftOut_ > 0)
            lines_.push_back({Level::Info, "Support archive: " + std::to_string(othersLeftOut_) +
                                               " folders of other users left out"});
        return std::move(files_);
    }

  private:
    void Visit(const fs::path &folder) {
        if (Cancelled(progress_)) return;
        if (progress_.enteringFolder) progress_.enteringFolder(folder.string());
        std::error_code error;
        fs::directory_iterator entries(folder, error);
        if (error) {
            lines_.push_back({Level::Warning,
                              "Support archive: cannot search " + folder.string() + ": " + error.message()});
            return;
        }
        // Subfolders first, in the order the folder lists them; a link to a folder is
        // no subfolder, so no link loop and no link planted by another user is walked.
        std::vector<fs::path> subfolders;
        for (; entries != fs::directory_iterator(); entries.increment(error)) {
            if (error) break;
            std::error_code typeError;
            if (!entries->is_directory(typeError) || entries->is_symlink(typeError)) continue;
            if (OwnFolder(entries->path()))
                subfolders.push_back(entries->path());
            else
                ++othersLeftOut_;
        }
        if (error)
            lines_.push_back({Level::Warning,
                              "Support archive: cannot search " + folder.string() + ": " + error.message()});
        for (const fs::path &subfolder : subfolders)
            Visit(subfolder);
        bool unreadable = false;
        for (const std::string &name : request_.fileNames) {
            CollectedFile file;
            const Collect outcome = ReadCollectable(folder / name, file);
            if (outcome == Collect::Taken)
                files_.push_back(std::move(file));
            else if (outcome == Collect::Refused)
                unreadable = true;
        }
        if (unreadable)
            lines_.push_back(
                {Level::Warning, "Support archive: skipped files that cannot be read in " + folder.string()});
    }

    const SupportArchiveRequest &request_;
    const SupportArchiveProgress &progress_;
    std::vector<SupportArchiveLine> &lines_;
    std::vector<CollectedFile> files_;
    std::size_t othersLeftOut_ = 0;
};

// The entry name keeps the folder names, without the leading "/".
std::string EntryName(const std::string &path) {
    std::size_t start = 0;
    while (start < path.size() && path[start] == '/')
        ++start;
    return path.substr(start);
}

std::string ZipErrorText(zip_t *archive) {
    return zip_error_strerror(zip_get_error(archive));
}

} // namespace

SupportArchiveRequest DefaultSupportArchiveRequest() {
    SupportArchiveRequest request;
    request.profilesRoot = ProfilesRootFolder();
    request.desktopFolder = DesktopFolder();
    request.archiveName = "Client_" + Identity::AppName() + "Support.zip";
    request.fileNames = {"clientsetup.log",
                         Identity::LogFileName(),
                         Identity::OlderServerListFileName(),
                         Identity::ServerListFileName(),
                         Identity::SslGatewayLogFileName(),
                         Identity::RdpPlusLogFileName()};
    return request;
}

std::vector<std::string> CollectSupportFiles(const SupportArchiveRequest &request,
                                             const SupportArchiveProgress &progress,
                                             std::vector<SupportArchiveLine> &lines) {
    std::vector<std::string> paths;
    for (const CollectedFile &file : Walker(request, progress, lines).Walk())
        paths.push_back(file.path);
    return paths;
}

SupportArchiveResult BuildSupportArchive(const SupportArchiveRequest &request,
                                         const SupportArchiveProgress &progress) {
    SupportArchiveResult result;
    if (request.desktopFolder.empty()) {
        // No desktop and no data folder of the user's own: never a shared folder.
        result.lines.push_back({Level::Error, "ZIP-Error 1a"});
        result.lines.push_back({Level::Error, "Support archive: no private folder to put it in"});
        return result;
    }
    result.archivePath = WithTrailingSeparator(request.desktopFolder) + request.archiveName;

    // The new archive grows under a temporary name of mode 0600 beside the old one.
    QTemporaryFile temporary(QString::fromStdString(result.archivePath + ".XXXXXX"));
    temporary.setAutoRemove(true);
    if (!temporary.open()) {
        result.lines.push_back({Level::Error, "ZIP-Error 1a"});
        result.lines.push_back({Level::Error, temporary.errorString().toStdString()});
        return result;
    }
    const std::string temporaryPath = temporary.fileName().toStdString();
    temporary.close();
    int openError = 0;
    zip_t *archive = zip_open(temporaryPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &openError);
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, openError);
        result.lines.push_back({Level::Error, "ZIP-Error 1a"});
        result.lines.push_back({Level::Error, zip_error_strerror(&error)});
        zip_error_fini(&error);
        return result;
    }

    // The bytes stay here until zip_close has written them.
    const std::vector<CollectedFile> files = Walker(request, progress, result.lines).Walk();
    if (Cancelled(progress)) {
        zip_discard(archive);
        result.cancelled = true;
        result.lines.push_back({Level::Info, "Support archive cancelled"});
        return result;
    }
    for (const CollectedFile &file : files) {
        zip_source_t *source = zip_source_buffer(archive, file.bytes.data(), file.bytes.size(), 0);
        const zip_int64_t index = source ? zip_file_add(archive, EntryName(file.path).c_str(), source,
                                                        ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE)
                                         : -1;
        if (index < 0) {
            if (source) zip_source_free(source);
            result.lines.push_back({Level::Warning, "Support archive: cannot add " + file.path});
            continue;
        }
        zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 9);
        ++result.fileCount;
    }
    if (result.fileCount == 0) {
        // libzip writes no file for an empty archive; the old archive stays.
        zip_discard(archive);
        result.lines.push_back(
            {Level::Warning, "Support archive: no files found below " + request.profilesRoot});
        return result;
    }
    if (zip_close(archive) != 0) {
        result.lines.push_back({Level::Error, "ZIP-Error 1b"});
        result.lines.push_back({Level::Error, ZipErrorText(archive)});
        zip_discard(archive);
        return result;
    }
    std::error_code error;
    fs::rename(temporaryPath, result.archivePath, error);
    if (error) {
        result.lines.push_back({Level::Error, "ZIP-Error 1b"});
        result.lines.push_back({Level::Error, error.message()});
        return result;
    }
    temporary.setAutoRemove(false);
    result.written = true;
    result.lines.push_back({Level::Info, "Support archive " + result.archivePath + ": " +
                                             std::to_string(result.fileCount) + " files"});
    return result;
}

SupportArchiveWorker::SupportArchiveWorker(SupportArchiveRequest request, QObject *parent)
    : QObject(parent), request_(std::move(request)) {
    qRegisterMetaType<tsc::SupportArchiveResult>();
}

void SupportArchiveWorker::run() {
    SupportArchiveProgress progress;
    progress.enteringFolder = [this](const std::string &folder) {
        emit folderEntered(QString::fromStdString(folder));
    };
    progress.cancel = &cancel_;
    emit finished(BuildSupportArchive(request_, progress));
}

} // namespace tsc
