#pragma once

// The application core: the client apart from its window. It owns the log and its
// display feed, the connection profile with its environment and password
// protection, the stored preferences, the session windows, and the procedures whose
// order of steps is fixed: start-up, connect, the end of a session and shutdown.
//
// It exposes state and signals and never touches the main window's controls: the
// main window (MainWindow.h) shows what the core reports and turns the user's clicks
// into the requests below. Everything runs on the user-interface thread.

#include "ClientServices.h"
#include "ConnectPlan.h"
#include "ConnectionFolder.h"
#include "OpenedProfileSafety.h"
#include "ProcessState.h"
#include "ProfileSettings.h"
#include "RdpClientDetection.h"
#include "ServerListController.h"
#include "SessionHost.h"
#include "UpdateCheck.h"
#include "WindowLog.h"

#include <QObject>
#include <QPointer>
#include <QRect>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QThread;
class QTimer;

namespace tsc::profiles {
struct ProfileEnvironment;
class ProtectionService;
} // namespace tsc::profiles

namespace tsc {
class SessionWindow;
class SupportArchiveWorker;
struct SupportArchiveResult;
} // namespace tsc

namespace tsc::shell {

class UserDialogs;

// The monitor the main window is on, for the placement of a session window.
struct MonitorAreas {
    QRect full;
    QRect work;
};

class ClientCore : public QObject, public SessionHost {
    Q_OBJECT
  public:
    // `dialogs` answers the message boxes the procedures show; it outlives the core.
    ClientCore(ClientServices services, UserDialogs &dialogs, QObject *parent = nullptr);
    ~ClientCore() override;

    // --- procedures -------------------------------------------------------------
    // The start-up after the window is built: log, start lines, self-update decision,
    // then the hand-over or the normal start. The view's steps in between are signals.
    void Start();
    // "Connect": the connect procedure, with the monitor the main window is on.
    void bn_ConnectClick(const MonitorAreas &monitor);
    // "Close": closes the Farm connection and asks the view to close.
    void bn_CloseClick();
    // A termination signal (SIGTERM, SIGHUP) closes the program the way "Close" does.
    void CloseOnSignal(const std::string &signalName);
    // "ZIP" on the Support page: the registry dump into the log, then the support
    // archive on a thread of its own (supportArchiveBusyChanged brackets it).
    void bn_ZipClick();
    // Stops the walk of a running support archive; its finish follows.
    void CancelSupportArchive();
    [[nodiscard]] bool SupportArchiveRunning() const;
    // Shutdown after the message loop; runs its steps once, later calls only stop
    // what is left. The view calls it while its controls still exist.
    void FormDestroy();
    // The close request reached the main window: the closing flag.
    void FormClose();
    // Ends the client within six seconds whatever still runs.
    void StartAutoClose();
    void Timer_AutoCloseTimer();
    // An exception escaped an event handler.
    void ApplicationEvents1Exception(const std::string &message);

    // The settings of the current connection, as the view shows them. The view hands
    // over every change; the core announces its own changes with settingsChanged.
    [[nodiscard]] const profiles::ProfileSettings &Settings() const { return settings_; }
    void SetSettings(const profiles::ProfileSettings &settings) { settings_ = settings; }
    // InitSettings: the defaults of every setting and the logon user name.
    void InitSettings();
    // Reads a profile into the settings (settingsChanged follows), writes them.
    void ReadProfile(const std::string &path);
    std::string WriteProfile(const std::string &path, const std::string &tag);
    // The installed printers as InitSettings found them (empty after a failure).
    [[nodiscard]] const PrinterList &Printers() const { return printers_; }
    // The user name was edited: the server list is asked again at the next tick.
    void UserNameEdited(const std::string &userName);
    // "Do Load Balancing" clicked: the refresh timer and a waiting exchange follow it.
    void LoadBalancingClicked(bool on);
    // "Ask user for Load Balancing hostname" clicked.
    void AskForFarmClicked(bool on);

    // Connection usage: single (one profile in the data folder) or multiple
    // (a folder of profiles, one of them current).
    [[nodiscard]] bool MultipleConnections() const { return multipleConnections_; }
    [[nodiscard]] const std::string &ConnectionFolder() const { return connectionFolder_; }
    [[nodiscard]] const std::string &CurrentConnection() const { return currentConnection_; }

    // --- connection folder (ClientCoreConnections.cpp) ---------------------------
    // The folder's connections in the order the folder lists them (the list on the
    // Connections page) and sorted (the drop-down on the connection page).
    [[nodiscard]] const std::vector<profiles::Connection> &ListedConnections() const {
        return listedConnections_;
    }
    [[nodiscard]] const std::vector<profiles::Connection> &SortedConnections() const {
        return sortedConnections_;
    }
    // The drop-down index of the connection whose settings are on screen, -1 for none.
    [[nodiscard]] int PreviousConnectionIndex() const { return previousConnectionIndex_; }
    // The row of the list to select after the lists were filled, -1 for none.
    [[nodiscard]] int ListSelection() const { return listSelection_; }
    // The view reports the folder field's text and the list's selected row.
    void SetConnectionFolderText(const std::string &folder) { connectionFolder_ = folder; }
    void SetListSelection(int row);
    void SetConnectionUsage(bool multiple);
    void FillConnectionLists(const std::string &nameToSelect);
    void CreateFirstConnection();
    void rb_SingleConnectionUsageClick();
    void rb_MultipleConnectionUsageClick();
    void bn_FolderMultipleConnectionsRDPFilesClick();
    void cmbx_FolderMultipleConnectionsRDPFilesChange(int index);
    // The rename panel's OK: renames the list's connection `row` to the typed name.
    void bn_OKRenameRDPConnectionClick(int row, const std::string &typedName);
    void bn_MultipleConnectionsRDPFiles_DeleteClick(int row);
    void bn_MultipleConnectionsRDPFiles_DuplicateClick(int row);

    // Widths of StringGrid_Servers' columns as the view has them now.
    void SetColumnWidths(std::vector<int> widths) { columnWidths_ = std::move(widths); }

    // --- state ------------------------------------------------------------------
    [[nodiscard]] bool HasActiveLog() const;
    [[nodiscard]] const std::string &RdpClientVersion() const { return rdpClientVersion_; }
    [[nodiscard]] bool RdpControlUsable() const { return rdpControlUsable_; }
    [[nodiscard]] bool Connecting() const { return connecting_; }
    [[nodiscard]] bool LoadBalancingEnabled() const { return settings_.doLoadBalancing; }
    // The load balancing: server list, refresh timer, busy pictures, first-time prompt.
    [[nodiscard]] farm::ServerListController &Farm() { return *farm_; }
    [[nodiscard]] const farm::ServerListController &Farm() const { return *farm_; }
    // The connect procedure waits for the Farm's list (Close ends the wait).
    [[nodiscard]] bool WaitingForFarm() const { return waitingForFarm_; }
    [[nodiscard]] SessionWindow *SessionWindowOf(RdpControlVariant variant) const;
    [[nodiscard]] QTimer *AutoCloseTimer() const { return Timer_AutoClose; }
    [[nodiscard]] QTimer *UpdateLoggingTimer() const { return Timer_GetMeAnUpdateLogging; }
    // The title the window carries now.
    [[nodiscard]] const std::string &Title() const { return title_; }
    // The log file without the Logging page (for lines only the file may hold).
    [[nodiscard]] LogSink &FileOnlyLog() { return *passwordLog_; }
    // Writes what the platform layer has to report (damaged registry or INI files).
    void LogPlatformDiagnostics();

    // --- SessionHost: what a session window asks of the application --------------
    void LogInfo(std::string_view message) override;
    void LogWarning(std::string_view message) override;
    void LogError(std::string_view message) override;
    [[nodiscard]] bool DoSeamless() const override { return settings_.doSeamless; }
    [[nodiscard]] bool AutoConnected() const override { return settings_.autoConnect; }
    [[nodiscard]] bool ShuttingDown() const override { return destroyed_; }
    void SetTitles(const std::string &text) override;
    void ResetTitles() override;
    void SaveCurrentProfile(const std::string &tag) override;
    void StartUpdateCheck(const std::string &host) override;
    // The host the update check asks after "connected": the Farm's chosen server with
    // load balancing, else the typed host (a port dropped).
    [[nodiscard]] std::string UpdateCheckHost() const;
    void CloseAfterAutoConnect() override;
    void ShowMainWindow() override;
    void CloseMainWindow() override;

  signals:
    // A line was logged; the Logging page shows it.
    void displayLine(const QString &line);
    // The settings changed from within (defaults, a profile read): show them.
    void settingsChanged();
    // A profile was written: the load-balancing controls follow the settings.
    void profileWritten();
    // The connection usage was read at start-up.
    void connectionUsageRead();
    // The RDP engine detection finished; `showStatusPage`: show and activate the
    // status page.
    void rdpClientDetected(bool showStatusPage);
    // Stored column widths: one entry per column, empty where none is to be applied.
    void storedColumnWidthsRead(const std::vector<std::optional<int>> &widths);
    // Start-up asks for an automatic connect: a posted click on "Connect", so the
    // connect procedure starts once the message loop runs.
    void connectClickPosted();
    // Start-up has reached the page layout step.
    void pageLayoutRequested();
    // The window title and the options caption.
    void titlesChanged(const QString &title, const QString &optionsCaption);
    // The connect procedure began or ended; Connect is unavailable meanwhile.
    void connectingChanged(bool connecting);
    // Load balancing's refresh timer started or stopped ("List" follows it).
    void loadBalancingActiveChanged(bool active);
    void hideMainWindowRequested();
    void showMainWindowRequested();
    void closeMainWindowRequested();
    // The connection usage was set: option buttons, enabled controls, drop-down panel.
    void connectionUsageChanged(bool multiple);
    // The connection folder to show in its field.
    void connectionFolderChanged(const QString &folder);
    // Both connection lists were rebuilt, or the current connection changed: show
    // ListedConnections, SortedConnections, ListSelection and PreviousConnectionIndex.
    void connectionListsChanged();
    void currentConnectionChanged(int index);
    // The support archive started (true) or ended (false).
    void supportArchiveBusyChanged(bool busy);
    // The support archive's walk entered a folder.
    void supportArchiveFolderEntered(const QString &folder);

  private:
    // Start-up.
    void OpenLog();
    void LogStartLines();
    void LogLanguageLines();
    void LogDesktopLines();
    void LogMonitorReport();
    void RunSelfUpdateDecision();
    void StartHandover();
    void NormalStart();
    void ReportDataFolderProblem();
    void FillPrinters();
    void ReadConnectionUsagePreference();
    void MigrateServerList();
    void LoadCurrentConnection();
    void Read_V001C003_file(const std::string &path);
    void CheckRdpControl();
    void ReadAllIniValues();
    void StartServerListRefreshTimer();
    void AutoConnectIfAsked();
    // A profile from parameter 1 that comes from elsewhere: mended as it is read
    // (no hidden settings page, no saved password for a host never connected to),
    // and confirmed by the user before it connects (false: declined, the client ends).
    void ReviewOpenedProfile(const std::string &path);
    [[nodiscard]] bool ConfirmOpenedProfile();
    void RecordWrittenProfile(const std::string &path);
    void RecordConnectedHost(const std::string &host, int port);
    [[nodiscard]] std::string CurrentConnectionProfilePath() const;

    // Connection folder (ClientCoreConnections.cpp).
    void LoadLastConnection();
    void LoadFirstConnection();
    void LoadConnection(const profiles::Connection &connection);
    void SetPreviousConnectionIndex(int index);
    void WriteBackShownSettings();
    void CloseServerListFile();
    [[nodiscard]] std::string UsableConnectionFolder(const std::string &stored);
    [[nodiscard]] std::string ConnectionPath(const profiles::Connection &connection) const;
    [[nodiscard]] bool ValidConnectionIndex(int index) const;
    [[nodiscard]] bool ValidListRow(int row) const;

    // Connect procedure.
    void SetConnecting(bool connecting);
    void ConnectListReady(bool complete);
    void FinishConnect(const MonitorAreas &monitor, bool listComplete = false);
    // The settings the load balancing takes from a profile.
    void ApplyFarmSettings();
    [[nodiscard]] farm::ListFileSituation FarmListSituation() const;
    [[nodiscard]] ConnectTarget ConnectionTarget() const;
    [[nodiscard]] profiles::ProfileSettings SettingsToConnect() const;
    void SaveProfileBeforeConnect();
    void OpenSession(const ConnectTarget &target, const MonitorAreas &monitor);
    // Places the window; returns the client size planned for the remote desktop.
    QSize PlaceSessionWindow(SessionWindow &window, const Placement &placement);
    MonitorLayout PlanSessionMonitors(DisplayMode mode, int sizeIndex);
    [[nodiscard]] static QRect ToolkitArea(const QRect &devicePixels);
    static void AskForFullScreen(SessionWindow &window, const QRect &monitor);
    [[nodiscard]] QSize FitDesktopSize(SessionWindow &window, QSize size);
    [[nodiscard]] static double ScreenScale(const SessionWindow &window);
    void ConnectFailed(const std::string &message, RdpControlVariant variant);
    void FreeSessionWindow(RdpControlVariant variant);

    // Shutdown.
    void AbortUpdateTransfer();
    void WriteAllIniValues();
    void WriteBackCurrentProfile();
    void DisconnectSessionWindows();
    void FreeSessionWindows();
    void CloseFarmConnection();
    void DrainUpdateLogList();
    void StopSupportArchive();
    void SupportArchiveFinished(const SupportArchiveResult &result);

    void Timer_GetMeAnUpdateLoggingTimer();
    void Log(void (LogSink::*write)(std::string_view), std::string_view message);
    // Built on first use; the folders, command line and identity are fixed by then.
    [[nodiscard]] const profiles::ProfileEnvironment &ProfileFileEnvironment();

    ClientServices services_;
    UserDialogs &dialogs_;
    std::unique_ptr<WindowLog> log_;
    // The password lines of the profile go to the log file only, not the Logging page.
    std::unique_ptr<LogSink> passwordLog_;
    std::unique_ptr<profiles::ProtectionService> protection_;
    std::unique_ptr<profiles::ProfileEnvironment> profileEnvironment_;

    profiles::ProfileSettings settings_;
    bool multipleConnections_ = false;
    std::string connectionFolder_;
    std::string currentConnection_;
    std::string currentConnectionFile_;
    std::vector<profiles::Connection> listedConnections_;
    std::vector<profiles::Connection> sortedConnections_;
    int previousConnectionIndex_ = -1;
    int listSelection_ = -1;
    std::string selectedListName_;
    std::vector<int> columnWidths_;
    PrinterList printers_;
    std::string title_;

    std::string rdpClientVersion_;
    bool rdpControlUsable_ = false;
    bool connecting_ = false;
    bool destroyed_ = false;
    int autoCloseTicks_ = 0;
    // The review of the profile from parameter 1, when it comes from elsewhere.
    std::optional<OpenedProfileQuestion> openedProfileQuestion_;
    std::string openedProfileHash_;
    bool openedProfileDeclined_ = false;
    // The load balancing (a child of the core); the connect procedure waiting for it.
    farm::ServerListController *farm_ = nullptr;
    bool waitingForFarm_ = false;
    MonitorAreas connectMonitor_;
    // The update check after "connected"; its worker reads the closing flag.
    update::UpdateService updateService_{[] { return ProcessState::Closing(); }};

    QTimer *Timer_AutoClose = nullptr;
    QTimer *Timer_GetMeAnUpdateLogging = nullptr;
    std::array<QPointer<SessionWindow>, 3> sessionWindows_; // RDP 5.1, 6.0, 6.1/7
    // The support archive's thread and its worker, while one runs.
    QThread *supportThread_ = nullptr;
    SupportArchiveWorker *supportWorker_ = nullptr;
};

} // namespace tsc::shell
