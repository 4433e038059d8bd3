#include "RdpEngineLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>
#include <QStringList>

#include "PrivateFiles.h"
#include "SystemInfo.h"

namespace tsc {

namespace {

constexpr char EmbeddedEngineSection[] = ".tsc_rdpengine";
constexpr std::uint64_t MaximumEmbeddedEngine = 256ull << 20;

// The engine the executable carries, as a sealed memory file kept open for the life
// of the process; empty when the executable carries none. A published build brings
// its own engine this way, signed with the rest of it.
QString EmbeddedEnginePath() {
    static const QString path = [] {
        const int descriptor = OwnSectionAsMemoryFile(EmbeddedEngineSection, MaximumEmbeddedEngine);
        return descriptor < 0 ? QString() : QStringLiteral("/proc/self/fd/%1").arg(descriptor);
    }();
    return path;
}

// A folder the engine may be loaded from: one that nobody but the user or root can
// change, and not the data folder, where versioned copies run.
bool MayLoadCodeFrom(const QString &folder) {
    const std::string path = QDir(folder).absolutePath().toStdString();
    return detail::FolderProblem(path, detail::FolderUse::Shared, false).empty() &&
           LongPathName(path) != LongPathName(ApplicationDataFolder());
}

// An executable of the build tree (tests, a developer's run), never an installed
// one: an installed program must not load a library from wherever it was built,
// which may be a folder others can write.
bool InBuildTree(const QString &executableFolder) {
    const QString tree = QDir(QStringLiteral(TSC_BUILD_TREE)).canonicalPath();
    const QString folder = QDir(executableFolder).canonicalPath();
    return !tree.isEmpty() && !folder.isEmpty() &&
           (folder == tree || folder.startsWith(tree + QLatin1Char('/')));
}

QString ExecutableFolder() {
    if (QCoreApplication::instance()) return QCoreApplication::applicationDirPath();
    return QFileInfo(QString::fromStdString(ExecutablePath())).absolutePath();
}

QStringList CandidatesForThisProcess() {
    const QString overridePath = qEnvironmentVariable(RdpEngineLibrary::OverrideVariable);
    if (!overridePath.isEmpty()) return {overridePath};
    if (const QString embedded = EmbeddedEnginePath(); !embedded.isEmpty()) return {embedded};
    return RdpEngineLibrary::CandidatePaths(ExecutableFolder());
}

} // namespace

QStringList RdpEngineLibrary::CandidatePaths(const QString &executableFolder) {
    QStringList candidates;
    if (!executableFolder.isEmpty() && MayLoadCodeFrom(executableFolder)) {
        const QDir executableDir(executableFolder);
        candidates << executableDir.filePath(QStringLiteral(TSC_ENGINE_FILE_NAME));
        candidates << QDir::cleanPath(
            executableDir.filePath(QStringLiteral("../" TSC_ENGINE_INSTALL_SUBDIR "/" TSC_ENGINE_FILE_NAME)));
    }
    if (InBuildTree(executableFolder)) candidates << QStringLiteral(TSC_ENGINE_BUILD_PATH);
    return candidates;
}

QString RdpEngineLibrary::LibraryName() {
    const QString path = LibraryPath();
    return path == EmbeddedEnginePath() ? QStringLiteral(TSC_ENGINE_FILE_NAME) : QFileInfo(path).fileName();
}

QString RdpEngineLibrary::LibraryPath() {
    const QStringList candidates = CandidatesForThisProcess();
    for (const QString &candidate : candidates) {
        if (QFileInfo(candidate).isFile()) return candidate;
    }
    return candidates.isEmpty() ? QStringLiteral(TSC_ENGINE_FILE_NAME) : candidates.first();
}

RdpEngineLibrary &RdpEngineLibrary::Instance() {
    static RdpEngineLibrary library;
    return library;
}

bool RdpEngineLibrary::Load(QString *error) {
    if (!attempted_) {
        attempted_ = true;
        library_ = std::make_unique<QLibrary>(LibraryPath());
        QLibrary *library = library_.get();
        if (!library->load()) {
            loadError_ = library->errorString();
        } else {
            createControl_ = reinterpret_cast<TscRdpEngineCreateControl>(
                library->resolve(TscRdpEngineCreateControlSymbol));
            version_ = reinterpret_cast<TscRdpEngineVersion>(library->resolve(TscRdpEngineVersionSymbol));
            if (!createControl_ || !version_) {
                loadError_ = QStringLiteral("%1 is no RDP engine: %2")
                                 .arg(library->fileName(), library->errorString());
                createControl_ = nullptr;
                version_ = nullptr;
            }
        }
    }
    if (error) *error = loadError_;
    return createControl_ != nullptr;
}

QString RdpEngineLibrary::Version() {
    if (!Load()) return {};
    return QString::fromUtf8(version_());
}

std::unique_ptr<RdpControl> RdpEngineLibrary::CreateControl(QString *error) {
    if (!Load(error)) return nullptr;
    std::unique_ptr<RdpControl> control(createControl_());
    if (!control && error) *error = QStringLiteral("out of memory");
    return control;
}

} // namespace tsc
