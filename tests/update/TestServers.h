#pragma once

// Web servers on port 80 of a loopback address for the update check: a real
// lighttpd, and small servers of our own for what no real server does on purpose
// (accept and never answer, reset in the middle of a body, announce a huge body).

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace update_test {

// lighttpd serving folder on address:80; .version files as text/plain. Fails the
// current test with a clear message when it cannot bind.
class Lighttpd {
  public:
    Lighttpd(std::string address, std::string folder, const std::string &extraConfiguration = {});
    ~Lighttpd();
    Lighttpd(const Lighttpd &) = delete;
    Lighttpd &operator=(const Lighttpd &) = delete;
    [[nodiscard]] bool Running() const { return running_; }

  private:
    int pid_ = -1;
    bool running_ = false;
};

class RawServer {
  public:
    enum class Behaviour {
        Silent,       // accepts and never answers
        ResetMidBody, // sends half the announced body, then resets the connection
        HugeBody,     // announces 600 MiB and sends as long as the client reads
    };
    RawServer(const std::string &address, Behaviour behaviour);
    ~RawServer();
    RawServer(const RawServer &) = delete;
    RawServer &operator=(const RawServer &) = delete;
    [[nodiscard]] bool Listening() const { return listener_ >= 0; }

  private:
    void Serve();
    int listener_ = -1;
    Behaviour behaviour_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Takes the file-access rights of the super-user away from the calling thread (and
// the threads it starts), so folder permissions hold for it as for a user.
[[nodiscard]] bool DropFileAccessOverride();

// Whether something accepts connections on address:80.
[[nodiscard]] bool Accepts(const std::string &address);

} // namespace update_test
