#include "FarmEndpoint.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

#include <memory>
#include <sstream>

namespace tsc::farm {

namespace {
constexpr qsizetype MaximumCommandBytes = 1024;
constexpr qint64 FloodBufferBytes = 256 * 1024;

// Makes the next close a reset (RST) instead of an orderly end.
void ResetOnClose(QTcpSocket *socket) {
    const linger immediate{1, 0};
    ::setsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &immediate,
                 sizeof immediate);
}
} // namespace

bool ParseEndpointMode(const QString &text, EndpointMode &mode) {
    static const std::pair<const char *, EndpointMode> names[] = {{"normal", EndpointMode::Normal},
                                                                  {"chunked", EndpointMode::Chunked},
                                                                  {"older-only", EndpointMode::OlderOnly},
                                                                  {"no-eof", EndpointMode::NoEndMarker},
                                                                  {"garbage", EndpointMode::Garbage},
                                                                  {"silent", EndpointMode::Silent},
                                                                  {"flood", EndpointMode::Flood},
                                                                  {"drip", EndpointMode::Drip},
                                                                  {"close-mid", EndpointMode::CloseMidReply}};
    for (const auto &[name, value] : names)
        if (text == QLatin1String(name)) {
            mode = value;
            return true;
        }
    return false;
}

std::string EndpointReply(const EndpointOptions &options, std::string_view tag, std::size_t preferred,
                          bool endMarker) {
    const bool older = tag == "V001C001";
    std::string reply;
    if (!options.servers.empty()) {
        const EndpointServer &p = options.servers[preferred % options.servers.size()];
        reply +=
            older ? p.address + " " + p.rdpPort + " " + p.name + " " + options.domain
                  : p.address + " " + p.rdpPort + " " + p.rdpPlusPort + " " + p.name + " " + options.domain;
        reply += "\r\n";
    }
    reply += older ? "# servers of the Farm (older format)\r\n" : "# servers of the Farm\r\n";
    for (const EndpointServer &s : options.servers) {
        reply += older ? s.address + " " + s.rdpPort + " " + s.loadBalancingPort + " " + s.name
                       : s.address + " " + s.rdpPort + " " + s.rdpPlusPort + " " + s.loadBalancingPort + " " +
                             s.name;
        reply += "\r\n";
    }
    if (endMarker) reply += "EOF\r\n";
    return reply;
}

std::vector<EndpointServer> ParseServerLines(const std::string &text) {
    std::vector<EndpointServer> servers;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        std::istringstream fields(line);
        EndpointServer server;
        if (fields >> server.address >> server.rdpPort >> server.rdpPlusPort >> server.loadBalancingPort >>
            server.name)
            servers.push_back(server);
    }
    return servers;
}

FarmEndpoint::FarmEndpoint(EndpointOptions options, QObject *parent)
    : QObject(parent), options_(std::move(options)), server_(new QTcpServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &FarmEndpoint::OnNewConnection);
}

FarmEndpoint::~FarmEndpoint() = default;

bool FarmEndpoint::Listen() {
    return server_->listen(options_.address, options_.port);
}

quint16 FarmEndpoint::Port() const {
    return server_->serverPort();
}

void FarmEndpoint::OnNewConnection() {
    while (QTcpSocket *socket = server_->nextPendingConnection()) {
        ++connections_;
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto received = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, received] {
            *received += socket->readAll();
            const auto end = received->indexOf("\r\n");
            if (end < 0) {
                if (received->size() > MaximumCommandBytes) socket->abort();
                return;
            }
            const std::string command = received->left(end).toStdString();
            received->clear();
            disconnect(socket, &QTcpSocket::readyRead, this, nullptr);
            commands_ << QString::fromStdString(command);
            Answer(socket, command);
        });
    }
}

void FarmEndpoint::Answer(QTcpSocket *socket, const std::string &command) {
    const std::string tag = command.substr(0, 8);
    const std::size_t preferred = nextPreferred_;
    if (options_.roundRobin && !options_.servers.empty())
        nextPreferred_ = (nextPreferred_ + 1) % options_.servers.size();
    if (tag != "V001C003" && tag != "V001C001") {
        socket->disconnectFromHost();
        return;
    }
    const std::string reply = EndpointReply(options_, tag, preferred);
    emit answered(QString::fromStdString(command),
                  options_.servers.empty()
                      ? QString()
                      : QString::fromStdString(options_.servers[preferred % options_.servers.size()].name));
    switch (options_.mode) {
    case EndpointMode::Normal:
        socket->write(reply.data(), static_cast<qint64>(reply.size()));
        socket->disconnectFromHost();
        break;
    case EndpointMode::Chunked:
        SendPaced(socket, reply, options_.chunkBytes, 5);
        break;
    case EndpointMode::OlderOnly:
        if (tag != "V001C001") {
            socket->disconnectFromHost();
        } else {
            socket->write(reply.data(), static_cast<qint64>(reply.size()));
            socket->disconnectFromHost();
        }
        break;
    case EndpointMode::NoEndMarker: {
        const std::string text = EndpointReply(options_, tag, preferred, false);
        socket->write(text.data(), static_cast<qint64>(text.size()));
        socket->disconnectFromHost();
        break;
    }
    case EndpointMode::Garbage: {
        using namespace std::string_literals;
        std::string garbage = "10.0.0.1 3389\0 3391 x\r\n\xff\xfe\xc3\x28 name\r\n"s;
        garbage += std::string(64 * 1024, 'A');
        socket->write(garbage.data(), static_cast<qint64>(garbage.size()));
        socket->disconnectFromHost();
        break;
    }
    case EndpointMode::Silent:
        break;
    case EndpointMode::Flood:
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { Flood(socket); });
        Flood(socket);
        break;
    case EndpointMode::Drip:
        SendPaced(socket, reply, 1, options_.dripIntervalMs);
        break;
    case EndpointMode::CloseMidReply:
        socket->write(reply.data(), static_cast<qint64>(reply.size() / 2));
        socket->flush();
        QTimer::singleShot(50, socket, [socket] {
            ResetOnClose(socket);
            socket->abort();
            socket->deleteLater();
        });
        break;
    }
}

void FarmEndpoint::SendPaced(QTcpSocket *socket, std::string text, int pieceBytes, int intervalMs) {
    auto *timer = new QTimer(socket);
    auto rest = std::make_shared<std::string>(std::move(text));
    connect(timer, &QTimer::timeout, socket, [socket, timer, rest, pieceBytes] {
        const auto size = std::min<std::size_t>(static_cast<std::size_t>(pieceBytes), rest->size());
        socket->write(rest->data(), static_cast<qint64>(size));
        socket->flush();
        rest->erase(0, size);
        if (rest->empty()) {
            timer->stop();
            socket->disconnectFromHost();
        }
    });
    timer->start(intervalMs);
}

void FarmEndpoint::Flood(QTcpSocket *socket) {
    static const std::string line = "10.0.0.1 3389 3391 3390 flooding-server-name\r\n";
    std::string block;
    while (block.size() < 64 * 1024)
        block += line;
    while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < FloodBufferBytes)
        socket->write(block.data(), static_cast<qint64>(block.size()));
}

} // namespace tsc::farm
