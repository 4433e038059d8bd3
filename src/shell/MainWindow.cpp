#include "MainWindow.h"

#include "CaptionApplier.h"
#include "CaptionTable.h"
#include "Identity.h"
#include "Language.h"
#include "ProfileBinding.h"
#include "StartupLines.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressDialog>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>

#include <algorithm>
#include <array>

namespace tsc::shell {

namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

MainWindow::MainWindow(MainWindowServices services) : services_(std::move(services)) {
    if (!services_.shiftHeld)
        services_.shiftHeld = [] {
            return QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ShiftModifier);
        };
    dialogs_ = services_.dialogs ? std::move(services_.dialogs) : std::make_unique<QtUserDialogs>(this);
    core_ = new ClientCore(static_cast<ClientServices>(services_), *dialogs_, this);
    BuildWindow();
    ConnectCore();
    ConnectControls();
    ConnectConnectionFolder();
    FormCreate();
}

MainWindow::~MainWindow() {
    core_->FormDestroy();
}

int MainWindow::PixelsPerInch() const {
    return services_.pixelsPerInch ? services_.pixelsPerInch() : logicalDpiY();
}

// ---------------------------------------------------------------------------
// What the core reports

void MainWindow::ConnectCore() {
    connect(core_, &ClientCore::displayLine, lb_Logging,
            [this](const QString &line) { lb_Logging->addItem(line); });
    connect(core_, &ClientCore::settingsChanged, this, &MainWindow::ShowSettings);
    connect(core_, &ClientCore::profileWritten, this, [this] { ShowLoadBalancingControls(*this); });
    connect(core_, &ClientCore::connectionUsageRead, this, &MainWindow::ShowConnectionUsage);
    connect(core_, &ClientCore::rdpClientDetected, this, &MainWindow::ShowRdpClientDetection);
    connect(core_, &ClientCore::storedColumnWidthsRead, this, &MainWindow::ApplyStoredColumnWidths);
    connect(core_, &ClientCore::pageLayoutRequested, this, &MainWindow::PageControl_kivChange);
    connect(core_, &ClientCore::connectClickPosted, bn_Connect, &QPushButton::click, Qt::QueuedConnection);
    connect(core_, &ClientCore::titlesChanged, this, [this](const QString &title, const QString &options) {
        setWindowTitle(title);
        Label_WEZ_options->setText(options);
    });
    connect(core_, &ClientCore::connectingChanged, bn_Connect, [this] { ShowConnectCloseAvailability(); });
    connect(core_, &ClientCore::loadBalancingActiveChanged, bn_GetList, &QPushButton::setEnabled);
    connect(core_, &ClientCore::hideMainWindowRequested, this, &QWidget::hide);
    connect(core_, &ClientCore::showMainWindowRequested, this, [this] {
        show();
        raise();
        activateWindow();
    });
    connect(core_, &ClientCore::closeMainWindowRequested, this, &MainWindow::CloseRequested);
    connect(core_, &ClientCore::supportArchiveBusyChanged, this, &MainWindow::ShowSupportArchiveBusy);
    ConnectFarm();
}

void MainWindow::ConnectFarm() {
    using farm::ServerListController;
    ServerListController *farm = &core_->Farm();
    connect(farm, &ServerListController::serverListShown, this, &MainWindow::FillServerGrid);
    connect(farm, &ServerListController::preferredServerChanged, this,
            [this](const QString &name, const QString &domain) {
                label_PreferredServer1->setText(name);
                label_PreferredServer2->setText(name);
                label_Domain1->setText(domain);
                label_Domain2->setText(domain);
            });
    connect(farm, &ServerListController::domainLoaded, edit_Domain, &QLineEdit::setText);
    connect(farm, &ServerListController::indicatorChanged, this, &MainWindow::ShowFarmIndicator);
    connect(farm, &ServerListController::askFirstTimeServer, this, &MainWindow::ShowFirstTimePrompt);
    connect(farm, &ServerListController::firstTimeServerAccepted, this, &MainWindow::HideFirstTimePrompt);
    connect(farm, &ServerListController::firstTimeOkEnabled, bn_OkFirstTimeServer, &QPushButton::setEnabled);
    connect(farm, &ServerListController::userNameFilled, edit_UserName, &QLineEdit::setText);

    connect(bn_GetList, &QPushButton::clicked, farm, &ServerListController::ListClicked);
    connect(bn_OtherFarm, &QPushButton::clicked, farm, &ServerListController::OtherFarmClicked);
    connect(bn_OkFirstTimeServer, &QPushButton::clicked, this, [this] {
        core_->Farm().OkFirstTimeServer(edit_FirstTimeServerAddress->text(),
                                        edit_FirstTimeServerPort->text());
    });
    connect(cb_DoLoadBalancing, &QCheckBox::clicked, this, [this](bool on) {
        ShowLoadBalancingControls(*this);
        core_->LoadBalancingClicked(on);
    });
    connect(cb_DoAskLoadBalancingHostname, &QCheckBox::clicked, this,
            [this](bool on) { core_->AskForFarmClicked(on); });
}

// Connect waits while the connect procedure runs (which itself waits for a refresh
// under way, bounded). Close stays usable whatever the Farm does: it ends any wait.
void MainWindow::ShowConnectCloseAvailability() {
    bn_Connect->setEnabled(!core_->Connecting());
    bn_Close->setEnabled(true);
}

// The grid keeps its heading row; the selection follows the server's name.
void MainWindow::FillServerGrid() {
    const std::vector<farm::ServerRow> &rows = core_->Farm().Rows();
    std::optional<std::string> remembered;
    if (StringGrid_Servers->currentRow() >= 1)
        if (const QTableWidgetItem *selected = StringGrid_Servers->item(StringGrid_Servers->currentRow(), 0))
            remembered = selected->text().toStdString();
    const auto setText = [this](int row, int column, const QString &text) {
        if (QTableWidgetItem *item = StringGrid_Servers->item(row, column))
            item->setText(text);
        else
            StringGrid_Servers->setItem(row, column, new QTableWidgetItem(text));
    };
    StringGrid_Servers->setUpdatesEnabled(false);
    StringGrid_Servers->setRowCount(1 + static_cast<int>(std::max<std::size_t>(1, rows.size())));
    // Row 0 holds the headings the captions gave it.
    int column = 0;
    for (column = 0; column < StringGrid_Servers->columnCount(); ++column)
        setText(1, column, {});
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const farm::ServerRow &row = rows[r];
        column = 0;
        for (const std::string *cell :
             {&row.name, &row.address, &row.rdpPort, &row.rdpPlusPort, &row.loadBalancingPort})
            setText(static_cast<int>(r) + 1, column++, Q(*cell));
    }
    StringGrid_Servers->setCurrentCell(1 + static_cast<int>(farm::RowToSelect(remembered, rows)), 0);
    StringGrid_Servers->setUpdatesEnabled(true);
}

// Exactly one of the five busy pictures or the error picture, or none.
void MainWindow::ShowFarmIndicator(farm::Indicator indicator) {
    const std::array<QLabel *, 6> pictures{image_busy1, image_busy2, image_busy3,
                                           image_busy4, image_busy5, images_error};
    for (std::size_t index = 0; index < pictures.size(); ++index)
        pictures[index]->setVisible(static_cast<int>(indicator) == static_cast<int>(index) + 1);
}

// The prompt takes the place of the user name fields; OK becomes the default button.
void MainWindow::ShowFirstTimePrompt() {
    Panel_UserPswDomain->hide();
    panel_AskFirstTime->show();
    bn_Connect->setDefault(false);
    bn_OkFirstTimeServer->setDefault(true);
    bn_OtherFarm->show();
    edit_FirstTimeServerAddress->setFocus();
}

void MainWindow::HideFirstTimePrompt() {
    panel_AskFirstTime->hide();
    Panel_UserPswDomain->show();
    bn_OkFirstTimeServer->setDefault(false);
    bn_Connect->setDefault(true);
}

void MainWindow::ShowSettings() {
    showingSettings_ = true;
    const profiles::ProfileSettings settings = core_->Settings();
    ShowProfileSettings(*this, settings);
    FillLocalPrinters();
    showingSettings_ = false;
    HandOverSettings();
}

void MainWindow::FillLocalPrinters() {
    const PrinterList &printers = core_->Printers();
    cbx_LocalPrinters->clear();
    for (const std::string &name : printers.names)
        cbx_LocalPrinters->addItem(Q(name));
    cbx_LocalPrinters->setCurrentIndex(
        cbx_LocalPrinters->findText(Q(printers.defaultName), Qt::MatchExactly));
}

void MainWindow::ShowConnectionUsage() {
    const bool multiple = core_->MultipleConnections();
    if (multiple) ed_FolderMultipleConnectionsRDPFiles->setText(Q(core_->ConnectionFolder()));
    ShowConnectionUsageControls(multiple);
}

void MainWindow::ShowRdpClientDetection(bool showStatusPage) {
    if (!showStatusPage) return;
    SetPageTabVisible(TabSheet_MSRDP, true);
    SetActivePage(TabSheet_MSRDP);
    ShowRdpClientStatus();
}

void MainWindow::ApplyStoredColumnWidths(const std::vector<std::optional<int>> &widths) {
    for (std::size_t column = 0; column < widths.size(); ++column)
        if (widths[column]) StringGrid_Servers->setColumnWidth(static_cast<int>(column), *widths[column]);
}

// ---------------------------------------------------------------------------
// What the user asks for

void MainWindow::ConnectControls() {
    connect(PageControl_kiv, &QTabWidget::currentChanged, this, [this](int index) {
        // Keyboard page switching (Ctrl+Tab) also lands on hidden pages: pass over them
        // in the direction of travel.
        if (!PageControl_kiv->isTabVisible(index)) {
            const int count = PageControl_kiv->count();
            const int step = (index - shownPageIndex_ + count) % count <= count / 2 ? 1 : -1;
            int next = index;
            do
                next = (next + step + count) % count;
            while (!PageControl_kiv->isTabVisible(next) && next != index);
            PageControl_kiv->setCurrentIndex(next); // runs this handler again
            return;
        }
        shownPageIndex_ = index;
        PageControl_kivChange();
    });
    connect(bn_Close, &QPushButton::clicked, core_, [this] { core_->bn_CloseClick(); });
    connect(bn_Connect, &QPushButton::clicked, this, &MainWindow::bn_ConnectClick);
    connect(bn_Zip, &QPushButton::clicked, this, &MainWindow::bn_ZipClick);
    connect(cb_Desktopsize, &QComboBox::currentIndexChanged, this, [this] { cb_DesktopsizeChange(); });
    connect(edit_Desktopsize_width, &QLineEdit::textChanged, this,
            [this] { ApplySizeField(SizeField::Width); });
    connect(edit_Desktopsize_height, &QLineEdit::textChanged, this,
            [this] { ApplySizeField(SizeField::Height); });
    connect(cb_DoSeamless, &QCheckBox::toggled, this, [this] { cb_DoSeamlessClick(); });
    connect(edit_UserName, &QLineEdit::textChanged, this, [this] {
        if (edit_UserName->text().isEmpty()) edit_Password->clear();
        core_->UserNameEdited(edit_UserName->text().toStdString());
    });

    // Every control that holds a setting hands its change to the core.
    for (QLineEdit *edit : {edit_UserName, edit_Password, edit_Domain, Edit_Host})
        connect(edit, &QLineEdit::textChanged, this, &MainWindow::HandOverSettings);
    for (QComboBox *list : {cb_Desktopsize, cb_Colors, cb_Sound, cb_WindowsKeys})
        connect(list, &QComboBox::currentIndexChanged, this, &MainWindow::HandOverSettings);
    for (QCheckBox *box : findChildren<QCheckBox *>())
        connect(box, &QCheckBox::toggled, this, &MainWindow::HandOverSettings);
    connect(StringGrid_Servers->horizontalHeader(), &QHeaderView::sectionResized, this,
            &MainWindow::HandOverColumnWidths);
    HandOverColumnWidths();
}

void MainWindow::HandOverSettings() {
    if (!showingSettings_) core_->SetSettings(CollectProfileSettings(*this));
}

void MainWindow::HandOverColumnWidths() {
    std::vector<int> widths;
    for (int column = 0; column < StringGrid_Servers->columnCount(); ++column)
        widths.push_back(StringGrid_Servers->columnWidth(column));
    core_->SetColumnWidths(std::move(widths));
}

void MainWindow::bn_ConnectClick() {
    HandOverSettings();
    core_->bn_ConnectClick(NearestMonitor());
}

MonitorAreas MainWindow::NearestMonitor() const {
    const QScreen *monitor = screen();
    if (!monitor) monitor = QGuiApplication::primaryScreen();
    if (!monitor) return {};
    return {monitor->geometry(), monitor->availableGeometry()};
}

// "Connect" is the window's default button: Enter pressed in a field that does not
// take it itself clicks it, as long as the button can be seen and used (its page is
// the active one). QPushButton's own default handling only exists inside dialogs.
void MainWindow::keyPressEvent(QKeyEvent *event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
    if (enter && modifiers == Qt::NoModifier && panel_AskFirstTime->isVisible() &&
        bn_OkFirstTimeServer->isEnabled()) {
        bn_OkFirstTimeServer->click();
        return;
    }
    if (enter && modifiers == Qt::NoModifier && bn_Connect->isVisible() && bn_Connect->isEnabled()) {
        bn_Connect->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    edit_UserName->setFocus();
}

// QWidget::close() goes through the window system's window, and a main window hidden
// for a session may have none left: the close then ends without a close event, and
// the program would not end. The close event is delivered here instead.
void MainWindow::CloseRequested() {
    QCloseEvent event;
    QCoreApplication::sendEvent(this, &event);
    if (event.isAccepted()) hide();
}

void MainWindow::closeEvent(QCloseEvent *event) {
    core_->FormClose();
    event->accept();
    // Closing the main window ends the application, whatever other windows are open.
    QCoreApplication::quit();
}

// ---------------------------------------------------------------------------
// Start-up and pages

void MainWindow::FormCreate() {
    SetActivePage(TabSheet_Authorization);
    for (QWidget *page : {TabSheet_MSRDP, TabSheet_FarmInfo, TabSheet_Logging})
        SetPageTabVisible(page, false);
    ApplyCaptions();
    QFont titleFont = label_AppName->font();
    titleFont.setPointSize(font().pointSize() + 3);
    label_AppName->setFont(titleFont);
    core_->Start();
}

void MainWindow::ApplyCaptions() {
    label_AppName->setText(Q(Identity::AppTitle()));
    language::ApplyCaptionRows(
        this, [](std::string_view prefix, std::string_view identifier, std::string_view current) {
            return LookupText(prefix, identifier, current);
        });
    ApplyServerGridHeadings();
    FillPrintFileItems();
    ApplySupportText();
    ApplyLanguageImages();
    // A table made without a font leaves the window's: an empty name is no face.
    if (const auto face = LanguageFont(); face && !face->name.empty()) language::ApplyFont(this, *face);
    AlignSettingsLabels();
}

void MainWindow::ApplyServerGridHeadings() {
    StringGrid_Servers->setRowCount(2);
    const auto headings = language::ServerGridHeadings();
    for (int column = 0; column < StringGrid_Servers->columnCount(); ++column) {
        if (static_cast<std::size_t>(column) >= headings.size()) break;
        const language::CaptionRow &heading = headings[static_cast<std::size_t>(column)];
        QTableWidgetItem *cell = StringGrid_Servers->item(0, column);
        const std::string current = cell ? cell->text().toStdString() : heading.defaultText;
        const QString text = Q(LookupText(heading.prefix, heading.identifier, current));
        if (cell)
            cell->setText(text);
        else
            StringGrid_Servers->setItem(0, column, new QTableWidgetItem(text));
    }
}

// The Support text is one entry of the table: its lines joined by CR LF.
void MainWindow::ApplySupportText() {
    const QStringList current = reZip->toPlainText().split(QLatin1Char('\n'));
    const std::string joined = current.join(QStringLiteral("\r\n")).toStdString();
    const language::CaptionRow &entry = language::SupportText;
    QStringList lines;
    for (const std::string &line : language::SplitLines(LookupText(entry.prefix, entry.identifier, joined)))
        lines << Q(line);
    reZip->setPlainText(lines.join(QLatin1Char('\n')));
}

// The first image is the application's icon and the banner's logo, the second the
// main window's icon; an image that does not load leaves what was there.
void MainWindow::ApplyLanguageImages() {
    QPixmap first;
    if (language::LoadImage(LanguageFirstImage(), first)) {
        QApplication::setWindowIcon(QIcon(first));
        ShowLogo(first);
    }
    QPixmap second;
    if (language::LoadImage(LanguageSecondImage(), second)) setWindowIcon(QIcon(second));
}

// A logo keeps its proportions: at the left of the banner, at most the banner's
// height and two thirds of its width, with the title and the line beside it.
void MainWindow::ShowLogo(const QPixmap &logo) {
    constexpr int Margin = 6;
    QPixmap shown = logo;
    const int height = Panel_logo->height() - 2 * Margin;
    if (shown.height() > height) shown = shown.scaledToHeight(height, Qt::SmoothTransformation);
    const int width = this->width() * 2 / 3;
    if (shown.width() > width) shown = shown.scaledToWidth(width, Qt::SmoothTransformation);
    Image_BitmapLogo->setScaledContents(false);
    Image_BitmapLogo->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Image_BitmapLogo->setContentsMargins(Margin, 0, 0, 0);
    Image_BitmapLogo->setPixmap(shown);
    // The banner's style sheet decides the labels' margins, so the room for the logo
    // is a padding of the labels' own style sheets.
    for (QLabel *label : {label_AppName, Label_LBSeamLess}) {
        label->setStyleSheet(QStringLiteral("padding-left: %1px; padding-right: %2px;")
                                 .arg(shown.width() + 2 * Margin)
                                 .arg(Margin));
        label->setWordWrap(true);
    }
}

// ---------------------------------------------------------------------------
// Support page

void MainWindow::bn_ZipClick() {
    core_->bn_ZipClick();
}

void MainWindow::ShowSupportArchiveBusy(bool busy) {
    bn_Zip->setEnabled(!busy);
    if (!busy) {
        delete supportProgress_;
        supportProgress_ = nullptr;
        return;
    }
    supportProgress_ = new QProgressDialog(this);
    supportProgress_->setObjectName(QStringLiteral("SupportProgress"));
    // The label shows folder names as they are on disk: plain text, never markup.
    auto *folderLabel = new QLabel(supportProgress_);
    folderLabel->setTextFormat(Qt::PlainText);
    supportProgress_->setLabel(folderLabel);
    supportProgress_->setWindowTitle(bn_Zip->text());
    supportProgress_->setRange(0, 0);
    supportProgress_->setMinimumDuration(0);
    supportProgress_->setWindowModality(Qt::WindowModal);
    supportProgress_->setAutoClose(false);
    supportProgress_->setAutoReset(false);
    connect(core_, &ClientCore::supportArchiveFolderEntered, supportProgress_,
            &QProgressDialog::setLabelText);
    // The dialog is the context: a click after the archive has ended reaches nothing.
    // The cancel button, closing the dialog and Escape all stop the archive.
    const auto cancel = [this] { core_->CancelSupportArchive(); };
    connect(supportProgress_, &QProgressDialog::canceled, supportProgress_, cancel);
    connect(supportProgress_, &QDialog::rejected, supportProgress_, cancel);
    supportProgress_->show();
}

void MainWindow::SetActivePage(QWidget *page) {
    const QSignalBlocker quiet(PageControl_kiv);
    PageControl_kiv->setCurrentWidget(page);
    shownPageIndex_ = PageControl_kiv->currentIndex();
}

void MainWindow::PageControl_kivChange() {
    RevealHiddenPagesOnShift();
    ApplyPageHeight();
    if (PageControl_kiv->currentWidget() == TabSheet_MSRDP) ShowRdpClientStatus();
    KeepOnFirstMonitor();
}

void MainWindow::RevealHiddenPagesOnShift() {
    if (!services_.shiftHeld() || core_->Settings().hideSettings) return;
    for (QWidget *page : {TabSheet_MSRDP, TabSheet_FarmInfo, TabSheet_Logging})
        SetPageTabVisible(page, true);
}

void MainWindow::SetPageTabVisible(QWidget *page, bool visible) {
    const int index = PageControl_kiv->indexOf(page);
    if (PageControl_kiv->isTabVisible(index) == visible) return;
    PageControl_kiv->setTabVisible(index, visible);
}

void MainWindow::ApplyPageHeight() {
    const QWidget *page = PageControl_kiv->currentWidget();
    const bool shortPage = page == TabSheet_Authorization || page == TabSheet_Support;
    const WindowHeights heights =
        PageHeights(shortPage, rb_MultipleConnectionUsage->isChecked(),
                    pn_cmbx_FolderMultipleConnectionsRDPFiles->height(), WindowHeight(), PixelsPerInch());
    SetWindowHeights(heights.minimum, heights.height);
}

// Heights here are those of the whole window, title bar included, as far as the
// window system tells them.
int MainWindow::WindowHeight() const {
    return frameGeometry().height();
}

void MainWindow::SetWindowHeights(int minimum, int height) {
    const int decoration = frameGeometry().height() - geometry().height();
    setMinimumHeight(std::max(1, minimum - decoration));
    resize(width(), std::max(1, height - decoration));
}

void MainWindow::ShowRdpClientStatus() {
    const auto lookup = [](std::string_view identifier, std::string_view defaultText) {
        return LookupText(SettingsTextPrefix, identifier, defaultText);
    };
    // The texts break lines with carriage returns.
    label_Status->setText(Q(RdpClientStatusText(core_->RdpControlUsable(), core_->RdpClientVersion(), lookup))
                              .replace(QLatin1Char('\r'), QLatin1Char('\n')));
}

void MainWindow::KeepOnFirstMonitor() {
    core_->LogInfo("Begin Monitor[0] information");
    const auto screens = QGuiApplication::screens();
    core_->LogInfo(" number of monitors: " + std::to_string(screens.size()));
    if (!screens.isEmpty()) {
        const QRect area = screens.front()->geometry();
        core_->LogInfo(MonitorLine(0, {area.left(), area.top(), area.width(), area.height()}));
        const int top = TopOnFirstMonitor(area.top(), area.height(), frameGeometry().top(), WindowHeight());
        if (top != frameGeometry().top()) move(frameGeometry().left(), top);
    }
    core_->LogInfo("End Monitor[0] information");
}

// ---------------------------------------------------------------------------
// Settings page rules

void MainWindow::cb_DesktopsizeChange() {
    const int index = cb_Desktopsize->currentIndex();
    profiles::ProfileSettings settings = core_->Settings();
    if (profiles::IsFullScreenIndex(index)) {
        edit_Desktopsize_width->clear();
        edit_Desktopsize_height->clear();
    } else {
        if (const auto size = profiles::FixedDesktopSizeOf(index)) {
            settings.desktopWidth = size->width;
            settings.desktopHeight = size->height;
            core_->SetSettings(settings);
        }
        edit_Desktopsize_width->setText(QString::number(settings.desktopWidth));
        edit_Desktopsize_height->setText(QString::number(settings.desktopHeight));
    }
    edit_Desktopsize_width->setEnabled(SizeFieldsEnabled(index));
    edit_Desktopsize_height->setEnabled(SizeFieldsEnabled(index));
}

void MainWindow::ApplySizeField(SizeField field) {
    QLineEdit *edit = field == SizeField::Width ? edit_Desktopsize_width : edit_Desktopsize_height;
    profiles::ProfileSettings settings = core_->Settings();
    std::uint16_t &stored = field == SizeField::Width ? settings.desktopWidth : settings.desktopHeight;
    const SizeFieldOutcome outcome =
        CheckSizeField(edit->text().toStdString(), cb_Desktopsize->currentIndex(), field);
    switch (outcome.action) {
    case SizeFieldOutcome::Action::Nothing:
        return;
    case SizeFieldOutcome::Action::Store:
        stored = outcome.value;
        break;
    case SizeFieldOutcome::Action::EmptyField:
        edit->clear();
        return;
    case SizeFieldOutcome::Action::UseFallback:
        stored = outcome.value;
        edit->setText(Q(outcome.text));
        break;
    }
    core_->SetSettings(settings);
}

void MainWindow::cb_DoSeamlessClick() {
    const bool enabled = !cb_DoSeamless->isChecked();
    for (QWidget *control :
         std::initializer_list<QWidget *>{cb_Desktopsize, Label_Desktopsize, cb_DisplayConnectionBar,
                                          Label_DisplayConnectionBar, cb_Background})
        control->setEnabled(enabled);
}

} // namespace tsc::shell
