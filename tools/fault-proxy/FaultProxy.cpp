#include "FaultProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <utility>
#include <vector>

namespace tsc::tools {

namespace {

constexpr std::size_t BufferLimit = 256 * 1024; // held per direction before reading stops
constexpr std::size_t ReadChunk = 64 * 1024;

using Clock = std::chrono::steady_clock;

sockaddr_in Address(const std::string &host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return address;
}

// Closes with a TCP reset instead of the orderly end.
void CloseWithReset(int fd) {
    if (fd < 0) return;
    const linger immediately{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
    close(fd);
}

// A byte allowance refilled with time, shared by every connection in one direction.
struct Allowance {
    double bytes = 0;
    Clock::time_point refilled = Clock::now();
    std::size_t Available(std::size_t perSecond) {
        if (perSecond == 0) return ReadChunk;
        const auto now = Clock::now();
        bytes = std::min(bytes + std::chrono::duration<double>(now - refilled).count() * double(perSecond),
                         double(perSecond) / 10); // at most a tenth of a second's worth at once
        refilled = now;
        return std::min(static_cast<std::size_t>(bytes), ReadChunk);
    }
    void Use(std::size_t count, std::size_t perSecond) {
        if (perSecond != 0) bytes -= double(count);
    }
};

} // namespace

struct FaultProxy::Pair {
    int client = -1;
    int server = -1;
    bool serverConnected = false;
    std::string up;   // read from the client, not yet written to the server
    std::string down; // read from the server, not yet written to the client
    bool done = false;
};

FaultProxy::FaultProxy(std::string listenAddress, std::string targetAddress, std::uint16_t targetPort)
    : listenAddress_(std::move(listenAddress)), targetAddress_(std::move(targetAddress)),
      targetPort_(targetPort) {}

FaultProxy::~FaultProxy() {
    quit_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) close(listener_);
    if (wake_ >= 0) close(wake_);
}

bool FaultProxy::OpenListener() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0) return false;
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = Address(listenAddress_, port_);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(listener_, 16) != 0) {
        close(listener_);
        listener_ = -1;
        return false;
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
    port_ = ntohs(address.sin_port);
    return true;
}

bool FaultProxy::Start(std::uint16_t port, std::string *error) {
    port_ = port;
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0 || !OpenListener()) {
        if (error) *error = "cannot listen on " + listenAddress_ + ": " + std::strerror(errno);
        return false;
    }
    thread_ = std::thread(&FaultProxy::Run, this);
    return true;
}

void FaultProxy::Wake() {
    const std::uint64_t one = 1;
    if (wake_ >= 0 && write(wake_, &one, sizeof one) < 0) {
        // A full counter wakes the thread as well.
    }
}

void FaultProxy::Stall(bool stalled) {
    std::lock_guard lock(mutex_);
    stalled_ = stalled;
    Wake();
}

void FaultProxy::Reset() {
    std::lock_guard lock(mutex_);
    resetRequested_ = true;
    Wake();
}

void FaultProxy::Refuse(std::chrono::milliseconds period) {
    std::lock_guard lock(mutex_);
    resetRequested_ = true;
    refusing_ = true;
    refuseUntil_ = Clock::now() + period;
    Wake();
}

void FaultProxy::DropAccepted(bool drop) {
    std::lock_guard lock(mutex_);
    dropAccepted_ = drop;
    Wake();
}

void FaultProxy::Throttle(std::size_t bytesPerSecond) {
    std::lock_guard lock(mutex_);
    bytesPerSecond_ = bytesPerSecond;
    Wake();
}

void FaultProxy::Swallow(Direction direction) {
    std::lock_guard lock(mutex_);
    swallow_ = direction;
    Wake();
}

std::chrono::steady_clock::time_point FaultProxy::RecoveredAt() const {
    std::lock_guard lock(mutex_);
    return recoveredAt_;
}

void FaultProxy::Run() {
    std::list<Pair> pairs;
    Allowance upAllowance;
    Allowance downAllowance;
    const auto closePair = [this](Pair &pair, bool reset) {
        if (reset) {
            CloseWithReset(pair.client);
            CloseWithReset(pair.server);
        } else {
            close(pair.client);
            close(pair.server);
        }
        pair.client = pair.server = -1;
        pair.done = true;
        --open_;
    };
    while (!quit_) {
        bool stalled = false;
        bool reset = false;
        bool dropAccepted = false;
        std::size_t perSecond = 0;
        Direction swallow = Direction::None;
        bool refusing = false;
        {
            std::lock_guard lock(mutex_);
            stalled = stalled_;
            reset = std::exchange(resetRequested_, false);
            dropAccepted = dropAccepted_;
            perSecond = bytesPerSecond_;
            swallow = swallow_;
            if (refusing_ && Clock::now() >= refuseUntil_) {
                refusing_ = false;
                if (listener_ < 0 && OpenListener()) recoveredAt_ = Clock::now();
            }
            refusing = refusing_;
        }
        if (refusing && listener_ >= 0) {
            close(listener_); // connects are refused by the system now
            listener_ = -1;
        }
        if (reset)
            for (Pair &pair : pairs)
                if (!pair.done) closePair(pair, true);
        pairs.remove_if([](const Pair &pair) { return pair.done; });

        std::vector<pollfd> polled;
        polled.push_back({wake_, POLLIN, 0});
        if (listener_ >= 0) polled.push_back({listener_, POLLIN, 0});
        const std::size_t firstPair = polled.size();
        const std::size_t upAvailable = upAllowance.Available(perSecond);
        const std::size_t downAvailable = downAllowance.Available(perSecond);
        for (Pair &pair : pairs) {
            short clientEvents = 0;
            short serverEvents = 0;
            if (!pair.serverConnected) {
                serverEvents = POLLOUT;
            } else if (!stalled) {
                if (pair.up.size() < BufferLimit && upAvailable > 0) clientEvents |= POLLIN;
                if (pair.down.size() < BufferLimit && downAvailable > 0) serverEvents |= POLLIN;
                if (!pair.up.empty()) serverEvents |= POLLOUT;
                if (!pair.down.empty()) clientEvents |= POLLOUT;
            }
            polled.push_back({pair.client, clientEvents, 0});
            polled.push_back({pair.server, serverEvents, 0});
        }
        const int timeout = (perSecond != 0 || refusing) ? 10 : 200;
        if (poll(polled.data(), polled.size(), timeout) < 0 && errno != EINTR) break;
        if (polled[0].revents & POLLIN) {
            std::uint64_t count = 0;
            if (read(wake_, &count, sizeof count) < 0) {
            }
        }
        if (listener_ >= 0 && polled.size() > 1 && polled[1].fd == listener_ &&
            (polled[1].revents & POLLIN)) {
            while (true) {
                const int client = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client < 0) break;
                ++accepted_;
                if (dropAccepted) {
                    CloseWithReset(client);
                    continue;
                }
                const int server = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                sockaddr_in target = Address(targetAddress_, targetPort_);
                if (server < 0 ||
                    (connect(server, reinterpret_cast<sockaddr *>(&target), sizeof target) != 0 &&
                     errno != EINPROGRESS)) {
                    CloseWithReset(client);
                    if (server >= 0) close(server);
                    continue;
                }
                const int on = 1;
                setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                Pair pair;
                pair.client = client;
                pair.server = server;
                pairs.push_back(std::move(pair));
                ++open_;
            }
        }
        std::size_t index = firstPair;
        for (auto it = pairs.begin(); it != pairs.end() && index + 1 < polled.size(); ++it, index += 2) {
            Pair &pair = *it;
            const short clientEvents = polled[index].revents;
            const short serverEvents = polled[index + 1].revents;
            if (!pair.serverConnected) {
                if (serverEvents & (POLLOUT | POLLERR | POLLHUP)) {
                    int failure = 0;
                    socklen_t length = sizeof failure;
                    getsockopt(pair.server, SOL_SOCKET, SO_ERROR, &failure, &length);
                    if (failure != 0)
                        closePair(pair, true);
                    else
                        pair.serverConnected = true;
                }
                continue;
            }
            // Reads first, writes after: what arrives goes on in the same round.
            const auto pump = [&](int from, std::string &into, short events, Allowance &allowance,
                                  bool discard) {
                if (!(events & (POLLIN | POLLHUP | POLLERR))) return true;
                char chunk[ReadChunk];
                const std::size_t wanted = std::min(allowance.Available(perSecond), sizeof chunk);
                if (wanted == 0) return true;
                const ssize_t got = read(from, chunk, wanted);
                if (got == 0) return false;
                if (got < 0) return errno == EAGAIN || errno == EINTR;
                allowance.Use(static_cast<std::size_t>(got), perSecond);
                if (!discard) into.append(chunk, static_cast<std::size_t>(got));
                return true;
            };
            const auto flush = [](int to, std::string &from, short events) {
                if (!(events & POLLOUT) || from.empty()) return true;
                const ssize_t put = send(to, from.data(), from.size(), MSG_NOSIGNAL);
                if (put < 0) return errno == EAGAIN || errno == EINTR;
                from.erase(0, static_cast<std::size_t>(put));
                return true;
            };
            if (!pump(pair.client, pair.up, clientEvents, upAllowance, swallow == Direction::Up) ||
                !pump(pair.server, pair.down, serverEvents, downAllowance, swallow == Direction::Down) ||
                !flush(pair.server, pair.up, serverEvents) || !flush(pair.client, pair.down, clientEvents)) {
                closePair(pair, false);
            }
        }
    }
    for (Pair &pair : pairs)
        if (!pair.done) closePair(pair, false);
}

} // namespace tsc::tools
