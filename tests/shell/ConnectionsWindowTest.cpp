#include "Application.h"
#include "CommandLine.h"
#include "MainWindow.h"
#include "Preferences.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QFocusEvent>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>

namespace tsc::shell {
namespace {

namespace fs = std::filesystem;
using testing::LoggedLine;
using testing::RecordingLog;

// Answers the message boxes from a script and records what they said.
class ScriptedDialogs final : public UserDialogs {
  public:
    struct State {
        std::deque<Answer> answers;
        std::vector<std::string> messages;
        std::string folder;
        std::vector<std::string> folderStarts;
    };
    explicit ScriptedDialogs(State &state) : state_(state) {}
    Answer ShowMessage(const std::string &caption, const std::string &text, Buttons buttons) override {
        return ShowMessage(caption, text, buttons, Icon::Information);
    }
    Answer ShowMessage(const std::string &, const std::string &text, Buttons, Icon) override {
        state_.messages.push_back(text);
        if (state_.answers.empty()) return Answer::Ok;
        const Answer answer = state_.answers.front();
        state_.answers.pop_front();
        return answer;
    }
    std::string SelectFolder(const std::string &, const std::string &start) override {
        state_.folderStarts.push_back(start);
        return state_.folder;
    }

  private:
    State &state_;
};

QStringList Items(const QListWidget *list) {
    QStringList items;
    for (int row = 0; row < list->count(); ++row)
        items << list->item(row)->text();
    return items;
}

QStringList Items(const QComboBox *box) {
    QStringList items;
    for (int index = 0; index < box->count(); ++index)
        items << box->itemText(index);
    return items;
}

class ConnectionsWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(root_.isValid());
        testing::UsePrivateFolders(root_.path());
        CommandLine::SetParameters({});
    }

    std::unique_ptr<MainWindow> MakeWindow() {
        MainWindowServices services;
        services.openLog = [this](const std::string &, std::int64_t, DisplayLineSink display) {
            return std::make_unique<RecordingLog>(lines, std::move(display));
        };
        services.printers = [] { return PrinterList{{}, "", ""}; };
        services.pixelsPerInch = [] { return 96; };
        services.terminateProcess = [] {};
        services.dialogs = std::make_unique<ScriptedDialogs>(dialogs);
        auto window = std::make_unique<MainWindow>(std::move(services));
        window->show();
        return window;
    }

    bool Logged(const LoggedLine &line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::string Data() const { return UserAppDataFolder(); }
    static bool Exists(const std::string &path) { return fs::exists(path); }

    // The user picks a connection in the drop-down.
    static void Choose(MainWindow &window, const QString &name) {
        QComboBox *box = window.cmbx_FolderMultipleConnectionsRDPFiles;
        const int index = box->findText(name);
        ASSERT_GE(index, 0) << name.toStdString();
        box->setCurrentIndex(index);
        emit box->activated(index);
    }
    static void SelectRow(MainWindow &window, const QString &name) {
        const auto found =
            window.listbox_FolderMultipleConnectionsRDPFiles->findItems(name, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1) << name.toStdString();
        window.listbox_FolderMultipleConnectionsRDPFiles->setCurrentItem(found.front());
    }

    QTemporaryDir root_;
    std::vector<LoggedLine> lines;
    ScriptedDialogs::State dialogs;
};

TEST_F(ConnectionsWindowTest, FirstConnectionSwitchingAndRestart) {
    {
        auto window = MakeWindow();
        EXPECT_TRUE(window->rb_SingleConnectionUsage->isChecked());
        EXPECT_FALSE(window->listbox_FolderMultipleConnectionsRDPFiles->isEnabled());
        EXPECT_TRUE(window->pn_cmbx_FolderMultipleConnectionsRDPFiles->isHidden());

        window->rb_MultipleConnectionUsage->click();
        EXPECT_EQ(window->ed_FolderMultipleConnectionsRDPFiles->text().toStdString(), Data());
        for (QWidget *control : std::initializer_list<QWidget *>{
                 window->ed_FolderMultipleConnectionsRDPFiles,
                 window->listbox_FolderMultipleConnectionsRDPFiles,
                 window->bn_FolderMultipleConnectionsRDPFiles, window->bn_MultipleConnectionsRDPFiles_Delete,
                 window->bn_MultipleConnectionsRDPFiles_Duplicate,
                 window->bn_MultipleConnectionsRDPFiles_Rename})
            EXPECT_TRUE(control->isEnabled()) << control->objectName().toStdString();
        EXPECT_FALSE(window->pn_cmbx_FolderMultipleConnectionsRDPFiles->isHidden());
        const QStringList first{"TerminalServer connection"};
        EXPECT_EQ(Items(window->listbox_FolderMultipleConnectionsRDPFiles), first);
        EXPECT_EQ(Items(window->cmbx_FolderMultipleConnectionsRDPFiles), first);
        EXPECT_EQ(window->cmbx_FolderMultipleConnectionsRDPFiles->currentIndex(), 0);
        EXPECT_TRUE(Exists(Data() + "/TerminalServer connection.rdp"));
        EXPECT_TRUE(Logged({'I', "Create first connection"}));
        EXPECT_TRUE(Logged({'I', "Read all RDP files from: " + Data()}));
        EXPECT_TRUE(ReadConnectionUsage().multiple);

        // Three connections with their own hosts.
        window->Edit_Host->setText("one");
        SelectRow(*window, "TerminalServer connection");
        window->bn_MultipleConnectionsRDPFiles_Duplicate->click();
        window->bn_MultipleConnectionsRDPFiles_Duplicate->click();
        EXPECT_EQ(Items(window->cmbx_FolderMultipleConnectionsRDPFiles),
                  (QStringList{"TerminalServer connection", "TerminalServer connection Copy 1",
                               "TerminalServer connection Copy 2"}));
        Choose(*window, "TerminalServer connection Copy 1");
        EXPECT_EQ(window->Edit_Host->text(), "one");
        window->Edit_Host->setText("two");
        Choose(*window, "TerminalServer connection Copy 2");
        window->Edit_Host->setText("three");
        Choose(*window, "TerminalServer connection");
        EXPECT_EQ(window->Edit_Host->text(), "one");
        Choose(*window, "TerminalServer connection Copy 1");
        EXPECT_EQ(window->Edit_Host->text(), "two");
        EXPECT_TRUE(Logged({'I', "Begin select other connection"}));
        EXPECT_TRUE(
            Logged({'I', "Selected connection: " + Data() + "/TerminalServer connection Copy 1.rdp"}));
    }
    // The last connection chosen comes back, with its settings.
    auto window = MakeWindow();
    EXPECT_TRUE(window->rb_MultipleConnectionUsage->isChecked());
    EXPECT_EQ(window->cmbx_FolderMultipleConnectionsRDPFiles->currentText(),
              "TerminalServer connection Copy 1");
    EXPECT_EQ(window->Edit_Host->text(), "two");
    Choose(*window, "TerminalServer connection Copy 2");
    EXPECT_EQ(window->Edit_Host->text(), "three");
    // A refill puts a new connection before the current one: the drop-down still
    // shows the connection on screen, and the settings go back to it.
    std::ofstream(Data() + "/AAA.rdp") << "full address:s:127.0.0.2\r\n";
    window->Core().FillConnectionLists("");
    EXPECT_EQ(window->cmbx_FolderMultipleConnectionsRDPFiles->currentText(),
              "TerminalServer connection Copy 2");
    EXPECT_EQ(window->Core().CurrentConnection(), "TerminalServer connection Copy 2");

    // Back to single usage: the default profile, no drop-down.
    window->rb_SingleConnectionUsage->click();
    EXPECT_TRUE(window->pn_cmbx_FolderMultipleConnectionsRDPFiles->isHidden());
    EXPECT_EQ(window->cmbx_FolderMultipleConnectionsRDPFiles->count(), 0);
    EXPECT_FALSE(window->bn_MultipleConnectionsRDPFiles_Rename->isEnabled());
    EXPECT_FALSE(ReadConnectionUsage().multiple);
}

TEST_F(ConnectionsWindowTest, RenamePanelConfirmsWithEnterAndCancels) {
    auto window = MakeWindow();
    window->rb_MultipleConnectionUsage->click();
    window->SetActivePage(window->TabSheet_MultipleConnections);
    SelectRow(*window, "TerminalServer connection");
    window->bn_MultipleConnectionsRDPFiles_Rename->click();
    ASSERT_TRUE(window->panel_RenameRDPConnection->isVisible());
    EXPECT_FALSE(window->listbox_FolderMultipleConnectionsRDPFiles->isEnabled());
    EXPECT_EQ(window->lb_RenameRDPConnection->text(), "TerminalServer connection");
    EXPECT_EQ(window->edit_RenameRDPConnection->text(), "TerminalServer connection");

    // Escape leaves everything as it was.
    QTest::keyClick(window->edit_RenameRDPConnection, Qt::Key_Escape);
    EXPECT_FALSE(window->panel_RenameRDPConnection->isVisible());
    EXPECT_TRUE(window->listbox_FolderMultipleConnectionsRDPFiles->isEnabled());
    EXPECT_TRUE(Exists(Data() + "/TerminalServer connection.rdp"));

    // The Enter key: nothing on the press, the rename on the release.
    window->bn_MultipleConnectionsRDPFiles_Rename->click();
    window->edit_RenameRDPConnection->setText(QString::fromUtf8("B\xC3\xBCro/1"));
    QTest::keyPress(window->edit_RenameRDPConnection, Qt::Key_Return);
    EXPECT_TRUE(window->panel_RenameRDPConnection->isVisible());
    QTest::keyRelease(window->edit_RenameRDPConnection, Qt::Key_Return);
    EXPECT_FALSE(window->panel_RenameRDPConnection->isVisible());
    EXPECT_TRUE(Exists(Data() + "/B_ro_1.rdp"));
    EXPECT_FALSE(Exists(Data() + "/TerminalServer connection.rdp"));
    EXPECT_EQ(Items(window->listbox_FolderMultipleConnectionsRDPFiles), QStringList{"B_ro_1"});
    EXPECT_EQ(window->listbox_FolderMultipleConnectionsRDPFiles->currentRow(), 0);
    EXPECT_TRUE(Logged({'I', "Rename "}));

    // The OK button takes no focus, so the click is not lost to leaving the field.
    window->bn_MultipleConnectionsRDPFiles_Rename->click();
    window->edit_RenameRDPConnection->setText("Office");
    QTest::mouseClick(window->bn_OKRenameRDPConnection, Qt::LeftButton);
    EXPECT_TRUE(Exists(Data() + "/Office.rdp"));

    // A name of dots only is refused with a message; nothing is renamed.
    window->bn_MultipleConnectionsRDPFiles_Rename->click();
    window->edit_RenameRDPConnection->setText("..");
    window->bn_OKRenameRDPConnection->click();
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages.front().find("must not begin with a dot"), std::string::npos);
    EXPECT_TRUE(Exists(Data() + "/Office.rdp"));
    EXPECT_FALSE(window->panel_RenameRDPConnection->isVisible());

    // Leaving the field closes the panel; another application taking over does not.
    window->bn_MultipleConnectionsRDPFiles_Rename->click();
    QFocusEvent away(QEvent::FocusOut, Qt::ActiveWindowFocusReason);
    QApplication::sendEvent(window->edit_RenameRDPConnection, &away);
    EXPECT_TRUE(window->panel_RenameRDPConnection->isVisible());
    QFocusEvent left(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(window->edit_RenameRDPConnection, &left);
    EXPECT_FALSE(window->panel_RenameRDPConnection->isVisible());
    EXPECT_TRUE(window->listbox_FolderMultipleConnectionsRDPFiles->isEnabled());
}

TEST_F(ConnectionsWindowTest, DeleteAndInsertKeysAskAndAct) {
    auto window = MakeWindow();
    window->rb_MultipleConnectionUsage->click();
    QListWidget *list = window->listbox_FolderMultipleConnectionsRDPFiles;
    SelectRow(*window, "TerminalServer connection");
    QTest::keyRelease(list, Qt::Key_Insert);
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(list->currentItem()->text(), "TerminalServer connection"); // the selected name stays

    SelectRow(*window, "TerminalServer connection Copy 1");
    dialogs.answers = {UserDialogs::Answer::No};
    QTest::keyRelease(list, Qt::Key_Delete);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_EQ(dialogs.messages[0], "Delete: TerminalServer connection Copy 1.rdp\r\n\r\nAre you sure?");
    EXPECT_EQ(list->count(), 2);

    dialogs.answers = {UserDialogs::Answer::Yes};
    QTest::keyRelease(list, Qt::Key_Delete);
    EXPECT_EQ(Items(list), QStringList{"TerminalServer connection"});
    EXPECT_FALSE(Exists(Data() + "/TerminalServer connection Copy 1.rdp"));
    EXPECT_TRUE(Logged({'I', "Delete " + Data() + "/TerminalServer connection Copy 1.rdp"}));
    EXPECT_TRUE(Exists(Data() + "/Trash/files/TerminalServer connection Copy 1.rdp"));

    // Every copy name taken: said in a message and the log, nothing copied.
    for (int n = 1; n <= 999; ++n)
        std::ofstream(Data() + "/TerminalServer connection Copy " + std::to_string(n) + ".rdp") << "x";
    window->Core().FillConnectionLists("TerminalServer connection");
    dialogs.messages.clear();
    QTest::keyRelease(list, Qt::Key_Insert);
    ASSERT_EQ(dialogs.messages.size(), 1u);
    EXPECT_NE(dialogs.messages[0].find("are all taken"), std::string::npos);
    EXPECT_TRUE(Logged({'E', "No free name for a copy of: " + Data() + "/TerminalServer connection.rdp"}));
    for (int n = 1; n <= 999; ++n)
        std::filesystem::remove(Data() + "/TerminalServer connection Copy " + std::to_string(n) + ".rdp");
    window->Core().FillConnectionLists("");

    // The last connection deleted: an empty folder gets a first connection again.
    SelectRow(*window, "TerminalServer connection");
    dialogs.answers = {UserDialogs::Answer::Yes};
    window->bn_MultipleConnectionsRDPFiles_Delete->click();
    EXPECT_EQ(Items(list), QStringList{"TerminalServer connection"});
    EXPECT_EQ(list->currentRow(), 0);
}

TEST_F(ConnectionsWindowTest, AnotherFolderTakesTheConnectionsAlong) {
    auto window = MakeWindow();
    window->rb_MultipleConnectionUsage->click();
    SelectRow(*window, "TerminalServer connection");
    window->bn_MultipleConnectionsRDPFiles_Duplicate->click();
    std::ofstream(Data() + "/TerminalServer connection.tsv_farm_v001c003.txt") << "servers";

    dialogs.folder = (root_.path() + "/missing").toStdString();
    window->bn_FolderMultipleConnectionsRDPFiles->click();
    EXPECT_TRUE(Logged({'E', "Selected Folder does not exist" + dialogs.folder}));
    EXPECT_EQ(window->ed_FolderMultipleConnectionsRDPFiles->text().toStdString(), Data());

    const std::string target = (root_.path() + "/elsewhere").toStdString();
    fs::create_directories(target);
    dialogs.folder = target;
    window->bn_FolderMultipleConnectionsRDPFiles->click();
    EXPECT_EQ(dialogs.folderStarts.back(), Data());
    EXPECT_EQ(window->ed_FolderMultipleConnectionsRDPFiles->text().toStdString(), target);
    EXPECT_TRUE(Exists(target + "/TerminalServer connection.rdp"));
    EXPECT_TRUE(Exists(target + "/TerminalServer connection.tsv_farm_v001c003.txt"));
    EXPECT_TRUE(Exists(target + "/TerminalServer connection Copy 1.rdp"));
    EXPECT_FALSE(Exists(Data() + "/TerminalServer connection.rdp"));
    EXPECT_EQ(window->listbox_FolderMultipleConnectionsRDPFiles->count(), 2);
    EXPECT_EQ(ReadConnectionUsage().folder, target);

    // The same folder again (another spelling of it) moves nothing.
    lines.clear();
    dialogs.folder = target + "/";
    window->bn_FolderMultipleConnectionsRDPFiles->click();
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const LoggedLine &l) {
        return l.text.rfind("Begin Move all RDP files", 0) == 0;
    }));

    // The folder vanishes while shown: the lists empty out with an error line, and no
    // first connection is made in a folder that is not there.
    fs::remove_all(target);
    SelectRow(*window, "TerminalServer connection");
    window->bn_MultipleConnectionsRDPFiles_Duplicate->click();
    window->Core().FillConnectionLists("");
    EXPECT_EQ(window->listbox_FolderMultipleConnectionsRDPFiles->count(), 0);
    EXPECT_EQ(window->cmbx_FolderMultipleConnectionsRDPFiles->currentIndex(), -1);
    EXPECT_TRUE(Logged({'E', "Can not read folder: " + target + "/"}));
    EXPECT_FALSE(fs::exists(target));
}

TEST_F(ConnectionsWindowTest, StoredFolderThatIsGoneFallsBackToTheDefault) {
    WriteConnectionUsage(true, (root_.path() + "/gone").toStdString());
    auto window = MakeWindow();
    EXPECT_TRUE(window->rb_MultipleConnectionUsage->isChecked());
    EXPECT_EQ(window->ed_FolderMultipleConnectionsRDPFiles->text().toStdString(), Data());
    EXPECT_TRUE(
        Logged({'E', "Directory for RDP files does not exist: " + (root_.path() + "/gone").toStdString()}));
    EXPECT_EQ(window->cmbx_FolderMultipleConnectionsRDPFiles->currentText(), "TerminalServer connection");
}

// Pictures of the Connections page and of the rename panel, for a person to look at:
// run under Xvfb with QT_QPA_PLATFORM=xcb, TSC_SCREENSHOT_DIR set and
// --gtest_also_run_disabled_tests.
TEST_F(ConnectionsWindowTest, DISABLED_Screenshots) {
    const char *folder = std::getenv("TSC_SCREENSHOT_DIR");
    ASSERT_NE(folder, nullptr);
    auto window = MakeWindow();
    window->rb_MultipleConnectionUsage->click();
    for (const char *name : {"Office", "Home office", "Lab"})
        std::ofstream(Data() + "/" + name + ".rdp") << "full address:s:127.0.0.1\r\n";
    window->Core().FillConnectionLists("Office");
    window->SetActivePage(window->TabSheet_MultipleConnections);
    window->resize(460, 610);
    QTest::qWait(300);
    EXPECT_TRUE(window->grab().save(QString(folder) + "/connections-page.png"));
    window->bn_MultipleConnectionsRDPFiles_Rename->click();
    window->edit_RenameRDPConnection->setText(QString::fromUtf8("B\xC3\xBCro/1"));
    QTest::qWait(300);
    EXPECT_TRUE(window->grab().save(QString(folder) + "/rename-panel.png"));
    window->SetActivePage(window->TabSheet_Authorization);
    QTest::qWait(300);
    EXPECT_TRUE(window->grab().save(QString(folder) + "/connection-drop-down.png"));
}

} // namespace
} // namespace tsc::shell

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    return RUN_ALL_TESTS();
}
