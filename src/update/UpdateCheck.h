#pragma once

// The update check: after a session has connected, a worker thread asks the session
// host (HTTP/1.0, port 80) for the published version file, and when a newer version
// is published downloads the executable and the publisher's signature into the data
// folder as a versioned copy, which the next start takes into use
// (VersionedCopies.h). A client without a publisher key, or whose installed
// executable is the package's, downloads nothing and says so in one line.
//
// The worker never touches the log. It appends its time-stamped lines to the update
// log list, which the user-interface thread drains into the log once the thread
// status says the work has ended. The list is guarded by a mutex; the status byte
// (0 idle, 1 working, 10 ended, 11 draining) decides when the drain takes it.

#include "PublisherSignature.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tsc {
class LogSink;
}

namespace tsc::update {

enum class ThreadStatus : std::uint8_t { Idle = 0, Working = 1, Ended = 10, Draining = 11 };

// The steps a check reached; 0 and 9 are written to the log.
enum class Progress : std::uint8_t {
    NoAnswer = 0,  // no usable answer
    PlainText = 1, // a header line declared plain text
    TwoLines = 2,  // the body has exactly two lines
    Differs = 3,   // the published version differs from the running one
    Requested = 4, // the executable download was requested
    Verified = 5,  // the downloaded executable passed every check
    Refused = 8,   // another version is published, but this client takes no build of it
    UpToDate = 9,  // up to date, or this version is already downloaded and intact
};

struct UpdateCheckSettings {
    std::string ownExecutable; // whose version is compared
    std::string dataFolder;    // where versioned copies live
    PublisherKey publisherKey; // without a valid one no build is taken
    // Why the installed executable is the package's (InstalledByPackageReason); no
    // build is taken then either.
    std::string installedByPackage;
    std::chrono::milliseconds timeout{30000};  // connecting, and silence while receiving
    std::chrono::milliseconds packetPause{50}; // after each received packet
    // A packet fills this buffer (0: the library's pieces of 16 KiB). With 16 KiB
    // packets the pause made a 50 MB client take three minutes and 3,000 log lines.
    long receiveBufferSize = 256 * 1024;
    [[nodiscard]] static UpdateCheckSettings Current();
};

// The host the check asks: the chosen Farm server with load balancing, else the host
// field; cut before the first ":" so a port is dropped.
[[nodiscard]] std::string UpdateHostOf(bool doLoadBalancing, std::string_view selectedServerHost,
                                       std::string_view editHost);

class UpdateService {
  public:
    // closing: the client's closing flag, read by the worker before every step.
    explicit UpdateService(std::function<bool()> closing);
    // Aborts a running check and waits for its thread.
    ~UpdateService();
    UpdateService(const UpdateService &) = delete;
    UpdateService &operator=(const UpdateService &) = delete;

    // "Ask server for update" on the user-interface thread, after a session reported
    // "connected". Logs the request; an empty host starts nothing. A check that starts
    // while another runs is refused with a warning line, so two checks never mix their
    // lines or files. Returns whether a check was started.
    bool StartUpdateCheck(LogSink &log, const std::string &host,
                          const UpdateCheckSettings &settings = UpdateCheckSettings::Current());

    // Ends a running transfer at once and waits for the worker to finish its lines.
    void AbortUpdateTransfer();

    // The 1000 ms timer's work: once the worker has ended and the log is open, logs
    // every line in order with LogInfo and clears the list. Does not re-enter itself.
    void DrainUpdateLogList(LogSink &log, bool logOpen);
    // At shutdown, after AbortUpdateTransfer: logs whatever lines remain.
    void DrainAtShutdown(LogSink &log);

    [[nodiscard]] ThreadStatus Status() const { return status_.load(std::memory_order_acquire); }
    [[nodiscard]] bool CheckRunning() const;

  private:
    friend class UpdateCheckRun;
    struct Worker;
    void Append(std::string line);
    [[nodiscard]] bool Closing() const { return closing_ && closing_(); }
    std::vector<std::string> TakeLines();

    std::function<bool()> closing_;
    std::atomic<ThreadStatus> status_{ThreadStatus::Idle};
    std::mutex linesMutex_;
    std::vector<std::string> lines_;
    std::unique_ptr<Worker> worker_;
    bool draining_ = false;
};

} // namespace tsc::update
