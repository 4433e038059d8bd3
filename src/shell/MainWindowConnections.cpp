// The view of the connection usages: the drop-down on the connection page, and the
// usage buttons, the folder, the list and its rename panel on the Connections page.
// The core owns the connections; the controls show its lists and hand over rows.

#include "MainWindow.h"

#include "ConnectionFolder.h"

#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

#include <functional>

namespace tsc::shell {

namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Key and focus events of one control, turned into calls.
class ControlEvents final : public QObject {
  public:
    ControlEvents(QObject *control, std::function<bool(QEvent *)> handler)
        : QObject(control), handler_(std::move(handler)) {
        control->installEventFilter(this);
    }
    bool eventFilter(QObject *, QEvent *event) override { return handler_(event); }

  private:
    std::function<bool(QEvent *)> handler_;
};

bool IsEnter(const QKeyEvent *key) {
    return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter;
}

} // namespace

QWidget *MainWindow::BuildRenamePanel() {
    panel_RenameRDPConnection = new QFrame(TabSheet_MultipleConnections);
    panel_RenameRDPConnection->setObjectName(QStringLiteral("panel_RenameRDPConnection"));
    panel_RenameRDPConnection->setFrameShape(QFrame::StyledPanel);
    auto *layout = new QVBoxLayout(panel_RenameRDPConnection);
    lb_RenameRDPConnection = new QLabel(panel_RenameRDPConnection);
    lb_RenameRDPConnection->setObjectName(QStringLiteral("lb_RenameRDPConnection"));
    layout->addWidget(lb_RenameRDPConnection);
    auto *row = new QHBoxLayout;
    edit_RenameRDPConnection = new QLineEdit(panel_RenameRDPConnection);
    edit_RenameRDPConnection->setObjectName(QStringLiteral("edit_RenameRDPConnection"));
    bn_OKRenameRDPConnection = new QPushButton(QStringLiteral("OK"), panel_RenameRDPConnection);
    bn_OKRenameRDPConnection->setObjectName(QStringLiteral("bn_OKRenameRDPConnection"));
    bn_CancelRenameRDPConnection = new QPushButton(QStringLiteral("Cancel"), panel_RenameRDPConnection);
    bn_CancelRenameRDPConnection->setObjectName(QStringLiteral("bn_CancelRenameRDPConnection"));
    // The panel closes when the field loses the focus: a click on its buttons must
    // not take the focus first, or the panel would be gone before the click lands.
    bn_OKRenameRDPConnection->setFocusPolicy(Qt::NoFocus);
    bn_CancelRenameRDPConnection->setFocusPolicy(Qt::NoFocus);
    row->addWidget(edit_RenameRDPConnection, 1);
    row->addWidget(bn_OKRenameRDPConnection);
    row->addWidget(bn_CancelRenameRDPConnection);
    layout->addLayout(row);
    panel_RenameRDPConnection->hide();
    return panel_RenameRDPConnection;
}

void MainWindow::ConnectConnectionFolder() {
    connect(core_, &ClientCore::connectionUsageChanged, this, &MainWindow::ShowConnectionUsageControls);
    connect(core_, &ClientCore::connectionFolderChanged, ed_FolderMultipleConnectionsRDPFiles,
            &QLineEdit::setText);
    connect(core_, &ClientCore::connectionListsChanged, this, &MainWindow::ShowConnectionLists);
    connect(core_, &ClientCore::currentConnectionChanged, this, &MainWindow::ShowCurrentConnection);

    connect(rb_SingleConnectionUsage, &QRadioButton::toggled, this, [this](bool on) {
        if (on) core_->rb_SingleConnectionUsageClick();
    });
    connect(rb_MultipleConnectionUsage, &QRadioButton::toggled, this, [this](bool on) {
        if (on) core_->rb_MultipleConnectionUsageClick();
    });
    connect(ed_FolderMultipleConnectionsRDPFiles, &QLineEdit::textEdited, this,
            [this](const QString &text) { core_->SetConnectionFolderText(text.toStdString()); });
    connect(bn_FolderMultipleConnectionsRDPFiles, &QPushButton::clicked, this,
            [this] { core_->bn_FolderMultipleConnectionsRDPFilesClick(); });
    connect(cmbx_FolderMultipleConnectionsRDPFiles, &QComboBox::activated, this,
            [this](int index) { core_->cmbx_FolderMultipleConnectionsRDPFilesChange(index); });
    connect(listbox_FolderMultipleConnectionsRDPFiles, &QListWidget::currentRowChanged, this,
            [this](int row) { core_->SetListSelection(row); });
    connect(bn_MultipleConnectionsRDPFiles_Rename, &QPushButton::clicked, this,
            &MainWindow::bn_MultipleConnectionsRDPFiles_RenameClick);
    connect(bn_MultipleConnectionsRDPFiles_Delete, &QPushButton::clicked, this,
            &MainWindow::bn_MultipleConnectionsRDPFiles_DeleteClick);
    connect(bn_MultipleConnectionsRDPFiles_Duplicate, &QPushButton::clicked, this,
            &MainWindow::bn_MultipleConnectionsRDPFiles_DuplicateClick);
    connect(bn_OKRenameRDPConnection, &QPushButton::clicked, this,
            &MainWindow::bn_OKRenameRDPConnectionClick);
    connect(bn_CancelRenameRDPConnection, &QPushButton::clicked, this,
            &MainWindow::edit_RenameRDPConnectionExit);

    // listbox_FolderMultipleConnectionsRDPFilesKeyUp: Delete and Insert act on release.
    new ControlEvents(listbox_FolderMultipleConnectionsRDPFiles, [this](QEvent *event) {
        if (event->type() != QEvent::KeyRelease) return false;
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->isAutoRepeat() || key->modifiers() != Qt::NoModifier) return false;
        if (key->key() == Qt::Key_Delete)
            bn_MultipleConnectionsRDPFiles_DeleteClick();
        else if (key->key() == Qt::Key_Insert)
            bn_MultipleConnectionsRDPFiles_DuplicateClick();
        else
            return false;
        return true;
    });
    // edit_RenameRDPConnectionKeyDown/KeyPress/KeyUp and Exit: Enter is swallowed when
    // pressed and confirms when released; Escape and leaving the field cancel.
    auto enterPressed = std::make_shared<bool>(false);
    new ControlEvents(edit_RenameRDPConnection, [this, enterPressed](QEvent *event) {
        switch (event->type()) {
        case QEvent::KeyPress: {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (IsEnter(key)) {
                *enterPressed = true;
                return true;
            }
            if (key->key() == Qt::Key_Escape) {
                edit_RenameRDPConnectionExit();
                return true;
            }
            return false;
        }
        case QEvent::KeyRelease: {
            const auto *key = static_cast<QKeyEvent *>(event);
            if (!IsEnter(key) || key->isAutoRepeat()) return false;
            // Only an Enter pressed in the field: the release of one that opened
            // the panel elsewhere confirms nothing.
            if (!*enterPressed) return true;
            *enterPressed = false;
            bn_OKRenameRDPConnectionClick();
            return true;
        }
        case QEvent::FocusOut: {
            *enterPressed = false;
            // Another application's window taking over is no leaving of the field.
            const auto reason = static_cast<QFocusEvent *>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                edit_RenameRDPConnectionExit();
            return false;
        }
        default:
            return false;
        }
    });
}

// SetConnectionUsage's controls.
void MainWindow::ShowConnectionUsageControls(bool multiple) {
    {
        const QSignalBlocker single(rb_SingleConnectionUsage);
        const QSignalBlocker several(rb_MultipleConnectionUsage);
        (multiple ? rb_MultipleConnectionUsage : rb_SingleConnectionUsage)->setChecked(true);
    }
    for (QWidget *control : std::initializer_list<QWidget *>{
             ed_FolderMultipleConnectionsRDPFiles, listbox_FolderMultipleConnectionsRDPFiles,
             bn_FolderMultipleConnectionsRDPFiles, bn_MultipleConnectionsRDPFiles_Delete,
             bn_MultipleConnectionsRDPFiles_Duplicate, bn_MultipleConnectionsRDPFiles_Rename})
        control->setEnabled(multiple);
    pn_cmbx_FolderMultipleConnectionsRDPFiles->setVisible(multiple);
    if (!multiple) edit_RenameRDPConnectionExit();
    ApplyPageHeight();
}

void MainWindow::ShowConnectionLists() {
    const QSignalBlocker listBlocker(listbox_FolderMultipleConnectionsRDPFiles);
    const QSignalBlocker comboBlocker(cmbx_FolderMultipleConnectionsRDPFiles);
    QStringList listed;
    listed.reserve(static_cast<qsizetype>(core_->ListedConnections().size()));
    for (const profiles::Connection &connection : core_->ListedConnections())
        listed.append(Q(connection.name));
    QStringList sorted;
    sorted.reserve(listed.size());
    for (const profiles::Connection &connection : core_->SortedConnections())
        sorted.append(Q(connection.name));
    listbox_FolderMultipleConnectionsRDPFiles->clear();
    listbox_FolderMultipleConnectionsRDPFiles->addItems(listed);
    listbox_FolderMultipleConnectionsRDPFiles->setCurrentRow(core_->ListSelection());
    cmbx_FolderMultipleConnectionsRDPFiles->clear();
    cmbx_FolderMultipleConnectionsRDPFiles->addItems(sorted);
    cmbx_FolderMultipleConnectionsRDPFiles->setCurrentIndex(core_->PreviousConnectionIndex());
}

void MainWindow::ShowCurrentConnection(int index) {
    const QSignalBlocker blocker(cmbx_FolderMultipleConnectionsRDPFiles);
    cmbx_FolderMultipleConnectionsRDPFiles->setCurrentIndex(index);
}

void MainWindow::bn_MultipleConnectionsRDPFiles_RenameClick() {
    if (!panel_RenameRDPConnection->isHidden()) {
        edit_RenameRDPConnectionExit();
        return;
    }
    const int row = listbox_FolderMultipleConnectionsRDPFiles->currentRow();
    if (row < 0 || row >= static_cast<int>(core_->ListedConnections().size())) return;
    renameRow_ = row;
    const QString name = Q(core_->ListedConnections()[static_cast<std::size_t>(row)].name);
    listbox_FolderMultipleConnectionsRDPFiles->setEnabled(false);
    lb_RenameRDPConnection->setText(name);
    edit_RenameRDPConnection->setText(Q(profiles::ConnectionDisplayName(name.toStdString())));
    panel_RenameRDPConnection->show();
    edit_RenameRDPConnection->setFocus();
    edit_RenameRDPConnection->selectAll();
}

void MainWindow::edit_RenameRDPConnectionExit() {
    if (panel_RenameRDPConnection->isHidden()) return;
    panel_RenameRDPConnection->hide();
    listbox_FolderMultipleConnectionsRDPFiles->setEnabled(rb_MultipleConnectionUsage->isChecked());
    renameRow_ = -1;
}

void MainWindow::bn_OKRenameRDPConnectionClick() {
    const int row = renameRow_;
    const std::string typed = edit_RenameRDPConnection->text().toStdString();
    // The field loses the focus to message boxes on the way: the panel closes once.
    edit_RenameRDPConnectionExit();
    core_->bn_OKRenameRDPConnectionClick(row, typed);
}

void MainWindow::bn_MultipleConnectionsRDPFiles_DeleteClick() {
    const int row = listbox_FolderMultipleConnectionsRDPFiles->currentRow();
    if (row < 0) return;
    core_->bn_MultipleConnectionsRDPFiles_DeleteClick(row);
    if (row < listbox_FolderMultipleConnectionsRDPFiles->count())
        listbox_FolderMultipleConnectionsRDPFiles->setCurrentRow(row);
    listbox_FolderMultipleConnectionsRDPFiles->setFocus();
}

void MainWindow::bn_MultipleConnectionsRDPFiles_DuplicateClick() {
    const int row = listbox_FolderMultipleConnectionsRDPFiles->currentRow();
    if (row < 0) return;
    core_->bn_MultipleConnectionsRDPFiles_DuplicateClick(row);
    listbox_FolderMultipleConnectionsRDPFiles->setFocus();
}

} // namespace tsc::shell
