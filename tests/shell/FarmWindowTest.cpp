// The main window with load balancing on against a Farm endpoint on loopback: the
// first-time prompt, the list arriving in the grid and the labels, and the connect
// procedure landing on the Farm's preferred server while the window stays usable.

#include "Application.h"
#include "FakeRdpControl.h"
#include "FarmEndpoint.h"
#include "MainWindow.h"
#include "Preferences.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace tsc::shell {
namespace {

using testing::FakeRdpControl;
using testing::LoggedLine;
using testing::RecordingLog;

class AnsweringDialogs final : public UserDialogs {
  public:
    explicit AnsweringDialogs(std::vector<std::string> &shown) : shown_(shown) {}
    Answer ShowMessage(const std::string &, const std::string &text, Buttons) override {
        shown_.push_back(text);
        return Answer::Ok;
    }
    std::string SelectFolder(const std::string &, const std::string &) override { return {}; }

  private:
    std::vector<std::string> &shown_;
};

// A port nobody listens on now, so the server records can name the endpoint itself.
quint16 FreePort(const char *address = "127.0.0.2") {
    QTcpServer probe;
    if (!probe.listen(QHostAddress(QString::fromLatin1(address)), 0)) return 0;
    return probe.serverPort();
}

// An endpoint on an address of its own whose list names itself as the one to ask.
std::unique_ptr<farm::FarmEndpoint> FarmAt(const char *address, const std::string &server,
                                           const std::string &domain, farm::EndpointMode mode) {
    farm::EndpointOptions options;
    options.address = QHostAddress(QString::fromLatin1(address));
    options.port = FreePort(address);
    options.domain = domain;
    options.mode = mode;
    options.servers = {{address, "3389", "3391", std::to_string(options.port), server}};
    auto endpoint = std::make_unique<farm::FarmEndpoint>(options);
    return options.port != 0 && endpoint->Listen() ? std::move(endpoint) : nullptr;
}

void WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString Cell(const QTableWidget *grid, int row, int column) {
    const QTableWidgetItem *item = grid->item(row, column);
    return item ? item->text() : QString();
}

class FarmWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.isValid());
        testing::UsePrivateFolders(folder_.path());
        port_ = FreePort();
        ASSERT_NE(port_, 0);
        farm::EndpointOptions options;
        // The refresh asks the listed servers themselves: the endpoint is the first one.
        options.address = QHostAddress("127.0.0.2");
        options.port = port_;
        options.roundRobin = true; // each request names the next server as preferred
        options.domain = "DEMOFARM";
        const std::string lb = std::to_string(port_);
        options.servers = {{"127.0.0.2", "3389", "3391", lb, "ts-left"},
                           {"127.0.0.3", "3390", "3391", lb, "ts-right"}};
        endpoint_ = std::make_unique<farm::FarmEndpoint>(options);
        ASSERT_TRUE(endpoint_->Listen());
    }

    // A profile with load balancing and the prompt on, and no server list file.
    void WriteProfile() {
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(ApplicationDataFolder())));
        QFile profile(QString::fromStdString(ApplicationDataFolder() + "/tsv_farm.rdp"));
        ASSERT_TRUE(profile.open(QIODevice::WriteOnly));
        profile.write(
            "username:s:anna\r\ntsv_doloadbalancing:s:yes\r\ntsv_doaskloadbalancinghostname:s:yes\r\n");
    }

    std::unique_ptr<MainWindow> MakeWindow() {
        MainWindowServices services;
        services.openLog = [this](const std::string &, std::int64_t, DisplayLineSink display) {
            return std::make_unique<RecordingLog>(lines, std::move(display));
        };
        services.printers = [] { return PrinterList{{"Office"}, "Office", ""}; };
        services.pixelsPerInch = [] { return 96; };
        services.shiftHeld = [this] { return shiftHeld; };
        services.terminateProcess = [] {};
        services.dialogs = std::make_unique<AnsweringDialogs>(messages);
        services.detectRdpClient = [](LogSink &) {
            return RdpClientDetectionResult{"2.11.7.0", true, false};
        };
        services.createRdpControl = [this](QString *) -> std::unique_ptr<RdpControl> {
            auto control = std::make_unique<FakeRdpControl>(record);
            fake = control.get();
            return control;
        };
        auto window = std::make_unique<MainWindow>(std::move(services));
        window->show();
        return window;
    }

    bool Logged(const std::string &text) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const LoggedLine &line) { return line.text == text; });
    }

    QTemporaryDir folder_;
    quint16 port_ = 0;
    std::unique_ptr<farm::FarmEndpoint> endpoint_;
    std::vector<LoggedLine> lines;
    std::vector<std::string> messages;
    FakeRdpControl::Record record;
    FakeRdpControl *fake = nullptr;
    bool shiftHeld = false;
};

TEST_F(FarmWindowTest, FirstTimePromptFetchesTheListAndConnectLandsOnThePreferredServer) {
    WriteProfile();
    auto window = MakeWindow();
    MainWindow &w = *window;
    ASSERT_TRUE(w.Core().LoadBalancingEnabled());
    EXPECT_TRUE(w.Core().Farm().TimerActive());
    EXPECT_TRUE(w.bn_GetList->isEnabled());
    EXPECT_TRUE(w.bn_OtherFarm->isVisible());
    EXPECT_TRUE(w.Panel_PreferredServer_Domain->isVisible());
    EXPECT_EQ(w.label_PreferredServer1->text(), "...");
    // The Farm names host and domain: the typed ones give way; asking the user can be chosen.
    for (QWidget *typed :
         std::initializer_list<QWidget *>{w.Edit_Host, w.Label_Host, w.edit_Domain, w.Label_Domain})
        EXPECT_FALSE(typed->isVisible()) << typed->objectName().toStdString();
    EXPECT_TRUE(w.cb_DoAskLoadBalancingHostname->isEnabled());

    // No list: the first tick's refresh has no endpoint to ask, so the user is asked.
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.panel_AskFirstTime->isVisible(); }, 5000));
    EXPECT_FALSE(w.Panel_UserPswDomain->isVisible());
    EXPECT_TRUE(w.bn_OkFirstTimeServer->isDefault());
    EXPECT_FALSE(w.bn_Connect->isDefault());
    EXPECT_TRUE(Cell(w.StringGrid_Servers, 1, 0).isEmpty());
    EXPECT_EQ(endpoint_->Connections(), 0);

    // OK asks the endpoint typed there; Enter in the prompt is OK.
    w.edit_FirstTimeServerAddress->setText("127.0.0.2");
    w.edit_FirstTimeServerPort->setText(QString::number(port_));
    QTest::keyClick(&w, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.panel_AskFirstTime->isVisible(); }, 5000));
    EXPECT_TRUE(w.Panel_UserPswDomain->isVisible());
    EXPECT_TRUE(w.bn_Connect->isDefault());
    EXPECT_EQ(endpoint_->Commands().size(), 1);
    EXPECT_EQ(w.label_PreferredServer1->text(), "ts-left");
    EXPECT_EQ(w.label_Domain1->text(), "DEMOFARM");
    EXPECT_EQ(w.label_PreferredServer2->text(), "ts-left");
    EXPECT_EQ(w.edit_Domain->text(), "DEMOFARM");
    ASSERT_EQ(w.StringGrid_Servers->rowCount(), 3);
    EXPECT_EQ(Cell(w.StringGrid_Servers, 1, 0), "ts-left");
    EXPECT_EQ(Cell(w.StringGrid_Servers, 2, 1), "127.0.0.3");
    EXPECT_EQ(Cell(w.StringGrid_Servers, 2, 2), "3390");
    EXPECT_EQ(Cell(w.StringGrid_Servers, 2, 4), QString::number(port_));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(ApplicationDataFolder() + "/tsv_farm_v001c003.txt")));

    // Connect refreshes the list first (the endpoint now names ts-right) and keeps the
    // window working meanwhile: a slow reply, a timer ticking, typing taken, Connect
    // and Close unavailable.
    w.StringGrid_Servers->setCurrentCell(2, 0);
    endpoint_->SetMode(farm::EndpointMode::Chunked);
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    w.bn_Connect->click();
    EXPECT_TRUE(w.Core().WaitingForFarm());
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Core().Farm().ExchangeRunning(); }, 2000));
    EXPECT_FALSE(w.bn_Connect->isEnabled());
    EXPECT_TRUE(w.bn_Close->isEnabled()); // Close ends any wait for the Farm
    QTest::keyClicks(w.edit_Password, "typed");
    EXPECT_EQ(w.edit_Password->text(), "typed");
    ASSERT_EQ(record.connects, 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return record.connects == 1; }, 10000)) << [&] {
        std::string all;
        for (const LoggedLine &line : lines)
            all += line.text + "\n";
        return all;
    }();
    EXPECT_GT(ticks, 20); // the 500 ms minimum of the exchange passed with the loop running
    ASSERT_NE(fake, nullptr);
    EXPECT_EQ(fake->Settings().server, "127.0.0.3");
    EXPECT_EQ(fake->Settings().port, 3390);
    EXPECT_EQ(w.label_PreferredServer1->text(), "ts-right");
    EXPECT_EQ(Cell(w.StringGrid_Servers, w.StringGrid_Servers->currentRow(), 0),
              "ts-right"); // selection kept
    EXPECT_FALSE(w.Core().WaitingForFarm());
    EXPECT_TRUE(w.bn_Close->isEnabled());
    EXPECT_TRUE(Logged("Server list is here. Connect..."));
    EXPECT_TRUE(messages.empty());

    // The written profile names the preferred server as the full address.
    QFile profile(QString::fromStdString(ApplicationDataFolder() + "/tsv_farm.rdp"));
    ASSERT_TRUE(profile.open(QIODevice::ReadOnly));
    const QByteArray bytes = profile.readAll(); // UTF-16 after its byte order mark
    ASSERT_GE(bytes.size(), 2);
    const QString text =
        QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData() + 2), (bytes.size() - 2) / 2);
    EXPECT_TRUE(text.contains("full address:s:127.0.0.3:3390")) << text.toStdString();
}

// Without an answering Farm the connect procedure ends without a session: the prompt
// is asked again; with load balancing off Connect goes to the typed host.
TEST_F(FarmWindowTest, NoFarmAsksAgainAndSwitchingOffConnectsDirectly) {
    WriteProfile();
    endpoint_.reset(); // nothing listens on the port
    auto window = MakeWindow();
    MainWindow &w = *window;
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.panel_AskFirstTime->isVisible(); }, 5000));
    w.edit_FirstTimeServerAddress->setText("127.0.0.1");
    w.edit_FirstTimeServerPort->setText(QString::number(port_));
    w.bn_OkFirstTimeServer->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.bn_OkFirstTimeServer->isEnabled(); }, 5000));
    EXPECT_TRUE(w.panel_AskFirstTime->isVisible());
    EXPECT_EQ(w.label_PreferredServer1->text(), "...");

    w.bn_Connect->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.Core().Connecting(); }, 5000));
    EXPECT_EQ(record.connects, 0);
    EXPECT_TRUE(w.panel_AskFirstTime->isVisible());

    w.cb_DoLoadBalancing->click();
    EXPECT_FALSE(w.Core().Farm().TimerActive());
    EXPECT_FALSE(w.panel_AskFirstTime->isVisible());
    EXPECT_TRUE(w.Edit_Host->isVisible());
    EXPECT_TRUE(w.edit_Domain->isVisible());
    EXPECT_FALSE(w.cb_DoAskLoadBalancingHostname->isEnabled());
    EXPECT_FALSE(w.bn_OtherFarm->isVisible());
    EXPECT_FALSE(w.bn_GetList->isEnabled());
    w.Edit_Host->setText("127.0.0.9:3399");
    w.bn_Connect->click();
    ASSERT_EQ(record.connects, 1);
    EXPECT_EQ(fake->Settings().server, "127.0.0.9");
}

// A Farm that never answers leaves the window usable, and Connect takes the preferred
// server of the stored list. The list's texts are checked before they are shown.
TEST_F(FarmWindowTest, SlowFarmConnectTakesTheKnownServerAndHostileRowsStayOut) {
    auto tarpit = FarmAt("127.26.0.3", "tarpit", "X", farm::EndpointMode::Silent);
    ASSERT_TRUE(tarpit);
    WriteProfile();
    const std::string tarpitPort = std::to_string(tarpit->Port());
    WriteFile(QString::fromStdString(ApplicationDataFolder() + "/tsv_farm_v001c003.txt"),
              QByteArray::fromStdString("127.26.0.9 3399 3391 ts-known DOMK\r\n"
                                        "127.26.0.3 3389 3391 " +
                                        tarpitPort +
                                        " tarpit\r\n"
                                        "10.0.0.1 3389 3391 3390 <b>bold</b>\r\n"
                                        "127.26.0.4 3389 3391 3390 ts&co\r\n"
                                        "EOF\r\n"));
    auto window = MakeWindow();
    MainWindow &w = *window;
    w.Core().Farm().SetKnownServerWaitMs(300);
    EXPECT_EQ(w.label_PreferredServer1->text(), "ts-known");
    ASSERT_EQ(w.StringGrid_Servers->rowCount(), 3);
    EXPECT_EQ(Cell(w.StringGrid_Servers, 2, 0), "ts&co");
    EXPECT_TRUE(Logged("Load Balancing: server list line 3 left out: a name holds characters no server or "
                       "domain name may hold"));
    for (const QLabel *label : w.findChildren<QLabel *>())
        EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();

    // A domain left in the hidden field is not the one the Farm names.
    w.edit_Domain->setText("TYPED");
    w.bn_Connect->click();
    EXPECT_TRUE(w.bn_Close->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return record.connects == 1; }, 5000));
    EXPECT_GE(tarpit->Connections(), 1);
    EXPECT_EQ(fake->Settings().server, "127.26.0.9");
    EXPECT_EQ(fake->Settings().port, 3399);
    EXPECT_EQ(fake->Settings().domain, "DOMK");
    EXPECT_EQ(fake->Settings().userName, "DOMK\\anna");
    EXPECT_TRUE(messages.empty());
}

// Two connections in a folder, each with its own Farm: each list goes beside its own
// profile; a switch during a refresh ends that refresh, and switching back shows the
// connection's own list.
TEST_F(FarmWindowTest, EveryConnectionRecordsItsOwnList) {
    auto alphaFarm = FarmAt("127.26.0.1", "a-server", "DOMA", farm::EndpointMode::Normal);
    auto betaFarm = FarmAt("127.26.0.2", "b-server", "DOMB", farm::EndpointMode::Normal);
    ASSERT_TRUE(alphaFarm && betaFarm);
    const QString folder = folder_.path() + "/connections";
    ASSERT_TRUE(QDir().mkpath(folder));
    const auto listOf = [&](const char *name) { return folder + "/" + name + ".tsv_farm_v001c003.txt"; };
    for (const auto &[name, address, port] : {std::tuple{"alpha", "127.26.0.1", alphaFarm->Port()},
                                              std::tuple{"beta", "127.26.0.2", betaFarm->Port()}}) {
        WriteFile(folder + "/" + name + ".rdp",
                  QByteArray("username:s:") + name + "\r\ntsv_doloadbalancing:s:yes\r\n");
        WriteFile(listOf(name), QByteArray(address) + " 3389 3391 old-" + name + " OLD\r\n" + address +
                                    " 3389 3391 " + QByteArray::number(port) + " stored\r\nEOF\r\n");
    }
    WriteConnectionUsage(true, folder.toStdString());
    WriteLastConnection("alpha");
    auto window = MakeWindow();
    MainWindow &w = *window;
    ASSERT_EQ(w.cmbx_FolderMultipleConnectionsRDPFiles->currentText(), "alpha");
    EXPECT_EQ(w.label_PreferredServer1->text(), "old-alpha");

    const auto refreshed = [&](const char *name) {
        return QTest::qWaitFor([&] { return w.label_PreferredServer1->text() == name; }, 5000) &&
               QTest::qWaitFor([&] { return !w.Core().Farm().RefreshBusy(); }, 5000);
    };
    w.bn_GetList->click();
    ASSERT_TRUE(refreshed("a-server"));
    ASSERT_TRUE(alphaFarm->Commands().contains("V001C003alpha"));
    EXPECT_TRUE(ReadFile(listOf("alpha")).contains("a-server DOMA"));

    // Another connection: its profile's user name asks its own Farm at the second tick.
    const auto choose = [&](const QString &name) {
        QComboBox *box = w.cmbx_FolderMultipleConnectionsRDPFiles;
        box->setCurrentIndex(box->findText(name));
        emit box->activated(box->currentIndex());
    };
    choose("beta");
    EXPECT_EQ(w.label_PreferredServer1->text(), "old-beta");
    ASSERT_TRUE(refreshed("b-server"));
    EXPECT_EQ(betaFarm->Commands(), QStringList{"V001C003beta"});
    EXPECT_TRUE(ReadFile(listOf("beta")).contains("b-server DOMB"));
    EXPECT_TRUE(ReadFile(listOf("alpha")).contains("a-server DOMA"));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(ApplicationDataFolder() + "/tsv_farm_v001c003.txt")));
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const LoggedLine &line) {
        return line.text.find("Can not update v001c003 file") != std::string::npos;
    }));

    // A refresh under way when the user switches belongs to the connection left.
    betaFarm->SetMode(farm::EndpointMode::Silent);
    w.bn_GetList->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return betaFarm->Connections() == 2; }, 5000));
    choose("alpha");
    EXPECT_FALSE(w.Core().Farm().RefreshBusy());
    EXPECT_EQ(w.label_PreferredServer1->text(), "a-server");
    EXPECT_TRUE(ReadFile(listOf("beta")).contains("b-server DOMB"));
    EXPECT_TRUE(
        Logged("Load Balancing: another connection was chosen; the list asked for the one before is not "
               "taken"));
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
