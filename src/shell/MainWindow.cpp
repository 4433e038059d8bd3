#include "MainWindow.h"

#include "CommandLine.h"
#include "Language.h"
#include "LogFile.h"
#include "NavigationBar.h"
#include "RdpEngineLibrary.h"
#include "RdpSessionWidget.h"
#include "SessionWindow.h"
#include "Logger.h"
#include "PlatformDiagnostics.h"
#include "Preferences.h"
#include "ProcessState.h"
#include "ProfileBinding.h"
#include "ProtectionService.h"
#include "RdpProfile.h"
#include "StartupLines.h"
#include "SystemInfo.h"
#include "TimeText.h"
#include "Identity.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPrinterInfo>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <unistd.h>

#include <stdexcept>

#include <algorithm>
#include <cctype>
#include <exception>

namespace tsc::shell {

namespace {

constexpr int DesignClientWidth = 452;
constexpr int DesignClientHeight = 583;
constexpr int DesignMinimumWidth = 460;
constexpr int DesignMinimumHeight = 110;
constexpr int LogoPanelHeight = 90;
constexpr int LogKilobytes = 200;
constexpr int ServerGridColumns = 5;
constexpr int ServerGridDesignColumnWidth = 60;

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

template <typename T> T *Named(T *widget, const char *name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}
#define NAMED(Type, member, ...) member = Named(new Type(__VA_ARGS__), #member)

QFrame *Panel(QWidget *parent) {
    auto *panel = new QFrame(parent);
    panel->setFrameShape(QFrame::NoFrame);
    return panel;
}

void Fill(QComboBox *box, const auto &items) {
    box->clear();
    for (const auto &item : items) {
        if constexpr (requires { item.item; })
            box->addItem(Q(LookupText(SettingsTextPrefix, item.item.identifier, item.item.text)));
        else
            box->addItem(Q(LookupText(SettingsTextPrefix, item.identifier, item.text)));
    }
}

// The key colour of seamless sessions as 0xRRGGBB; the platform keeps it in the
// Windows order 0x00BBGGRR.
std::uint32_t SessionTransparencyColour() {
    const std::uint32_t colorRef = TransparencyColor();
    return ((colorRef & 0xFFu) << 16) | (colorRef & 0xFF00u) | ((colorRef >> 16) & 0xFFu);
}

// Connection files carry exactly one ".rdp" extension, whatever the name holds.
std::string ConnectionFileName(const std::string &name) {
    std::string base = name;
    if (base.size() > 4) {
        std::string extension = base.substr(base.size() - 4);
        for (char &c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extension == ".rdp") base.resize(base.size() - 4);
    }
    return base + ".rdp";
}

// Writes straight into the log file: the lines reach the file but not the Logging page.
class LogFileOnly final : public LogSink {
public:
    explicit LogFileOnly(const Logger &logger) : logger_(logger) {}
    void LogInfo(std::string_view message) override { Write(&TLogFile::Info, message); }
    void LogWarning(std::string_view message) override { Write(&TLogFile::Warning, message); }
    void LogError(std::string_view message) override { Write(&TLogFile::Error, message); }

private:
    void Write(std::string (TLogFile::*write)(std::string_view), std::string_view message) {
        try {
            if (TLogFile *file = logger_.File()) (void)(file->*write)(message);
        } catch (...) {
            // Logging never fails its caller.
        }
    }
    const Logger &logger_;
};

// The log file behind the wrappers that split messages and feed the Logging page.
class FileWindowLog final : public WindowLog {
public:
    FileWindowLog(std::unique_ptr<TLogFile> file, DisplayLineSink display) : active_(file->Active()) {
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

std::unique_ptr<WindowLog> OpenLogFile(const std::string &path, std::int64_t kilobytes, DisplayLineSink display) {
    return std::make_unique<FileWindowLog>(std::make_unique<TLogFile>(path, kilobytes), std::move(display));
}

} // namespace

PrinterList InstalledPrinters() {
    PrinterList list;
    for (const QString &name : QPrinterInfo::availablePrinterNames()) list.names.push_back(name.toStdString());
    list.defaultName = QPrinterInfo::defaultPrinterName().toStdString();
    if (list.defaultName.empty()) list.failure = "There is no default printer currently selected";
    return list;
}

Tform_Win32RDPClient::Tform_Win32RDPClient(MainWindowServices services) : services_(std::move(services)) {
    if (!services_.openLog) services_.openLog = OpenLogFile;
    if (!services_.printers) services_.printers = InstalledPrinters;
    if (!services_.shiftHeld)
        services_.shiftHeld = [] { return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ShiftModifier); };
    if (!services_.terminateProcess) services_.terminateProcess = [] { ::_exit(0); };
    if (!services_.dialogs) services_.dialogs = std::make_unique<QtUserDialogs>(this);
    if (!services_.detectRdpClient)
        services_.detectRdpClient = [](LogSink &log) {
            return RunRdpClientDetection(DefaultRdpClientDetectionEnvironment(IsAdministrator, SystemErrorText), log);
        };
    if (!services_.createRdpControl)
        services_.createRdpControl = [](QString *error) { return RdpEngineLibrary::Instance().CreateControl(error); };
    passwordLog_ = std::make_unique<ForwardingLog>([this]() -> LogSink * {
        return HasActiveLog() ? log_->FileOnly() : nullptr;
    });
    BuildWindow();
    FormCreate();
}

Tform_Win32RDPClient::~Tform_Win32RDPClient() { FormDestroy(); }

// ---------------------------------------------------------------------------
// Window layout

void Tform_Win32RDPClient::BuildWindow() {
    setObjectName("form_Win32RDPClient");
    setWindowTitle("Terminal Server Client");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    QFont windowFont = font();
    windowFont.setPointSize(8);
    setFont(windowFont);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(BuildBanner());

    NAMED(QTabWidget, PageControl_kiv, this);
    PageControl_kiv->setDocumentMode(false);
    layout->addWidget(PageControl_kiv, 1);
    BuildAuthorizationPage();
    BuildSettingsPage();
    BuildRdpPlusPage();
    BuildSupportPage();
    BuildConnectionsPage();
    BuildMicrosoftPage();
    BuildFarmInfoPage();
    BuildLoggingPage();
    BuildTimers();
    ConnectHandlers();

    const int ppi = PixelsPerInch();
    setMinimumSize(DesignMinimumWidth * ppi / DesignPixelsPerInch, DesignMinimumHeight);
    resize(DesignClientWidth * ppi / DesignPixelsPerInch, ScaledHeight(DesignClientHeight, ppi));
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = geometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

QWidget *Tform_Win32RDPClient::BuildBanner() {
    NAMED(QFrame, Panel_logo, this);
    Panel_logo->setFixedHeight(LogoPanelHeight);
    Panel_logo->setAutoFillBackground(true);
    Panel_logo->setStyleSheet("#Panel_logo { background: qlineargradient(x1:0, y1:0, x2:1, y2:1,"
                              " stop:0 #1c3f74, stop:1 #4f86c6); }"
                              "#Panel_logo QLabel { color: white; background: transparent; }");
    auto *stack = new QGridLayout(Panel_logo);
    stack->setContentsMargins(0, 0, 0, 0);
    NAMED(QLabel, Image_BitmapLogo, Panel_logo);
    Image_BitmapLogo->setScaledContents(true);
    stack->addWidget(Image_BitmapLogo, 0, 0, 2, 1);
    NAMED(QLabel, label_AppName, QString::fromStdString(Identity::AppTitle()), Panel_logo);
    label_AppName->setAlignment(Qt::AlignHCenter | Qt::AlignBottom);
    QFont titleFont = label_AppName->font();
    titleFont.setBold(true);
    label_AppName->setFont(titleFont);
    stack->addWidget(label_AppName, 0, 0);
    NAMED(QLabel, Label_LBSeamLess, "Load Balancing :: Seamless", Panel_logo);
    Label_LBSeamLess->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    stack->addWidget(Label_LBSeamLess, 1, 0);
    return Panel_logo;
}

void Tform_Win32RDPClient::BuildAuthorizationPage() {
    NAMED(QWidget, TabSheet_Authorization, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_Authorization, "Authorization");
    auto *page = new QVBoxLayout(TabSheet_Authorization);
    page->setContentsMargins(8, 6, 8, 6);
    page->setSpacing(4);

    NAMED(QFrame, pn_cmbx_FolderMultipleConnectionsRDPFiles, TabSheet_Authorization);
    auto *selector = new QHBoxLayout(pn_cmbx_FolderMultipleConnectionsRDPFiles);
    selector->setContentsMargins(0, 0, 0, 4);
    NAMED(QComboBox, cmbx_FolderMultipleConnectionsRDPFiles, pn_cmbx_FolderMultipleConnectionsRDPFiles);
    cmbx_FolderMultipleConnectionsRDPFiles->setMaxVisibleItems(16);
    cmbx_FolderMultipleConnectionsRDPFiles->setInsertPolicy(QComboBox::InsertAlphabetically);
    selector->addWidget(cmbx_FolderMultipleConnectionsRDPFiles);
    pn_cmbx_FolderMultipleConnectionsRDPFiles->setFixedHeight(
        pn_cmbx_FolderMultipleConnectionsRDPFiles->sizeHint().height());
    pn_cmbx_FolderMultipleConnectionsRDPFiles->hide();
    page->addWidget(pn_cmbx_FolderMultipleConnectionsRDPFiles);

    NAMED(QFrame, Panel_UserPswDomain, TabSheet_Authorization);
    auto *fields = new QGridLayout(Panel_UserPswDomain);
    fields->setContentsMargins(0, 0, 0, 0);
    fields->setVerticalSpacing(4);
    fields->setColumnStretch(1, 1);
    auto addRow = [&](int row, QLabel *label, QWidget *field) {
        label->setBuddy(field);
        fields->addWidget(label, row, 0, Qt::AlignRight | Qt::AlignVCenter);
        fields->addWidget(field, row, 1);
    };
    NAMED(QLabel, Label_userName, "Username:", Panel_UserPswDomain);
    NAMED(QLineEdit, edit_UserName, Panel_UserPswDomain);
    addRow(0, Label_userName, edit_UserName);
    NAMED(QLabel, Label_password, "Password:", Panel_UserPswDomain);
    NAMED(QLineEdit, edit_Password, Panel_UserPswDomain);
    edit_Password->setEchoMode(QLineEdit::Password);
    edit_Password->setStyleSheet("lineedit-password-character: 42");
    edit_Password->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    addRow(1, Label_password, edit_Password);
    NAMED(QCheckBox, cb_SaveMyPassword, "Save my password", Panel_UserPswDomain);
    fields->addWidget(cb_SaveMyPassword, 2, 1);
    NAMED(QLabel, Label_Domain, "Domain:", Panel_UserPswDomain);
    NAMED(QLineEdit, edit_Domain, Panel_UserPswDomain);
    addRow(3, Label_Domain, edit_Domain);
    NAMED(QLabel, Label_Host, "Host:", Panel_UserPswDomain);
    NAMED(QLineEdit, Edit_Host, Panel_UserPswDomain);
    addRow(4, Label_Host, Edit_Host);
    page->addWidget(Panel_UserPswDomain);

    NAMED(QFrame, Panel_PreferredServer_Domain, TabSheet_Authorization);
    auto *preferred = new QHBoxLayout(Panel_PreferredServer_Domain);
    preferred->setContentsMargins(0, 0, 0, 0);
    NAMED(QLabel, Label_PreferredServer, "Preferred Server: ", Panel_PreferredServer_Domain);
    NAMED(QLabel, Label_DomainPreferredServer, "Domain:", Panel_PreferredServer_Domain);
    preferred->addWidget(Label_PreferredServer, 1);
    preferred->addWidget(Label_DomainPreferredServer, 1);
    Panel_PreferredServer_Domain->hide();
    page->addWidget(Panel_PreferredServer_Domain);

    NAMED(QFrame, panel_AskFirstTime, TabSheet_Authorization);
    auto *ask = new QGridLayout(panel_AskFirstTime);
    ask->setContentsMargins(0, 0, 0, 0);
    NAMED(QLabel, Label_EnterAnServerForTheFarm, "Please enter a name and portnumner of a server in the Farm:",
          panel_AskFirstTime);
    Label_EnterAnServerForTheFarm->setWordWrap(true);
    ask->addWidget(Label_EnterAnServerForTheFarm, 0, 0, 1, 3);
    NAMED(QLineEdit, edit_FirstTimeServerAddress, panel_AskFirstTime);
    NAMED(QLineEdit, edit_FirstTimeServerPort, panel_AskFirstTime);
    NAMED(QPushButton, bn_OkFirstTimeServer, "OK", panel_AskFirstTime);
    ask->addWidget(edit_FirstTimeServerAddress, 1, 0);
    ask->addWidget(edit_FirstTimeServerPort, 1, 1);
    ask->addWidget(bn_OkFirstTimeServer, 1, 2);
    ask->setColumnStretch(0, 3);
    ask->setColumnStretch(1, 1);
    panel_AskFirstTime->hide();
    page->addWidget(panel_AskFirstTime);
    page->addStretch(1);

    auto *bottom = new QHBoxLayout;
    bottom->setSpacing(2);
    for (auto [member, name] : {std::pair{&image_busy1, "image_busy1"}, {&image_busy2, "image_busy2"},
                                {&image_busy3, "image_busy3"}, {&image_busy4, "image_busy4"},
                                {&image_busy5, "image_busy5"}, {&images_error, "images_error"}}) {
        *member = Named(new QLabel(TabSheet_Authorization), name);
        (*member)->setFixedSize(12, 12);
        (*member)->hide();
        bottom->addWidget(*member);
    }
    bottom->addStretch(1);
    NAMED(QPushButton, bn_OtherFarm, "Other Farm", TabSheet_Authorization);
    bn_OtherFarm->hide();
    NAMED(QPushButton, bn_Connect, "Connect", TabSheet_Authorization);
    bn_Connect->setDefault(true);
    bn_Connect->setAutoDefault(true);
    NAMED(QPushButton, bn_Close, "Close", TabSheet_Authorization);
    bottom->addWidget(bn_OtherFarm);
    bottom->addWidget(bn_Connect);
    bottom->addWidget(bn_Close);
    page->addLayout(bottom);
}

void Tform_Win32RDPClient::BuildSettingsPage() {
    NAMED(QWidget, TabSheet_Settings, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_Settings, "Settings");
    auto *page = new QVBoxLayout(TabSheet_Settings);
    page->setContentsMargins(8, 4, 8, 4);
    page->setSpacing(2);

    auto *options = Panel(TabSheet_Settings);
    auto *optionGrid = new QGridLayout(options);
    optionGrid->setContentsMargins(0, 0, 0, 0);
    optionGrid->setVerticalSpacing(1);
    NAMED(QLabel, Label_WEZ_options, "Options", options);
    QFont bold = Label_WEZ_options->font();
    bold.setBold(true);
    Label_WEZ_options->setFont(bold);
    optionGrid->addWidget(Label_WEZ_options, 0, 0, 1, 2);
    NAMED(QCheckBox, cb_DoLoadBalancing, "Do Load Balancing", options);
    NAMED(QCheckBox, cb_DoAskLoadBalancingHostname, "Ask user for Load Balancing hostname", options);
    NAMED(QCheckBox, cb_DoSeamless, "Show remote desktop Seamless", options);
    NAMED(QCheckBox, cb_DoRDPPlus, "RDP+", options);
    NAMED(QCheckBox, cb_DoSSLGateway, "SSL", options);
    NAMED(QComboBox, cbx_SelectCert, options);
    cb_DoAskLoadBalancingHostname->setChecked(true);
    cb_DoAskLoadBalancingHostname->setEnabled(false);
    optionGrid->addWidget(cb_DoLoadBalancing, 1, 0);
    optionGrid->addWidget(cb_DoAskLoadBalancingHostname, 1, 1);
    optionGrid->addWidget(cb_DoSeamless, 2, 0);
    optionGrid->addWidget(cb_DoRDPPlus, 2, 1);
    auto *ssl = new QHBoxLayout;
    ssl->addWidget(cb_DoSSLGateway);
    ssl->addWidget(cbx_SelectCert, 1);
    optionGrid->addLayout(ssl, 3, 0, 1, 2);
    page->addWidget(options);

    auto separator = [&] {
        auto *line = new QFrame(TabSheet_Settings);
        line->setFrameShape(QFrame::HLine);
        line->setFrameShadow(QFrame::Sunken);
        page->addWidget(line);
    };
    // The three setting panels share one label column so their fields line up.
    auto panelGrid = [](QFrame *panel) {
        auto *grid = new QGridLayout(panel);
        grid->setContentsMargins(0, 0, 0, 0);
        grid->setVerticalSpacing(2);
        grid->setColumnStretch(1, 1);
        return grid;
    };
    constexpr auto labelAlign = Qt::AlignLeft | Qt::AlignVCenter;

    separator();
    NAMED(QFrame, Panel_Settings1, TabSheet_Settings);
    auto *display = panelGrid(Panel_Settings1);
    NAMED(QLabel, Label_Desktopsize, "Desktop size:", Panel_Settings1);
    NAMED(QComboBox, cb_Desktopsize, Panel_Settings1);
    NAMED(QLineEdit, edit_Desktopsize_width, Panel_Settings1);
    NAMED(QLabel, Label_desktopsize_X, "x", Panel_Settings1);
    NAMED(QLineEdit, edit_Desktopsize_height, Panel_Settings1);
    for (QLineEdit *edit : {edit_Desktopsize_width, edit_Desktopsize_height}) {
        edit->setMaxLength(6);
        edit->setFixedWidth(edit->fontMetrics().horizontalAdvance("000000") + 12);
    }
    auto *sizeRow = new QHBoxLayout;
    sizeRow->addWidget(cb_Desktopsize, 1);
    sizeRow->addWidget(edit_Desktopsize_width);
    sizeRow->addWidget(Label_desktopsize_X);
    sizeRow->addWidget(edit_Desktopsize_height);
    display->addWidget(Label_Desktopsize, 0, 0, labelAlign);
    display->addLayout(sizeRow, 0, 1);
    NAMED(QLabel, Label_DisplayConnectionBar, "Connection Bar:", Panel_Settings1);
    NAMED(QCheckBox, cb_DisplayConnectionBar, "Display connection bar when showing full screen", Panel_Settings1);
    display->addWidget(Label_DisplayConnectionBar, 1, 0, labelAlign);
    display->addWidget(cb_DisplayConnectionBar, 1, 1);
    NAMED(QLabel, Label_Colors, "Colors:", Panel_Settings1);
    NAMED(QComboBox, cb_Colors, Panel_Settings1);
    display->addWidget(Label_Colors, 2, 0, labelAlign);
    display->addWidget(cb_Colors, 2, 1);
    page->addWidget(Panel_Settings1);

    separator();
    NAMED(QFrame, Panel_Settings2, TabSheet_Settings);
    auto *resources = panelGrid(Panel_Settings2);
    NAMED(QLabel, Label_Sound, "Sound:", Panel_Settings2);
    NAMED(QComboBox, cb_Sound, Panel_Settings2);
    resources->addWidget(Label_Sound, 0, 0, labelAlign);
    resources->addWidget(cb_Sound, 0, 1);
    NAMED(QLabel, Label_WindowsKeys, "Windows keys:", Panel_Settings2);
    NAMED(QComboBox, cb_WindowsKeys, Panel_Settings2);
    resources->addWidget(Label_WindowsKeys, 1, 0, labelAlign);
    resources->addWidget(cb_WindowsKeys, 1, 1);
    NAMED(QLabel, Label_LocalDevices, "Local devices:", Panel_Settings2);
    NAMED(QCheckBox, cb_ConnectDiskDrives, "Connect disk drives", Panel_Settings2);
    NAMED(QCheckBox, cb_ConnectPrinters, "Connect printers", Panel_Settings2);
    NAMED(QCheckBox, cb_CommPorts, "Serial ports (com ports)", Panel_Settings2);
    NAMED(QCheckBox, cb_SmartCards, "Smart cards", Panel_Settings2);
    auto *devices = new QGridLayout;
    devices->setVerticalSpacing(1);
    devices->addWidget(cb_ConnectDiskDrives, 0, 0);
    devices->addWidget(cb_ConnectPrinters, 0, 1);
    devices->addWidget(cb_CommPorts, 1, 0);
    devices->addWidget(cb_SmartCards, 1, 1);
    resources->addWidget(Label_LocalDevices, 2, 0, Qt::AlignLeft | Qt::AlignTop);
    resources->addLayout(devices, 2, 1);
    page->addWidget(Panel_Settings2);

    separator();
    NAMED(QFrame, Panel_Settings3, TabSheet_Settings);
    auto *performance = panelGrid(Panel_Settings3);
    performance->setVerticalSpacing(1);
    NAMED(QLabel, Label_Performance, "Performance:", Panel_Settings3);
    performance->addWidget(Label_Performance, 0, 0, Qt::AlignLeft | Qt::AlignTop);
    NAMED(QCheckBox, cb_Bitmapcaching, "Bitmap caching", Panel_Settings3);
    NAMED(QCheckBox, cb_Themes, "Themes", Panel_Settings3);
    NAMED(QCheckBox, cb_Animation, "Menu and Window animation", Panel_Settings3);
    NAMED(QCheckBox, cb_WindowDragging, "Show window content while dragging the window", Panel_Settings3);
    NAMED(QCheckBox, cb_Background, "Show Desktop background", Panel_Settings3);
    int row = 0;
    for (QCheckBox *box : {cb_Bitmapcaching, cb_Themes, cb_Animation, cb_WindowDragging, cb_Background})
        performance->addWidget(box, row++, 1);
    page->addWidget(Panel_Settings3);
    page->addStretch(1);

    // One label column for the three panels, as wide as the widest label at this font.
    int labelWidth = 0;
    for (QLabel *label : {Label_Desktopsize, Label_DisplayConnectionBar, Label_Colors, Label_Sound,
                          Label_WindowsKeys, Label_LocalDevices, Label_Performance})
        labelWidth = std::max(labelWidth, label->sizeHint().width());
    for (QGridLayout *grid : {display, resources, performance}) grid->setColumnMinimumWidth(0, labelWidth + 6);
}

void Tform_Win32RDPClient::BuildRdpPlusPage() {
    NAMED(QWidget, TabSheet_RDPPlus, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_RDPPlus, "RDP+");
    auto *page = new QVBoxLayout(TabSheet_RDPPlus);
    page->setContentsMargins(8, 8, 8, 8);
    NAMED(QLabel, Label_PSPDFPrinterFiles, "What to do with Printjobs:", TabSheet_RDPPlus);
    NAMED(QComboBox, cbx_PSPDFPrinterFilesSelect, TabSheet_RDPPlus);
    NAMED(QLabel, Label_LocalPrinters, "Local Printers:", TabSheet_RDPPlus);
    NAMED(QComboBox, cbx_LocalPrinters, TabSheet_RDPPlus);
    page->addWidget(Label_PSPDFPrinterFiles);
    page->addWidget(cbx_PSPDFPrinterFilesSelect);
    page->addSpacing(8);
    page->addWidget(Label_LocalPrinters);
    page->addWidget(cbx_LocalPrinters);
    page->addStretch(1);
}

void Tform_Win32RDPClient::BuildSupportPage() {
    NAMED(QWidget, TabSheet_Support, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_Support, "Support");
    auto *page = new QHBoxLayout(TabSheet_Support);
    page->setContentsMargins(8, 8, 8, 8);
    NAMED(QPushButton, bn_Zip, "ZIP", TabSheet_Support);
    NAMED(QTextEdit, reZip, TabSheet_Support);
    reZip->setReadOnly(true);
    page->addWidget(bn_Zip, 0, Qt::AlignTop);
    page->addWidget(reZip, 1);
}

void Tform_Win32RDPClient::BuildConnectionsPage() {
    NAMED(QWidget, TabSheet_MultipleConnections, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_MultipleConnections, "Connections");
    auto *page = new QVBoxLayout(TabSheet_MultipleConnections);
    page->setContentsMargins(8, 8, 8, 8);
    NAMED(QRadioButton, rb_SingleConnectionUsage, "Single connection usage", TabSheet_MultipleConnections);
    NAMED(QRadioButton, rb_MultipleConnectionUsage, "Multiple connection usage", TabSheet_MultipleConnections);
    rb_SingleConnectionUsage->setChecked(true);
    page->addWidget(rb_SingleConnectionUsage);
    page->addWidget(rb_MultipleConnectionUsage);
    page->addSpacing(6);
    NAMED(QLabel, lb_FolderMultipleConnectionsRDPFiles, "Folder for RDP-Connection files",
          TabSheet_MultipleConnections);
    page->addWidget(lb_FolderMultipleConnectionsRDPFiles);
    auto *folder = new QHBoxLayout;
    NAMED(QLineEdit, ed_FolderMultipleConnectionsRDPFiles, TabSheet_MultipleConnections);
    NAMED(QPushButton, bn_FolderMultipleConnectionsRDPFiles, "Folder", TabSheet_MultipleConnections);
    folder->addWidget(ed_FolderMultipleConnectionsRDPFiles, 1);
    folder->addWidget(bn_FolderMultipleConnectionsRDPFiles);
    page->addLayout(folder);
    auto *list = new QHBoxLayout;
    NAMED(QListWidget, listbox_FolderMultipleConnectionsRDPFiles, TabSheet_MultipleConnections);
    list->addWidget(listbox_FolderMultipleConnectionsRDPFiles, 1);
    auto *buttons = new QVBoxLayout;
    NAMED(QPushButton, bn_MultipleConnectionsRDPFiles_Duplicate, "Duplicate", TabSheet_MultipleConnections);
    NAMED(QPushButton, bn_MultipleConnectionsRDPFiles_Rename, "Rename", TabSheet_MultipleConnections);
    NAMED(QPushButton, bn_MultipleConnectionsRDPFiles_Delete, "Delete", TabSheet_MultipleConnections);
    buttons->addWidget(bn_MultipleConnectionsRDPFiles_Duplicate);
    buttons->addWidget(bn_MultipleConnectionsRDPFiles_Rename);
    buttons->addWidget(bn_MultipleConnectionsRDPFiles_Delete);
    buttons->addStretch(1);
    list->addLayout(buttons);
    page->addLayout(list, 1);
    for (QWidget *control : std::initializer_list<QWidget *>{
             ed_FolderMultipleConnectionsRDPFiles, listbox_FolderMultipleConnectionsRDPFiles,
             bn_FolderMultipleConnectionsRDPFiles, bn_MultipleConnectionsRDPFiles_Delete,
             bn_MultipleConnectionsRDPFiles_Duplicate, bn_MultipleConnectionsRDPFiles_Rename})
        control->setEnabled(false);
}

void Tform_Win32RDPClient::BuildMicrosoftPage() {
    NAMED(QWidget, TabSheet_MSRDP, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_MSRDP, "Microsoft");
    auto *page = new QVBoxLayout(TabSheet_MSRDP);
    page->setContentsMargins(8, 8, 8, 8);
    NAMED(QLabel, Label_Explain_MSRDPClient,
          "The Load balancing / Seamless client requires the latest version of the RDP software from Microsoft. "
          "Please download and install it. After downloading and the installation, click on Register in order to "
          "make the RDP software Active on this PC.",
          TabSheet_MSRDP);
    Label_Explain_MSRDPClient->setWordWrap(true);
    page->addWidget(Label_Explain_MSRDPClient);
    page->addSpacing(8);
    NAMED(QLabel, Label_CurrentStatus, "Current Status:", TabSheet_MSRDP);
    NAMED(QLabel, label_Status, TabSheet_MSRDP);
    label_Status->setWordWrap(true);
    page->addWidget(Label_CurrentStatus);
    page->addWidget(label_Status);

    // Download and registration are not offered on this platform: the panels stay hidden.
    NAMED(QFrame, Panel_MSRDP_Download, TabSheet_MSRDP);
    auto *download = new QVBoxLayout(Panel_MSRDP_Download);
    NAMED(QLabel, Label_MSRDP_Step1, "Step 1: download the RDP Client software from the Micrsoft website:",
          Panel_MSRDP_Download);
    NAMED(QPushButton, bn_DownLoadMSRDP, "Download from Microsoft", Panel_MSRDP_Download);
    NAMED(QLabel, Label_MSRDP_Step1a, "After downloading, install the RDP Client software.", Panel_MSRDP_Download);
    download->addWidget(Label_MSRDP_Step1);
    download->addWidget(bn_DownLoadMSRDP);
    download->addWidget(Label_MSRDP_Step1a);
    Panel_MSRDP_Download->hide();
    page->addWidget(Panel_MSRDP_Download);
    NAMED(QFrame, Panel_MSRDP_Register, TabSheet_MSRDP);
    auto *registration = new QVBoxLayout(Panel_MSRDP_Register);
    NAMED(QLabel, Label_MSRDP_Step2,
          "Step 2: When the installation of the RDP CLient software is finished, click on Register:",
          Panel_MSRDP_Register);
    NAMED(QPushButton, bn_RegisterMSTSCAX, "Register MS RDP Client", Panel_MSRDP_Register);
    registration->addWidget(Label_MSRDP_Step2);
    registration->addWidget(bn_RegisterMSTSCAX);
    Panel_MSRDP_Register->hide();
    page->addWidget(Panel_MSRDP_Register);
    page->addStretch(1);
}

void Tform_Win32RDPClient::BuildFarmInfoPage() {
    NAMED(QWidget, TabSheet_FarmInfo, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_FarmInfo, "Farm Info");
    auto *page = new QVBoxLayout(TabSheet_FarmInfo);
    page->setContentsMargins(8, 8, 8, 8);
    auto *preferred = new QGridLayout;
    NAMED(QLabel, Label_Servers, "Servers:", TabSheet_FarmInfo);
    NAMED(QLabel, Label_PreferedServers, "Preferred:", TabSheet_FarmInfo);
    NAMED(QLabel, Label_PreferedDomainServer, "Domain:", TabSheet_FarmInfo);
    preferred->addWidget(Label_Servers, 0, 0);
    preferred->addWidget(Label_PreferedServers, 1, 0);
    preferred->addWidget(Label_PreferedDomainServer, 2, 0);
    page->addLayout(preferred);
    NAMED(QLabel, Label_AvailableServers, "The following servers are available in the Farm:", TabSheet_FarmInfo);
    page->addWidget(Label_AvailableServers);
    NAMED(QTableWidget, StringGrid_Servers, 2, ServerGridColumns, TabSheet_FarmInfo);
    StringGrid_Servers->verticalHeader()->hide();
    StringGrid_Servers->horizontalHeader()->hide();
    StringGrid_Servers->horizontalHeader()->setMinimumSectionSize(1);
    for (int column = 0; column < ServerGridColumns; ++column)
        StringGrid_Servers->setColumnWidth(column, ServerGridDesignColumnWidth);
    page->addWidget(StringGrid_Servers, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    NAMED(QPushButton, bn_GetList, "List", TabSheet_FarmInfo);
    buttons->addWidget(bn_GetList);
    page->addLayout(buttons);
}

void Tform_Win32RDPClient::BuildLoggingPage() {
    NAMED(QWidget, TabSheet_Logging, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_Logging, "Logging");
    auto *page = new QVBoxLayout(TabSheet_Logging);
    page->setContentsMargins(4, 4, 4, 4);
    NAMED(QListWidget, lb_Logging, TabSheet_Logging);
    lb_Logging->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    lb_Logging->setUniformItemSizes(true);
    page->addWidget(lb_Logging);
}

void Tform_Win32RDPClient::BuildTimers() {
    NAMED(QTimer, Timer_RefreshServerList, this);
    Timer_RefreshServerList->setInterval(500);
    NAMED(QTimer, Timer_AutoClose, this);
    Timer_AutoClose->setInterval(1000);
    NAMED(QTimer, Timer_GetMeAnUpdateLogging, this);
    Timer_GetMeAnUpdateLogging->setInterval(1000);
    Timer_GetMeAnUpdateLogging->start();
}

void Tform_Win32RDPClient::ConnectHandlers() {
    connect(PageControl_kiv, &QTabWidget::currentChanged, this, [this](int index) {
        // Keyboard page switching (Ctrl+Tab) also lands on hidden pages: pass over them
        // in the direction of travel.
        if (!PageControl_kiv->isTabVisible(index)) {
            const int count = PageControl_kiv->count();
            const int step = (index - shownPageIndex_ + count) % count <= count / 2 ? 1 : -1;
            int next = index;
            do next = (next + step + count) % count;
            while (!PageControl_kiv->isTabVisible(next) && next != index);
            PageControl_kiv->setCurrentIndex(next); // runs this handler again
            return;
        }
        shownPageIndex_ = index;
        PageControl_kivChange();
    });
    connect(bn_Close, &QPushButton::clicked, this, [this] { bn_CloseClick(); });
    connect(bn_Connect, &QPushButton::clicked, this, [this] { bn_ConnectClick(); });
    connect(cb_Desktopsize, &QComboBox::currentIndexChanged, this, [this] { cb_DesktopsizeChange(); });
    connect(edit_Desktopsize_width, &QLineEdit::textChanged, this, [this] { edit_Desktopsize_widthChange(); });
    connect(edit_Desktopsize_height, &QLineEdit::textChanged, this, [this] { edit_Desktopsize_heightChange(); });
    connect(cb_DoSeamless, &QCheckBox::toggled, this, [this] { cb_DoSeamlessClick(); });
    connect(edit_UserName, &QLineEdit::textChanged, this, [this] { edit_UserNameChange(); });
    connect(Timer_RefreshServerList, &QTimer::timeout, this, [this] { Timer_RefreshServerListTimer(); });
    connect(Timer_GetMeAnUpdateLogging, &QTimer::timeout, this, [this] { Timer_GetMeAnUpdateLoggingTimer(); });
}

int Tform_Win32RDPClient::PixelsPerInch() const {
    return services_.pixelsPerInch ? services_.pixelsPerInch() : logicalDpiY();
}

// ---------------------------------------------------------------------------
// Start-up

void Tform_Win32RDPClient::FormCreate() {
    SetActivePage(TabSheet_Authorization);
    for (QWidget *page : {TabSheet_MSRDP, TabSheet_FarmInfo, TabSheet_Logging}) SetPageTabVisible(page, false);
    refreshWorkList_.clear();
    ApplyCaptions();
    QFont titleFont = label_AppName->font();
    titleFont.setPointSize(font().pointSize() + 3);
    label_AppName->setFont(titleFont);
    ResetTitles();
    AutoConnect = false;
    HideSettings = false;
    UpdateLogList.clear();
    Timer_AutoClose->stop();
    Timer_AutoCloseTag = 0;
    connect(Timer_AutoClose, &QTimer::timeout, this, [this] { Timer_AutoCloseTimer(); });
    // Saved passwords and seamless display are offered by every system this client
    // runs on, so cb_SaveMyPassword and cb_DoSeamless stay available.
    OpenLog();
    LogStartLines();
    LogPlatformDiagnostics();
    LogMonitorReport();
    RunSelfUpdateDecision();
    if (!ProcessState::PendingStartPath().empty()) {
        StartHandover();
        return;
    }
    NormalStart();
}

void Tform_Win32RDPClient::OpenLog() {
    const auto display = [this](const std::string &line) { AddDisplayLine(line); };
    const auto open = [&](const std::string &path) {
        try {
            auto log = services_.openLog(path, LogKilobytes, display);
            if (log && log->IsActive()) return log;
            if (log) log->Stop();
        } catch (...) {
        }
        return std::unique_ptr<WindowLog>{};
    };
    log_ = open(ApplicationDataFolder() + "/" + Identity::LogFileName());
    if (!log_) log_ = open(TempFolder() + "/" + FileTimeStampText() + "_" + Identity::LogFileName());
}

void Tform_Win32RDPClient::LogStartLines() {
    const std::string executable = ExecutablePath();
    LogInfo(ClientStartedLine(executable, FileVersionText(executable)));
    LogInfo("OS Version: " + VersionPairText(OSVersion()));
    LogInfo("Real OS Version: " + VersionPairText(RealOSVersion()));
    LogInfo(IsWin64() ? "Running on Win64" : "Running on Win32");
}

void Tform_Win32RDPClient::LogMonitorReport() {
    try {
        std::vector<MonitorRect> monitors;
        for (const QScreen *screen : QGuiApplication::screens()) {
            const QRect area = screen->geometry();
            monitors.push_back({area.left(), area.top(), area.width(), area.height()});
        }
        for (const std::string &line : MonitorReport(monitors)) LogInfo(line);
    } catch (...) {
        LogError("End Monitor information");
    }
}

void Tform_Win32RDPClient::RunSelfUpdateDecision() {
    // Comes with the self-update work: copying into the installed client, or finding
    // a verified newer copy and setting the pending start path.
}

void Tform_Win32RDPClient::StartHandover() {
    QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    StartAutoClose();
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void Tform_Win32RDPClient::NormalStart() {
    InitSettings();
    ReadConnectionUsagePreference();
    MigrateServerList();
    LoadCurrentConnection();
    CheckRdpControl();
    ReadAllIniValues();
    StartServerListRefreshTimer();
    PageControl_kivChange();
    AutoConnectIfAsked();
}

void Tform_Win32RDPClient::ReadConnectionUsagePreference() {
    const ConnectionUsage usage = ReadConnectionUsage();
    (usage.multiple ? rb_MultipleConnectionUsage : rb_SingleConnectionUsage)->setChecked(true);
    if (usage.multiple) ed_FolderMultipleConnectionsRDPFiles->setText(Q(usage.folder));
    LogPlatformDiagnostics();
    SetConnectionUsage(usage.multiple);
}

void Tform_Win32RDPClient::MigrateServerList() {
    // Comes with the server list files: converts an older "_farm_v001c001.txt" list
    // when no "_farm_v001c003.txt" list exists yet.
}

void Tform_Win32RDPClient::LoadCurrentConnection() {
    if (!rb_MultipleConnectionUsage->isChecked()) {
        cmbx_FolderMultipleConnectionsRDPFiles->clear();
        ReadProfile(ApplicationDataFolder() + "/" + Identity::SingleConnectionProfileName());
        Read_V001C003_file("");
        return;
    }
    FillConnectionLists("");
    if (cmbx_FolderMultipleConnectionsRDPFiles->count() == 0) return;
    int index = cmbx_FolderMultipleConnectionsRDPFiles->findText(Q(ReadLastConnection()), Qt::MatchExactly);
    LogPlatformDiagnostics();
    if (index < 0) index = 0;
    cmbx_FolderMultipleConnectionsRDPFiles->setCurrentIndex(index);
    const std::string profile = CurrentConnectionProfilePath();
    ReadProfile(profile);
    const auto dot = profile.find_last_of('.');
    Read_V001C003_file(profile.substr(0, dot) + "." + Identity::AppPrefix() + "_farm_v001c003.txt");
    PreviousConnectionIndex = index;
}

std::string Tform_Win32RDPClient::CurrentConnectionProfilePath() const {
    const std::string folder = ed_FolderMultipleConnectionsRDPFiles->text().toStdString();
    return WithTrailingSeparator(folder) +
           ConnectionFileName(cmbx_FolderMultipleConnectionsRDPFiles->currentText().toStdString());
}

void Tform_Win32RDPClient::Read_V001C003_file(const std::string &) {
    // Comes with the server list files: reads the recorded server list.
}

void Tform_Win32RDPClient::CheckRdpControl() {
    const RdpClientDetectionResult detection = services_.detectRdpClient(*this);
    RdpClientVersion = detection.rdpClientVersion;
    RdpControlUsable = detection.rdpControlUsable;
    if (!detection.showStatusPage) return;
    SetPageTabVisible(TabSheet_MSRDP, true);
    SetActivePage(TabSheet_MSRDP);
    ShowRdpClientStatus();
}

void Tform_Win32RDPClient::StartServerListRefreshTimer() {
    Timer_RefreshServerListTag = 0;
    const bool balancing = cb_DoLoadBalancing->isChecked();
    if (balancing)
        Timer_RefreshServerList->start();
    else
        Timer_RefreshServerList->stop();
    bn_GetList->setEnabled(balancing);
}

void Tform_Win32RDPClient::AutoConnectIfAsked() {
    if (!AutoConnect) return;
    if (!bn_Connect->isEnabled()) {
        LogWarning("Can not auto connect; check RDP-settings");
        return;
    }
    LogInfo("Auto connect...");
    // A posted press and release: the connect procedure starts once the message loop runs.
    const QPointF point(1, 0);
    QCoreApplication::postEvent(bn_Connect, new QMouseEvent(QEvent::MouseButtonPress, point, bn_Connect->mapToGlobal(point),
                                                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
    QCoreApplication::postEvent(bn_Connect, new QMouseEvent(QEvent::MouseButtonRelease, point,
                                                            bn_Connect->mapToGlobal(point), Qt::LeftButton,
                                                            Qt::NoButton, Qt::NoModifier));
}

// ---------------------------------------------------------------------------
// Page changes

void Tform_Win32RDPClient::SetActivePage(QWidget *page) {
    const QSignalBlocker quiet(PageControl_kiv);
    PageControl_kiv->setCurrentWidget(page);
    shownPageIndex_ = PageControl_kiv->currentIndex();
}

void Tform_Win32RDPClient::PageControl_kivChange() {
    RevealHiddenPagesOnShift();
    ApplyPageHeight();
    if (PageControl_kiv->currentWidget() == TabSheet_MSRDP) ShowRdpClientStatus();
    KeepOnFirstMonitor();
}

void Tform_Win32RDPClient::RevealHiddenPagesOnShift() {
    if (!services_.shiftHeld() || HideSettings) return;
    for (QWidget *page : {TabSheet_MSRDP, TabSheet_FarmInfo, TabSheet_Logging}) SetPageTabVisible(page, true);
}

void Tform_Win32RDPClient::SetPageTabVisible(QWidget *page, bool visible) {
    const int index = PageControl_kiv->indexOf(page);
    if (PageControl_kiv->isTabVisible(index) == visible) return;
    PageControl_kiv->setTabVisible(index, visible);
}

void Tform_Win32RDPClient::ApplyPageHeight() {
    const QWidget *page = PageControl_kiv->currentWidget();
    const bool shortPage = page == TabSheet_Authorization || page == TabSheet_Support;
    const WindowHeights heights =
        PageHeights(shortPage, rb_MultipleConnectionUsage->isChecked(),
                    pn_cmbx_FolderMultipleConnectionsRDPFiles->height(), WindowHeight(), PixelsPerInch());
    SetWindowHeights(heights.minimum, heights.height);
}

// Heights here are those of the whole window, title bar included, as far as the
// window system tells them.
int Tform_Win32RDPClient::WindowHeight() const { return frameGeometry().height(); }

void Tform_Win32RDPClient::SetWindowHeights(int minimum, int height) {
    const int decoration = frameGeometry().height() - geometry().height();
    setMinimumHeight(std::max(1, minimum - decoration));
    resize(width(), std::max(1, height - decoration));
}

void Tform_Win32RDPClient::ShowRdpClientStatus() {
    const auto lookup = [](std::string_view identifier, std::string_view defaultText) {
        return LookupText(SettingsTextPrefix, identifier, defaultText);
    };
    // The texts break lines with carriage returns.
    label_Status->setText(
        Q(RdpClientStatusText(RdpControlUsable, RdpClientVersion, lookup)).replace(QLatin1Char('\r'), QLatin1Char('\n')));
}

void Tform_Win32RDPClient::KeepOnFirstMonitor() {
    try {
        LogInfo("Begin Monitor[0] information");
        const auto screens = QGuiApplication::screens();
        LogInfo(" number of monitors: " + std::to_string(screens.size()));
        if (!screens.isEmpty()) {
            const QRect area = screens.front()->geometry();
            LogInfo(MonitorLine(0, {area.left(), area.top(), area.width(), area.height()}));
            const int top = TopOnFirstMonitor(area.top(), area.height(), frameGeometry().top(), WindowHeight());
            if (top != frameGeometry().top()) move(frameGeometry().left(), top);
        }
        LogInfo("End Monitor[0] information");
    } catch (...) {
        LogError("End Monitor[0] information");
    }
}

// ---------------------------------------------------------------------------
// Captions

void Tform_Win32RDPClient::ApplyCaptions() {
    // Comes with the language table: captions, item texts, font and images from it.
}

void Tform_Win32RDPClient::ResetTitles() {
    const std::string title = Identity::AppTitle() + " Client";
    QCoreApplication::setApplicationName(Q(title));
    setWindowTitle(Q(title));
    Label_WEZ_options->setText(Q(Identity::AppTitle() + " options"));
    if (Tform_showNavBar *bar = Tform_showNavBar::Current()) bar->ExpandWithCaption(Q(title));
}

void Tform_Win32RDPClient::SetTitles(const std::string &text) {
    QCoreApplication::setApplicationName(Q(text));
    setWindowTitle(Q(text));
    Label_WEZ_options->setText(Q(text));
    if (Tform_showNavBar *bar = Tform_showNavBar::Current()) bar->ExpandWithCaption(Q(text));
}

// ---------------------------------------------------------------------------
// Settings page

void Tform_Win32RDPClient::InitSettings() {
    LogInfo("Begin InitSettings");
    Fill(cb_Desktopsize, DesktopSizeItems);
    {
        // cb_DesktopsizeChange runs once, below, as part of the order.
        const QSignalBlocker quiet(cb_Desktopsize);
        cb_Desktopsize->setCurrentIndex(DefaultDesktopSizeIndex);
    }
    cb_DesktopsizeChange();
    DesktopWidth = 0;
    DesktopHeight = 0;
    Fill(cb_Colors, ColorItems);
    cb_Colors->setCurrentIndex(DefaultColorIndex);
    cb_DisplayConnectionBar->setChecked(true);
    Fill(cb_Sound, SoundItems);
    cb_Sound->setCurrentIndex(DefaultSoundIndex);
    Fill(cb_WindowsKeys, WindowsKeyItems);
    cb_WindowsKeys->setCurrentIndex(DefaultWindowsKeyIndex);
    for (QCheckBox *box : {cb_ConnectDiskDrives, cb_ConnectPrinters, cb_CommPorts, cb_SmartCards})
        box->setChecked(false);
    cb_DisplayConnectionBar->setChecked(true);
    for (QCheckBox *box : {cb_Background, cb_WindowDragging, cb_Animation, cb_Themes}) box->setChecked(false);
    cb_Bitmapcaching->setChecked(true);
    edit_UserName->setText(Q(LogonUserName()));
    FillLocalPrinters();
    LogInfo("End InitSettings");
}

void Tform_Win32RDPClient::FillLocalPrinters() {
    cbx_LocalPrinters->clear();
    PrinterList printers;
    try {
        printers = services_.printers();
    } catch (const std::exception &failure) {
        printers.failure = failure.what();
    } catch (...) {
        printers.failure = "unknown failure";
    }
    if (!printers.failure.empty()) {
        cbx_LocalPrinters->clear();
        LogError("Can not handle Local Printers: " + printers.failure);
        return;
    }
    for (const std::string &name : printers.names) cbx_LocalPrinters->addItem(Q(name));
    cbx_LocalPrinters->setCurrentIndex(cbx_LocalPrinters->findText(Q(printers.defaultName), Qt::MatchExactly));
}

void Tform_Win32RDPClient::cb_DesktopsizeChange() {
    const int index = cb_Desktopsize->currentIndex();
    if (IsFullScreenIndex(index)) {
        edit_Desktopsize_width->clear();
        edit_Desktopsize_height->clear();
    } else {
        if (const auto size = FixedDesktopSize(index)) {
            DesktopWidth = size->first;
            DesktopHeight = size->second;
        }
        edit_Desktopsize_width->setText(QString::number(DesktopWidth));
        edit_Desktopsize_height->setText(QString::number(DesktopHeight));
    }
    edit_Desktopsize_width->setEnabled(SizeFieldsEnabled(index));
    edit_Desktopsize_height->setEnabled(SizeFieldsEnabled(index));
}

void Tform_Win32RDPClient::edit_Desktopsize_widthChange() { ApplySizeField(SizeField::Width); }
void Tform_Win32RDPClient::edit_Desktopsize_heightChange() { ApplySizeField(SizeField::Height); }

void Tform_Win32RDPClient::ApplySizeField(SizeField field) {
    QLineEdit *edit = field == SizeField::Width ? edit_Desktopsize_width : edit_Desktopsize_height;
    std::uint16_t &stored = field == SizeField::Width ? DesktopWidth : DesktopHeight;
    const SizeFieldOutcome outcome =
        CheckSizeField(edit->text().toStdString(), cb_Desktopsize->currentIndex(), field);
    switch (outcome.action) {
    case SizeFieldOutcome::Action::Nothing: break;
    case SizeFieldOutcome::Action::Store: stored = outcome.value; break;
    case SizeFieldOutcome::Action::EmptyField: edit->clear(); break;
    case SizeFieldOutcome::Action::UseFallback:
        stored = outcome.value;
        edit->setText(Q(outcome.text));
        break;
    }
}

void Tform_Win32RDPClient::cb_DoSeamlessClick() {
    const bool enabled = !cb_DoSeamless->isChecked();
    for (QWidget *control : std::initializer_list<QWidget *>{cb_Desktopsize, Label_Desktopsize,
                                                              cb_DisplayConnectionBar, Label_DisplayConnectionBar,
                                                              cb_Background})
        control->setEnabled(enabled);
}

void Tform_Win32RDPClient::edit_UserNameChange() {
    if (edit_UserName->text().isEmpty()) edit_Password->clear();
    Timer_RefreshServerListTag = 3;
}

void Tform_Win32RDPClient::SaveCurrentProfile(const std::string &tag) {
    if (!rb_MultipleConnectionUsage->isChecked()) {
        WriteProfile(ApplicationDataFolder() + "/" + Identity::SingleConnectionProfileName(), tag);
        return;
    }
    if (cmbx_FolderMultipleConnectionsRDPFiles->currentIndex() >= 0)
        WriteProfile(CurrentConnectionProfilePath(), tag);
}

// ---------------------------------------------------------------------------
// Connection profile and usage

void Tform_Win32RDPClient::ReadProfile(const std::string &path) {
    profiles::ProfileSettings settings = CollectProfileSettings(*this);
    const profiles::ReadProfileResult result = profiles::ReadProfile(path, settings, ProfileFileEnvironment(), *this);
    ApplyReadProfileSettings(*this, settings);
    if (!result.userMessage.empty())
        Dialogs().ShowMessage(windowTitle().toStdString(), result.userMessage, UserDialogs::Buttons::Ok);
}

std::string Tform_Win32RDPClient::WriteProfile(const std::string &path, const std::string &tag) {
    const profiles::WriteProfileResult result =
        profiles::WriteProfile(path, tag, CollectProfileSettings(*this), ProfileFileEnvironment(), *this);
    ShowLoadBalancingControls(*this);
    if (!result.userMessage.empty())
        Dialogs().ShowMessage(windowTitle().toStdString(), result.userMessage, UserDialogs::Buttons::Ok);
    return result.path;
}

const profiles::ProfileEnvironment &Tform_Win32RDPClient::ProfileFileEnvironment() {
    if (!profileEnvironment_) {
        protection_ = std::make_unique<profiles::ProtectionService>(profiles::ProtectionService::DefaultKeyFile());
        auto environment = std::make_unique<profiles::ProfileEnvironment>();
        environment->appPrefix = Identity::AppPrefix();
        environment->applicationDataFolder = ApplicationDataFolder();
        environment->localSettingsFolder = LocalSettingsFolder();
        environment->tempFolder = TempFolder();
        environment->parameters = CommandLine::Parameters();
        environment->expandText = [](std::string_view text) { return ExpandText(text); };
        environment->protection = protection_.get();
        environment->passwordLog = passwordLog_.get();
        profileEnvironment_ = std::move(environment);
    }
    return *profileEnvironment_;
}

void Tform_Win32RDPClient::SetConnectionUsage(bool) {
    // Comes with the connection folder manager: option buttons, enabled controls and
    // the connection selector's panel for the usage.
}

void Tform_Win32RDPClient::FillConnectionLists(const std::string &) {
    // Comes with the connection folder manager: both lists from the connection folder.
}

// ---------------------------------------------------------------------------
// Stored column widths

void Tform_Win32RDPClient::ReadAllIniValues() {
    const auto widths = ReadColumnWidths(IniFilePath(), StringGrid_Servers->columnCount(), *this);
    for (std::size_t column = 0; column < widths.size(); ++column)
        if (widths[column]) StringGrid_Servers->setColumnWidth(static_cast<int>(column), *widths[column]);
    LogPlatformDiagnostics();
}

void Tform_Win32RDPClient::WriteAllIniValues() {
    std::vector<int> widths;
    for (int column = 0; column < StringGrid_Servers->columnCount(); ++column)
        widths.push_back(StringGrid_Servers->columnWidth(column));
    WriteColumnWidths(IniFilePath(), widths, *this);
    LogPlatformDiagnostics();
}

// ---------------------------------------------------------------------------
// Running

// "Connect" is the window's default button: Enter pressed in a field that does not
// take it itself clicks it, as long as the button can be seen and used (its page is
// the active one). QPushButton's own default handling only exists inside dialogs.
void Tform_Win32RDPClient::keyPressEvent(QKeyEvent *event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && modifiers == Qt::NoModifier && bn_Connect->isVisible() && bn_Connect->isEnabled()) {
        bn_Connect->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void Tform_Win32RDPClient::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    edit_UserName->setFocus();
}

void Tform_Win32RDPClient::bn_ConnectClick() {
    LogInfo("Begin Connect");
    bn_Connect->setEnabled(false);
    Connecting = true;
    const MonitorAreas monitor = NearestMonitor();
    const bool loadBalancing = cb_DoLoadBalancing->isChecked();
    if (!loadBalancing) {
        LogInfo("Do not DoLoadBalancing");
    } else {
        LogInfo("DoLoadBalancing");
        LoadBalanceBeforeConnect();
    }
    LogInfo("Do not RDP+");
    const ConnectTarget target = ConnectionTarget();
    if (target.host.empty()) {
        LogWarning("Cannot connect: no hostname to connect to...");
        Dialogs().ShowMessage(windowTitle().toStdString(), "A problem occured: I do not have a hostname to connect to...",
                              UserDialogs::Buttons::Ok, UserDialogs::Icon::Question);
    } else if (!Timer_AutoClose->isActive() && (!loadBalancing || ServerListComplete)) {
        SaveProfileBeforeConnect();
        hide();
        OpenSession(target, monitor);
    }
    Connecting = false;
    bn_Connect->setEnabled(true);
    LogInfo("End Connect");
}

Tform_Win32RDPClient::MonitorAreas Tform_Win32RDPClient::NearestMonitor() const {
    const QScreen *monitor = screen();
    if (!monitor) monitor = QGuiApplication::primaryScreen();
    if (!monitor) return {};
    return {monitor->geometry(), monitor->availableGeometry()};
}

void Tform_Win32RDPClient::LoadBalanceBeforeConnect() {
    const auto closeWhenClosing = [this] {
        if (Timer_AutoClose->isActive()) QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    };
    if (RefreshBusy) {
        LogInfo("Want to connect. However, refresh serverlist is busy, so wait 30 seconds...");
        bn_Close->setEnabled(false);
        WaitForLoadBalancing([this] { return !RefreshBusy; });
        bn_Close->setEnabled(true);
        closeWhenClosing();
    }
    if ((!ServerListComplete && !cb_DoAskLoadBalancingHostname->isChecked()) || !ServerListRefreshAvailable()) {
        LogWarning("I have no serverlist and I can also not ask the user for a hostname....");
        return;
    }
    if (RefreshBusy || Timer_AutoClose->isActive()) return;
    LogInfo("Want to connect. Get server list, and wait for result...");
    RefreshServerList();
    bn_Close->setEnabled(false);
    WaitForLoadBalancing([this] { return ServerListComplete; });
    bn_Close->setEnabled(true);
    closeWhenClosing();
    if (Timer_AutoClose->isActive()) return;
    if (ServerListComplete) {
        LogInfo("Server list is here. Connect...");
    } else if (cb_DoLoadBalancing->isChecked() && cb_DoAskLoadBalancingHostname->isChecked()) {
        AskFirstTimeServer();
    } else {
        images_error->show();
        BusyIndicatorStep = -(5000 / Timer_RefreshServerList->interval());
    }
}

// The server list refresh comes with the load-balancing work; until then there is
// no list to wait for.
bool Tform_Win32RDPClient::ServerListRefreshAvailable() const { return false; }

void Tform_Win32RDPClient::RefreshServerList() {
    // Comes with the server list refresh: asks the Farm endpoints for the list.
}

void Tform_Win32RDPClient::AskFirstTimeServer() {
    // Comes with the server list refresh: asks the user for a server of the Farm.
}

void Tform_Win32RDPClient::WaitForLoadBalancing(const std::function<bool()> &condition) {
    constexpr qint64 MinimumMs = 500;
    constexpr qint64 MaximumMs = 30000;
    QElapsedTimer elapsed;
    elapsed.start();
    for (;;) {
        QCoreApplication::processEvents();
        QThread::msleep(20);
        const qint64 passed = elapsed.elapsed();
        if (((passed >= MaximumMs || condition()) && passed >= MinimumMs) || Timer_AutoClose->isActive() ||
            !cb_DoLoadBalancing->isChecked())
            return;
    }
}

ConnectTarget Tform_Win32RDPClient::ConnectionTarget() const {
    if (cb_DoLoadBalancing->isChecked()) return TargetFromSelectedServer(SelectedServerHost, SelectedServerPort);
    return TargetFromHostField(Edit_Host->text().toStdString());
}

void Tform_Win32RDPClient::SaveProfileBeforeConnect() {
    if (!rb_MultipleConnectionUsage->isChecked())
        WriteProfile(ApplicationDataFolder() + "/" + Identity::SingleConnectionProfileName(), "3");
    else if (cmbx_FolderMultipleConnectionsRDPFiles->currentIndex() >= 0)
        WriteProfile(CurrentConnectionProfilePath(), "4");
}

// Steps 7 to 11: the session window, its display mode and place, the control's
// properties, and the start of the connection. Any failure shows the main window
// again and frees the session window.
void Tform_Win32RDPClient::OpenSession(const ConnectTarget &target, const MonitorAreas &monitor) {
    const RdpControlVariant variant = VariantForVersion(RdpClientVersion);
    try {
        if (variant == RdpControlVariant::Unsupported)
            throw std::runtime_error("no RDP control for version " + RdpClientVersion);
        FreeSessionWindow(variant);
        QString error;
        std::unique_ptr<RdpControl> control = services_.createRdpControl(&error);
        if (!control) throw std::runtime_error(error.toStdString());
        auto *window = new SessionWindow(variant, std::move(control), *this);
        sessionWindows_[SessionVariantIndex(variant)] = window;
        const int sizeIndex = cb_Desktopsize->currentIndex();
        if (cb_DisplayConnectionBar->isChecked() && IsFullScreenIndex(sizeIndex))
            Tform_showNavBar::Create(window);
        else
            Tform_showNavBar::Destroy();

        const DisplayPlan display = PlanDisplay(DoSeamless(), sizeIndex, SessionTransparencyColour());
        LogInfo(display.logLine);
        window->SetWindowColour(display.windowColour);
        window->setWindowFlag(Qt::FramelessWindowHint, display.frameless);
        RdpControl &rdp = window->Control();
        rdp.SecuredSettings().WorkDir = Q(display.workDir);
        window->show();
        window->raise();
        window->activateWindow();

        PlaceSessionWindow(*window, display.mode, monitor);

        Tform_showNavBar *bar = Tform_showNavBar::Current();
        if (cb_DisplayConnectionBar->isChecked() && bar) bar->ExpandWithCaption(QCoreApplication::applicationName());
        rdp.AdvancedSettings2().DisplayConnectionBar = cb_DisplayConnectionBar->isChecked() ? -1 : 0;

        LogInfo("RDP object: set properties");
        const ControlPropertyPlan plan = PlanControlProperties(ReadConnectSettings(), target.host);
        SetTitles(plan.caption);
        window->setWindowTitle(Q(plan.caption));
        SizeControl(*window);
        SetControlProperties(rdp, plan);
        LogInfo("RDP object: connect");
        rdp.SetServer(Q(target.host));
        rdp.AdvancedSettings2().RDPPort = target.port;
        rdp.Connect();
    } catch (const std::exception &failure) {
        ConnectFailed(failure.what(), variant);
    }
}

void Tform_Win32RDPClient::PlaceSessionWindow(SessionWindow &window, DisplayMode mode, const MonitorAreas &monitor) {
    const Placement placement = tsc::PlaceSessionWindow(mode, cb_Desktopsize->currentIndex(), DesktopWidth,
                                                        DesktopHeight, monitor.full, monitor.work);
    if (placement.usesClientOrigin) {
        window.setGeometry(placement.client);
    } else {
        window.move(placement.client.topLeft());
        window.resize(placement.client.size());
    }
    if (placement.seamlessShift != 0) {
        window.move(window.x() - placement.seamlessShift, window.y());
        window.SetSeamlessShift(placement.seamlessShift);
    }
    QCoreApplication::processEvents();
    window.repaint();
}

// The control fills the client area; a size it refuses is lowered to the variant's
// next fall-back, and a refusal of the last one fails the connect.
void Tform_Win32RDPClient::SizeControl(SessionWindow &window) {
    RdpControl &rdp = window.Control();
    const auto &fallbacks = window.Traits().sizeFallbacks;
    QSize size = window.size();
    for (std::size_t step = 0;; ++step) {
        window.MsRdpClient()->setGeometry(QRect(QPoint(0, 0), size));
        const bool accepted = rdp.SetDesktopWidth(size.width()) && rdp.SetDesktopHeight(size.height());
        if (accepted) break;
        const std::string sizeText = std::to_string(size.width()) + " x " + std::to_string(size.height());
        if (step == fallbacks.size()) throw std::runtime_error("The RDP control refuses the desktop size " + sizeText);
        LogWarning("Can not do desired width x height: " + sizeText);
        size = FallbackSize(size, window.Traits(), step);
        window.resize(size);
    }
    const QRect placed = window.MsRdpClient()->geometry();
    LogInfo("left:   " + std::to_string(placed.left()));
    LogInfo("top:    " + std::to_string(placed.top()));
    LogInfo("width:  " + std::to_string(placed.width()));
    LogInfo("height: " + std::to_string(placed.height()));
}

void Tform_Win32RDPClient::SetControlProperties(RdpControl &rdp, const ControlPropertyPlan &plan) {
    if (!rdp.SetColorDepth(plan.colorDepth)) (void)rdp.SetColorDepth(15);
    LogInfo("Colors: " + std::to_string(rdp.ColorDepth()));
    rdp.SecuredSettings2().AudioRedirectionMode = plan.audioRedirectionMode;
    rdp.SecuredSettings2().KeyboardHookMode = plan.keyboardHookMode;
    RdpAdvancedSettings2 &advanced = rdp.AdvancedSettings2();
    advanced.RedirectDrives = plan.redirectDrives;
    advanced.RedirectPrinters = plan.redirectPrinters;
    advanced.RedirectPorts = plan.redirectPorts;
    advanced.RedirectSmartCards = plan.redirectSmartCards;
    rdp.AdvancedSettings().BitmapPeristence = plan.bitmapPersistence;
    rdp.SetUserName(Q(plan.userName));
    advanced.PerformanceFlags = plan.performanceFlags;
    if (!plan.clearTextPassword.empty()) advanced.ClearTextPassword = Q(plan.clearTextPassword);
    rdp.SetDomain(QString());
    if (!plan.domain.empty()) rdp.SetDomain(Q(plan.domain));
}

ConnectSettings Tform_Win32RDPClient::ReadConnectSettings() const {
    ConnectSettings settings;
    settings.userName = edit_UserName->text().toStdString();
    settings.password = edit_Password->text().toStdString();
    settings.domain = edit_Domain->text().toStdString();
    settings.colorsIndex = cb_Colors->currentIndex();
    settings.soundIndex = cb_Sound->currentIndex();
    settings.windowsKeysIndex = cb_WindowsKeys->currentIndex();
    settings.connectDiskDrives = cb_ConnectDiskDrives->isChecked();
    settings.connectPrinters = cb_ConnectPrinters->isChecked();
    settings.commPorts = cb_CommPorts->isChecked();
    settings.smartCards = cb_SmartCards->isChecked();
    settings.bitmapCaching = cb_Bitmapcaching->isChecked();
    settings.seamless = cb_DoSeamless->isChecked();
    settings.background = cb_Background->isChecked();
    settings.themes = cb_Themes->isChecked();
    settings.windowDragging = cb_WindowDragging->isChecked();
    settings.animation = cb_Animation->isChecked();
    return settings;
}

void Tform_Win32RDPClient::ConnectFailed(const std::string &message, RdpControlVariant variant) {
    LogError("Exception RDP object: " + message);
    Dialogs().ShowMessage(windowTitle().toStdString(),
                          "An error occured: " + message + "\r\r" +
                              "You can try to solve this by (re)installing\rthe Remote Desktop Client from "
                              "Microsoft,\rusing the button in the Settings-page",
                          UserDialogs::Buttons::Ok, UserDialogs::Icon::Error);
    show();
    if (variant != RdpControlVariant::Unsupported) FreeSessionWindow(variant);
}

void Tform_Win32RDPClient::FreeSessionWindow(RdpControlVariant variant) {
    delete sessionWindows_[SessionVariantIndex(variant)].data();
}

SessionWindow *Tform_Win32RDPClient::SessionWindowOf(RdpControlVariant variant) const {
    return sessionWindows_[SessionVariantIndex(variant)].data();
}

bool Tform_Win32RDPClient::DoSeamless() const { return cb_DoSeamless->isChecked(); }

void Tform_Win32RDPClient::StartUpdateCheck(const std::string &) {
    // Comes with the update check: starts the update thread against the session host.
}

void Tform_Win32RDPClient::CloseAfterAutoConnect() {
    for (int request = 0; request < 2; ++request)
        QMetaObject::invokeMethod(this, [this] { close(); }, Qt::QueuedConnection);
    StartAutoClose();
}

void Tform_Win32RDPClient::ShowMainWindow() {
    show();
    raise();
    activateWindow();
}

void Tform_Win32RDPClient::CloseMainWindow() { close(); }

void Tform_Win32RDPClient::bn_CloseClick() {
    CloseFarmConnection();
    close();
}

void Tform_Win32RDPClient::Timer_RefreshServerListTimer() {
    // Comes with the server list refresh.
}

void Tform_Win32RDPClient::Timer_GetMeAnUpdateLoggingTimer() {
    // Comes with the update check: drains the update thread's lines once it has finished.
}

void Tform_Win32RDPClient::ApplicationEvents1Exception(const std::string &message) {
    LogError(message);
    show();
}

// ---------------------------------------------------------------------------
// Shutdown

void Tform_Win32RDPClient::closeEvent(QCloseEvent *event) {
    ProcessState::SetClosing();
    event->accept();
    // Closing the main window ends the application, whatever other windows are open.
    QCoreApplication::quit();
}

void Tform_Win32RDPClient::FormDestroy() {
    if (!formDestroyed_) {
        ProcessState::SetShuttingDown();
        formDestroyed_ = true;
        AbortUpdateTransfer();
        if (ProcessState::PendingStartPath().empty()) {
            WriteAllIniValues();
            WriteBackCurrentProfile();
        }
        DisconnectSessionWindows();
        FreeSessionWindows();
        StartAutoClose();
    }
    CloseFarmConnection();
    refreshWorkList_.clear();
    DrainUpdateLogList();
    if (log_) {
        log_->Stop();
        log_.reset();
    }
}

void Tform_Win32RDPClient::AbortUpdateTransfer() {
    // Comes with the update check: aborts a running transfer of the update thread.
}

void Tform_Win32RDPClient::WriteBackCurrentProfile() {
    if (!rb_MultipleConnectionUsage->isChecked())
        WriteProfile(ApplicationDataFolder() + "/" + Identity::SingleConnectionProfileName(), "1");
    else if (cmbx_FolderMultipleConnectionsRDPFiles->currentIndex() >= 0)
        WriteProfile(CurrentConnectionProfilePath(), "2");
}

void Tform_Win32RDPClient::DisconnectSessionWindows() {
    for (const RdpControlVariant variant : SessionVariants) {
        try {
            SessionWindow *window = SessionWindowOf(variant);
            if (!window || window->Control().Connected() != RdpConnectionState::Connected) continue;
            const std::string name = window->Traits().closeName;
            LogInfo("Close: disconnect " + name + " object");
            window->Control().Disconnect();
            for (int wait = 0; wait < 500; ++wait) {
                if (!SessionWindowOf(variant) || window->Control().Connected() != RdpConnectionState::Connected) break;
                QThread::msleep(10);
                QCoreApplication::processEvents();
            }
            if (SessionWindowOf(variant) && window->Control().Connected() == RdpConnectionState::Connected)
                LogWarning("Close: " + name + " object not disconnected");
            else
                LogInfo("Close: " + name + " object disconnected");
        } catch (...) {
        }
    }
}

void Tform_Win32RDPClient::FreeSessionWindows() {
    for (const RdpControlVariant variant : SessionVariants) {
        try {
            FreeSessionWindow(variant);
        } catch (...) {
        }
    }
}

void Tform_Win32RDPClient::CloseFarmConnection() {
    // Comes with the Farm protocol: closes the Farm socket and the server list file.
}

void Tform_Win32RDPClient::DrainUpdateLogList() {
    for (const std::string &line : UpdateLogList) LogInfo(line);
    UpdateLogList.clear();
}

void Tform_Win32RDPClient::StartAutoClose() { Timer_AutoClose->start(); }

void Tform_Win32RDPClient::Timer_AutoCloseTimer() {
    close();
    if (++Timer_AutoCloseTag < 6) return;
    LogWarning("Terminate");
    try {
        FormDestroy();
    } catch (...) {
    }
    services_.terminateProcess();
}

// ---------------------------------------------------------------------------
// Logging

bool Tform_Win32RDPClient::HasActiveLog() const { return log_ && log_->IsActive(); }

void Tform_Win32RDPClient::Log(void (LogSink::*write)(std::string_view), std::string_view message) {
    if (!HasActiveLog()) return;
    try {
        (log_.get()->*write)(message);
    } catch (...) {
        // Logging never fails its caller.
    }
}

void Tform_Win32RDPClient::LogInfo(std::string_view message) { Log(&LogSink::LogInfo, message); }
void Tform_Win32RDPClient::LogWarning(std::string_view message) { Log(&LogSink::LogWarning, message); }
void Tform_Win32RDPClient::LogError(std::string_view message) { Log(&LogSink::LogError, message); }

void Tform_Win32RDPClient::LogPlatformDiagnostics() {
    // Every report is a file the client set aside or could not use: worth a warning,
    // and the client goes on with defaults.
    for (const std::string &line : TakePlatformDiagnostics()) LogWarning(line);
}

void Tform_Win32RDPClient::AddDisplayLine(const std::string &line) {
    try {
        lb_Logging->addItem(Q(line));
    } catch (...) {
    }
}

} // namespace tsc::shell
