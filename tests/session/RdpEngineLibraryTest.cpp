#include "RdpEngineLibrary.h"

#include <gtest/gtest.h>

#include <QDir>

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

    for (const QString &folder : {QStringLiteral("/usr/local/bin"), QStringLiteral("/opt/tsc/bin")}) {
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

} // namespace
} // namespace tsc
