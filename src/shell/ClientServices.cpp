#include "ClientServices.h"

#include "LogFile.h"
#include "Logger.h"
#include "RdpEngineLibrary.h"
#include "SystemInfo.h"

#include <cups/cups.h>
#include <unistd.h>

#include <string>

namespace tsc::shell {

namespace {

// Writes straight into the log file: the lines reach the file but not the Logging page.
class LogFileOnly final : public LogSink {
  public:
    explicit LogFileOnly(const Logger &logger) : logger_(logger) {}
    void LogInfo(std::string_view message) override { Write(&LogFile::Info, message); }
    void LogWarning(std::string_view message) override { Write(&LogFile::Warning, message); }
    void LogError(std::string_view message) override { Write(&LogFile::Error, message); }

  private:
    void Write(std::string (LogFile::*write)(std::string_view), std::string_view message) {
        if (LogFile *file = logger_.File()) (void)(file->*write)(message);
    }
    const Logger &logger_;
};

// The log file behind the wrappers that split messages and feed the Logging page.
class FileWindowLog final : public WindowLog {
  public:
    FileWindowLog(std::unique_ptr<LogFile> file, DisplayLineSink display) : active_(file->Active()) {
        logger_.Open(std::move(file));
        logger_.SetDisplay(std::move(display));
    }
    bool IsActive() const override { return active_; }
    void Stop() override {
        logger_.Stop();
        active_ = false;
    }
    LogSink *FileOnly() override { return &fileOnly_; }
    void LogInfo(std::string_view message) override { logger_.LogInfo(message); }
    void LogWarning(std::string_view message) override { logger_.LogWarning(message); }
    void LogError(std::string_view message) override { logger_.LogError(message); }

  private:
    Logger logger_;
    LogFileOnly fileOnly_{logger_};
    bool active_;
};

std::unique_ptr<WindowLog> OpenLogFile(const std::string &path, std::int64_t kilobytes,
                                       DisplayLineSink display) {
    return std::make_unique<FileWindowLog>(std::make_unique<LogFile>(path, kilobytes), std::move(display));
}

} // namespace

// Asked of the printing system directly: the toolkit's printing module would load
// itself, a plug-in and their libraries for the whole run only to read these names.
PrinterList InstalledPrinters() {
    PrinterList list;
    cups_dest_t *destinations = nullptr;
    const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &destinations);
    for (int index = 0; index < count; ++index) {
        const cups_dest_t &destination = destinations[index];
        if (!destination.name) continue;
        std::string name = destination.name;
        if (destination.instance) name += std::string("/") + destination.instance;
        if (destination.is_default) list.defaultName = name;
        list.names.push_back(std::move(name));
    }
    cupsFreeDests(count, destinations);
    if (list.defaultName.empty()) list.failure = "There is no default printer currently selected";
    return list;
}

void CompleteClientServices(ClientServices &services) {
    if (!services.openLog) services.openLog = OpenLogFile;
    if (!services.printers) services.printers = InstalledPrinters;
    if (!services.terminateProcess) services.terminateProcess = [] { ::_exit(0); };
    if (!services.detectRdpClient)
        services.detectRdpClient = [](LogSink &log) {
            return RunRdpClientDetection(
                DefaultRdpClientDetectionEnvironment(IsAdministrator, SystemErrorText), log);
        };
    if (!services.createRdpControl)
        services.createRdpControl = [](QString *error) {
            return RdpEngineLibrary::Instance().CreateControl(error);
        };
}

} // namespace tsc::shell
