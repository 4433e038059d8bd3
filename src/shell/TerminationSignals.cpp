#include "TerminationSignals.h"

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tsc::shell {

namespace {

constexpr std::array CaughtSignals{SIGTERM, SIGHUP};
int signalPipe[2] = {-1, -1};

// Runs in the signal's context: only async-signal-safe calls. A full pipe drops the
// number; one request pending is enough.
extern "C" void WriteSignalNumber(int signalNumber) {
    const int savedErrno = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool InstallHandlers() {
    if (signalPipe[0] >= 0) return true;
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    struct sigaction action {};
    action.sa_handler = WriteSignalNumber;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : CaughtSignals)
        ::sigaction(signalNumber, &action, nullptr);
    return true;
}

} // namespace

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent) {
    if (!InstallHandlers()) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::ReadSignals);
}

TerminationSignals::~TerminationSignals() {
    if (notifier_) notifier_->setEnabled(false);
}

void TerminationSignals::ReadSignals() {
    unsigned char numbers[16];
    for (;;) {
        const ssize_t count = ::read(signalPipe[0], numbers, sizeof numbers);
        if (count <= 0) break;
        for (ssize_t index = 0; index < count; ++index)
            emit terminationRequested(numbers[index]);
    }
}

const char *TerminationSignals::Name(int signalNumber) {
    switch (signalNumber) {
    case SIGTERM:
        return "SIGTERM";
    case SIGHUP:
        return "SIGHUP";
    default:
        return "signal";
    }
}

} // namespace tsc::shell
