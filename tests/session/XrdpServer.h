#pragma once

// A real RDP server that carries the clipboard, for end-to-end tests: Debian's xrdp
// with its session manager, on a loopback address and port of the test's choosing,
// logging a local test user straight into an Xorg session (xorgxrdp) whose
// clipboard xrdp's channel server bridges. Needs root (the session manager starts
// the user's session); Available() says why not otherwise. Everything started here is
// stopped by its pid. One such server runs on the machine at a time (Start() waits for
// one in another test run to end). With several test users, each client logs in with
// its own user's name and password (the first user is the one of a single-user server).

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <optional>
#include <vector>

namespace tsc::test {

class XrdpServer {
  public:
    XrdpServer(QString address, quint16 port, int users = 1);
    ~XrdpServer();

    // Empty when the server can run here; otherwise the reason it cannot.
    [[nodiscard]] static QString Unavailable();
    [[nodiscard]] bool Start();
    [[nodiscard]] QString Error() const { return error_; }
    [[nodiscard]] QString Address() const { return address_; }
    [[nodiscard]] quint16 Port() const { return port_; }
    [[nodiscard]] static QString UserName(int user = 0);
    [[nodiscard]] static QString Password();

    // The session's X display once the user's session runs (":10"), else empty.
    [[nodiscard]] QString SessionDisplay(int user = 0) const;
    // Copies `data` of an X selection target ("image/bmp"; empty: text) in the session
    // (an xclip owning its CLIPBOARD until replaced).
    [[nodiscard]] bool CopyInSession(const QByteArray &data, const QString &target = {}, int user = 0);
    // Pastes in the session: the CLIPBOARD's data, read by xclip; handles events while
    // it waits so the client can answer. Empty on failure.
    [[nodiscard]] QByteArray PasteInSession(int milliseconds, const QString &target = {}, int user = 0);
    // Runs a program as the session's (first) user on its display, handling events while
    // it runs; its output, or nothing when it failed or ran out of time.
    [[nodiscard]] std::optional<QByteArray> RunInSession(const QString &program, const QStringList &arguments,
                                                         int milliseconds);
    // Starts a program as the session's (first) user and leaves it running until the
    // server stops.
    void StartInSession(const QString &program, const QStringList &arguments);
    // The session user's home folder.
    [[nodiscard]] static QString UserHome();
    // Ends the users' sessions (their processes), so the next connect starts a fresh one.
    void EndUserSession();

  private:
    [[nodiscard]] std::unique_ptr<QProcess> AsUser(const QStringList &arguments, int user,
                                                   const QString &program = QStringLiteral("xclip")) const;
    void Stop(std::unique_ptr<QProcess> &process);

    QString address_;
    quint16 port_ = 0;
    int users_ = 1;
    QString error_;
    QTemporaryDir folder_;
    std::unique_ptr<QProcess> sesman_;
    std::unique_ptr<QProcess> xrdp_;
    std::unique_ptr<QProcess> copier_[2];
    std::vector<std::unique_ptr<QProcess>> sessionPrograms_;
    int machineLock_ = -1;
};

} // namespace tsc::test
