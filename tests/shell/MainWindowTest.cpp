#include "MainWindow.h"
#include "Application.h"
#include "IniFile.h"
#include "Preferences.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace tsc::shell {
namespace {

using testing::LoggedLine;
using testing::RecordingLog;

class MainWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
    }

    // A window whose log records into `lines`; `adjust` changes further services.
    std::unique_ptr<MainWindow> MakeWindow(int pixelsPerInch = 96,
                                           std::function<void(MainWindowServices &)> adjust = {}) {
        MainWindowServices services;
        services.openLog = [this](const std::string &path, std::int64_t kilobytes, DisplayLineSink display) {
            openedLogs.push_back({path, kilobytes});
            return std::make_unique<RecordingLog>(lines, std::move(display));
        };
        services.printers = [] { return PrinterList{{"Office", "Lab"}, "Lab", ""}; };
        services.pixelsPerInch = [pixelsPerInch] { return pixelsPerInch; };
        services.shiftHeld = [this] { return shiftHeld; };
        services.terminateProcess = [this] { ++terminations; };
        if (adjust) adjust(services);
        return std::make_unique<MainWindow>(std::move(services));
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const auto &line : lines)
            texts.push_back(line.text);
        return texts;
    }

    QTemporaryDir folder_;
    std::vector<LoggedLine> lines;
    std::vector<std::pair<std::string, std::int64_t>> openedLogs;
    bool shiftHeld = false;
    int terminations = 0;
};

TEST_F(MainWindowTest, StartUpWritesItsLinesInOrder) {
    auto window = MakeWindow();
    ASSERT_EQ(openedLogs.size(), 1u);
    EXPECT_EQ(openedLogs[0].first, ApplicationDataFolder() + "/TerminalServer_FarmClient.log");
    EXPECT_EQ(openedLogs[0].second, 200);

    const auto texts = Texts();
    ASSERT_EQ(texts.size(), 25u);
    EXPECT_EQ(texts[0].rfind("Client Started: " + ExecutablePath() + " [", 0), 0u) << texts[0];
    EXPECT_TRUE(texts[0].ends_with("] Build: 01-Jun-2011 20:00:33.739"));
    EXPECT_EQ(texts[1].rfind("OS Version: ", 0), 0u);
    EXPECT_EQ(texts[1].size(), std::string("OS Version: 0006.0001").size());
    EXPECT_EQ(texts[2].rfind("Real OS Version: ", 0), 0u);
    const std::vector<std::string> rest(texts.begin() + 3, texts.end());
    const std::string profile = ApplicationDataFolder() + "/tsv_farm.rdp";
    const std::string list = ApplicationDataFolder() + "/tsv_farm_v001c003.txt";
    const std::vector<std::string> expected{
        "Running on Win32",
        "Begin Monitor information",
        " number of monitors: 1",
        rest[3], // the offscreen screen's geometry
        "End Monitor information",
        "Begin InitSettings",
        "End InitSettings",
        "Begin Read_tsv_RDP_file: " + profile,
        "ParamCount: 0",
        "Can not find file: " + profile,
        "End Read_tsv_RDP_file",
        "Begin Read_V001C003_file: " + list + " [no]",
        "File does not exist: " + list,
        "End Read_V001C003_file: no",
        "libtsc-rdpengine.so: [2.11.7.0]",
        "Testing libtsc-rdpengine.so class: OK",
        "Begin ReadAllIniValues: " + IniFilePath(),
        "End ReadAllIniValues",
        "Begin Monitor[0] information",
        " number of monitors: 1",
        rest[3],
        "End Monitor[0] information",
    };
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(rest[3].rfind(" monitor: 0: left.top: 0.0 width.height: ", 0), 0u);
    // A first start has no profile yet: the one warning.
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const LoggedLine &l) { return l.level != 'I'; }),
              1);
    EXPECT_NE(std::find(lines.begin(), lines.end(), LoggedLine{'W', "Can not find file: " + profile}),
              lines.end());

    // The Logging page shows what was logged.
    EXPECT_EQ(window->lb_Logging->count(), static_cast<int>(lines.size()));
    EXPECT_EQ(window->lb_Logging->item(0)->text().toStdString(), texts[0]);
}

// Never into the shared temporary folder: the session's private folder.
TEST_F(MainWindowTest, LogFallsBackToThePrivateTemporaryFolderThenToNone) {
    auto window = MakeWindow(96, [this](MainWindowServices &services) {
        services.openLog = [this](const std::string &path, std::int64_t kilobytes, DisplayLineSink) {
            openedLogs.push_back({path, kilobytes});
            return std::unique_ptr<WindowLog>{};
        };
    });
    ASSERT_EQ(openedLogs.size(), 2u);
    const std::string fallback = openedLogs[1].first;
    ASSERT_FALSE(PrivateTemporaryFolder().empty());
    EXPECT_EQ(fallback.rfind(PrivateTemporaryFolder() + "/", 0), 0u);
    EXPECT_TRUE(fallback.ends_with("_TerminalServer_FarmClient.log")) << fallback;
    // DDMMYYYYHHMMSSmmm between the folder and the name
    EXPECT_EQ(fallback.size(), PrivateTemporaryFolder().size() + 1 + 17 +
                                   std::string("_TerminalServer_FarmClient.log").size());
    EXPECT_FALSE(window->Core().HasActiveLog());
    EXPECT_EQ(window->lb_Logging->count(), 0);
    EXPECT_TRUE(window->isEnabled());
}

TEST_F(MainWindowTest, PageHeightFollowsThePageAndTheResolution) {
    struct Case {
        int ppi, shortHeight, tallHeight;
    };
    for (const Case c : {Case{96, 360, 610}, Case{120, 428, 740}}) {
        SCOPED_TRACE(c.ppi);
        auto window = MakeWindow(c.ppi);
        EXPECT_EQ(window->height(), c.shortHeight);
        EXPECT_EQ(window->minimumHeight(), c.shortHeight);
        window->PageControl_kiv->setCurrentWidget(window->TabSheet_Settings);
        EXPECT_EQ(window->height(), c.tallHeight);
        EXPECT_EQ(window->minimumHeight(), c.tallHeight);
        window->PageControl_kiv->setCurrentWidget(window->TabSheet_Support);
        EXPECT_EQ(window->height(), c.shortHeight);
    }
}

TEST_F(MainWindowTest, ShiftRevealsTheHiddenPagesUnlessSettingsAreHidden) {
    auto window = MakeWindow();
    auto visible = [&](QWidget *page) {
        return window->PageControl_kiv->isTabVisible(window->PageControl_kiv->indexOf(page));
    };
    EXPECT_FALSE(visible(window->TabSheet_MSRDP));
    window->PageControl_kiv->setCurrentWidget(window->TabSheet_Settings);
    EXPECT_FALSE(visible(window->TabSheet_Logging));
    // Keyboard switching passes over hidden pages in its direction.
    window->PageControl_kiv->setCurrentWidget(window->TabSheet_MultipleConnections);
    window->PageControl_kiv->setCurrentWidget(window->TabSheet_MSRDP);
    EXPECT_EQ(window->PageControl_kiv->currentWidget(), window->TabSheet_Authorization);
    window->PageControl_kiv->setCurrentWidget(window->TabSheet_Logging);
    EXPECT_EQ(window->PageControl_kiv->currentWidget(), window->TabSheet_MultipleConnections);

    shiftHeld = true;
    testing::ChangeSettings(window->Core(), [](auto &s) { s.hideSettings = true; });
    window->PageControl_kiv->setCurrentWidget(window->TabSheet_Support);
    EXPECT_FALSE(visible(window->TabSheet_FarmInfo));

    testing::ChangeSettings(window->Core(), [](auto &s) { s.hideSettings = false; });
    window->PageControl_kiv->setCurrentWidget(window->TabSheet_Settings);
    for (QWidget *page : {window->TabSheet_MSRDP, window->TabSheet_FarmInfo, window->TabSheet_Logging})
        EXPECT_TRUE(visible(page));
    const QStringList captions = [&] {
        QStringList list;
        for (int i = 0; i < window->PageControl_kiv->count(); ++i)
            list << window->PageControl_kiv->tabText(i);
        return list;
    }();
    EXPECT_EQ(captions, (QStringList{"Authorization", "Settings", "RDP+", "Support", "Connections", "FreeRDP",
                                     "Farm Info", "Logging"}));
}

TEST_F(MainWindowTest, SettingsDefaultsAndRules) {
    auto window = MakeWindow();
    auto &w = *window;
    // Defaults after a start without a profile.
    EXPECT_EQ(w.cb_Desktopsize->currentText(), "Full Screen");
    EXPECT_TRUE(w.edit_Desktopsize_width->text().isEmpty());
    EXPECT_FALSE(w.edit_Desktopsize_height->isEnabled());
    EXPECT_EQ(w.Core().Settings().desktopWidth, 0);
    EXPECT_EQ(w.Core().Settings().desktopHeight, 0);
    EXPECT_EQ(w.cb_Colors->currentIndex(), 1);
    EXPECT_EQ(w.cb_Sound->currentIndex(), 0);
    EXPECT_EQ(w.cb_WindowsKeys->currentIndex(), 1);
    EXPECT_EQ(w.cb_Desktopsize->count(), 8);
    EXPECT_TRUE(w.cb_DisplayConnectionBar->isChecked());
    EXPECT_TRUE(w.cb_Bitmapcaching->isChecked());
    EXPECT_FALSE(w.cb_Background->isChecked() || w.cb_Themes->isChecked() ||
                 w.cb_ConnectPrinters->isChecked());
    EXPECT_TRUE(w.cb_DoAskLoadBalancingHostname->isChecked());
    EXPECT_FALSE(w.cb_DoAskLoadBalancingHostname->isEnabled());
    EXPECT_EQ(w.edit_UserName->text().toStdString(), LogonUserName());
    EXPECT_EQ(w.cbx_LocalPrinters->count(), 2);
    EXPECT_EQ(w.cbx_LocalPrinters->currentText(), "Lab");

    // A fixed size fills the disabled fields; "Width x Height" keeps it and enables them.
    w.cb_Desktopsize->setCurrentIndex(3);
    EXPECT_EQ(w.edit_Desktopsize_width->text(), "1152");
    EXPECT_EQ(w.edit_Desktopsize_height->text(), "864");
    EXPECT_FALSE(w.edit_Desktopsize_width->isEnabled());
    w.cb_Desktopsize->setCurrentIndex(7);
    EXPECT_EQ(w.edit_Desktopsize_width->text(), "1152");
    EXPECT_TRUE(w.edit_Desktopsize_width->isEnabled());
    EXPECT_EQ(w.Core().Settings().desktopWidth, 1152);

    w.edit_Desktopsize_height->setText("30000");
    EXPECT_EQ(w.edit_Desktopsize_height->text(), "800");
    EXPECT_EQ(w.Core().Settings().desktopHeight, 800);
    w.edit_Desktopsize_width->setText("1600");
    EXPECT_EQ(w.Core().Settings().desktopWidth, 1600);

    // Full screen empties the fields; nonsense typed there leaves the stored size alone.
    w.cb_Desktopsize->setCurrentIndex(6);
    EXPECT_TRUE(w.edit_Desktopsize_width->text().isEmpty());
    w.edit_Desktopsize_width->setText("abc");
    EXPECT_TRUE(w.edit_Desktopsize_width->text().isEmpty());
    EXPECT_EQ(w.Core().Settings().desktopWidth, 1600);

    // Seamless display takes over the display choices.
    w.cb_DoSeamless->click();
    for (QWidget *control :
         std::initializer_list<QWidget *>{w.cb_Desktopsize, w.Label_Desktopsize, w.cb_DisplayConnectionBar,
                                          w.Label_DisplayConnectionBar, w.cb_Background})
        EXPECT_FALSE(control->isEnabled()) << control->objectName().toStdString();
    EXPECT_TRUE(w.cb_Colors->isEnabled());
    w.cb_DoSeamless->click();
    EXPECT_TRUE(w.cb_Desktopsize->isEnabled());

    // An emptied user name takes the password with it and asks for a list refresh.
    w.edit_Password->setText("secret");
    w.Core().Farm().StartRefreshTimer(); // countdown tag 0
    w.edit_UserName->setText("someone");
    EXPECT_EQ(w.edit_Password->text(), "secret");
    EXPECT_EQ(w.Core().Farm().TimerTag(), 3);
    w.edit_UserName->clear();
    EXPECT_TRUE(w.edit_Password->text().isEmpty());
}

TEST_F(MainWindowTest, PrinterFailureLeavesAnEmptyListAndAnErrorLine) {
    auto window = MakeWindow(96, [](MainWindowServices &services) {
        services.printers = []() -> PrinterList {
            throw std::runtime_error("printing system not available");
        };
    });
    EXPECT_EQ(window->cbx_LocalPrinters->count(), 0);
    const LoggedLine error{'E', "Can not handle Local Printers: printing system not available"};
    const auto found = std::find(lines.begin(), lines.end(), error);
    ASSERT_NE(found, lines.end());
    EXPECT_EQ(std::prev(found)->text, "Begin InitSettings");
    EXPECT_EQ(std::next(found)->text, "End InitSettings");
}

TEST_F(MainWindowTest, EveryControlCarriesItsNameAsObjectName) {
    auto window = MakeWindow();
    for (const char *name : {"bn_Connect", "bn_Close", "cb_DoSeamless", "StringGrid_Servers", "lb_Logging",
                             "edit_Desktopsize_height", "pn_cmbx_FolderMultipleConnectionsRDPFiles",
                             "Timer_AutoClose", "Timer_RefreshServerList", "Timer_GetMeAnUpdateLogging",
                             "TabSheet_RDPPlus", "Label_WEZ_options", "cbx_PSPDFPrinterFilesSelect"})
        EXPECT_NE(window->findChild<QObject *>(name), nullptr) << name;
    EXPECT_EQ(window->Label_WEZ_options->text(), "Terminal Server options");
    EXPECT_EQ(window->windowTitle(), "Terminal Server Client");
    EXPECT_TRUE(window->Core().UpdateLoggingTimer()->isActive());
    EXPECT_FALSE(window->Core().AutoCloseTimer()->isActive());
    EXPECT_FALSE(window->Core().Farm().TimerActive());
    EXPECT_FALSE(window->bn_GetList->isEnabled());
}

TEST_F(MainWindowTest, ShutdownWritesWidthsAndStopsTheLogLast) {
    auto window = MakeWindow();
    window->show();
    window->StringGrid_Servers->setColumnWidth(2, 133);
    lines.clear();
    window->bn_Close->click();
    EXPECT_FALSE(window->isVisible());
    window.reset();
    const std::string profile = ApplicationDataFolder() + "/tsv_farm.rdp";
    const std::vector<std::string> expected{"Begin WriteAllIniValues: " + IniFilePath(),
                                            "End WriteAllIniValues",
                                            "Begin Write_tsv_RDP_file[1]: " + profile,
                                            "Write FileName: " + profile,
                                            "End Write_tsv_RDP_file",
                                            "Log stopped"};
    EXPECT_EQ(Texts(), expected);
    const IniFile ini(IniFilePath());
    EXPECT_EQ(ini.ReadString("Column widths", "StringGrid_Servers Column width  02", ""), "133");
    EXPECT_EQ(ini.ReadString("Column widths", "StringGrid_Servers Column width  04", ""), "60");
}

TEST_F(MainWindowTest, StoredColumnWidthsApplyOnlyWithinTheirLimits) {
    IniFile ini(IniFilePath());
    ini.WriteString("Column widths", "StringGrid_Servers Column width  00", "400");
    ini.WriteString("Column widths", "StringGrid_Servers Column width  01", "399");
    ini.WriteString("Column widths", "StringGrid_Servers Column width  02", "20");
    ini.WriteString("Column widths", "StringGrid_Servers Column width  03", "21");
    ASSERT_TRUE(ini.Save());
    auto window = MakeWindow();
    const int widths[] = {60, 399, 60, 21, 60};
    for (int column = 0; column < 5; ++column)
        EXPECT_EQ(window->StringGrid_Servers->columnWidth(column), widths[column]) << column;
}

TEST_F(MainWindowTest, ColumnWidthThatIsNoNumberIsLoggedAndStopsTheReading) {
    IniFile ini(IniFilePath());
    ini.WriteString("Column widths", "StringGrid_Servers Column width  00", "100");
    ini.WriteString("Column widths", "StringGrid_Servers Column width  01", "wide");
    ini.WriteString("Column widths", "StringGrid_Servers Column width  02", "200");
    ASSERT_TRUE(ini.Save());
    auto window = MakeWindow();
    EXPECT_EQ(window->StringGrid_Servers->columnWidth(0), 100);
    EXPECT_EQ(window->StringGrid_Servers->columnWidth(2), 60);
    EXPECT_NE(std::find(lines.begin(), lines.end(), LoggedLine{'E', "Exception 1 ReadAllIniValues"}),
              lines.end());
}

TEST_F(MainWindowTest, UnreadableInitialisationFileIsReportedAsAWarning) {
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(IniFilePath()))); // a folder where the file belongs
    auto window = MakeWindow();
    const LoggedLine warning{'W', "Initialisation file " + IniFilePath() +
                                      " is damaged or unreadable; its values are not used"};
    const auto found = std::find(lines.begin(), lines.end(), warning);
    ASSERT_NE(found, lines.end());
    EXPECT_EQ(std::prev(found)->text, "End ReadAllIniValues");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), warning), 1);
}

TEST_F(MainWindowTest, AutoCloseEndsTheProcessAtTheSixthTick) {
    auto window = MakeWindow();
    window->show();
    for (int tick = 1; tick <= 5; ++tick)
        window->Core().Timer_AutoCloseTimer();
    EXPECT_EQ(terminations, 0);
    EXPECT_FALSE(window->isVisible());
    lines.clear();
    window->Core().Timer_AutoCloseTimer();
    EXPECT_EQ(terminations, 1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), (LoggedLine{'W', "Terminate"}));
    EXPECT_EQ(lines.back().text, "Log stopped");
}

TEST_F(MainWindowTest, ExceptionEscapingAHandlerIsLoggedAndTheWindowShown) {
    auto window = MakeWindow();
    auto *application = static_cast<Application *>(QCoreApplication::instance());
    application->SetExceptionHandler(
        [&](const std::string &message) { window->Core().ApplicationEvents1Exception(message); });
    window->hide();
    QTimer::singleShot(0, window.get(), [] { throw std::runtime_error("handler failed"); });
    QTimer::singleShot(0, window.get(), [] { throw 42; });
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    application->SetExceptionHandler({});
    EXPECT_TRUE(window->isVisible());
    EXPECT_NE(std::find(lines.begin(), lines.end(), LoggedLine{'E', "handler failed"}), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), LoggedLine{'E', "Unknown exception"}), lines.end());
}

// The lines of a log file written so far, oldest first, as long as it has not wrapped.
std::vector<std::string> LogFileLines(const std::string &path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QByteArray content = file.readAll();
    const qsizetype end = content.left(10).trimmed().toLongLong();
    std::vector<std::string> lines;
    for (const QByteArray &line : content.mid(12, end - 12).split('\n'))
        if (!line.isEmpty()) lines.push_back(line.chopped(line.endsWith('\r') ? 1 : 0).toStdString());
    return lines;
}

TEST_F(MainWindowTest, SecondRunContinuesTheLogAndTheColumnWidths) {
    const std::string logPath = ApplicationDataFolder() + "/TerminalServer_FarmClient.log";
    for (int run = 0; run < 2; ++run) {
        MainWindowServices services;
        services.pixelsPerInch = [] { return 96; };
        auto window = std::make_unique<MainWindow>(std::move(services));
        window->show();
        if (run == 0)
            window->StringGrid_Servers->setColumnWidth(1, 150);
        else
            EXPECT_EQ(window->StringGrid_Servers->columnWidth(1), 150);
        window->close();
    }
    const auto logLines = LogFileLines(logPath);
    const auto count = [&](const std::string &text) {
        return std::count_if(logLines.begin(), logLines.end(),
                             [&](const std::string &line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_EQ(count(" Log Started: "), 2);
    EXPECT_EQ(count(" Log stopped"), 2);
    EXPECT_EQ(count("Client Started: "), 2);
    ASSERT_FALSE(logLines.empty());
    EXPECT_TRUE(logLines.back().ends_with(" Log stopped"));
}

TEST_F(MainWindowTest, HungShutdownIsEndedByTheAutoCloseTimer) {
    QProcess child;
    child.setProgram(HUNG_SHUTDOWN_CHILD);
    QElapsedTimer clock;
    clock.start();
    child.start();
    ASSERT_TRUE(child.waitForFinished(20000)) << "the child still runs";
    const auto elapsed = clock.elapsed();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0);
    EXPECT_GE(elapsed, 5000);
    EXPECT_LT(elapsed, 12000);

    const auto logLines = LogFileLines(ApplicationDataFolder() + "/TerminalServer_FarmClient.log");
    ASSERT_GE(logLines.size(), 2u);
    const auto terminate = std::find_if(logLines.begin(), logLines.end(), [](const std::string &line) {
        return line.ends_with("|Warning|Terminate");
    });
    ASSERT_NE(terminate, logLines.end());
    EXPECT_NE(std::find_if(terminate, logLines.end(),
                           [](const std::string &line) {
                               return line.find("Begin WriteAllIniValues") != std::string::npos;
                           }),
              logLines.end());
    EXPECT_TRUE(logLines.back().ends_with(" Log stopped"));
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
