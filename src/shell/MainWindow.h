#pragma once

// The main window of the client: banner, eight pages, the settings controls, three
// timers, and the order in which the client starts and stops.

#include "ConnectPlan.h"
#include "LogSink.h"
#include "RdpClientDetection.h"
#include "RdpControl.h"
#include "SessionHost.h"
#include "SettingsRules.h"
#include "UserDialogs.h"
#include "WindowLog.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableWidget;
class QTextEdit;
class QTimer;

namespace tsc::profiles {
struct ProfileEnvironment;
class ProtectionService;
} // namespace tsc::profiles

namespace tsc {
class SessionWindow;
}

namespace tsc::shell {

// Installed printers in the system's order and the default printer's name; or the
// failure's message when the printer system cannot be asked.
struct PrinterList {
    std::vector<std::string> names;
    std::string defaultName;
    std::string failure; // not empty: the list could not be obtained
};
[[nodiscard]] PrinterList InstalledPrinters();

// What the window takes from its surroundings. Every member left empty gets the
// real implementation; tests replace single ones.
struct MainWindowServices {
    LogOpener openLog;
    std::function<PrinterList()> printers;
    std::function<int()> pixelsPerInch;     // of the window's screen
    std::function<bool()> shiftHeld;        // is a Shift key down now
    std::function<void()> terminateProcess; // ends the process at once, exit code 0
    std::unique_ptr<UserDialogs> dialogs;
    // The start-up detection of the RDP engine (version, usable, status page).
    std::function<RdpClientDetectionResult(LogSink &)> detectRdpClient;
    // A new RDP control for a session window, or null with `error` set.
    std::function<std::unique_ptr<RdpControl>(QString *error)> createRdpControl;
};

class Tform_Win32RDPClient : public QWidget, public SessionHost {
    Q_OBJECT
public:
    // Builds the controls and runs FormCreate.
    explicit Tform_Win32RDPClient(MainWindowServices services = {});
    ~Tform_Win32RDPClient() override;

    // Logging for every part of the client; no-ops without an active log.
    void LogInfo(std::string_view message) override;
    void LogWarning(std::string_view message) override;
    void LogError(std::string_view message) override;

    // Handlers and operations with their fixed order of steps.
    void FormCreate();
    void FormDestroy();
    void PageControl_kivChange();
    void bn_CloseClick();
    void bn_ConnectClick();
    void Timer_AutoCloseTimer();
    void ApplicationEvents1Exception(const std::string &message);
    // Ends the client within six seconds whatever still runs: used by the handover,
    // the end of shutdown, and a session that ends after an automatic connect.
    void StartAutoClose();

    // Captions.
    void ApplyCaptions();
    void ResetTitles() override;
    void SetTitles(const std::string &text) override;

    // Settings page.
    void InitSettings();
    void cb_DesktopsizeChange();
    void edit_Desktopsize_widthChange();
    void edit_Desktopsize_heightChange();
    void cb_DoSeamlessClick();
    void edit_UserNameChange();
    void SaveCurrentProfile(const std::string &tag) override;

    // What a session window asks of the main window.
    [[nodiscard]] bool DoSeamless() const override;
    [[nodiscard]] bool AutoConnected() const override { return AutoConnect; }
    [[nodiscard]] bool ShuttingDown() const override { return formDestroyed_; }
    void StartUpdateCheck(const std::string &host) override;
    void CloseAfterAutoConnect() override;
    void ShowMainWindow() override;
    void CloseMainWindow() override;

    // The session window of a variant while it exists, else null.
    [[nodiscard]] SessionWindow *SessionWindowOf(RdpControlVariant variant) const;

    // Server list refresh; bodies come with the load-balancing work.
    void RefreshServerList();
    void AskFirstTimeServer();

    // Stored column widths of StringGrid_Servers.
    void ReadAllIniValues();
    void WriteAllIniValues();

    // Connection profile: the settings controls from and into a profile file.
    // WriteProfile returns the path actually written (the temporary folder for a
    // read-only profile, command-line parameter 1 when given).
    void ReadProfile(const std::string &path);
    std::string WriteProfile(const std::string &path, const std::string &tag);
    // Connection usage; bodies come with the connection folder work.
    void SetConnectionUsage(bool multiple);
    void FillConnectionLists(const std::string &nameToSelect);

    // Pages shown programmatically do not run PageControl_kivChange.
    void SetActivePage(QWidget *page);
    void SetPageTabVisible(QWidget *page, bool visible);
    [[nodiscard]] int PixelsPerInch() const;
    [[nodiscard]] UserDialogs &Dialogs() { return *services_.dialogs; }
    [[nodiscard]] bool HasActiveLog() const;

    // Settings held by the window.
    std::uint16_t DesktopWidth = 0;
    std::uint16_t DesktopHeight = 0;
    bool AutoConnect = false;
    bool HideSettings = false;
    bool ProfileReadOnly = false;
    std::string RdpPlusPort = "3391";
    // The server the farm list chose; with load balancing the profile's address.
    std::string SelectedServerHost;
    std::string SelectedServerPort;
    std::string RdpClientVersion;
    bool RdpControlUsable = false;
    int PreviousConnectionIndex = -1;
    int Timer_RefreshServerListTag = 0;
    int Timer_AutoCloseTag = 0;
    bool Connecting = false;
    // Server list state of the load balancing.
    bool RefreshBusy = false;
    bool ServerListComplete = false;
    int BusyIndicatorStep = 0;
    // Lines of the update thread waiting for the log (drained at shutdown).
    std::vector<std::string> UpdateLogList;

    // Banner.
    QFrame *Panel_logo = nullptr;
    QLabel *Image_BitmapLogo = nullptr;
    QLabel *label_AppName = nullptr;
    QLabel *Label_LBSeamLess = nullptr;

    // Pages.
    QTabWidget *PageControl_kiv = nullptr;
    QWidget *TabSheet_Authorization = nullptr;
    QWidget *TabSheet_Settings = nullptr;
    QWidget *TabSheet_RDPPlus = nullptr;
    QWidget *TabSheet_Support = nullptr;
    QWidget *TabSheet_MultipleConnections = nullptr;
    QWidget *TabSheet_MSRDP = nullptr;
    QWidget *TabSheet_FarmInfo = nullptr;
    QWidget *TabSheet_Logging = nullptr;

    // Authorization page.
    QFrame *pn_cmbx_FolderMultipleConnectionsRDPFiles = nullptr;
    QComboBox *cmbx_FolderMultipleConnectionsRDPFiles = nullptr;
    QFrame *Panel_UserPswDomain = nullptr;
    QLabel *Label_userName = nullptr;
    QLineEdit *edit_UserName = nullptr;
    QLabel *Label_password = nullptr;
    QLineEdit *edit_Password = nullptr;
    QCheckBox *cb_SaveMyPassword = nullptr;
    QLabel *Label_Domain = nullptr;
    QLineEdit *edit_Domain = nullptr;
    QLabel *Label_Host = nullptr;
    QLineEdit *Edit_Host = nullptr;
    QFrame *Panel_PreferredServer_Domain = nullptr;
    QLabel *Label_PreferredServer = nullptr;
    QLabel *Label_DomainPreferredServer = nullptr;
    QFrame *panel_AskFirstTime = nullptr;
    QLabel *Label_EnterAnServerForTheFarm = nullptr;
    QLineEdit *edit_FirstTimeServerAddress = nullptr;
    QLineEdit *edit_FirstTimeServerPort = nullptr;
    QPushButton *bn_OkFirstTimeServer = nullptr;
    QLabel *image_busy1 = nullptr;
    QLabel *image_busy2 = nullptr;
    QLabel *image_busy3 = nullptr;
    QLabel *image_busy4 = nullptr;
    QLabel *image_busy5 = nullptr;
    QLabel *images_error = nullptr;
    QPushButton *bn_OtherFarm = nullptr;
    QPushButton *bn_Connect = nullptr;
    QPushButton *bn_Close = nullptr;

    // Settings page.
    QLabel *Label_WEZ_options = nullptr;
    QCheckBox *cb_DoLoadBalancing = nullptr;
    QCheckBox *cb_DoAskLoadBalancingHostname = nullptr;
    QCheckBox *cb_DoSeamless = nullptr;
    QCheckBox *cb_DoRDPPlus = nullptr;
    QCheckBox *cb_DoSSLGateway = nullptr;
    QComboBox *cbx_SelectCert = nullptr;
    QFrame *Panel_Settings1 = nullptr;
    QLabel *Label_Desktopsize = nullptr;
    QComboBox *cb_Desktopsize = nullptr;
    QLineEdit *edit_Desktopsize_width = nullptr;
    QLabel *Label_desktopsize_X = nullptr;
    QLineEdit *edit_Desktopsize_height = nullptr;
    QLabel *Label_DisplayConnectionBar = nullptr;
    QCheckBox *cb_DisplayConnectionBar = nullptr;
    QLabel *Label_Colors = nullptr;
    QComboBox *cb_Colors = nullptr;
    QFrame *Panel_Settings2 = nullptr;
    QLabel *Label_Sound = nullptr;
    QComboBox *cb_Sound = nullptr;
    QLabel *Label_WindowsKeys = nullptr;
    QComboBox *cb_WindowsKeys = nullptr;
    QLabel *Label_LocalDevices = nullptr;
    QCheckBox *cb_ConnectDiskDrives = nullptr;
    QCheckBox *cb_ConnectPrinters = nullptr;
    QCheckBox *cb_CommPorts = nullptr;
    QCheckBox *cb_SmartCards = nullptr;
    QFrame *Panel_Settings3 = nullptr;
    QLabel *Label_Performance = nullptr;
    QCheckBox *cb_Bitmapcaching = nullptr;
    QCheckBox *cb_Themes = nullptr;
    QCheckBox *cb_Animation = nullptr;
    QCheckBox *cb_WindowDragging = nullptr;
    QCheckBox *cb_Background = nullptr;

    // RDP+ page.
    QLabel *Label_PSPDFPrinterFiles = nullptr;
    QComboBox *cbx_PSPDFPrinterFilesSelect = nullptr;
    QLabel *Label_LocalPrinters = nullptr;
    QComboBox *cbx_LocalPrinters = nullptr;

    // Support page.
    QPushButton *bn_Zip = nullptr;
    QTextEdit *reZip = nullptr;

    // Connections page.
    QRadioButton *rb_SingleConnectionUsage = nullptr;
    QRadioButton *rb_MultipleConnectionUsage = nullptr;
    QLabel *lb_FolderMultipleConnectionsRDPFiles = nullptr;
    QLineEdit *ed_FolderMultipleConnectionsRDPFiles = nullptr;
    QPushButton *bn_FolderMultipleConnectionsRDPFiles = nullptr;
    QListWidget *listbox_FolderMultipleConnectionsRDPFiles = nullptr;
    QPushButton *bn_MultipleConnectionsRDPFiles_Duplicate = nullptr;
    QPushButton *bn_MultipleConnectionsRDPFiles_Rename = nullptr;
    QPushButton *bn_MultipleConnectionsRDPFiles_Delete = nullptr;

    // Microsoft page.
    QLabel *Label_Explain_MSRDPClient = nullptr;
    QLabel *Label_CurrentStatus = nullptr;
    QLabel *label_Status = nullptr;
    QFrame *Panel_MSRDP_Download = nullptr;
    QLabel *Label_MSRDP_Step1 = nullptr;
    QPushButton *bn_DownLoadMSRDP = nullptr;
    QLabel *Label_MSRDP_Step1a = nullptr;
    QFrame *Panel_MSRDP_Register = nullptr;
    QLabel *Label_MSRDP_Step2 = nullptr;
    QPushButton *bn_RegisterMSTSCAX = nullptr;

    // Farm Info page.
    QLabel *Label_Servers = nullptr;
    QLabel *Label_PreferedServers = nullptr;
    QLabel *Label_PreferedDomainServer = nullptr;
    QLabel *Label_AvailableServers = nullptr;
    QTableWidget *StringGrid_Servers = nullptr;
    QPushButton *bn_GetList = nullptr;

    // Logging page.
    QListWidget *lb_Logging = nullptr;

    // Timers.
    QTimer *Timer_RefreshServerList = nullptr;
    QTimer *Timer_AutoClose = nullptr;
    QTimer *Timer_GetMeAnUpdateLogging = nullptr;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void BuildWindow();
    QWidget *BuildBanner();
    void BuildAuthorizationPage();
    void BuildSettingsPage();
    void BuildRdpPlusPage();
    void BuildSupportPage();
    void BuildConnectionsPage();
    void BuildMicrosoftPage();
    void BuildFarmInfoPage();
    void BuildLoggingPage();
    void BuildTimers();
    void ConnectHandlers();

    // Steps of FormCreate.
    void OpenLog();
    void LogStartLines();
    void LogMonitorReport();
    void RunSelfUpdateDecision();
    void StartHandover();
    void NormalStart();
    void ReadConnectionUsagePreference();
    void MigrateServerList();
    void LoadCurrentConnection();
    void Read_V001C003_file(const std::string &path);
    void CheckRdpControl();
    void StartServerListRefreshTimer();
    void AutoConnectIfAsked();

    // Steps of PageControl_kivChange.
    void RevealHiddenPagesOnShift();
    void ApplyPageHeight();
    void ShowRdpClientStatus();
    void KeepOnFirstMonitor();

    // Steps of bn_ConnectClick.
    struct MonitorAreas {
        QRect full;
        QRect work;
    };
    [[nodiscard]] MonitorAreas NearestMonitor() const;
    void LoadBalanceBeforeConnect();
    [[nodiscard]] bool ServerListRefreshAvailable() const;
    void WaitForLoadBalancing(const std::function<bool()> &condition);
    [[nodiscard]] ConnectTarget ConnectionTarget() const;
    void SaveProfileBeforeConnect();
    void OpenSession(const ConnectTarget &target, const MonitorAreas &monitor);
    void PlaceSessionWindow(SessionWindow &window, DisplayMode mode, const MonitorAreas &monitor);
    void SizeControl(SessionWindow &window);
    void SetControlProperties(RdpControl &control, const ControlPropertyPlan &plan);
    [[nodiscard]] ConnectSettings ReadConnectSettings() const;
    void ConnectFailed(const std::string &message, RdpControlVariant variant);
    void FreeSessionWindow(RdpControlVariant variant);

    // Steps of FormDestroy.
    void AbortUpdateTransfer();
    void WriteBackCurrentProfile();
    void DisconnectSessionWindows();
    void FreeSessionWindows();
    void CloseFarmConnection();
    void DrainUpdateLogList();

    void Timer_RefreshServerListTimer();
    void Timer_GetMeAnUpdateLoggingTimer();
    void FillLocalPrinters();
    void ApplySizeField(SizeField field);
    [[nodiscard]] std::string CurrentConnectionProfilePath() const;
    [[nodiscard]] int WindowHeight() const;
    void SetWindowHeights(int minimum, int height);
    void AddDisplayLine(const std::string &line);
    // Writes what the platform layer has to report (damaged registry or INI files).
    void LogPlatformDiagnostics();
    // Built on first use; the folders, command line and identity are fixed by then.
    [[nodiscard]] const profiles::ProfileEnvironment &ProfileFileEnvironment();
    void Log(void (LogSink::*write)(std::string_view), std::string_view message);

    MainWindowServices services_;
    std::unique_ptr<WindowLog> log_;
    // The password lines of the profile go to the log file only, not the Logging page.
    std::unique_ptr<LogSink> passwordLog_;
    std::unique_ptr<profiles::ProtectionService> protection_;
    std::unique_ptr<profiles::ProfileEnvironment> profileEnvironment_;
    std::vector<std::string> refreshWorkList_;
    bool formDestroyed_ = false;
    std::array<QPointer<SessionWindow>, 3> sessionWindows_; // RDP 5.1, 6.0, 6.1/7
    int shownPageIndex_ = 0;
};

} // namespace tsc::shell
