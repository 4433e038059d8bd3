// Every session test runs in a folder of its own: the known hosts of the protocol
// library, the servers' certificates and any temporary file land there.

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    const QByteArray path = home.path().toUtf8();
    for (const char *name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "TMPDIR"})
        qputenv(name, path);
    qputenv("XDG_CONFIG_DIRS", path + "/etc");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
