#pragma once

// For test programs that run on Qt's xcb platform. The platform's accessibility
// bridge opens the session bus, whose connection runs on a detached thread that Qt
// stops only while statics are destroyed at exit. The leak check that runs after
// that can find the thread half way out and report its thread data as lost (152
// bytes allocated in QtCore with two lists). Checking once the application object
// is gone, while that thread still idles and its owner still holds it, reports
// every leak of ours and none of that race. The exit-time check is then skipped.

#include <QDir>

#include <chrono>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
#define TSC_TEST_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TSC_TEST_LEAK_CHECK 1
#endif
#endif

#ifdef TSC_TEST_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace tsc::test {

// Threads that the application's end stopped (the xcb event reader) may still be
// on their way out: wait until the process's thread count holds still, at most a
// second, so that none of them is caught mid-exit either.
inline void LeakCheckBeforeExit() {
#ifdef TSC_TEST_LEAK_CHECK
    using namespace std::chrono_literals;
    const auto threadCount = [] {
        return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
    };
    auto last = threadCount();
    int steady = 0;
    for (int i = 0; i < 100 && steady < 5; ++i) {
        std::this_thread::sleep_for(10ms);
        const auto now = threadCount();
        steady = now == last ? steady + 1 : 0;
        last = now;
    }
    __lsan_do_leak_check();
#endif
}

} // namespace tsc::test
