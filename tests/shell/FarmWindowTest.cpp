// The main window with load balancing on against a Farm endpoint on loopback: the
// first-time prompt, the list arriving in the grid and the labels, and the connect
// procedure landing on the Farm's preferred server while the window stays usable.

#include "Application.h"
#include "FakeRdpControl.h"
#include "FarmEndpoint.h"
#include "MainWindow.h"
#include "SystemInfo.h"
#include "WindowTestSupport.h"

#include <QCheckBox>
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
quint16 FreePort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress("127.0.0.2"), 0)) return 0;
    return probe.serverPort();
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
    EXPECT_FALSE(w.bn_Close->isEnabled());
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
    EXPECT_FALSE(w.bn_OtherFarm->isVisible());
    EXPECT_FALSE(w.bn_GetList->isEnabled());
    w.Edit_Host->setText("127.0.0.9:3399");
    w.bn_Connect->click();
    ASSERT_EQ(record.connects, 1);
    EXPECT_EQ(fake->Settings().server, "127.0.0.9");
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
