// The main window's controls: the banner and the eight pages, built in the order
// and with the names the rest of the program and the stored preferences know.

#include "MainWindow.h"

#include "CaptionTable.h"
#include "Identity.h"
#include "Language.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>
#include <QVBoxLayout>

#include <algorithm>

namespace tsc::shell {

namespace {

constexpr int DesignClientWidth = 452;
constexpr int DesignClientHeight = 583;
constexpr int DesignMinimumWidth = 460;
constexpr int DesignMinimumHeight = 110;
constexpr int LogoPanelHeight = 90;
constexpr int ServerGridColumns = 5;
constexpr int ServerGridDesignColumnWidth = 60;

template <typename T> T *Named(T *widget, const char *name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}
#define NAMED(Type, member, ...) member = Named(new Type(__VA_ARGS__), #member)

// The caption table's built-in text of a control: the engine page speaks of
// FreeRDP, and the table holds its texts once.
QString Caption(const char *objectName) {
    const std::string_view text = language::CaptionDefault(objectName);
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QFrame *Panel(QWidget *parent) {
    auto *panel = new QFrame(parent);
    panel->setFrameShape(QFrame::NoFrame);
    return panel;
}

void Fill(QComboBox *box, const auto &items) {
    box->clear();
    for (const ListItem &item : items)
        box->addItem(QString::fromStdString(LookupText(SettingsTextPrefix, item.identifier, item.text)));
}

} // namespace

void MainWindow::BuildWindow() {
    setObjectName("form_Win32RDPClient");
    setWindowTitle("Terminal Server Client");
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
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
    FillLists();
    // Label texts come from Farm replies, profiles and language files: never markup,
    // which could make a label load an image from any file.
    for (QLabel *label : findChildren<QLabel *>())
        label->setTextFormat(Qt::PlainText);

    const int ppi = PixelsPerInch();
    setMinimumSize(DesignMinimumWidth * ppi / DesignPixelsPerInch, DesignMinimumHeight);
    resize(DesignClientWidth * ppi / DesignPixelsPerInch, ScaledHeight(DesignClientHeight, ppi));
    if (const QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect frame = geometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

QWidget *MainWindow::BuildBanner() {
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

void MainWindow::BuildAuthorizationPage() {
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
    NAMED(QLabel, label_PreferredServer1, "...", Panel_PreferredServer_Domain);
    NAMED(QLabel, label_Domain1, "...", Panel_PreferredServer_Domain);
    preferred->addWidget(Label_PreferredServer);
    preferred->addWidget(label_PreferredServer1, 1);
    preferred->addWidget(Label_DomainPreferredServer);
    preferred->addWidget(label_Domain1, 1);
    Panel_PreferredServer_Domain->hide();
    page->addWidget(Panel_PreferredServer_Domain);

    NAMED(QFrame, panel_AskFirstTime, TabSheet_Authorization);
    auto *ask = new QGridLayout(panel_AskFirstTime);
    ask->setContentsMargins(0, 0, 0, 0);
    NAMED(QLabel, Label_EnterAnServerForTheFarm,
          "Please enter a name and portnumner of a server in the Farm:", panel_AskFirstTime);
    Label_EnterAnServerForTheFarm->setWordWrap(true);
    ask->addWidget(Label_EnterAnServerForTheFarm, 0, 0, 1, 3);
    NAMED(QLineEdit, edit_FirstTimeServerAddress, panel_AskFirstTime);
    NAMED(QLineEdit, edit_FirstTimeServerPort, panel_AskFirstTime);
    NAMED(QPushButton, bn_OkFirstTimeServer, "OK", panel_AskFirstTime);
    edit_FirstTimeServerPort->setMaxLength(6);
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
    for (auto [member, name] : {std::pair{&image_busy1, "image_busy1"},
                                {&image_busy2, "image_busy2"},
                                {&image_busy3, "image_busy3"},
                                {&image_busy4, "image_busy4"},
                                {&image_busy5, "image_busy5"},
                                {&images_error, "images_error"}}) {
        *member = Named(new QLabel(TabSheet_Authorization), name);
        (*member)->setFixedSize(12, 12);
        // Until the pictures come from the language table: a blue square that moves
        // along while a refresh runs, a red one for the error.
        (*member)->setStyleSheet(*member == images_error ? "background: #c0392b; border-radius: 6px;"
                                                         : "background: #2f6fb5; border-radius: 3px;");
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

void MainWindow::BuildSettingsPage() {
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
    NAMED(QCheckBox, cb_DisplayConnectionBar, "Display connection bar when showing full screen",
          Panel_Settings1);
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
    for (QGridLayout *grid : {display, resources, performance})
        grid->setColumnMinimumWidth(0, labelWidth + 6);
}

// After the captions and the font of a language table: the widest label may be
// another one now.
void MainWindow::AlignSettingsLabels() {
    int labelWidth = 0;
    for (QLabel *label : {Label_Desktopsize, Label_DisplayConnectionBar, Label_Colors, Label_Sound,
                          Label_WindowsKeys, Label_LocalDevices, Label_Performance})
        labelWidth = std::max(labelWidth, label->sizeHint().width());
    for (QFrame *panel : {Panel_Settings1, Panel_Settings2, Panel_Settings3})
        if (auto *grid = qobject_cast<QGridLayout *>(panel->layout()))
            grid->setColumnMinimumWidth(0, labelWidth + 6);
}

void MainWindow::BuildRdpPlusPage() {
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

void MainWindow::BuildSupportPage() {
    NAMED(QWidget, TabSheet_Support, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_Support, "Support");
    auto *page = new QHBoxLayout(TabSheet_Support);
    page->setContentsMargins(8, 8, 8, 8);
    NAMED(QPushButton, bn_Zip, "ZIP", TabSheet_Support);
    NAMED(QTextEdit, reZip, TabSheet_Support);
    reZip->setReadOnly(true);
    FillSupportText();
    page->addWidget(bn_Zip, 0, Qt::AlignTop);
    page->addWidget(reZip, 1);
}

void MainWindow::FillSupportText() {
    QStringList lines;
    for (const char *line : language::SupportTextLines())
        lines << QString::fromUtf8(line);
    reZip->setPlainText(lines.join(QLatin1Char('\n')));
}

void MainWindow::BuildConnectionsPage() {
    NAMED(QWidget, TabSheet_MultipleConnections, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_MultipleConnections, "Connections");
    auto *page = new QVBoxLayout(TabSheet_MultipleConnections);
    page->setContentsMargins(8, 8, 8, 8);
    NAMED(QRadioButton, rb_SingleConnectionUsage, "Single connection usage", TabSheet_MultipleConnections);
    NAMED(QRadioButton, rb_MultipleConnectionUsage, "Multiple connection usage",
          TabSheet_MultipleConnections);
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
    page->addWidget(BuildRenamePanel());
    for (QWidget *control : std::initializer_list<QWidget *>{
             ed_FolderMultipleConnectionsRDPFiles, listbox_FolderMultipleConnectionsRDPFiles,
             bn_FolderMultipleConnectionsRDPFiles, bn_MultipleConnectionsRDPFiles_Delete,
             bn_MultipleConnectionsRDPFiles_Duplicate, bn_MultipleConnectionsRDPFiles_Rename})
        control->setEnabled(false);
}

void MainWindow::BuildMicrosoftPage() {
    NAMED(QWidget, TabSheet_MSRDP, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_MSRDP, Caption("TabSheet_MSRDP"));
    auto *page = new QVBoxLayout(TabSheet_MSRDP);
    page->setContentsMargins(8, 8, 8, 8);
    NAMED(QLabel, Label_Explain_MSRDPClient, Caption("Label_Explain_MSRDPClient"), TabSheet_MSRDP);
    Label_Explain_MSRDPClient->setWordWrap(true);
    page->addWidget(Label_Explain_MSRDPClient);
    page->addSpacing(8);
    NAMED(QLabel, Label_CurrentStatus, Caption("Label_CurrentStatus"), TabSheet_MSRDP);
    NAMED(QLabel, label_Status, TabSheet_MSRDP);
    label_Status->setWordWrap(true);
    page->addWidget(Label_CurrentStatus);
    page->addWidget(label_Status);

    // Download and registration are not offered on this platform: the panels stay hidden.
    NAMED(QFrame, Panel_MSRDP_Download, TabSheet_MSRDP);
    auto *download = new QVBoxLayout(Panel_MSRDP_Download);
    NAMED(QLabel, Label_MSRDP_Step1, Caption("Label_MSRDP_Step1"), Panel_MSRDP_Download);
    NAMED(QPushButton, bn_DownLoadMSRDP, Caption("bn_DownLoadMSRDP"), Panel_MSRDP_Download);
    NAMED(QLabel, Label_MSRDP_Step1a, Caption("Label_MSRDP_Step1a"), Panel_MSRDP_Download);
    download->addWidget(Label_MSRDP_Step1);
    download->addWidget(bn_DownLoadMSRDP);
    download->addWidget(Label_MSRDP_Step1a);
    Panel_MSRDP_Download->hide();
    page->addWidget(Panel_MSRDP_Download);
    NAMED(QFrame, Panel_MSRDP_Register, TabSheet_MSRDP);
    auto *registration = new QVBoxLayout(Panel_MSRDP_Register);
    NAMED(QLabel, Label_MSRDP_Step2, Caption("Label_MSRDP_Step2"), Panel_MSRDP_Register);
    NAMED(QPushButton, bn_RegisterMSTSCAX, Caption("bn_RegisterMSTSCAX"), Panel_MSRDP_Register);
    registration->addWidget(Label_MSRDP_Step2);
    registration->addWidget(bn_RegisterMSTSCAX);
    Panel_MSRDP_Register->hide();
    page->addWidget(Panel_MSRDP_Register);
    page->addStretch(1);
}

void MainWindow::BuildFarmInfoPage() {
    NAMED(QWidget, TabSheet_FarmInfo, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_FarmInfo, "Farm Info");
    auto *page = new QVBoxLayout(TabSheet_FarmInfo);
    page->setContentsMargins(8, 8, 8, 8);
    auto *preferred = new QGridLayout;
    NAMED(QLabel, Label_Servers, "Servers:", TabSheet_FarmInfo);
    NAMED(QLabel, Label_PreferedServers, "Preferred:", TabSheet_FarmInfo);
    NAMED(QLabel, Label_PreferedDomainServer, "Domain:", TabSheet_FarmInfo);
    NAMED(QLabel, label_PreferredServer2, "...", TabSheet_FarmInfo);
    NAMED(QLabel, label_Domain2, "...", TabSheet_FarmInfo);
    preferred->addWidget(Label_Servers, 0, 0);
    preferred->addWidget(Label_PreferedServers, 1, 0);
    preferred->addWidget(label_PreferredServer2, 1, 1);
    preferred->addWidget(Label_PreferedDomainServer, 2, 0);
    preferred->addWidget(label_Domain2, 2, 1);
    preferred->setColumnStretch(1, 1);
    page->addLayout(preferred);
    NAMED(QLabel, Label_AvailableServers,
          "The following servers are available in the Farm:", TabSheet_FarmInfo);
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

void MainWindow::BuildLoggingPage() {
    NAMED(QWidget, TabSheet_Logging, PageControl_kiv);
    PageControl_kiv->addTab(TabSheet_Logging, "Logging");
    auto *page = new QVBoxLayout(TabSheet_Logging);
    page->setContentsMargins(4, 4, 4, 4);
    NAMED(QListWidget, lb_Logging, TabSheet_Logging);
    lb_Logging->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    lb_Logging->setUniformItemSizes(true);
    page->addWidget(lb_Logging);
}

// The item lists of the settings page; their texts may come from the language table.
void MainWindow::FillLists() {
    Fill(cb_Desktopsize, DesktopSizeItems);
    Fill(cb_Colors, ColorItems);
    Fill(cb_Sound, SoundItems);
    Fill(cb_WindowsKeys, WindowsKeyItems);
}

void MainWindow::FillPrintFileItems() {
    Fill(cbx_PSPDFPrinterFilesSelect, PrintFileItems);
}

} // namespace tsc::shell
