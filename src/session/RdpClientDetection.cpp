#include "RdpClientDetection.h"

#include "LogSink.h"
#include "NestedEventLoop.h"
#include "RdpEngineLibrary.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>

namespace tsc {

namespace {

// The engine library's file name takes the place of the Windows control's in the
// log lines.
std::string EngineFileName() {
    return RdpEngineLibrary::LibraryName().toStdString();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

} // namespace

RdpControlVariant VariantForVersion(std::string_view version) {
    if (StartsWith(version, "5.1.") || StartsWith(version, "5.2.")) return RdpControlVariant::WXP51;
    if (StartsWith(version, "6.0.")) return RdpControlVariant::WXP60;
    // The engine on FreeRDP 2 offers what the 6.1 control offered.
    if (StartsWith(version, "6.1.") || StartsWith(version, "2.")) return RdpControlVariant::Win7_61;
    return RdpControlVariant::Unsupported;
}

std::string DetectRdpClientVersion(LogSink &log) {
    const QString path = RdpEngineLibrary::LibraryPath();
    if (!QFileInfo(path).isFile()) {
        log.LogError("Can not find: " + path.toStdString());
        return NoRdpClientVersion;
    }
    QString error;
    if (!RdpEngineLibrary::Instance().Load(&error)) {
        log.LogError("Can not load: " + path.toStdString() + ": " + error.toStdString());
        return NoRdpClientVersion;
    }
    const QString version = RdpEngineLibrary::Instance().Version();
    return version.isEmpty() ? std::string(NoRdpClientVersion) : version.toStdString();
}

bool TestRdpControl(std::string_view rdpClientVersion, LogSink &log) {
    if (VariantForVersion(rdpClientVersion) == RdpControlVariant::Unsupported) return false;
    QString error;
    if (!RdpEngineLibrary::Instance().CreateControl(&error)) {
        log.LogError("Testing " + EngineFileName() + " class: " + error.toStdString());
        return false;
    }
    log.LogInfo("Testing " + EngineFileName() + " class: OK");
    return true;
}

void RegisterMSTSCAX(LogSink &log, const std::function<std::string(int)> &systemErrorText,
                     std::string_view tool) {
    const QString program = QString::fromUtf8(tool.data(), static_cast<qsizetype>(tool.size()));
    const QString folder = QFileInfo(RdpEngineLibrary::LibraryPath()).absolutePath();
    const std::string commandLine = std::string(tool) + " " + folder.toStdString();
    log.LogInfo("RegisterMSTSCAX: " + commandLine);
    errno = 0;
    if (!QProcess::startDetached(program, {folder})) {
        int code = errno;
        if (code == 0) code = QFileInfo(program).exists() ? EACCES : ENOENT;
        log.LogError("Cannot start " + commandLine + " " + systemErrorText(code));
    }
}

std::string RdpClientStatusText(bool rdpControlUsable, std::string_view rdpClientVersion,
                                const RdpStatusTextLookup &lookupText) {
    // The texts speak of what runs the sessions here: the FreeRDP engine library.
    const RdpStatusText &status = rdpControlUsable ? RdpStatusOk
                                  : VariantForVersion(rdpClientVersion) != RdpControlVariant::Unsupported
                                      ? RdpStatusRegisterMissing
                                      : RdpStatusEngineMissing;
    return lookupText(status.identifier, status.text);
}

RdpClientDetectionEnvironment
DefaultRdpClientDetectionEnvironment(std::function<bool()> isAdministrator,
                                     std::function<std::string(int)> systemErrorText) {
    RdpClientDetectionEnvironment environment;
    environment.detectVersion = [](LogSink &log) { return DetectRdpClientVersion(log); };
    environment.testControl = [](std::string_view version, LogSink &log) {
        return TestRdpControl(version, log);
    };
    environment.registerControl = [systemErrorText = std::move(systemErrorText)](LogSink &log) {
        RegisterMSTSCAX(log, systemErrorText);
    };
    environment.isNtFamily = [] { return true; };
    environment.isAdministrator = std::move(isAdministrator);
    environment.wait = [](int milliseconds) { SpinEventsUntil([] { return false; }, milliseconds); };
    return environment;
}

RdpClientDetectionResult RunRdpClientDetection(const RdpClientDetectionEnvironment &environment,
                                               LogSink &log) {
    RdpClientDetectionResult result;
    result.rdpClientVersion = environment.detectVersion(log);
    log.LogInfo(EngineFileName() + ": [" + result.rdpClientVersion + "]");
    result.rdpControlUsable = environment.testControl(result.rdpClientVersion, log);
    const bool supported = VariantForVersion(result.rdpClientVersion) != RdpControlVariant::Unsupported;
    if (!result.rdpControlUsable && supported &&
        (!environment.isNtFamily() || environment.isAdministrator())) {
        environment.registerControl(log);
        for (int retest = 0; retest < 4 && !result.rdpControlUsable; ++retest) {
            environment.wait(1000);
            result.rdpControlUsable = environment.testControl(result.rdpClientVersion, log);
        }
    }
    result.showStatusPage = !result.rdpControlUsable || !supported;
    return result;
}

} // namespace tsc
