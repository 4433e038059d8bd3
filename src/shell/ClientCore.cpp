#include "ClientCore.h"
#include "DesktopIntegration.h"

#include "CommandLine.h"
#include "Identity.h"
#include "Language.h"
#include "NavigationBar.h"
#include "NestedEventLoop.h"
#include "PlatformDiagnostics.h"
#include "Preferences.h"
#include "ProcessState.h"
#include "ProtectionService.h"
#include "RdpProfile.h"
#include "ServerListFiles.h"
#include "SessionWindow.h"
#include "StartupLines.h"
#include "SystemInfo.h"
#include "TimeText.h"
#include "UserDialogs.h"
#include "VersionedCopies.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <utility>

namespace tsc::shell {

namespace {

constexpr int LogKilobytes = 200;
constexpr int AutoCloseTicks = 6;

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Forwards to whatever sink `target` names at the time of the call, if any.
class ForwardingLog final : public LogSink {
  public:
    explicit ForwardingLog(std::function<LogSink *()> target) : target_(std::move(target)) {}
    void LogInfo(std::string_view message) override {
        if (LogSink *sink = target_()) sink->LogInfo(message);
    }
    void LogWarning(std::string_view message) override {
        if (LogSink *sink = target_()) sink->LogWarning(message);
    }
    void LogError(std::string_view message) override {
        if (LogSink *sink = target_()) sink->LogError(message);
    }

  private:
    std::function<LogSink *()> target_;
};

} // namespace

ClientCore::ClientCore(ClientServices services, UserDialogs &dialogs, QObject *parent)
    : QObject(parent), services_(std::move(services)), dialogs_(dialogs) {
    setObjectName(QStringLiteral("ClientCore"));
    CompleteClientServices(services_);
    passwordLog_ = std::make_unique<ForwardingLog>(
        [this]() -> LogSink * { return HasActiveLog() ? log_->FileOnly() : nullptr; });
    const auto timer = [this](QTimer *&member, const char *name, int interval) {
        member = new QTimer(this);
        member->setObjectName(QString::fromLatin1(name));
        member->setInterval(interval);
    };
    timer(Timer_AutoClose, "Timer_AutoClose", 1000);
    timer(Timer_GetMeAnUpdateLogging, "Timer_GetMeAnUpdateLogging", 1000);
    connect(Timer_AutoClose, &QTimer::timeout, this, [this] { Timer_AutoCloseTimer(); });
    connect(Timer_GetMeAnUpdateLogging, &QTimer::timeout, this,
            [this] { Timer_GetMeAnUpdateLoggingTimer(); });
    Timer_GetMeAnUpdateLogging->start();
    farm_ = new farm::ServerListController(*this, this);
    farm_->setObjectName(QStringLiteral("ServerListController"));
    farm_->SetListFileSituationSource([this] { return FarmListSituation(); });
    connect(farm_, &farm::ServerListController::connectListReady, this, &ClientCore::ConnectListReady);
}

ClientCore::~ClientCore() {
    FormDestroy();
}

// ---------------------------------------------------------------------------
// Start-up

void ClientCore::Start() {
    ResetTitles();
    settings_.autoConnect = false;
    settings_.hideSettings = false;
    Timer_AutoClose->stop();
    autoCloseTicks_ = 0;
    // Saved passwords and seamless display are offered by every system this client
    // runs on, so both stay available.
    OpenLog();
    LogStartLines();
    LogLanguageLines();
    LogDesktopLines();
    LogPlatformDiagnostics();
    LogMonitorReport();
    RunSelfUpdateDecision();
    if (!ProcessState::PendingStartPath().empty()) {
        StartHandover();
        return;
    }
    NormalStart();
}

void ClientCore::OpenLog() {
    const auto display = [this](const std::string &line) { emit displayLine(Q(line)); };
    const auto open = [&](const std::string &path) {
        auto log = services_.openLog(path, LogKilobytes, display);
        if (log && log->IsActive()) return log;
        if (log) log->Stop();
        return std::unique_ptr<WindowLog>{};
    };
    // Never a shared folder: without the data folder the log goes to the session's
    // private folder, or only to the Logging page.
    if (const std::string path = ApplicationDataFile(Identity::LogFileName()); !path.empty())
        log_ = open(path);
    if (const std::string folder = PrivateTemporaryFolder(); !log_ && !folder.empty())
        log_ = open(folder + "/" + FileTimeStampText() + "_" + Identity::LogFileName());
}

void ClientCore::LogStartLines() {
    const std::string executable = ExecutablePath();
    LogInfo(ClientStartedLine(executable, FileVersionText(executable)));
    LogInfo("OS Version: " + VersionPairText(OSVersion()));
    LogInfo("Real OS Version: " + VersionPairText(RealOSVersion()));
    LogInfo(IsWin64() ? "Running on Win64" : "Running on Win32");
}

// Where the language table came from and what was refused; the table is loaded
// before the log exists.
void ClientCore::LogLanguageLines() {
    for (const std::string &line : TakeLanguageLogLines())
        LogInfo(line);
}

// How the client fits into the desktop session, decided before the log exists.
void ClientCore::LogDesktopLines() {
    for (const DesktopLogLine &line : TakeDesktopLogLines()) {
        if (line.warning)
            LogWarning(line.text);
        else
            LogInfo(line.text);
    }
}

void ClientCore::LogMonitorReport() {
    std::vector<MonitorRect> monitors;
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect area = screen->geometry();
        monitors.push_back({area.left(), area.top(), area.width(), area.height()});
    }
    for (const std::string &line : MonitorReport(monitors))
        LogInfo(line);
}

void ClientCore::RunSelfUpdateDecision() {
    // Running as a versioned copy: copy into the installed client. Else a verified
    // newer copy becomes the pending start, which main() starts after the event loop.
    const update::StartupDecision decision =
        update::RunStartupUpdateDecision(*this, HasActiveLog() ? log_->FileOnly() : nullptr);
    if (decision.outcome == update::StartupOutcome::HandOver)
        ProcessState::SetPendingStart(decision.pendingStartPath, decision.pendingStartVersion);
}

void ClientCore::StartHandover() {
    QMetaObject::invokeMethod(
        this, [this] { emit closeMainWindowRequested(); }, Qt::QueuedConnection);
    StartAutoClose();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void ClientCore::NormalStart() {
    InitSettings();
    ReportDataFolderProblem();
    ReadConnectionUsagePreference();
    MigrateServerList();
    LoadCurrentConnection();
    CheckRdpControl();
    ReadAllIniValues();
    StartServerListRefreshTimer();
    emit pageLayoutRequested();
    AutoConnectIfAsked();
}

void ClientCore::InitSettings() {
    LogInfo("Begin InitSettings");
    settings_ = profiles::ProfileSettings{};
    settings_.userName = LogonUserName();
    FillPrinters();
    emit settingsChanged();
    LogInfo("End InitSettings");
}

// Said once, at start: without its folder the client goes on, but keeps nothing.
void ClientCore::ReportDataFolderProblem() {
    const std::string problem = ApplicationDataFolderProblem();
    if (problem.empty()) return;
    const std::string text =
        problem + "\nSettings, profiles and server lists are not saved until it is mended: the folder "
                  "and every folder above it must be yours, and no other user may write to them.";
    LogWarning(text);
    dialogs_.ShowMessage(title_, text, UserDialogs::Buttons::Ok, UserDialogs::Icon::Error);
}

void ClientCore::FillPrinters() {
    try {
        printers_ = services_.printers();
    } catch (const std::exception &failure) {
        printers_ = {{}, {}, failure.what()};
    }
    if (printers_.failure.empty()) return;
    LogError("Can not handle Local Printers: " + printers_.failure);
    printers_.names.clear();
    printers_.defaultName.clear();
}

void ClientCore::ReadConnectionUsagePreference() {
    const ConnectionUsage usage = ReadConnectionUsage();
    multipleConnections_ = usage.multiple;
    connectionFolder_ = usage.multiple ? usage.folder : std::string();
    LogPlatformDiagnostics();
    emit connectionUsageRead();
}

// Where an exchange records the list: the data folder, or beside the selected
// connection's profile, or the file the command line names. Asked at the moment it
// is needed, so it follows every change of the usage, the folder and the connection.
farm::ListFileSituation ClientCore::FarmListSituation() const {
    return {multipleConnections_,
            multipleConnections_ && !currentConnectionFile_.empty() ? CurrentConnectionProfilePath()
                                                                    : std::string(),
            CommandLine::Parameters()};
}

// Converts an older "_farm_v001c001.txt" list when no "_farm_v001c003.txt" list
// exists yet, shows it and deletes the older file.
void ClientCore::MigrateServerList() {
    farm_->MigrateOlderFormat(settings_.doLoadBalancing);
}

void ClientCore::LoadCurrentConnection() {
    if (!multipleConnections_) {
        currentConnection_.clear();
        ReadProfile(ApplicationDataFile(Identity::SingleConnectionProfileName()));
        Read_V001C003_file("");
        return;
    }
    LoadLastConnection();
}

std::string ClientCore::CurrentConnectionProfilePath() const {
    return WithTrailingSeparator(connectionFolder_) + currentConnectionFile_;
}

// The recorded server list; an empty path is the data folder's file.
void ClientCore::Read_V001C003_file(const std::string &path) {
    farm_->ReadServerListFile(path.empty() ? std::nullopt : std::optional<std::string>(path),
                              settings_.doLoadBalancing);
}

void ClientCore::CheckRdpControl() {
    const RdpClientDetectionResult detection = services_.detectRdpClient(*this);
    rdpClientVersion_ = detection.rdpClientVersion;
    rdpControlUsable_ = detection.rdpControlUsable;
    emit rdpClientDetected(detection.showStatusPage);
}

void ClientCore::ReadAllIniValues() {
    const int columns = static_cast<int>(columnWidths_.size());
    emit storedColumnWidthsRead(ReadColumnWidths(IniFilePath(), columns, *this));
    LogPlatformDiagnostics();
}

void ClientCore::StartServerListRefreshTimer() {
    farm_->StartRefreshTimer();
    emit loadBalancingActiveChanged(settings_.doLoadBalancing);
}

void ClientCore::AutoConnectIfAsked() {
    if (!settings_.autoConnect) return;
    if (!ConfirmOpenedProfile()) return;
    if (connecting_) {
        LogWarning("Can not auto connect; check RDP-settings");
        return;
    }
    LogInfo("Auto connect...");
    emit connectClickPosted();
}

// ---------------------------------------------------------------------------
// Titles

void ClientCore::ResetTitles() {
    const std::string title = Identity::AppTitle() + " Client";
    title_ = title;
    QCoreApplication::setApplicationName(Q(title));
    emit titlesChanged(Q(title), Q(Identity::AppTitle() + " options"));
    if (NavigationBar *bar = NavigationBar::Current()) bar->ExpandWithCaption(Q(title));
}

void ClientCore::SetTitles(const std::string &text) {
    title_ = text;
    QCoreApplication::setApplicationName(Q(text));
    emit titlesChanged(Q(text), Q(text));
    if (NavigationBar *bar = NavigationBar::Current()) bar->ExpandWithCaption(Q(text));
}

// ---------------------------------------------------------------------------
// Connection profile

void ClientCore::ReadProfile(const std::string &path) {
    const profiles::ReadProfileResult result =
        profiles::ReadProfile(path, settings_, ProfileFileEnvironment(), *this);
    if (result.read) ReviewOpenedProfile(result.path);
    emit settingsChanged();
    ApplyFarmSettings();
    if (!result.userMessage.empty())
        dialogs_.ShowMessage(title_, result.userMessage, UserDialogs::Buttons::Ok);
}

std::string ClientCore::WriteProfile(const std::string &path, const std::string &tag) {
    // The full address and the RDP+ port of a load-balanced connection are the Farm's
    // preferred server.
    settings_.selectedServerHost = farm_->SelectedServerHost();
    settings_.selectedServerPort = farm_->SelectedServerPort();
    settings_.farmServerDomain = farm_->DomainLabel().toStdString();
    if (!farm_->RdpPlusPort().empty()) settings_.rdpPlusPort = farm_->RdpPlusPort();
    const profiles::WriteProfileResult result =
        profiles::WriteProfile(path, tag, settings_, ProfileFileEnvironment(), *this);
    if (result.written) RecordWrittenProfile(result.path);
    emit profileWritten();
    if (!result.userMessage.empty())
        dialogs_.ShowMessage(title_, result.userMessage, UserDialogs::Buttons::Ok);
    return result.path;
}

void ClientCore::SaveCurrentProfile(const std::string &tag) {
    if (!multipleConnections_) {
        WriteProfile(ApplicationDataFile(Identity::SingleConnectionProfileName()), tag);
        return;
    }
    if (!currentConnection_.empty()) WriteProfile(CurrentConnectionProfilePath(), tag);
}

const profiles::ProfileEnvironment &ClientCore::ProfileFileEnvironment() {
    if (!profileEnvironment_) {
        protection_ =
            std::make_unique<profiles::ProtectionService>(profiles::ProtectionService::DefaultKeyFile());
        auto environment = std::make_unique<profiles::ProfileEnvironment>();
        environment->appPrefix = Identity::AppPrefix();
        environment->applicationDataFolder = ApplicationDataFolder();
        environment->localSettingsFolder = LocalSettingsFolder();
        environment->tempFolder = PrivateTemporaryFolder();
        environment->parameters = CommandLine::Parameters();
        environment->expandText = [](std::string_view text) { return ExpandFileName(text); };
        environment->protection = protection_.get();
        environment->passwordLog = passwordLog_.get();
        profileEnvironment_ = std::move(environment);
    }
    return *profileEnvironment_;
}

void ClientCore::UserNameEdited(const std::string &userName) {
    farm_->SetUserName(userName);
}

void ClientCore::LoadBalancingClicked(bool on) {
    settings_.doLoadBalancing = on;
    farm_->SetLoadBalancing(on);
    emit loadBalancingActiveChanged(on);
}

void ClientCore::AskForFarmClicked(bool on) {
    settings_.doAskLoadBalancingHostname = on;
    farm_->SetAskForFarm(on);
}

void ClientCore::ApplyFarmSettings() {
    farm_->SetUserName(settings_.userName);
    farm_->SetLoadBalancing(settings_.doLoadBalancing);
    farm_->SetAskForFarm(settings_.doAskLoadBalancingHostname);
}

// ---------------------------------------------------------------------------
// The connect procedure

void ClientCore::SetConnecting(bool connecting) {
    connecting_ = connecting;
    emit connectingChanged(connecting);
}

void ClientCore::bn_ConnectClick(const MonitorAreas &monitor) {
    if (connecting_) return;
    if (!ConfirmOpenedProfile()) return; // a chosen profile others can change
    LogInfo("Begin Connect");
    SetConnecting(true);
    if (!settings_.doLoadBalancing) {
        LogInfo("Do not DoLoadBalancing");
        FinishConnect(monitor);
        return;
    }
    LogInfo("DoLoadBalancing");
    // The Farm's list first: the controller waits for a running refresh, runs one,
    // and answers connectListReady. Close is unavailable meanwhile.
    connectMonitor_ = monitor;
    waitingForFarm_ = true;
    farm_->PrepareConnect();
}

void ClientCore::ConnectListReady(bool complete) {
    if (!waitingForFarm_) return;
    waitingForFarm_ = false;
    // Close stays usable while the Farm is asked; a click on it ends the wait.
    if (destroyed_ || Timer_AutoClose->isActive() || ProcessState::Closing() || farm_->ShutDown()) {
        QMetaObject::invokeMethod(
            this, [this] { emit closeMainWindowRequested(); }, Qt::QueuedConnection);
        SetConnecting(false);
        return;
    }
    FinishConnect(connectMonitor_, complete);
}

void ClientCore::FinishConnect(const MonitorAreas &monitor, bool listComplete) {
    LogInfo("Do not RDP+");
    const ConnectTarget target = ConnectionTarget();
    if (target.host.empty()) {
        LogWarning("Cannot connect: no hostname to connect to...");
        dialogs_.ShowMessage(title_, "A problem occured: I do not have a hostname to connect to...",
                             UserDialogs::Buttons::Ok, UserDialogs::Icon::Question);
    } else if (!Timer_AutoClose->isActive() && (!settings_.doLoadBalancing || listComplete)) {
        SaveProfileBeforeConnect();
        emit hideMainWindowRequested();
        OpenSession(target, monitor);
    }
    SetConnecting(false);
    LogInfo("End Connect");
}

ConnectTarget ClientCore::ConnectionTarget() const {
    if (settings_.doLoadBalancing)
        return TargetFromSelectedServer(farm_->SelectedServerHost(), farm_->SelectedServerPort());
    return TargetFromHostField(settings_.host);
}

// With load balancing the domain is the Farm's: the domain field is hidden then, and
// what was typed into it before does not go to the server.
profiles::ProfileSettings ClientCore::SettingsToConnect() const {
    profiles::ProfileSettings settings = settings_;
    settings.farmServerDomain = farm_->DomainLabel().toStdString();
    settings.domain = profiles::DomainInUse(settings);
    return settings;
}

void ClientCore::SaveProfileBeforeConnect() {
    if (!multipleConnections_)
        WriteProfile(ApplicationDataFile(Identity::SingleConnectionProfileName()), "3");
    else if (!currentConnection_.empty())
        WriteProfile(CurrentConnectionProfilePath(), "4");
}

// ---------------------------------------------------------------------------
// What the session windows ask for

void ClientCore::StartUpdateCheck(const std::string &) {
    // The check asks the host the user connected to, not the session's own server
    // name: the Farm's chosen server with load balancing, else the typed host.
    updateService_.StartUpdateCheck(*this, UpdateCheckHost());
}

std::string ClientCore::UpdateCheckHost() const {
    return update::UpdateHostOf(settings_.doLoadBalancing, settings_.selectedServerHost, settings_.host);
}

void ClientCore::CloseAfterAutoConnect() {
    for (int request = 0; request < 2; ++request)
        QMetaObject::invokeMethod(
            this, [this] { emit closeMainWindowRequested(); }, Qt::QueuedConnection);
    StartAutoClose();
}

void ClientCore::ShowMainWindow() {
    emit showMainWindowRequested();
}

void ClientCore::CloseMainWindow() {
    emit closeMainWindowRequested();
}

void ClientCore::bn_CloseClick() {
    CloseFarmConnection();
    emit closeMainWindowRequested();
}

void ClientCore::CloseOnSignal(const std::string &signalName) {
    LogInfo("Close requested by " + signalName);
    bn_CloseClick();
}

void ClientCore::Timer_GetMeAnUpdateLoggingTimer() {
    updateService_.DrainUpdateLogList(*this, HasActiveLog());
}

void ClientCore::ApplicationEvents1Exception(const std::string &message) {
    LogError(message);
    emit showMainWindowRequested();
}

// ---------------------------------------------------------------------------
// Shutdown

void ClientCore::FormClose() {
    ProcessState::SetClosing();
    farm_->Shutdown();
}

void ClientCore::FormDestroy() {
    if (!destroyed_) {
        ProcessState::SetShuttingDown();
        destroyed_ = true;
        AbortUpdateTransfer();
        StopSupportArchive();
        if (ProcessState::PendingStartPath().empty()) {
            WriteAllIniValues();
            WriteBackCurrentProfile();
        }
        DisconnectSessionWindows();
        FreeSessionWindows();
        StartAutoClose();
    }
    CloseFarmConnection();
    DrainUpdateLogList();
    if (log_) {
        log_->Stop();
        log_.reset();
    }
}

void ClientCore::AbortUpdateTransfer() {
    updateService_.AbortUpdateTransfer();
}

void ClientCore::WriteAllIniValues() {
    const bool saved = WriteColumnWidths(IniFilePath(), columnWidths_, *this);
    LogPlatformDiagnostics();
    // Without a data folder the user was told at start.
    if (!saved && !IniFilePath().empty())
        dialogs_.ShowMessage(title_,
                             "The column widths could not be saved in " + IniFilePath() +
                                 ": see the log for why (a full disk, or a folder without write right).",
                             UserDialogs::Buttons::Ok, UserDialogs::Icon::Error);
}

void ClientCore::WriteBackCurrentProfile() {
    // A declined file from elsewhere stays as it came, and unrecorded.
    if (openedProfileDeclined_) return;
    if (!multipleConnections_)
        WriteProfile(ApplicationDataFile(Identity::SingleConnectionProfileName()), "1");
    else if (!currentConnection_.empty())
        WriteProfile(CurrentConnectionProfilePath(), "2");
}

void ClientCore::DisconnectSessionWindows() {
    for (const RdpControlVariant variant : SessionVariants) {
        SessionWindow *window = SessionWindowOf(variant);
        if (!window || window->Control().Connected() != RdpConnectionState::Connected) continue;
        const std::string name = window->Traits().closeName;
        LogInfo("Close: disconnect " + name + " object");
        window->Control().Disconnect();
        const auto ended = [&] {
            return !SessionWindowOf(variant) ||
                   window->Control().Connected() != RdpConnectionState::Connected;
        };
        SpinEventsUntil(ended, 5000);
        if (ended())
            LogInfo("Close: " + name + " object disconnected");
        else
            LogWarning("Close: " + name + " object not disconnected");
    }
}

void ClientCore::FreeSessionWindows() {
    for (const RdpControlVariant variant : SessionVariants)
        FreeSessionWindow(variant);
}

// Ends a waiting exchange at once (an unfinished list is discarded) and stops the
// refresh timer.
void ClientCore::CloseFarmConnection() {
    farm_->Shutdown();
}

void ClientCore::DrainUpdateLogList() {
    updateService_.DrainAtShutdown(*this);
}

void ClientCore::StartAutoClose() {
    Timer_AutoClose->start();
    farm_->Shutdown();
}

void ClientCore::Timer_AutoCloseTimer() {
    emit closeMainWindowRequested();
    if (++autoCloseTicks_ < AutoCloseTicks) return;
    LogWarning("Terminate");
    FormDestroy();
    services_.terminateProcess();
}

// ---------------------------------------------------------------------------
// Logging

bool ClientCore::HasActiveLog() const {
    return log_ && log_->IsActive();
}

void ClientCore::Log(void (LogSink::*write)(std::string_view), std::string_view message) {
    if (HasActiveLog()) (log_.get()->*write)(message);
}

void ClientCore::LogInfo(std::string_view message) {
    Log(&LogSink::LogInfo, message);
}
void ClientCore::LogWarning(std::string_view message) {
    Log(&LogSink::LogWarning, message);
}
void ClientCore::LogError(std::string_view message) {
    Log(&LogSink::LogError, message);
}

void ClientCore::LogPlatformDiagnostics() {
    // Every report is a file the client set aside or could not use: worth a warning,
    // and the client goes on with defaults.
    for (const std::string &line : TakePlatformDiagnostics())
        LogWarning(line);
}

} // namespace tsc::shell
