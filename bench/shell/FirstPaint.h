#pragma once

// Reports the moment a window is first painted: CLOCK_MONOTONIC in nanoseconds on
// stdout, so a driver that noted the clock before starting the process gets the
// time from process start to first paint. Then the program idles for
// BENCH_IDLE_MS milliseconds (default 0) and quits.

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <ctime>

class FirstPaintProbe : public QObject {
  public:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && !reported_) {
            reported_ = true;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
            const char *idle = std::getenv("BENCH_IDLE_MS");
            QTimer::singleShot(idle ? std::atoi(idle) : 0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    bool reported_ = false;
};
