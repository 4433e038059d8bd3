#include "Application.h"
#include "CommandLine.h"
#include "MainWindow.h"
#include "SystemInfo.h"
#include "UserDialogs.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFrame>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace tsc::shell {
namespace {

using testing::LoggedLine;
using testing::RecordingLog;

// The check boxes a profile keeps. The round trip sets them in two alternating
// patterns, so a box written or read as another box shows in one of them.
const char *const ProfileBoxes[] = {
    "cb_DoLoadBalancing", "cb_DoAskLoadBalancingHostname",
    "cb_DoSeamless",      "cb_ConnectDiskDrives",
    "cb_ConnectPrinters", "cb_CommPorts",
    "cb_SmartCards",      "cb_DisplayConnectionBar",
    "cb_Bitmapcaching",   "cb_Themes",
    "cb_Animation",       "cb_WindowDragging",
    "cb_Background",
};
struct ListChoice {
    const char *name;
    int index[2]; // per pattern
};
const ListChoice ChosenItems[] = {{"cb_Colors", {3, 0}}, {"cb_Sound", {2, 1}}, {"cb_WindowsKeys", {2, 0}}};
const std::pair<const char *, const char *> TypedTexts[] = {{"edit_UserName", "alice"},
                                                            {"edit_Password", " pa55 w0rd"},
                                                            {"edit_Domain", "CORP"},
                                                            {"Edit_Host", "ts1:3390"}};

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The text of a profile this client wrote (UTF-16 LE after its byte-order mark).
std::string ProfileText(const std::string &path) {
    const std::string bytes = ReadFile(path);
    if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0) return {};
    return QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.data() + 2),
                              static_cast<qsizetype>((bytes.size() - 2) / 2))
        .toStdString();
}

// Answers the question before a profile from elsewhere connects, and keeps what it
// was asked; every other message is acknowledged.
class AnsweringDialogs final : public UserDialogs {
  public:
    AnsweringDialogs(OpenedProfileAnswer answer, std::vector<OpenedProfileQuestion> &asked,
                     std::vector<std::string> &shown)
        : answer_(answer), asked_(asked), shown_(shown) {}
    Answer ShowMessage(const std::string &, const std::string &text, Buttons) override {
        shown_.push_back(text);
        return Answer::Ok;
    }
    std::string SelectFolder(const std::string &, const std::string &) override { return {}; }
    OpenedProfileAnswer AskOpenedProfile(const std::string &,
                                         const OpenedProfileQuestion &question) override {
        asked_.push_back(question);
        return answer_;
    }

  private:
    OpenedProfileAnswer answer_;
    std::vector<OpenedProfileQuestion> &asked_;
    std::vector<std::string> &shown_;
};

class ProfileWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
        CommandLine::SetParameters({});
    }
    void TearDown() override { CommandLine::SetParameters({}); }

    // recordLines: the log records into `lines`; otherwise the real log file is used.
    std::unique_ptr<MainWindow> MakeWindow(bool recordLines = false) {
        MainWindowServices services;
        if (recordLines) {
            services.openLog = [this](const std::string &, std::int64_t, DisplayLineSink display) {
                return std::make_unique<RecordingLog>(lines, std::move(display));
            };
        }
        services.printers = [] { return PrinterList{{"Office"}, "Office", ""}; };
        services.pixelsPerInch = [] { return 96; };
        services.terminateProcess = [] {};
        services.dialogs = std::make_unique<AnsweringDialogs>(answer, asked, shown);
        return std::make_unique<MainWindow>(std::move(services));
    }

    static bool TabVisible(const MainWindow &window, QWidget *page) {
        return window.PageControl_kiv->isTabVisible(window.PageControl_kiv->indexOf(page));
    }
    bool Logged(const LoggedLine &line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    std::string Path(const char *name) const { return (folder_.path() + "/" + name).toStdString(); }
    std::string DefaultProfile() const { return ApplicationDataFolder() + "/tsv_farm.rdp"; }

    QTemporaryDir folder_;
    std::vector<LoggedLine> lines;
    OpenedProfileAnswer answer{true, false};
    std::vector<OpenedProfileQuestion> asked;
    std::vector<std::string> shown; // message boxes
};

TEST_F(ProfileWindowTest, EverySettingComesBackAfterARestart) {
    for (const int pattern : {0, 1}) {
        SCOPED_TRACE(pattern);
        const auto wanted = [pattern](int box) { return (box + pattern) % 2 == 0; };
        {
            auto window = MakeWindow();
            window->cb_Desktopsize->setCurrentIndex(7);
            window->edit_Desktopsize_width->setText(pattern ? "1000" : "1600");
            window->edit_Desktopsize_height->setText("900");
            for (int box = 0; box < std::ssize(ProfileBoxes); ++box)
                window->findChild<QCheckBox *>(ProfileBoxes[box])->setChecked(wanted(box));
            for (const auto &choice : ChosenItems)
                window->findChild<QComboBox *>(choice.name)->setCurrentIndex(choice.index[pattern]);
            for (const auto &[name, text] : TypedTexts)
                window->findChild<QLineEdit *>(name)->setText(text);
            window->cb_SaveMyPassword->setChecked(true);
            window->show();
            window->close();
        }
        const std::string written = ProfileText(DefaultProfile());
        EXPECT_NE(written.find("password 51:b:0"), std::string::npos) << written; // protected: hex of a blob
        EXPECT_EQ(written.find("pa55"), std::string::npos);

        auto window = MakeWindow();
        EXPECT_EQ(window->cb_Desktopsize->currentIndex(), 7);
        EXPECT_EQ(window->edit_Desktopsize_width->text(), pattern ? "1000" : "1600");
        EXPECT_EQ(window->edit_Desktopsize_height->text(), "900");
        EXPECT_EQ(window->Core().Settings().desktopWidth, pattern ? 1000 : 1600);
        EXPECT_EQ(window->Core().Settings().desktopHeight, 900);
        for (int box = 0; box < std::ssize(ProfileBoxes); ++box)
            EXPECT_EQ(window->findChild<QCheckBox *>(ProfileBoxes[box])->isChecked(), wanted(box))
                << ProfileBoxes[box];
        for (const auto &choice : ChosenItems)
            EXPECT_EQ(window->findChild<QComboBox *>(choice.name)->currentIndex(), choice.index[pattern])
                << choice.name;
        // The password comes back without its blanks at the ends; with load balancing
        // on and no farm server chosen yet, the typed host is kept.
        for (const auto &[name, text] : TypedTexts)
            EXPECT_EQ(window->findChild<QLineEdit *>(name)->text(), QString(text).trimmed()) << name;
        EXPECT_TRUE(window->cb_SaveMyPassword->isChecked());

        // What reading a profile does to the window.
        EXPECT_FALSE(window->Core().Settings().autoConnect);
        EXPECT_EQ(window->bn_OtherFarm->isHidden(), !window->cb_DoLoadBalancing->isChecked());
        EXPECT_TRUE(window->panel_AskFirstTime->isHidden());
        EXPECT_FALSE(window->cb_DoRDPPlus->isEnabled() || window->cb_DoSSLGateway->isEnabled() ||
                     window->cbx_SelectCert->isEnabled());
        EXPECT_FALSE(TabVisible(*window, window->TabSheet_RDPPlus));
        EXPECT_TRUE(TabVisible(*window, window->TabSheet_Settings));
        EXPECT_TRUE(window->Panel_Settings2->isEnabled());
        // Seamless display takes the size choice.
        EXPECT_EQ(window->cb_Desktopsize->isEnabled(), !window->cb_DoSeamless->isChecked());

        // The password's protection lines go to the log file, not to the Logging page.
        EXPECT_NE(ReadFile(ApplicationDataFolder() + "/TerminalServer_FarmClient.log").find("OK UCPWR:2"),
                  std::string::npos);
        EXPECT_TRUE(window->lb_Logging->findItems("UCPWR", Qt::MatchContains).isEmpty());
        EXPECT_FALSE(window->lb_Logging->findItems("Read_tsv_RDP_file", Qt::MatchContains).isEmpty());
    }
}

TEST_F(ProfileWindowTest, PasswordIsNotKeptWithoutSaveMyPassword) {
    {
        auto window = MakeWindow();
        window->edit_Password->setText("s3cret");
        window->cb_SaveMyPassword->setChecked(false);
    }
    EXPECT_NE(ProfileText(DefaultProfile()).find("password 51:b:\r\n"), std::string::npos);
    auto window = MakeWindow();
    EXPECT_TRUE(window->edit_Password->text().isEmpty());
    EXPECT_FALSE(window->cb_SaveMyPassword->isChecked());
}

TEST_F(ProfileWindowTest, ProfileNamedOnTheCommandLineIsReadConnectedAndWrittenBack) {
    std::ofstream(Path("given.rdp"), std::ios::binary)
        << "username:s:carol\r\nfull address:s:ts.example\r\nsession bpp:i:24\r\n";
    ::setenv("TSC_TEST_ROOT", folder_.path().toLocal8Bit().constData(), 1);
    CommandLine::SetParameters({"%TSC_TEST_ROOT%/given.rdp"});
    {
        auto window = MakeWindow(true);
        EXPECT_TRUE(window->Core().Settings().autoConnect);
        EXPECT_EQ(window->edit_UserName->text(), "carol");
        EXPECT_EQ(window->Edit_Host->text(), "ts.example");
        EXPECT_EQ(window->cb_Colors->currentIndex(), 3);
        EXPECT_TRUE(Logged({'I', "PRM 1: %TSC_TEST_ROOT%/given.rdp"}));
        EXPECT_TRUE(Logged({'I', "Auto connect..."}));
        ASSERT_EQ(asked.size(), 1u); // a file from elsewhere
        EXPECT_EQ(asked[0].host, "ts.example");
        EXPECT_FALSE(asked[0].hostKnown);
        window->edit_UserName->setText("dave");
    }
    EXPECT_TRUE(Logged({'I', "Write FileName (commandline parameter 1): " + Path("given.rdp")}));
    const std::string text = ProfileText(Path("given.rdp"));
    EXPECT_NE(text.find("username:s:dave\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("full address:s:ts.example\r\n"), std::string::npos);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(DefaultProfile())));
    ::unsetenv("TSC_TEST_ROOT");
}

TEST_F(ProfileWindowTest, ReadOnlyProfileLocksTheSettingsAndIsNotReplaced) {
    const std::string original = "username:s:erin\r\ntsv_hidesettings:s:yes\r\n";
    ASSERT_TRUE(EnsureFolder(ApplicationDataFolder()));
    std::ofstream(DefaultProfile(), std::ios::binary) << original;
    ASSERT_EQ(::chmod(DefaultProfile().c_str(), 0444), 0);
    {
        auto window = MakeWindow(true);
        EXPECT_TRUE(window->Core().Settings().profileReadOnly);
        for (QFrame *panel : {window->Panel_Settings1, window->Panel_Settings2, window->Panel_Settings3})
            EXPECT_FALSE(panel->isEnabled()) << panel->objectName().toStdString();
        EXPECT_TRUE(window->Core().Settings().hideSettings);
        EXPECT_TRUE(Logged({'I', "Show no settings"}));
        for (QWidget *page :
             {window->TabSheet_FarmInfo, window->TabSheet_Logging, window->TabSheet_MSRDP,
              window->TabSheet_MultipleConnections, window->TabSheet_RDPPlus, window->TabSheet_Settings})
            EXPECT_FALSE(TabVisible(*window, page)) << page->objectName().toStdString();
        EXPECT_TRUE(TabVisible(*window, window->TabSheet_Authorization));
        // Never the shared temporary folder: the session's private one.
        EXPECT_EQ(window->Core().WriteProfile(DefaultProfile(), "51"),
                  PrivateTemporaryFolder() + "/tsv_farm.rdp");
        window->edit_UserName->setText("frank");
    }
    EXPECT_EQ(ReadFile(DefaultProfile()), original);
    EXPECT_NE(ProfileText(PrivateTemporaryFolder() + "/tsv_farm.rdp").find("username:s:frank\r\n"),
              std::string::npos);
    EXPECT_TRUE(Logged({'I', "File: " + DefaultProfile() + " is read only"}));
}

} // namespace
} // namespace tsc::shell

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0); // also while ctest lists the tests
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    return RUN_ALL_TESTS();
}

namespace tsc::shell {
namespace {

// A file from elsewhere that hides the settings page and shares the drives: asked
// about, its hiding ignored; declined, it neither connects nor is written; once the
// client has written it (after a confirmed connect), it is not asked about again.
TEST_F(ProfileWindowTest, ProfileFromElsewhereIsAskedAboutUntilTheClientWroteIt) {
    const std::string original =
        "full address:s:evil.example\r\nredirectdrives:i:1\r\ntsv_hidesettings:s:yes\r\n";
    std::ofstream(Path("mail.rdp"), std::ios::binary) << original;
    CommandLine::SetParameters({Path("mail.rdp")});
    answer = {false, false};
    {
        auto window = MakeWindow(true);
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].host, "evil.example");
        EXPECT_NE(std::find(asked[0].sharedResources.begin(), asked[0].sharedResources.end(),
                            "your drives (every local file you can read and write)"),
                  asked[0].sharedResources.end());
        EXPECT_TRUE(TabVisible(*window, window->TabSheet_Settings));
        EXPECT_FALSE(Logged({'I', "Auto connect..."}));
        EXPECT_TRUE(Logged({'I', "Connect cancelled by the user: " + Path("mail.rdp")}));
        EXPECT_TRUE(Logged({'I', "AutoClose client..."}));
        EXPECT_TRUE(window->Core().AutoCloseTimer()->isActive());
    }
    EXPECT_EQ(ReadFile(Path("mail.rdp")), original);

    answer = {true, false};
    asked.clear();
    { auto window = MakeWindow(true); } // asked again, confirmed, written back at the end
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_NE(ProfileText(Path("mail.rdp")).find("full address:s:evil.example"), std::string::npos);

    asked.clear();
    {
        auto window = MakeWindow(true);
        EXPECT_TRUE(Logged({'I', "Auto connect..."}));
    }
    EXPECT_TRUE(asked.empty());
}

// A team share (mode 1777) is no place of the user's own: a profile there is asked
// about each time, even one the client wrote, since anyone may have changed it.
TEST_F(ProfileWindowTest, ProfileInAFolderOthersCanWriteIsAlwaysFromElsewhere) {
    const std::string share = Path("share");
    ASSERT_EQ(::mkdir(share.c_str(), 01777), 0);
    ASSERT_EQ(::chmod(share.c_str(), 01777), 0);
    const std::string profile = share + "/team.rdp";
    std::ofstream(profile, std::ios::binary) << "full address:s:127.25.0.1\r\n";
    CommandLine::SetParameters({profile});
    for (int start = 0; start < 2; ++start) {
        asked.clear();
        { auto window = MakeWindow(true); }
        EXPECT_EQ(asked.size(), 1u) << "start " << start;
    }
    EXPECT_NE(ProfileText(profile).find("full address:s:127.25.0.1"), std::string::npos); // written back
}

// Chosen rather than named for an automatic connect (here the alternative profile),
// a profile others can change is asked about at Connect; declined, nothing connects
// and the client stays open.
TEST_F(ProfileWindowTest, ChosenProfileOthersCanChangeIsAskedAboutAtConnect) {
    const std::string share = Path("share");
    ASSERT_EQ(::mkdir(share.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(share.c_str(), 0777), 0);
    std::ofstream(share + "/team.rdp", std::ios::binary)
        << "full address:s:127.25.0.2\r\ntsv_hidesettings:s:yes\r\n";
    CommandLine::SetParameters({Path("missing.rdp"), "", share + "/team.rdp"});
    answer = {false, false};
    auto window = MakeWindow(true);
    EXPECT_FALSE(window->Core().Settings().autoConnect);
    EXPECT_TRUE(asked.empty());
    EXPECT_TRUE(TabVisible(*window, window->TabSheet_Settings)); // its hiding ignored
    window->bn_ConnectClick();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].host, "127.25.0.2");
    EXPECT_FALSE(window->Core().Connecting());
    EXPECT_FALSE(window->Core().AutoCloseTimer()->isActive());
}

// A host is known by name and port: another port of a known host gets neither
// "connected before" nor the saved password.
TEST_F(ProfileWindowTest, KnownHostIsKnownOnlyOnItsPort) {
    OpenedFileRecords::RecordHost(KnownHostKey("127.25.0.1", 3389));
    answer = {false, false};
    struct Case {
        const char *address;
        bool known;
    };
    for (const Case &c :
         {Case{"127.25.0.1", true}, Case{"127.25.0.1:3389", true}, Case{"127.25.0.1:4444", false}}) {
        SCOPED_TRACE(c.address);
        std::ofstream(Path("mail.rdp"), std::ios::binary) << "full address:s:" << c.address << "\r\n";
        CommandLine::SetParameters({Path("mail.rdp")});
        asked.clear();
        { auto window = MakeWindow(true); }
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(asked[0].hostKnown, c.known);
    }
}

// A data folder others could change is not used, and nothing takes its place: the
// user is told once, and the client keeps no file anywhere.
TEST_F(ProfileWindowTest, UnsafeDataFolderIsToldOnceAndNothingIsWritten) {
    const std::string dataHome = folder_.path().toStdString() + "/XDG_DATA_HOME";
    ASSERT_EQ(::mkdir(dataHome.c_str(), 0777), 0);
    ASSERT_EQ(::chmod(dataHome.c_str(), 0777), 0); // anyone may swap the folder below it
    {
        auto window = MakeWindow(true);
        EXPECT_EQ(ApplicationDataFolder(), "");
        window->edit_UserName->setText("grace");
    }
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find(dataHome + "/TerminalServer cannot be used"), std::string::npos) << shown[0];
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const LoggedLine &line) {
        return line.level == 'W' && line.text.find("cannot be used") != std::string::npos;
    }));
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder_.path().toStdString())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(name.find("tsv"), std::string::npos) << entry.path();
        EXPECT_EQ(name.find("TerminalServer_"), std::string::npos) << entry.path();
    }
}

} // namespace
} // namespace tsc::shell
