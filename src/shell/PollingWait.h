#pragma once

// A wait of the connect procedure for the Farm, without a nested event loop: a
// 20 ms timer looks at the condition; the wait ends once the condition holds and at
// least 500 ms have passed, after 30 s at the latest, or at once when `abandon`
// holds (the program is closing, load balancing was switched off). Then `done` runs.
// The user interface stays alive in between because nothing blocks it.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

namespace tsc::shell {

class PollingWait : public QObject {
  public:
    static constexpr int TickMilliseconds = 20;
    static constexpr int MinimumMilliseconds = 500;
    static constexpr int MaximumMilliseconds = 30000;

    explicit PollingWait(QObject *parent = nullptr);

    // Starts a wait; a wait still running is dropped without its `done`.
    void Start(std::function<bool()> condition, std::function<bool()> abandon, std::function<void()> done);
    [[nodiscard]] bool Waiting() const { return timer_.isActive(); }
    // Ends a running wait without calling its `done`.
    void Cancel();

  private:
    void Tick();

    QTimer timer_;
    QElapsedTimer elapsed_;
    std::function<bool()> condition_;
    std::function<bool()> abandon_;
    std::function<void()> done_;
};

} // namespace tsc::shell
