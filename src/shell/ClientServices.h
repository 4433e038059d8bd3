#pragma once

// What the application core takes from its surroundings. Every member left empty
// gets the real implementation; tests replace single ones.

#include "RdpClientDetection.h"
#include "RdpControl.h"
#include "WindowLog.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tsc::shell {

// Installed printers in the system's order and the default printer's name; or the
// failure's message when the printer system cannot be asked.
struct PrinterList {
    std::vector<std::string> names;
    std::string defaultName;
    std::string failure; // not empty: the list could not be obtained
};
[[nodiscard]] PrinterList InstalledPrinters();

struct ClientServices {
    LogOpener openLog;
    std::function<PrinterList()> printers;
    std::function<void()> terminateProcess; // ends the process at once, exit code 0
    // The start-up detection of the RDP engine (version, usable, status page).
    std::function<RdpClientDetectionResult(LogSink &)> detectRdpClient;
    // A new RDP control for a session window, or null with `error` set.
    std::function<std::unique_ptr<RdpControl>(QString *error)> createRdpControl;
};

// The real implementation of every member left empty.
void CompleteClientServices(ClientServices &services);

} // namespace tsc::shell
