#pragma once

// The HTTP/1.0 client of the update check, over libcurl: plain HTTP only, no proxy,
// no redirects followed, one connection per request. It raises its notifications on
// the thread that runs Get() and can be aborted from any other thread, which ends a
// transfer at once (also while it waits for a silent host or pauses after a packet).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace tsc {

class HttpClient {
  public:
    struct Notifications {
        std::function<void()> hostResolved;
        std::function<void()> invalidHost;
        std::function<void()> connected;
        std::function<void()> connectionFailed;
        std::function<void()> disconnected;
        std::function<void()> success;
        std::function<void()> failure;
        // Bytes received so far and the total announced (0 when not announced).
        std::function<void(std::uint64_t received, std::uint64_t total)> packetReceived;
    };

    // Receives the body in order; total is the announced length or -1. Returning
    // false ends the transfer with the text the sink left in its refusal.
    using BodySink = std::function<bool(std::string_view chunk, std::int64_t total)>;

    struct Response {
        long status = 0;    // HTTP status, 0 when none arrived
        std::string header; // the header lines as received, status line first
        std::string error;  // empty when the request completed
        bool aborted = false;
    };

    // Throws std::runtime_error when the library cannot give a client.
    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient &) = delete;
    HttpClient &operator=(const HttpClient &) = delete;

    void SetNotifications(Notifications notifications) { notifications_ = std::move(notifications); }
    // A request fails when nothing is received for this long (and when connecting takes longer).
    void SetTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // Pause after each received packet (what one pass read from the socket), which
    // throttles the transfer.
    void SetPacketPause(std::chrono::milliseconds pause) { packetPause_ = pause; }
    // Largest read from the socket; 0 for the library's default of 16 KiB.
    void SetReceiveBufferSize(long bytes) { receiveBufferSize_ = bytes; }
    // Header text beyond this is refused.
    void SetHeaderLimit(std::size_t bytes) { headerLimit_ = bytes; }

    // GETs url; the body goes to sink. Runs on the calling thread.
    [[nodiscard]] Response Get(const std::string &url, const BodySink &sink);

    // Ends the current and every later transfer at once; safe from any thread.
    void Abort();
    [[nodiscard]] bool Aborted() const { return aborted_.load(std::memory_order_acquire); }

    // The library's version text, for diagnostics.
    [[nodiscard]] static std::string LibraryVersion();

  private:
    struct Transfer; // the state of one Get(), with the library's callbacks
    void PauseAfterPacket();

    void *multi_ = nullptr;
    Notifications notifications_;
    std::chrono::milliseconds timeout_{30000};
    std::chrono::milliseconds packetPause_{0};
    long receiveBufferSize_ = 0;
    std::size_t headerLimit_ = 16384;
    std::atomic<bool> aborted_{false};
    std::mutex pauseMutex_;
    std::condition_variable pauseWake_;
};

} // namespace tsc
