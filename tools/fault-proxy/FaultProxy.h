#pragma once

// A TCP proxy that misbehaves on request, for trying the client against a bad network:
// it stalls, resets, refuses for a while, accepts and drops at once, throttles, or
// swallows one direction. One thread of its own runs every connection with poll();
// the control calls may come from any thread and take effect at once.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace tsc::tools {

class FaultProxy {
  public:
    // Data from the client to the server is "up", from the server to the client "down".
    enum class Direction { None, Up, Down };

    FaultProxy(std::string listenAddress, std::string targetAddress, std::uint16_t targetPort);
    ~FaultProxy();
    FaultProxy(const FaultProxy &) = delete;
    FaultProxy &operator=(const FaultProxy &) = delete;

    // Listens on `port` (0: any free port) and starts the proxy's thread.
    [[nodiscard]] bool Start(std::uint16_t port = 0, std::string *error = nullptr);
    [[nodiscard]] std::uint16_t Port() const { return port_; }

    // Holds every byte in both directions; the connections stay open.
    void Stall(bool stalled);
    // Resets every open connection (the peers see a TCP reset).
    void Reset();
    // Resets every open connection and refuses new ones for `period`.
    void Refuse(std::chrono::milliseconds period);
    // New connections are accepted and reset at once (a server that drops everyone).
    void DropAccepted(bool drop);
    // At most this many bytes per second in each direction; 0 for no limit.
    void Throttle(std::size_t bytesPerSecond);
    // Bytes in this direction are read and thrown away.
    void Swallow(Direction direction);

    [[nodiscard]] int Accepted() const { return accepted_; } // connections accepted so far
    [[nodiscard]] int Open() const { return open_; }         // connections open now
    // When the last refusal ended (steady clock), for measurements.
    [[nodiscard]] std::chrono::steady_clock::time_point RecoveredAt() const;

  private:
    struct Pair;
    void Run();
    bool OpenListener();
    void Wake();

    std::string listenAddress_;
    std::string targetAddress_;
    std::uint16_t targetPort_;
    std::uint16_t port_ = 0;
    int listener_ = -1;
    int wake_ = -1; // an eventfd
    std::thread thread_;
    std::atomic<bool> quit_{false};

    mutable std::mutex mutex_; // guards the requests below
    bool stalled_ = false;
    bool resetRequested_ = false;
    std::chrono::steady_clock::time_point refuseUntil_{};
    bool refusing_ = false;
    std::chrono::steady_clock::time_point recoveredAt_{};
    bool dropAccepted_ = false;
    std::size_t bytesPerSecond_ = 0;
    Direction swallow_ = Direction::None;

    std::atomic<int> accepted_{0};
    std::atomic<int> open_{0};
};

} // namespace tsc::tools
