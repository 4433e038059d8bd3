#include "VersionedCopies.h"

#include "FileOperations.h"
#include "Identity.h"
#include "LogSink.h"
#include "Registry.h"
#include "SystemInfo.h"
#include "TimeText.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"

#include <algorithm>
#include <cerrno>

namespace tsc::update {

namespace {

constexpr std::size_t ClientFolderBufferSize = 260;

std::string UpperAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; });
    return text;
}

std::string FolderPart(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string NamePart(const std::string &path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutableFolder(const ClientPlaces &places) {
    return WithoutTrailingSeparator(LongPathName(FolderPart(places.executable)));
}

void Info(LogSink *log, std::string_view text) {
    if (log) log->LogInfo(text);
}
void Error(LogSink *log, std::string_view text) {
    if (log) log->LogError(text);
}

// Why a file may not run at all, whatever its content; empty when it may.
std::string FileTrustProblem(const std::string &path) {
    const FileFacts facts = FileFactsOf(path);
    if (!facts.exists) return "it does not exist";
    if (facts.symlink) return "it is a symbolic link";
    if (!facts.regular) return "it is not a regular file";
    if (!facts.ownedByUser) return "it is not owned by the user";
    if (facts.writableByOthers) return "it is writable by group or others";
    if (facts.size > MaximumExecutableSize)
        return "it is larger than " + std::to_string(MaximumExecutableSize) + " bytes";
    return {};
}

bool PublisherSignatureGood(const std::string &path, const PublisherKey &key) {
    const std::string signaturePath = PublisherSignaturePath(path);
    const FileFacts facts = FileFactsOf(signaturePath);
    return facts.regular && facts.ownedByUser && !facts.writableByOthers &&
           VerifyPublisherSignatureOfFile(key.key, path, signaturePath);
}

// Deletes a copy's signature file, which is worthless without the copy.
void DeleteSignatureOf(const std::string &path) {
    (void)DeleteFileCode(PublisherSignaturePath(path));
}

bool HasVersionedCopies(const std::string &dataFolder) {
    for (const std::string &name : FolderEntries(dataFolder)) {
        if (BelongsToVersionedCopy(name)) return true;
    }
    return false;
}

} // namespace

ClientPlaces ClientPlaces::Current() {
    return {ExecutablePath(), ApplicationDataFolder()};
}

std::string InstalledExecutable(const ClientPlaces &places) {
    if (!IsRunningFromDataFolder(nullptr, places) ||
        UpperAscii(NamePart(places.executable)) == UpperAscii(Identity::InstalledClientName()))
        return places.executable;
    std::string folder;
    ReadClientFolder(nullptr, folder);
    return folder.empty() ? std::string() : folder + "/" + Identity::InstalledClientName();
}

bool IsRunningFromDataFolder(LogSink *log, const ClientPlaces &places) {
    const std::string executableFolder = ExecutableFolder(places);
    const std::string dataFolder = WithoutTrailingSeparator(LongPathName(places.dataFolder));
    Info(log, "Exe Path: " + executableFolder);
    Info(log, "My Path : " + dataFolder);
    return UpperAscii(executableFolder) == UpperAscii(dataFolder);
}

void StoreClientFolder(LogSink *log, const ClientPlaces &places) {
    const std::string folder = ExecutableFolder(places);
    (void)Registry::WriteString(Hive::CurrentUser, ApplicationKeyPath(), ClientFolderValueName, folder);
    Info(log, "Set Exe Path : " + folder);
}

void ReadClientFolder(LogSink *log, std::string &folder) {
    const auto value = Registry::Read(Hive::CurrentUser, ApplicationKeyPath(), ClientFolderValueName);
    std::string text;
    if (value && value->type == RegistryType::String && value->data.size() > 2 &&
        value->data.size() <= ClientFolderBufferSize) {
        text.assign(value->data.begin(), value->data.end());
        if (const auto zero = text.find('\0'); zero != std::string::npos) text.resize(zero);
        while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
            text.pop_back();
        while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
            text.erase(0, 1);
        folder = text;
    }
    Info(log, "Get Exe Path : " + text);
}

std::string UntrustedCopyReason(const std::string &path, const std::string &entryName,
                                const PublisherKey &key) {
    if (std::string problem = FileTrustProblem(path); !problem.empty()) return problem;
    const auto signature = SignatureFromCopyName(entryName);
    if (!signature || !SignaturesEqual(UpdateSignature(path), *signature))
        return "its signature does not match";
    if (key.state == PublisherKey::State::None) return "no publisher key is configured";
    if (key.state == PublisherKey::State::Invalid)
        return "the publisher key in the " + key.source + " is not valid";
    if (!PublisherSignatureGood(path, key)) return "its publisher signature is missing or wrong";
    return {};
}

FoundCopy FindVersionedCopy(LogSink *log, const ClientPlaces &places, const PublisherKey &key) {
    Info(log, "Begin Get highest " + ClientStem());
    FoundCopy result;
    std::string entryName;
    for (const std::string &name : FolderEntries(places.dataFolder)) {
        if (!MatchesVersionedCopyPattern(name) || FileFactsOf(places.dataFolder + "/" + name).directory)
            continue;
        entryName = name;
        break;
    }
    const auto finish = [&] {
        Info(log, "End Get highest " + ClientStem() + ": " + YesNoText(result.found));
        return result;
    };
    if (entryName.empty()) return finish();

    const std::string file = WithoutTrailingSeparator(places.dataFolder) + "/" + entryName;
    const auto deleteCopy = [&] {
        const int code = DeleteFileCode(file);
        DeleteSignatureOf(file);
        Info(log, "Delete: " + file);
        Info(log, "Delete: " + SystemErrorText(code));
    };
    // A copy that is a link, a device or writable by others is never read, let alone run.
    if (const std::string problem = FileTrustProblem(file); !problem.empty()) {
        Info(log, "File     : " + file);
        Error(log, "Versioned copy refused, " + problem + ": " + file);
        deleteCopy();
        return finish();
    }
    const std::string version = FileVersionText(file);
    Info(log, "File     : " + file);
    Info(log, "Version  : " + version);
    const auto signature = SignatureFromCopyName(entryName);
    if (version.empty() || !signature) return finish();
    Info(log, "Signature: " + *signature);

    if (!SignaturesEqual(UpdateSignature(file), *signature)) {
        Error(log, "Damaged EXE");
        deleteCopy();
        return finish();
    }
    if (const std::string refusal = UpdateRefusalLine(key, {}); !refusal.empty()) {
        Error(log, refusal);
        deleteCopy();
        return finish();
    }
    if (!PublisherSignatureGood(file, key)) {
        Error(log, "Publisher signature missing or wrong");
        deleteCopy();
        return finish();
    }
    result = {true, file, version};
    return finish();
}

void DeleteVersionedCopies(std::vector<std::string> *list, LogSink *log, const std::string &dataFolder) {
    const std::string folder = WithoutTrailingSeparator(dataFolder);
    for (const std::string &name : FolderEntries(folder)) {
        if (!BelongsToVersionedCopy(name)) continue;
        const std::string path = folder + "/" + name;
        const int code = DeleteFileCode(path);
        const std::string lines[] = {TimeStampText() + "|I Delete| " + path,
                                     TimeStampText() + "|I Delete| " + SystemErrorText(code)};
        for (const std::string &line : lines) {
            if (list) list->push_back(line);
            Info(log, line);
        }
    }
}

StartupDecision RunStartupUpdateDecision(LogSink &windowLog, LogSink *fileLog, const ClientPlaces &places,
                                         const PublisherKey &key) {
    StartupDecision decision;
    if (places.dataFolder.empty()) return decision; // no copies without a data folder
    if (IsRunningFromDataFolder(fileLog, places) &&
        UpperAscii(NamePart(places.executable)) != UpperAscii(Identity::InstalledClientName())) {
        std::string folder;
        std::string target;
        try {
            ReadClientFolder(fileLog, folder);
            target = folder + "/" + Identity::InstalledClientName();
            windowLog.LogInfo("I am running from Personal Folder. Will try to update Main executable:");
            windowLog.LogInfo(" " + target);
            // Without a stored folder the target would be the root of the file system;
            // a file the package manager owns is never replaced behind its back.
            const std::string packaged =
                folder.empty() ? std::string() : InstalledByPackageReason(target, places.packageFileList);
            const int code = folder.empty()      ? ENOENT
                             : !packaged.empty() ? EPERM
                                                 : ReplaceFileWithCopy(places.executable, target);
            windowLog.LogInfo(" result: " + YesNoText(code == 0));
            windowLog.LogInfo(" result: " + SystemErrorText(code));
            if (folder.empty())
                windowLog.LogError("Cannot update Main executable: no client folder is stored");
            else if (!packaged.empty())
                windowLog.LogError("Cannot update Main executable: " + packaged);
        } catch (...) {
            windowLog.LogError("Cannot update Main executable [1]: " + target);
        }
        return decision;
    }
    StoreClientFolder(fileLog, places);
    // A client that may take no build starts none; what an earlier version left goes.
    const std::string refusal =
        UpdateRefusalLine(key, InstalledByPackageReason(places.executable, places.packageFileList));
    if (!refusal.empty()) {
        if (HasVersionedCopies(places.dataFolder)) {
            windowLog.LogInfo(refusal);
            DeleteVersionedCopies(nullptr, fileLog, places.dataFolder);
        }
        return decision;
    }
    const FoundCopy found = FindVersionedCopy(fileLog, places, key);
    if (!found.found) return decision;
    const std::string own = FileVersionText(places.executable);
    if (IsNewerVersion(found.version, own)) {
        windowLog.LogInfo("Close myself and will start: " + found.path);
        windowLog.LogInfo("Close myself and will start: " + found.version);
        decision = {StartupOutcome::HandOver, found.path, found.version};
    } else if (found.version == own) {
        windowLog.LogInfo("I am uptodate");
        DeleteVersionedCopies(nullptr, fileLog, places.dataFolder);
    } else {
        windowLog.LogError("Versioned copy refused, " + found.version + " is not newer than " + own + ": " +
                           found.path);
        DeleteVersionedCopies(nullptr, fileLog, places.dataFolder);
    }
    return decision;
}

int StartPendingCopy(const std::string &pendingStartPath, const std::vector<std::string> &arguments,
                     const PublisherKey &key) {
    if (pendingStartPath.empty()) return 0;
    // Checked again: the copy may have changed since start-up examined it.
    int code = UntrustedCopyReason(pendingStartPath, NamePart(pendingStartPath), key).empty() ? 0 : EPERM;
    if (code == 0) code = StartProgram(pendingStartPath, arguments);
    if (code != 0 && !FileFactsOf(pendingStartPath).directory) {
        (void)DeleteFileCode(pendingStartPath);
        DeleteSignatureOf(pendingStartPath);
    }
    return code;
}

StartupDecision RunStartupUpdateDecision(LogSink &windowLog, LogSink *fileLog) {
    return RunStartupUpdateDecision(windowLog, fileLog, ClientPlaces::Current(), ConfiguredPublisherKey());
}

int StartPendingCopy(const std::string &pendingStartPath, const std::vector<std::string> &arguments) {
    return StartPendingCopy(pendingStartPath, arguments, ConfiguredPublisherKey());
}

} // namespace tsc::update
