#pragma once

// A real RDP server for end-to-end tests: an Xvfb display of its own with a solid
// root colour, and freerdp-shadow-cli on a free loopback port. Everything is
// started with QProcess and stopped by its pid.

#include <QProcess>
#include <QString>

#include <cstdint>
#include <memory>

namespace tsc::test {

class ShadowServer {
  public:
    // `configHome` holds the server's certificate: another folder, another certificate.
    ShadowServer(const QString &configHome, const QString &rootColour);
    ~ShadowServer();

    // The loopback address the server listens on (127.0.0.1 unless set before Start).
    void SetAddress(const QString &address) { address_ = address; }
    // The server's screen, which is the session's desktop (1024x768 unless set before Start).
    void SetScreenSize(int width, int height) {
        screenSize_ = QStringLiteral("%1x%2x24").arg(width).arg(height);
    }
    [[nodiscard]] bool Start(quint16 port = 0); // 0: any free port
    void StopServer();                          // the RDP server only; the display stays
    [[nodiscard]] bool RestartServer(const QString &configHome);
    [[nodiscard]] quint16 Port() const { return port_; }
    [[nodiscard]] QString Display() const { return display_; }
    [[nodiscard]] QString Error() const { return error_; }

    // Changes on the server's display: a filled rectangle of an 0xRRGGBB colour, and
    // the plain root colour again.
    void PaintRectangle(int x, int y, int width, int height, std::uint32_t rgb);
    void ClearScreen();

    // Observations on the server's display.
    [[nodiscard]] bool PointerAt(int x, int y) const;
    [[nodiscard]] bool ButtonDown(int button) const; // 1 left, 2 middle, 3 right
    [[nodiscard]] bool KeyDown(int keyCode) const;

  private:
    bool StartDisplay();
    bool StartServer(quint16 port);

    QString configHome_;
    QString rootColour_;
    QString display_;
    QString address_ = QStringLiteral("127.0.0.1");
    QString screenSize_ = QStringLiteral("1024x768x24");
    quint16 port_ = 0;
    QString error_;
    std::unique_ptr<QProcess> xvfb_;
    std::unique_ptr<QProcess> server_;
    void *xDisplay_ = nullptr;
};

// A loopback port nothing listens on at the moment of asking.
[[nodiscard]] quint16 FreeLoopbackPort();

// Waits, processing events, until `condition` holds or `milliseconds` pass.
template <typename Condition> bool WaitFor(Condition condition, int milliseconds);

} // namespace tsc::test

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

template <typename Condition> bool tsc::test::WaitFor(Condition condition, int milliseconds) {
    QDeadlineTimer deadline(milliseconds);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}
