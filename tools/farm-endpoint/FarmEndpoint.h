#pragma once

// A Farm load-balancing endpoint of our own, for tests, the demo, and for an
// administrator who wants to try a client before the real Farm service is set up.
// It answers "V001C003" and "V001C001" commands with a server list built from its
// servers, names the preferred server (round-robin when asked), and has modes that
// misbehave the way a broken peer or network does.

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <string>
#include <vector>

class QTcpServer;
class QTcpSocket;

namespace tsc::farm {

struct EndpointServer {
    std::string address;
    std::string rdpPort = "3389";
    std::string rdpPlusPort = "3391";
    std::string loadBalancingPort;
    std::string name;
};

enum class EndpointMode {
    Normal,        // the list, the end marker, then the endpoint closes
    Chunked,       // the same in small pieces, lines cut across pieces
    OlderOnly,     // answers only "V001C001"; closes at once on any other tag
    NoEndMarker,   // the list without the end marker, then closes
    Garbage,       // NUL, invalid UTF-8, 64 KiB without a line end, then closes
    Silent,        // accepts and never answers
    Flood,         // endless server lines as fast as the client takes them
    Drip,          // the list one byte at a time
    CloseMidReply, // half the list, then a reset
};

[[nodiscard]] bool ParseEndpointMode(const QString &text, EndpointMode &mode);

struct EndpointOptions {
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 0; // 0: any free port
    std::vector<EndpointServer> servers;
    std::string domain = "FARM";
    EndpointMode mode = EndpointMode::Normal;
    bool roundRobin = false;
    int chunkBytes = 7;
    int dripIntervalMs = 100;
};

// The reply to a tag, naming servers[preferred] as the preferred server.
[[nodiscard]] std::string EndpointReply(const EndpointOptions &options, std::string_view tag,
                                        std::size_t preferred, bool endMarker = true);
// "address rdp rdp+ lbport name" lines of a list file (current-format server records);
// comments and empty lines are skipped.
[[nodiscard]] std::vector<EndpointServer> ParseServerLines(const std::string &text);

class FarmEndpoint : public QObject {
    Q_OBJECT
  public:
    explicit FarmEndpoint(EndpointOptions options, QObject *parent = nullptr);
    ~FarmEndpoint() override;

    [[nodiscard]] bool Listen();
    [[nodiscard]] quint16 Port() const;
    void SetMode(EndpointMode mode) { options_.mode = mode; }
    [[nodiscard]] int Connections() const { return connections_; }
    [[nodiscard]] const QStringList &Commands() const { return commands_; }

  signals:
    // A command arrived; preferred names the server the reply puts first.
    void answered(const QString &command, const QString &preferred);

  private:
    void OnNewConnection();
    void Answer(QTcpSocket *socket, const std::string &command);
    void SendPaced(QTcpSocket *socket, std::string text, int pieceBytes, int intervalMs);
    void Flood(QTcpSocket *socket);

    EndpointOptions options_;
    QTcpServer *server_ = nullptr;
    int connections_ = 0;
    std::size_t nextPreferred_ = 0;
    QStringList commands_;
};

} // namespace tsc::farm
