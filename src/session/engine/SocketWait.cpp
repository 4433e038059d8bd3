#include "SocketWait.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

namespace tsc::engine {

namespace {

using Clock = std::chrono::steady_clock;

thread_local SocketWaitScope *currentScope = nullptr;

// True as soon as one of `descriptors` is readable; false when `deadline` passes
// first or waiting is impossible.
bool WaitReadable(const std::vector<int> &descriptors, Clock::time_point deadline) {
    std::vector<pollfd> polls;
    polls.reserve(descriptors.size());
    for (const int descriptor : descriptors)
        polls.push_back({descriptor, POLLIN, 0});
    while (true) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        const int status =
            poll(polls.data(), polls.size(), static_cast<int>(std::max<long>(0, left.count())));
        if (status > 0) return true;
        if (status == 0 || errno != EINTR) return false;
    }
}

} // namespace

SocketWaitScope::SocketWaitScope(ReadableDescriptors descriptors)
    : descriptors_(std::move(descriptors)), outer_(currentScope) {
    currentScope = this;
}

SocketWaitScope::~SocketWaitScope() {
    currentScope = outer_;
}

void SocketWaitScope::Sleep(std::chrono::milliseconds duration) {
    if (saved_ >= MaxSavedMilliseconds) {
        std::this_thread::sleep_for(duration);
        return;
    }
    const std::vector<int> descriptors = descriptors_ ? descriptors_() : std::vector<int>();
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + duration;
    if (descriptors.empty() || !WaitReadable(descriptors, deadline)) {
        std::this_thread::sleep_until(deadline); // poll may wake a little early
        return;
    }
    const auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (slept < duration) saved_ += duration - slept;
}

SocketWaitScope *SocketWaitScope::Current() {
    return currentScope;
}

} // namespace tsc::engine
