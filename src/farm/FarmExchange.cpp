#include "FarmExchange.h"

#include "AtomicFile.h"
#include "LogSink.h"
#include "SystemInfo.h"
#include "TextEncoding.h"

#include <QHostAddress>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <exception>

namespace tsc::farm {

namespace {

// A chunk's lines go to the log for diagnosis; a flood must not rotate the log away.
constexpr std::size_t LoggedLinesPerChunk = 40;
constexpr std::size_t LoggedCharactersPerLine = 200;
constexpr qint64 ReadBufferBytes = 64 * 1024;

std::string Printable(std::string_view line) {
    std::string text = detail::TextAsUtf8(line.substr(0, LoggedCharactersPerLine));
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
    if (line.size() > LoggedCharactersPerLine) text += "...";
    return text;
}

std::string Trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= 32)
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= 32)
        text.remove_suffix(1);
    return std::string(text);
}

} // namespace

int SocketErrorNumber(int qtSocketError) {
    switch (static_cast<QAbstractSocket::SocketError>(qtSocketError)) {
    case QAbstractSocket::ConnectionRefusedError:
        return 10061;
    case QAbstractSocket::RemoteHostClosedError:
        return 10054;
    case QAbstractSocket::HostNotFoundError:
        return 11001;
    case QAbstractSocket::SocketAccessError:
        return 10013;
    case QAbstractSocket::SocketResourceError:
        return 10055;
    case QAbstractSocket::SocketTimeoutError:
        return 10060;
    case QAbstractSocket::NetworkError:
        return 10051;
    case QAbstractSocket::UnsupportedSocketOperationError:
        return 10047;
    default:
        return 10000 + qtSocketError;
    }
}

FarmExchange::FarmExchange(LogSink &log, QObject *parent) : QObject(parent), log_(log) {
    socket_ = new QTcpSocket(this);
    // Let a fast peer wait in the kernel's buffer rather than in ours.
    socket_->setReadBufferSize(ReadBufferBytes);
    maximumTimer_.setSingleShot(true);
    maximumTimer_.setTimerType(Qt::PreciseTimer);
    minimumTimer_.setSingleShot(true);
    // A coarse timer may fire 5 % early; the minimum is a promise to the Farm.
    minimumTimer_.setTimerType(Qt::PreciseTimer);
    connect(&maximumTimer_, &QTimer::timeout, this, &FarmExchange::Finish);
    connect(&minimumTimer_, &QTimer::timeout, this, &FarmExchange::Finish);
    connect(socket_, &QTcpSocket::connected, this, &FarmExchange::OnConnected);
    connect(socket_, &QTcpSocket::readyRead, this, &FarmExchange::OnReadyRead);
    connect(socket_, &QTcpSocket::disconnected, this, &FarmExchange::OnDisconnected);
    connect(socket_, &QTcpSocket::errorOccurred, this, &FarmExchange::OnError);
}

FarmExchange::~FarmExchange() {
    state_ = State::Idle;
    socket_->abort();
}

bool FarmExchange::Start(const QString &host, quint16 port, std::string_view tag, const std::string &userName,
                         const std::string &recordPath) {
    if (state_ != State::Idle) return false;
    log_.LogInfo("Connect to " + host.toStdString() + ":" + std::to_string(port) +
                 " for the load balancing list");
    host_ = host;
    port_ = port;
    tag_ = std::string(tag);
    userName_ = userName;
    recordPath_ = recordPath;
    complete_ = false;
    lines_.clear();
    splitter_ = {};
    receivedBytes_ = 0;
    receivedLines_ = 0;
    state_ = State::Connecting;
    started_.start();
    maximumTimer_.start(limits_.maximumMs);
    emit runningChanged(true);
    socket_->connectToHost(host, port);
    return true;
}

void FarmExchange::Abort() {
    if (state_ != State::Idle) Finish();
}

void FarmExchange::OnConnected() {
    if (state_ != State::Connecting) return;
    log_.LogInfo("Load Balancing: connect to: " + socket_->peerAddress().toString().toStdString() + ":" +
                 std::to_string(socket_->peerPort()));
    state_ = State::Receiving;
    OpenRecord();
    SendCommand();
}

void FarmExchange::OpenRecord() {
    record_.reset();
    if (recordPath_.empty()) {
        log_.LogWarning("Can not update v001c003 file: no server list file for this connection");
        return;
    }
    // Never through a link, never over another user's file.
    auto record = std::make_unique<detail::ReplacingFile>(recordPath_);
    if (record->Open()) {
        record_ = std::move(record);
        log_.LogInfo("Update v001c003 file: " + recordPath_);
    } else {
        log_.LogWarning("Can not update v001c003 file: " + recordPath_);
        log_.LogWarning(SystemErrorText(record->Error()));
    }
}

void FarmExchange::DiscardRecord() {
    if (record_) record_->Cancel();
    record_.reset();
}

void FarmExchange::SendCommand() {
    if (userName_.empty()) {
        userName_ = LogonUserName();
        emit logonNameUsed(QString::fromStdString(userName_));
    }
    const std::string safeName = CommandSafeUserName(userName_);
    if (safeName != userName_)
        log_.LogWarning(
            "Load Balancing: the user name holds control characters; they are left out of the command");
    const std::string command = tag_ + safeName + "\r\n";
    log_.LogInfo("Load Balancing: send command: " + Trimmed(command));
    socket_->write(command.data(), static_cast<qint64>(command.size()));
}

void FarmExchange::OnReadyRead() {
    if (state_ != State::Receiving) {
        socket_->readAll();
        return;
    }
    try {
        const QByteArray chunk = socket_->readAll();
        receivedBytes_ += static_cast<std::size_t>(chunk.size());
        if (receivedBytes_ > limits_.maximumBytes) return RefuseOversizedReply();
        std::vector<std::string> lines = splitter_.Feed(std::string_view(chunk.constData(), chunk.size()));
        receivedLines_ += lines.size();
        if (receivedLines_ > limits_.maximumLines) return RefuseOversizedReply();
        TakeLines(std::move(lines));
        // A Farm that ends its marker line without a line end and waits for us to
        // close must not make us wait for the time limit. Only the part of the
        // unfinished line this chunk added (and two characters before it) is new.
        const std::string &pending = splitter_.Pending();
        const std::size_t fresh = std::min(pending.size(), static_cast<std::size_t>(chunk.size()) + 2);
        if (state_ == State::Receiving &&
            IsEndMarker(std::string_view(pending).substr(pending.size() - fresh))) {
            auto tail = splitter_.Finish();
            TakeLines({std::move(*tail)});
        }
    } catch (const std::exception &) {
        log_.LogError("Excp TCP read");
    }
}

void FarmExchange::TakeLines(std::vector<std::string> lines) {
    if (lines.empty()) return;
    if (record_) {
        const std::string text = ChunkFileText(lines);
        if (!record_->Write(text)) {
            log_.LogWarning("Can not update v001c003 file: " + recordPath_);
            log_.LogWarning(SystemErrorText(record_->Error()));
            DiscardRecord();
        }
    }
    for (const auto &line : lines) {
        if (state_ != State::Receiving) break;
        lines_.push_back(detail::TextAsUtf8(line));
        if (IsEndMarker(line)) TakeEndMarker();
    }
    LogChunk(lines);
}

void FarmExchange::TakeEndMarker() {
    complete_ = true;
    state_ = State::Ended;
    socket_->abort();
    if (record_) {
        if (!record_->Commit()) {
            log_.LogWarning("Can not update v001c003 file: " + recordPath_);
            log_.LogWarning(SystemErrorText(record_->Error()));
        }
        record_.reset();
    }
    EndExchange();
}

void FarmExchange::LogChunk(const std::vector<std::string> &lines) {
    std::string text;
    const std::size_t shown = std::min(lines.size(), LoggedLinesPerChunk);
    for (std::size_t i = 0; i < shown; ++i)
        text += Printable(lines[i]) + "\n";
    if (lines.size() > shown) text += "... " + std::to_string(lines.size() - shown) + " more lines\n";
    log_.LogInfo(text);
}

void FarmExchange::RefuseOversizedReply() {
    log_.LogWarning("Load Balancing: the reply exceeds " + std::to_string(limits_.maximumBytes) +
                    " bytes or " + std::to_string(limits_.maximumLines) + " lines; it is not taken");
    state_ = State::Ended;
    socket_->abort();
    DiscardRecord();
    EndExchange();
}

void FarmExchange::OnDisconnected() {
    if (state_ != State::Receiving && state_ != State::Connecting) return;
    // The peer's close ends the last line even without a line end.
    if (state_ == State::Receiving) {
        if (auto tail = splitter_.Finish()) {
            if (++receivedLines_ <= limits_.maximumLines) TakeLines({std::move(*tail)});
        }
    }
    if (state_ == State::Ended) return; // the tail was the end marker
    log_.LogInfo("Load Balancing: disconnected");
    state_ = State::Ended;
    DiscardRecord();
    EndExchange();
}

void FarmExchange::OnError() {
    const auto error = socket_->error();
    if (state_ == State::Idle || state_ == State::Ended) return;
    if (error == QAbstractSocket::RemoteHostClosedError) return; // reported by disconnected()
    log_.LogError("Load Balancing: TCP error: " + std::to_string(SocketErrorNumber(error)) + " (" +
                  socket_->errorString().toStdString() + ")");
    state_ = State::Ended;
    emit socketFailed();
    socket_->abort();
    DiscardRecord();
    EndExchange();
}

void FarmExchange::EndExchange() {
    const qint64 elapsed = started_.elapsed();
    if (elapsed >= limits_.minimumMs)
        minimumTimer_.start(0); // finish from the event loop, never inside a socket signal
    else
        minimumTimer_.start(static_cast<int>(limits_.minimumMs - elapsed));
}

void FarmExchange::Finish() {
    if (state_ == State::Idle) return;
    state_ = State::Idle;
    maximumTimer_.stop();
    minimumTimer_.stop();
    socket_->abort();
    DiscardRecord();
    splitter_ = {};
    if (complete_)
        log_.LogInfo("Server " + host_.toStdString() + ":" + std::to_string(port_) + " did supply a list.");
    emit runningChanged(false);
    emit finished(complete_);
}

} // namespace tsc::farm
