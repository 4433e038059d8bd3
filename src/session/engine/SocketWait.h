#pragma once

// FreeRDP 2 runs its connection sequence (and a server's deactivation-reactivation)
// in a loop that reads what the socket holds and then sleeps 100 ms whenever the
// server's answer has not arrived yet, so each round trip of the sequence costs up
// to 100 ms even on a fast link. FreeRDP 3 waits on the socket instead. This engine
// provides the library's sleep function (winpr's Sleep) itself (ProcessWide.cpp): on a thread inside
// a SocketWaitScope the sleep ends as soon as the session's socket has data, on any
// other thread it is the plain sleep it always was.
//
// The library counts its activation timeout in sleeps, not in time, so sleeps that
// end early would shorten it; a scope therefore stops ending sleeps early once they
// have saved MaxSavedMilliseconds, and the timeout keeps all but that much.

#include <chrono>
#include <functional>
#include <vector>

namespace tsc::engine {

// The descriptors a sleep on this thread waits for (readable), asked for at each sleep.
using ReadableDescriptors = std::function<std::vector<int>()>;

class SocketWaitScope {
  public:
    static constexpr std::chrono::milliseconds MaxSavedMilliseconds{2000};

    explicit SocketWaitScope(ReadableDescriptors descriptors);
    ~SocketWaitScope();
    SocketWaitScope(const SocketWaitScope &) = delete;
    SocketWaitScope &operator=(const SocketWaitScope &) = delete;

    // What the library's sleep does on this thread.
    void Sleep(std::chrono::milliseconds duration);
    // The innermost scope of this thread, or null.
    static SocketWaitScope *Current();

  private:
    ReadableDescriptors descriptors_;
    std::chrono::milliseconds saved_{0};
    SocketWaitScope *outer_;
};

} // namespace tsc::engine
