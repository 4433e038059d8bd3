#pragma once

// The main window: a view of the application core (ClientCore.h). It builds the
// banner and the eight pages, binds the connection settings to their controls in
// one place, shows what the core reports, and turns clicks into the core's
// requests. The controls carry their names as member and object names.

#include "ClientCore.h"
#include "SettingsRules.h"
#include "UserDialogs.h"

#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPixmap;
class QProgressDialog;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTableWidget;
class QTextEdit;

namespace tsc::shell {

// What the window takes from its surroundings. Every member left empty gets the
// real implementation; tests replace single ones.
struct MainWindowServices : ClientServices {
    std::function<int()> pixelsPerInch; // of the window's screen
    std::function<bool()> shiftHeld;    // is a Shift key down now
    std::unique_ptr<UserDialogs> dialogs;
};

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    // Builds the controls, then starts the core (FormCreate).
    explicit MainWindow(MainWindowServices services = {});
    // Runs the core's shutdown while the controls still exist.
    ~MainWindow() override;

    [[nodiscard]] ClientCore &Core() { return *core_; }
    [[nodiscard]] const ClientCore &Core() const { return *core_; }
    [[nodiscard]] UserDialogs &Dialogs() { return *dialogs_; }

    // Handlers with their fixed order of steps.
    void FormCreate();
    void PageControl_kivChange();
    // "Connect" clicked: the core's connect procedure on the monitor the window is on.
    void bn_ConnectClick();
    // Captions.
    void ApplyCaptions();
    // Connections page (MainWindowConnections.cpp).
    void bn_MultipleConnectionsRDPFiles_RenameClick();
    void bn_OKRenameRDPConnectionClick();
    void edit_RenameRDPConnectionExit();
    void bn_MultipleConnectionsRDPFiles_DeleteClick();
    void bn_MultipleConnectionsRDPFiles_DuplicateClick();
    // "ZIP" on the Support page: the core builds the archive; the window shows its
    // progress with a way to cancel it.
    void bn_ZipClick();
    // The progress of the support archive while it runs, else null.
    [[nodiscard]] QProgressDialog *SupportProgress() const { return supportProgress_; }
    // Settings page rules.
    void cb_DesktopsizeChange();
    void cb_DoSeamlessClick();

    // Pages shown programmatically do not run PageControl_kivChange.
    void SetActivePage(QWidget *page);
    void SetPageTabVisible(QWidget *page, bool visible);
    [[nodiscard]] int PixelsPerInch() const;

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
    QLabel *label_PreferredServer1 = nullptr; // the Farm's preferred server
    QLabel *label_Domain1 = nullptr;
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
    QFrame *panel_RenameRDPConnection = nullptr;
    QLabel *lb_RenameRDPConnection = nullptr;
    QLineEdit *edit_RenameRDPConnection = nullptr;
    QPushButton *bn_OKRenameRDPConnection = nullptr;
    QPushButton *bn_CancelRenameRDPConnection = nullptr;

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
    QLabel *label_PreferredServer2 = nullptr;
    QLabel *label_Domain2 = nullptr;
    QLabel *Label_AvailableServers = nullptr;
    QTableWidget *StringGrid_Servers = nullptr;
    QPushButton *bn_GetList = nullptr;

    // Logging page.
    QListWidget *lb_Logging = nullptr;

  protected:
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void CloseRequested();

  private:
    // Building (MainWindowPages.cpp).
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
    void FillLists();
    QWidget *BuildRenamePanel();

    // The connection folder's controls (MainWindowConnections.cpp).
    void ConnectConnectionFolder();
    void ShowConnectionUsageControls(bool multiple);
    void ShowConnectionLists();
    void ShowCurrentConnection(int index);
    void FillSupportText();
    void FillPrintFileItems();
    void AlignSettingsLabels();

    // The core's reports and the user's requests.
    void ConnectCore();
    void ConnectControls();
    void ShowSettings();
    void ShowConnectionUsage();
    void ShowRdpClientDetection(bool showStatusPage);
    void ApplyStoredColumnWidths(const std::vector<std::optional<int>> &widths);
    // The load balancing's reports and requests (the core's ServerListController).
    void ConnectFarm();
    void FillServerGrid();
    void ShowFarmIndicator(farm::Indicator indicator);
    void ShowFirstTimePrompt();
    void HideFirstTimePrompt();
    void ShowConnectCloseAvailability();
    void HandOverSettings();
    void HandOverColumnWidths();
    void ShowSupportArchiveBusy(bool busy);
    // Steps of ApplyCaptions.
    void ApplyServerGridHeadings();
    void ApplySupportText();
    void ApplyLanguageImages();
    void ShowLogo(const QPixmap &logo);

    void ApplySizeField(SizeField field);
    void FillLocalPrinters();

    // Steps of PageControl_kivChange.
    void RevealHiddenPagesOnShift();
    void ApplyPageHeight();
    void ShowRdpClientStatus();
    void KeepOnFirstMonitor();
    [[nodiscard]] MonitorAreas NearestMonitor() const;
    [[nodiscard]] int WindowHeight() const;
    void SetWindowHeights(int minimum, int height);

    MainWindowServices services_;
    std::unique_ptr<UserDialogs> dialogs_;
    ClientCore *core_ = nullptr;
    int shownPageIndex_ = 0;
    // Set while the core's settings are put into the controls: the controls'
    // change handlers then hand nothing back.
    bool showingSettings_ = false;
    // The list row whose connection the rename panel renames.
    int renameRow_ = -1;
    QProgressDialog *supportProgress_ = nullptr;
};

} // namespace tsc::shell
