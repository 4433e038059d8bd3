#include "ServerListFiles.h"

#include "AtomicFile.h"
#include "Identity.h"
#include "LogSink.h"
#include "SystemInfo.h"

#include <QFile>
#include <QFileInfo>

namespace tsc::farm {

namespace {

std::string FileNameOf(std::string_view tag) {
    return tag == OlderTag ? Identity::OlderServerListFileName() : Identity::ServerListFileName();
}

bool Exists(const std::string &path) {
    return !path.empty() && QFileInfo::exists(QString::fromStdString(path));
}

FileRead ReadListFile(const std::string &path, LogSink &log, ListText (*parse)(std::string_view)) {
    FileRead read;
    if (!Exists(path)) {
        log.LogInfo("File does not exist: " + path);
        return read;
    }
    log.LogInfo("File: " + path);
    const detail::FileContent content = detail::ReadRegularFile(path, MaximumListFileBytes);
    switch (content.outcome) {
    case detail::ReadOutcome::Read:
        read.found = true;
        read.text = parse(content.bytes);
        break;
    case detail::ReadOutcome::TooBig:
        log.LogWarning("Can not read file, it is larger than " + std::to_string(MaximumListFileBytes) +
                       " bytes: " + path);
        break;
    case detail::ReadOutcome::Missing:
    case detail::ReadOutcome::Unreadable:
        log.LogWarning("Can not read file, it is no readable file: " + path);
        break;
    }
    return read;
}

void DeleteFile(const std::string &path, LogSink &log) {
    QFile file(QString::fromStdString(path));
    if (file.exists() && !file.remove())
        log.LogWarning("Can not delete " + path + ": " + file.errorString().toStdString());
}

} // namespace

std::string DataFolderListPath(std::string_view tag) {
    return ApplicationDataFile(FileNameOf(tag));
}

std::string ConnectionListPath(std::string_view profilePath, std::string_view tag) {
    const auto slash = profilePath.find_last_of('/');
    const auto dot = profilePath.find_last_of('.');
    const bool hasExtension =
        dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash);
    return std::string(hasExtension ? profilePath.substr(0, dot) : profilePath) + "." + FileNameOf(tag);
}

std::string ServerListFilePath(std::string_view tag, const ListFileSituation &situation) {
    if (situation.parameters.size() >= 2) return ExpandFileName(situation.parameters[1]);
    if (situation.multipleConnections) {
        if (situation.selectedProfilePath.empty()) return {};
        return ConnectionListPath(situation.selectedProfilePath, tag);
    }
    return DataFolderListPath(tag);
}

FileRead ReadCurrentFormatFile(const std::optional<std::string> &path,
                               const std::vector<std::string> &parameters, bool loadDomain, LogSink &log) {
    std::string file = path ? *path : DataFolderListPath(CurrentTag);
    log.LogInfo("Begin Read_V001C003_file: " + file + " [" + YesNoText(loadDomain) + "]");
    if (parameters.size() >= 2) {
        const std::string second = ExpandFileName(parameters[1]);
        const std::string fourth = parameters.size() >= 4 ? ExpandFileName(parameters[3]) : std::string();
        if (Exists(second))
            file = second;
        else if (Exists(fourth))
            file = fourth;
    }
    FileRead read = ReadListFile(file, log, &ReadCurrentFormatText);
    log.LogInfo("End Read_V001C003_file: " + YesNoText(read.text.complete));
    return read;
}

FileRead ReadOlderFormatFile(bool loadDomain, LogSink &log) {
    const std::string file = DataFolderListPath(OlderTag);
    log.LogInfo("Begin Read V001C001 file and convert to V001C003: " + file + " [" + YesNoText(loadDomain) +
                "]");
    FileRead read = ReadListFile(file, log, &ConvertOlderFormatText);
    log.LogInfo("End Read V001C001 convert V001C003: " + YesNoText(read.text.complete));
    return read;
}

bool OlderFormatNeedsMigration() {
    return !Exists(DataFolderListPath(CurrentTag)) && Exists(DataFolderListPath(OlderTag));
}

void DeleteOlderFormatFile(LogSink &log) {
    DeleteFile(DataFolderListPath(OlderTag), log);
}

void DeleteOtherFormatFile(std::string_view tag, LogSink &log) {
    DeleteFile(DataFolderListPath(tag == OlderTag ? CurrentTag : OlderTag), log);
}

} // namespace tsc::farm
