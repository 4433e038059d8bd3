#pragma once

// SIGTERM (a desktop's logout, systemd stopping the session) and SIGHUP (the
// terminal gone) as a request to close, delivered on the user-interface thread: the
// handler only writes the signal's number into a pipe, which the event loop reads.
// While an instance exists the client closes the way "Close" does; afterwards the
// signals are still caught and dropped, so a second one cannot cut shutdown short
// (Timer_AutoClose bounds it).

#include <QObject>

class QSocketNotifier;

namespace tsc::shell {

class TerminationSignals : public QObject {
    Q_OBJECT
  public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

    // The signal's name as the log shows it: "SIGTERM", "SIGHUP".
    [[nodiscard]] static const char *Name(int signalNumber);

  signals:
    void terminationRequested(int signalNumber);

  private:
    void ReadSignals();

    QSocketNotifier *notifier_ = nullptr;
};

} // namespace tsc::shell
