#pragma once

// One exchange with one load-balancing endpoint of the Farm: connect, send the tag
// and the user name, read server list text until the end marker. A state machine
// driven by the socket's signals and two timers on the user-interface thread; it
// never spins an event loop of its own.

#include "ServerListText.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

class QTcpSocket;

namespace tsc {
class LogSink;
namespace detail {
class ReplacingFile;
}
} // namespace tsc

namespace tsc::farm {

struct ExchangeLimits {
    int minimumMs = 500;    // an exchange lasts at least this long, so a failing Farm is not hammered
    int maximumMs = 30'000; // and at most this long
    std::size_t maximumBytes = MaximumReplyBytes;
    std::size_t maximumLines = MaximumReplyLines;
};

class FarmExchange : public QObject {
    Q_OBJECT
  public:
    explicit FarmExchange(LogSink &log, QObject *parent = nullptr);
    ~FarmExchange() override;

    void SetLimits(const ExchangeLimits &limits) { limits_ = limits; }

    // Starts an exchange; false when one is running already. The reply is recorded
    // into a temporary file beside recordPath that replaces it only once the end
    // marker has arrived; an empty recordPath records nothing. An empty user name
    // is replaced by the logon name (logonNameUsed tells).
    bool Start(const QString &host, quint16 port, std::string_view tag, const std::string &userName,
               const std::string &recordPath);
    // Ends the wait now: the program is closing or load balancing was switched off.
    void Abort();

    [[nodiscard]] bool Running() const { return state_ != State::Idle; }
    [[nodiscard]] bool Complete() const { return complete_; }
    [[nodiscard]] const std::vector<std::string> &Lines() const { return lines_; }
    [[nodiscard]] const std::string &Tag() const { return tag_; }

  signals:
    void finished(bool complete);
    void runningChanged(bool running);
    // A socket error: the busy indicator shows its error picture.
    void socketFailed();
    void logonNameUsed(const QString &name);

  private:
    enum class State { Idle, Connecting, Receiving, Ended };

    void OnConnected();
    void OnReadyRead();
    void OnDisconnected();
    void OnError();
    void TakeLines(std::vector<std::string> lines);
    void TakeEndMarker();
    void OpenRecord();
    void DiscardRecord();
    void EndExchange();
    void Finish();
    void RefuseOversizedReply();
    void SendCommand();
    void LogChunk(const std::vector<std::string> &lines);

    LogSink &log_;
    ExchangeLimits limits_;
    QTcpSocket *socket_ = nullptr;
    QTimer maximumTimer_;
    QTimer minimumTimer_;
    QElapsedTimer started_;
    State state_ = State::Idle;
    QString host_;
    quint16 port_ = 0;
    std::string tag_;
    std::string userName_;
    std::string recordPath_;
    std::unique_ptr<detail::ReplacingFile> record_;
    ReplyLineSplitter splitter_;
    std::vector<std::string> lines_;
    std::size_t receivedBytes_ = 0;
    std::size_t receivedLines_ = 0;
    bool complete_ = false;
};

// The Windows Sockets number of a socket error, as the log has always shown it.
[[nodiscard]] int SocketErrorNumber(int qtSocketError);

} // namespace tsc::farm
