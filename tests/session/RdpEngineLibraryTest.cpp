#include "RdpEngineLibrary.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "SystemInfo.h"

namespace tsc {
namespace {

// An installed client loads its engine only from its installed folders (or the
// override); the build tree, which may lie in a folder others can write, is a
// fall-back for executables of the build tree alone.
TEST(RdpEngineLibrary, OnlyABuildTreeExecutableFallsBackToTheBuildTree) {
    const QString buildTree = QDir(QStringLiteral(TSC_TEST_BUILD_TREE)).canonicalPath();
    const QString builtEngine = QStringLiteral(TSC_TEST_BUILD_ENGINE);

    const QStringList inTree = RdpEngineLibrary::CandidatePaths(buildTree + QStringLiteral("/tests/session"));
    ASSERT_EQ(inTree.size(), 3);
    EXPECT_EQ(inTree.last(), builtEngine);

    for (const QString &folder : {QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/bin")}) {
        const QStringList installed = RdpEngineLibrary::CandidatePaths(folder);
        ASSERT_EQ(installed.size(), 2) << installed.join(' ').toStdString();
        for (const QString &candidate : installed) {
            EXPECT_TRUE(candidate.startsWith(QDir::cleanPath(folder + QStringLiteral("/.."))))
                << candidate.toStdString();
            EXPECT_FALSE(candidate.startsWith(buildTree)) << candidate.toStdString();
        }
    }
    // A folder beside the build tree whose name merely begins like it.
    QDir(buildTree + QStringLiteral("-beside")).mkpath(QStringLiteral("."));
    EXPECT_EQ(RdpEngineLibrary::CandidatePaths(buildTree + QStringLiteral("-beside")).size(), 2);
    QDir(buildTree + QStringLiteral("-beside")).removeRecursively();
}

// No engine is looked for on disk in a folder that others can change, nor in the
// data folder, where versioned copies run and nothing of the installed program lies.
TEST(RdpEngineLibrary, NoEngineFromAFolderOthersCanWriteOrTheDataFolder) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString shared = root.path() + QStringLiteral("/shared/bin");
    ASSERT_TRUE(QDir().mkpath(shared));
    ASSERT_TRUE(QFile::setPermissions(shared, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ExeOwner | QFileDevice::WriteOther |
                                                  QFileDevice::ExeOther | QFileDevice::ReadOther));
    EXPECT_TRUE(RdpEngineLibrary::CandidatePaths(shared).isEmpty());

    qputenv("XDG_DATA_HOME", (root.path() + QStringLiteral("/data")).toLocal8Bit());
    const QString data = QString::fromStdString(ApplicationDataFolder());
    EXPECT_TRUE(RdpEngineLibrary::CandidatePaths(data).isEmpty()) << data.toStdString();
    qunsetenv("XDG_DATA_HOME");
}

} // namespace
} // namespace tsc
