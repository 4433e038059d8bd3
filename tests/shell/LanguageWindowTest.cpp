// The main window with a language file: the shipped German translation and the
// branded example change what the window shows, and the Support page's button packs
// the log into an archive a standard unzip opens.

#include "Application.h"
#include "CaptionApplier.h"
#include "CaptionTable.h"
#include "Identity.h"
#include "Language.h"
#include "MainWindow.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QProcess>
#include <QProcessEnvironment>
#include <QProgressDialog>
#include <QPushButton>
#include <QSharedMemory>
#include <QTabWidget>
#include <QTableWidget>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <algorithm>

namespace tsc::shell {
namespace {

using testing::LoggedLine;
using testing::RecordingLog;

const std::string LanguagesFolder = TSC_LANGUAGES_DIR;

class LanguageWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        // A home of its own below a folder of homes: the support archive walks from
        // the folder that holds the homes.
        home_ = folder_.path() + "/home/tester";
        ASSERT_TRUE(QDir().mkpath(home_));
        testing::UsePrivateFolders(home_);
    }
    void TearDown() override {
        ReleaseLanguage();
        (void)TakeLanguageLogLines();
        Identity::ResetToDefaults();
        QApplication::setWindowIcon(QIcon());
    }

    // A window whose log records into `lines`, or writes the real log file.
    std::unique_ptr<MainWindow> MakeWindow(bool realLog = false) {
        MainWindowServices services;
        if (!realLog)
            services.openLog = [this](const std::string &path, std::int64_t, DisplayLineSink display) {
                openedLogs.push_back(path);
                return std::make_unique<RecordingLog>(lines, std::move(display));
            };
        services.printers = [] { return PrinterList{{"Office"}, "Office", ""}; };
        services.pixelsPerInch = [] { return 96; };
        services.shiftHeld = [] { return false; };
        return std::make_unique<MainWindow>(std::move(services));
    }

    [[nodiscard]] bool Logged(const LoggedLine &line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    QTemporaryDir folder_;
    QString home_;
    std::vector<LoggedLine> lines;
    std::vector<std::string> openedLogs;
};

QStringList TabCaptions(const MainWindow &window) {
    QStringList captions;
    for (int i = 0; i < window.PageControl_kiv->count(); ++i)
        captions << window.PageControl_kiv->tabText(i);
    return captions;
}

QStringList Items(const QComboBox *box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items << box->itemText(i);
    return items;
}

TEST_F(LanguageWindowTest, GermanFileGivesEveryCaptionInGerman) {
    const std::string path = LanguagesFolder + "/de.lang";
    ASSERT_TRUE(LoadLanguage(path));
    auto window = MakeWindow();

    // Every control of the caption table shows the table's text. The options caption
    // is the title's: the titles are set after the captions.
    for (const language::CaptionRow &row : language::CaptionRows()) {
        if (std::string_view(row.objectName) == "Label_WEZ_options") continue;
        const auto found = LookupTextFound(row.prefix, row.identifier, "");
        EXPECT_TRUE(found.found) << row.objectName;
        EXPECT_EQ(language::CurrentCaption(window.get(), row.objectName), found.text) << row.objectName;
    }
    EXPECT_EQ(window->bn_Connect->text(), "Verbinden");
    EXPECT_EQ(window->cb_Animation->text(), QString::fromUtf8("Menü- und Fensteranimation"));
    EXPECT_EQ(TabCaptions(*window), (QStringList{"Anmeldung", "Einstellungen", "RDP+", "Support",
                                                 "Verbindungen", "FreeRDP", "Farm-Info", "Protokoll"}));
    EXPECT_EQ(Items(window->cb_Colors).back(), QString::fromUtf8("Höchste Qualität (24 Bit)"));
    EXPECT_EQ(Items(window->cbx_PSPDFPrinterFilesSelect).front(), "Druckdateien auf dem Server belassen");
    EXPECT_EQ(window->StringGrid_Servers->rowCount(), 2);
    EXPECT_EQ(window->StringGrid_Servers->item(0, 1)->text(), "IP-Adresse");
    const QStringList support = window->reZip->toPlainText().split('\n');
    EXPECT_EQ(support.front(), QString::fromUtf8("Eine ZIP-Datei für den Support erstellen."));
    EXPECT_TRUE(support.contains(
        QString::fromUtf8("- das Protokoll von Terminal Server mit ausgewählten Registry-Einstellungen,")));
    EXPECT_FALSE(window->reZip->toPlainText().contains('\r'));

    // The Settings page's panels share one label column as wide as the widest German label.
    for (QFrame *panel : {window->Panel_Settings1, window->Panel_Settings2, window->Panel_Settings3}) {
        auto *grid = qobject_cast<QGridLayout *>(panel->layout());
        ASSERT_NE(grid, nullptr);
        EXPECT_GE(grid->columnMinimumWidth(0), window->Label_DisplayConnectionBar->sizeHint().width());
    }
    // The file brings no font: the window keeps its own.
    EXPECT_EQ(window->font().family(), QApplication::font().family());

    // The identity stays; the log says where the table came from, after the start lines.
    EXPECT_EQ(window->windowTitle(), "Terminal Server Client");
    EXPECT_EQ(window->label_AppName->text(), "Terminal Server");
    const auto from =
        std::find(lines.begin(), lines.end(), LoggedLine{'I', "Language: table from file " + path});
    ASSERT_NE(from, lines.end());
    EXPECT_EQ(std::prev(from)->text, "Running on Win32");
}

TEST_F(LanguageWindowTest, WithoutTableTheBuiltInTextsStay) {
    auto window = MakeWindow();
    for (const language::CaptionRow &row : language::CaptionRows()) {
        if (std::string_view(row.objectName) == "Label_WEZ_options") continue;
        EXPECT_EQ(language::CurrentCaption(window.get(), row.objectName), row.defaultText) << row.objectName;
    }
    for (std::size_t column = 0; column < language::ServerGridHeadings().size(); ++column)
        EXPECT_EQ(window->StringGrid_Servers->item(0, static_cast<int>(column))->text().toStdString(),
                  language::ServerGridHeadings()[column].defaultText);
    QStringList support;
    for (const char *line : language::SupportTextLines())
        support << line;
    EXPECT_EQ(window->reZip->toPlainText(), support.join('\n'));
    EXPECT_EQ(Items(window->cbx_PSPDFPrinterFilesSelect).size(), 4);
    EXPECT_TRUE(window->Image_BitmapLogo->pixmap().isNull());
}

TEST_F(LanguageWindowTest, BrandedFileChangesTitleIdentityImagesAndFont) {
    ASSERT_TRUE(LoadLanguage(LanguagesFolder + "/branded.lang"));
    auto window = MakeWindow();

    EXPECT_EQ(window->windowTitle(), "Northwind Remote Client");
    EXPECT_EQ(window->label_AppName->text(), "Northwind Remote");
    EXPECT_EQ(window->Label_WEZ_options->text(), "Northwind Remote options");
    EXPECT_EQ(window->Label_LBSeamLess->text(), "Northwind Traders :: Remote Applications");
    EXPECT_EQ(window->reZip->toPlainText().split('\n').front(),
              "Create a ZIP file for the Northwind service desk.");
    // The identity names the files: the log is the brand's.
    ASSERT_EQ(openedLogs.size(), 1u);
    EXPECT_EQ(openedLogs[0], ApplicationDataFolder() + "/NorthwindRemote_FarmClient.log");
    EXPECT_NE(openedLogs[0].find("/NorthwindRemote/"), std::string::npos);
    // Captions without an entry keep their built-in text.
    EXPECT_EQ(window->bn_Connect->text(), "Connect");

    EXPECT_FALSE(window->Image_BitmapLogo->pixmap().isNull());
    EXPECT_FALSE(window->windowIcon().isNull());
    EXPECT_FALSE(QApplication::windowIcon().isNull());
    EXPECT_EQ(window->font().family(), "DejaVu Sans");
    EXPECT_EQ(window->font().pointSize(), 9);
}

// Sets the desktop the way the desktop environment records it.
QString UseDesktopFolder(const QString &home) {
    const QString desktop = home + "/Schreibtisch";
    EXPECT_TRUE(QDir().mkpath(desktop));
    const QString configuration = qEnvironmentVariable("XDG_CONFIG_HOME");
    EXPECT_TRUE(QDir().mkpath(configuration));
    QFile dirs(configuration + "/user-dirs.dirs");
    EXPECT_TRUE(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_DESKTOP_DIR=\"" + desktop.toUtf8() + "\"\n");
    return desktop;
}

// Runs unzip and gives its standard output; empty when it fails.
QByteArray Unzip(const QStringList &arguments) {
    QProcess process;
    process.start(QStringLiteral("unzip"), arguments);
    if (!process.waitForFinished(20000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput();
}

TEST_F(LanguageWindowTest, ZipPutsTheLogAndTheServerListIntoAnArchiveOnTheDesktop) {
    const QString desktop = UseDesktopFolder(home_);
    auto window = MakeWindow(true);
    const QString serverList = QString::fromStdString(ApplicationDataFolder() + "/tsv_farm_v001c003.txt");
    QFile list(serverList);
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("V001C003\r\nEOF\r\n");
    list.close();

    window->bn_Zip->click();
    EXPECT_FALSE(window->bn_Zip->isEnabled());
    ASSERT_NE(window->SupportProgress(), nullptr);
    EXPECT_TRUE(window->SupportProgress()->isVisible());
    QElapsedTimer clock;
    clock.start();
    while (window->Core().SupportArchiveRunning() && clock.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(window->Core().SupportArchiveRunning());
    EXPECT_TRUE(window->bn_Zip->isEnabled());
    EXPECT_EQ(window->SupportProgress(), nullptr);

    const QString archive = desktop + "/Client_TerminalServerSupport.zip";
    ASSERT_TRUE(QFileInfo::exists(archive));
    EXPECT_EQ(QFileInfo(archive).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup),
              QFileDevice::Permissions{});
    const QStringList entries = QString::fromUtf8(Unzip({"-Z1", archive})).split('\n', Qt::SkipEmptyParts);
    const QString logEntry =
        QString::fromStdString(ApplicationDataFolder() + "/TerminalServer_FarmClient.log").mid(1);
    EXPECT_EQ(entries, (QStringList{logEntry, serverList.mid(1)}));
    const QByteArray logged = Unzip({"-p", archive, logEntry});
    EXPECT_TRUE(logged.contains("Client Started: ")) << logged.left(200).toStdString();
    EXPECT_TRUE(logged.contains("Begin RegDump"));
    EXPECT_TRUE(logged.contains("End RegDump"));
    EXPECT_EQ(Unzip({"-p", archive, serverList.mid(1)}), "V001C003\r\nEOF\r\n");

    // The outcome is in the log and on the Logging page.
    const auto shown =
        window->lb_Logging->findItems("Support archive " + archive + ": 2 files", Qt::MatchEndsWith);
    EXPECT_EQ(shown.size(), 1);
}

TEST_F(LanguageWindowTest, CancelFromTheProgressDialogKeepsTheOlderArchive) {
    const QString desktop = UseDesktopFolder(home_);
    const QString archive = desktop + "/Client_TerminalServerSupport.zip";
    QFile older(archive);
    ASSERT_TRUE(older.open(QIODevice::WriteOnly));
    older.write("the archive of last week");
    older.close();
    // Enough folders that the walk is still under way when the cancel arrives.
    for (int user = 0; user < 400; ++user)
        ASSERT_TRUE(QDir().mkpath(folder_.path() + "/home/user" + QString::number(user) + "/.local/share"));
    auto window = MakeWindow();
    window->bn_Zip->click();
    ASSERT_NE(window->SupportProgress(), nullptr);
    auto *cancel = window->SupportProgress()->findChild<QPushButton *>();
    ASSERT_NE(cancel, nullptr);
    cancel->click();
    QElapsedTimer clock;
    clock.start();
    while (window->Core().SupportArchiveRunning() && clock.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_FALSE(window->Core().SupportArchiveRunning());
    EXPECT_TRUE(Logged({'I', "Support archive cancelled"}));
    ASSERT_TRUE(older.open(QIODevice::ReadOnly));
    EXPECT_EQ(older.readAll(), "the archive of last week");
    EXPECT_EQ(QDir(desktop).entryList(QDir::Files | QDir::Hidden),
              QStringList{"Client_TerminalServerSupport.zip"});
    EXPECT_TRUE(window->bn_Zip->isEnabled());
}

TEST_F(LanguageWindowTest, ClosingWhileTheArchiveIsBuiltStopsItsThread) {
    UseDesktopFolder(home_);
    auto window = MakeWindow();
    window->bn_Zip->click();
    window->bn_Zip->click(); // disabled: one archive at a time
    ASSERT_TRUE(window->Core().SupportArchiveRunning());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), LoggedLine{'I', "Begin RegDump"}), 1);
    window.reset(); // cancels and waits for the worker
    EXPECT_EQ(lines.back(), (LoggedLine{'I', "Log stopped"}));
}

// The log file of a client whose user's home is `home`, as far as it is written.
QByteArray ClientLog(const QString &home) {
    QFile log(home + "/XDG_DATA_HOME/TerminalServer/TerminalServer_FarmClient.log");
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

bool WaitForLogLine(const QString &home, const QByteArray &text) {
    QElapsedTimer clock;
    clock.start();
    while (!ClientLog(home).contains(text) && clock.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    return ClientLog(home).contains(text);
}

// Installed as an administrator would: the German file beside the executable. The
// first client takes it from there and records it for the machine; a second user's
// client started meanwhile maps the table the first one shares.
TEST_F(LanguageWindowTest, ClientBesideTheGermanFileSharesItsTableWithTheNextClient) {
    const QString bin = folder_.path() + "/bin";
    ASSERT_TRUE(QDir().mkpath(bin));
    const QString client = bin + "/" + QFileInfo(TSC_TEST_CLIENT_PATH).fileName();
    ASSERT_TRUE(QFile::copy(TSC_TEST_CLIENT_PATH, client));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(LanguagesFolder + "/de.lang"), bin + "/de.lang"));

    // Two users of one machine: homes of their own, the temporary folder and the
    // machine hive in common.
    const auto start = [&](QProcess &process, const QString &home) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME"})
            environment.insert(name, home + "/" + name);
        environment.insert("HOME", home);
        environment.insert("ASAN_OPTIONS", "detect_leaks=0"); // ended by a signal below
        process.setProcessEnvironment(environment);
        process.setProgram(client);
        process.start();
    };
    const QString anna = folder_.path() + "/home/anna";
    const QString bert = folder_.path() + "/home/bert";
    QProcess first;
    QProcess second;
    start(first, anna);
    EXPECT_TRUE(WaitForLogLine(anna, "|Info|Language: table from file " + (bin + "/de.lang").toUtf8()))
        << ClientLog(anna).toStdString();
    start(second, bert);
    EXPECT_TRUE(WaitForLogLine(bert, "|Info|Language: table from shared memory"))
        << ClientLog(bert).toStdString();
    for (QProcess *process : {&first, &second}) {
        process->terminate();
        EXPECT_TRUE(process->waitForFinished(10000));
    }
    // Ended by a signal, neither client removed the block: the last one to detach does.
    QSharedMemory block;
    block.setNativeKey(QString::fromStdString(SharedBlockKey()));
    if (block.attach(QSharedMemory::ReadOnly)) block.detach();
}

} // namespace
} // namespace tsc::shell

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0); // also while ctest lists the tests
    ::setenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH, 1);
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    return RUN_ALL_TESTS();
}
