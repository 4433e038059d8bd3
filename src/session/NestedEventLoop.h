#pragma once

// The one way the client runs the event loop from inside a handler, for the two
// places where nothing else can deliver what they wait for:
// - start-up's engine detection retries a freshly registered engine before the main
//   loop runs, and the start-up steps after it depend on the outcome;
// - shutdown waits for the sessions' disconnect after the main loop has ended.
// Everything else that waits is a state driven by timers and signals.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace tsc {

// Handles pending events every 10 ms until `condition` holds or `milliseconds` pass.
inline void SpinEventsUntil(const std::function<bool()> &condition, int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    while (!condition() && clock.elapsed() < milliseconds) {
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
        QThread::msleep(10);
    }
}

} // namespace tsc
