#include "PollingWait.h"

namespace tsc::shell {

PollingWait::PollingWait(QObject *parent) : QObject(parent) {
    timer_.setInterval(TickMilliseconds);
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
}

void PollingWait::Start(std::function<bool()> condition, std::function<bool()> abandon,
                        std::function<void()> done) {
    condition_ = std::move(condition);
    abandon_ = std::move(abandon);
    done_ = std::move(done);
    elapsed_.start();
    timer_.start();
}

void PollingWait::Cancel() {
    timer_.stop();
    done_ = {};
}

void PollingWait::Tick() {
    const qint64 passed = elapsed_.elapsed();
    const bool ended = (passed >= MaximumMilliseconds || condition_()) && passed >= MinimumMilliseconds;
    if (!ended && !abandon_()) return;
    timer_.stop();
    // `done` may start the next wait: take it out first.
    auto done = std::move(done_);
    done_ = {};
    if (done) done();
}

} // namespace tsc::shell
