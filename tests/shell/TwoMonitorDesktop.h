#pragma once

// The set-up of the tests of sessions over two monitors against xrdp: the client's
// desktop is an Xorg of the test's own with the dummy driver, 2048x768, split into two
// RandR monitors (the primary on the right, 1024x768+1024+0, another one left of it);
// the real program connects to Debian's xrdp with an Xorg session, with a profile of
// the test's lines. What the server got is read from the session's own xrandr, what
// the client shows from its screens.

#include "ShadowServer.h" // WaitFor
#include "XrdpServer.h"

#include <QByteArray>
#include <QImage>
#include <QProcess>
#include <QRect>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace tsc::test {

inline constexpr int SessionTimeoutMs = 40000;

// Each of red, green and blue within 24 of `expected`.
[[nodiscard]] bool Near(QRgb colour, QRgb expected);
// "WxH+X+Y" of each monitor `xrandr --listmonitors` prints, a "*" before the primary;
// sorted.
[[nodiscard]] QStringList Monitors(const QByteArray &listing);
// The client desktop's screens side by side, as one picture of their bounding box.
[[nodiscard]] QImage Desktop();
// Runs xrandr on the client's display; whether it succeeded.
bool ClientXrandr(const QStringList &arguments);
// Makes the client's monitors these areas, the first one primary (it takes the
// screen's output); waits until the test's own screens show them.
bool SetClientMonitors(const std::vector<QRect> &monitors);
// Paints the client's root window one colour ("#33AA55").
bool PaintClientRoot(const QString &colour);
// The layout the desktop starts with: the primary on the right, another one left of it.
bool SetStartingClientMonitors();

// A test with the xrdp server of its suite and the program as a client of it.
class TwoMonitorSession : public ::testing::Test {
  protected:
    // For SetUpTestSuite: starts the server on `address`:`port` (skipping the tests
    // where it cannot run); StopServer for TearDownTestSuite.
    static void StartServer(const char *address, quint16 port);
    static void StopServer();

    void SetUp() override;
    void TearDown() override;

    // Starts the program with a profile for the server: full screen, 24 bits, the
    // password kept as the client keeps it; `profileLines` added at its end.
    void StartClient(const QString &profileLines);
    [[nodiscard]] static QByteArray Log();
    // The monitors the server's session has, once it has `count` of them.
    [[nodiscard]] static QStringList SessionMonitors(int count);

    static inline QString *unavailable_ = nullptr;
    static inline XrdpServer *server_ = nullptr;
    QTemporaryDir folder_;
    QProcess client_;
};

// The test program's main: runs the tests on a two-monitor Xorg of its own, or lists
// them (and runs none) where the dummy driver is missing.
int RunOnTwoMonitorDesktop(int argc, char **argv);

} // namespace tsc::test
