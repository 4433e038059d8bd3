#include "ServerListController.h"
#include "FarmEndpoint.h"
#include "FarmTestSupport.h"

#include <QElapsedTimer>
#include <QTcpServer>

using namespace tsc::farm;

namespace {
quint16 ClosedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}
std::string Row(quint16 lbPort, const std::string &name) {
    return "127.0.0.1 3389 3391 " + std::to_string(lbPort) + " " + name + "\r\n";
}
std::string RowAt(const std::string &address, quint16 lbPort, const std::string &name) {
    return address + " 3389 3391 " + std::to_string(lbPort) + " " + name + "\r\n";
}
// An endpoint listening on an address of its own.
std::unique_ptr<FarmEndpoint> EndpointAt(const char *address, EndpointMode mode) {
    EndpointOptions options;
    options.address = QHostAddress(QString::fromLatin1(address));
    options.servers = {{"127.26.0.9", "3389", "3391", "3390", "ts9"}};
    options.mode = mode;
    auto endpoint = std::make_unique<FarmEndpoint>(options);
    return endpoint->Listen() ? std::move(endpoint) : nullptr;
}
} // namespace

class ServerListControllerTest : public FarmFolderTest {
  protected:
    void SetUp() override {
        FarmFolderTest::SetUp();
        controller_ = std::make_unique<ServerListController>(log_);
        controller_->Exchange().SetLimits({500, 1500, MaximumReplyBytes, MaximumReplyLines});
        controller_->SetUserName("alice");
        QObject::connect(controller_.get(), &ServerListController::refreshFinished, controller_.get(),
                         [this] { ++refreshes_; });
        QObject::connect(controller_.get(), &ServerListController::askFirstTimeServer, controller_.get(),
                         [this] { ++asked_; });
    }
    void TearDown() override {
        controller_.reset();
        FarmFolderTest::TearDown();
    }
    // A stored list whose server records are the endpoints to ask.
    void StoreList(const std::string &records) {
        WriteAll(DataPath("tsv_farm_v001c003.txt"), "10.9.9.9 3389 3391 old OLD\r\n" + records + "EOF\r\n");
        controller_->ReadServerListFile(std::nullopt, true);
    }
    bool Refresh() {
        const int before = refreshes_;
        controller_->RefreshServerList();
        return RunUntil([&] { return refreshes_ > before; }, 30'000);
    }

    std::unique_ptr<ServerListController> controller_;
    int refreshes_ = 0;
    int asked_ = 0;
};

TEST_F(ServerListControllerTest, RefreshAsksTheEndpointsInTurn) {
    EndpointOptions options;
    options.servers = {{"127.0.0.7", "3389", "3391", "3390", "ts7"},
                       {"127.0.0.8", "3390", "3392", "3390", "ts8"}};
    options.domain = "LAB";
    FarmEndpoint endpoint(options);
    ASSERT_TRUE(endpoint.Listen());
    StoreList(Row(ClosedPort(), "dead") + Row(endpoint.Port(), "alive"));
    EXPECT_EQ(controller_->SelectedServerHost(), "10.9.9.9");
    WriteAll(DataPath("tsv_farm_v001c001.txt"), "stale");
    controller_->SetLoadBalancing(true);
    ASSERT_TRUE(Refresh());
    EXPECT_TRUE(controller_->ServerListComplete());
    // Both formats at the first endpoint, then the current one at the second.
    EXPECT_EQ(log_.Count("I Connect to 127.0.0.1:"), 3u);
    EXPECT_EQ(controller_->SelectedServerHost(), "127.0.0.7");
    EXPECT_EQ(controller_->SelectedServerPort(), "3389");
    EXPECT_EQ(controller_->RdpPlusPort(), "3391");
    EXPECT_EQ(controller_->PreferredServerLabel(), "ts7");
    EXPECT_EQ(controller_->DomainLabel(), "LAB");
    ASSERT_EQ(controller_->Rows().size(), 2u);
    EXPECT_EQ(controller_->Rows()[1].name, "ts8");
    EXPECT_FALSE(std::filesystem::exists(DataPath("tsv_farm_v001c001.txt")));
    EXPECT_TRUE(log_.Has("I End Refresh server list"));
}

TEST_F(ServerListControllerTest, OlderFormatEndpointAndSkippedPorts) {
    EndpointOptions options;
    options.servers = {{"127.0.0.7", "3389", "3391", "3390", "ts7"}};
    options.mode = EndpointMode::OlderOnly;
    FarmEndpoint endpoint(options);
    ASSERT_TRUE(endpoint.Listen());
    // Port cells that are no number from 1 to 65534 are passed over without an exchange.
    StoreList(Row(0, "zero") + "127.0.0.1 3389 3391 65535 max\r\n127.0.0.1 3389 3391 abc word\r\n" +
              "127.0.0.1 3389 3391  empty\r\n" + Row(endpoint.Port(), "older"));
    controller_->SetLoadBalancing(true);
    ASSERT_TRUE(Refresh());
    EXPECT_EQ(log_.Count("I Connect to 127.0.0.1:"), 2u);
    EXPECT_EQ(controller_->ServerListTag(), "V001C001");
    EXPECT_EQ(controller_->RdpPlusPort(), "0");
    ASSERT_EQ(controller_->Rows().size(), 1u);
    EXPECT_EQ(controller_->Rows()[0].rdpPlusPort, "0");
    EXPECT_TRUE(std::filesystem::exists(DataPath("tsv_farm_v001c001.txt")));
    EXPECT_FALSE(std::filesystem::exists(DataPath("tsv_farm_v001c003.txt")));
}

TEST_F(ServerListControllerTest, FirstTimePromptIsIgnoredWhileARefreshWaits) {
    EndpointOptions options;
    options.servers = {{"127.0.0.7", "3389", "3391", "3390", "ts7"}};
    options.mode = EndpointMode::Silent;
    FarmEndpoint silent(options);
    ASSERT_TRUE(silent.Listen());
    StoreList(Row(silent.Port(), "silent"));
    controller_->SetLoadBalancing(true);
    controller_->SetAskForFarm(true);
    controller_->RefreshServerList();
    ASSERT_TRUE(RunUntil([&] { return silent.Connections() == 1; }));
    options.mode = EndpointMode::Normal;
    FarmEndpoint good(options);
    ASSERT_TRUE(good.Listen());
    controller_->OkFirstTimeServer("127.0.0.1", QString::number(good.Port()));
    ASSERT_TRUE(RunUntil([&] { return refreshes_ == 1; }, 10'000));
    EXPECT_EQ(good.Connections(), 0);
    EXPECT_TRUE(log_.Has("I Refresh server list is busy, so the Farm server entered is not asked now"));
    EXPECT_EQ(asked_, 1); // no list: the prompt is asked for

    std::vector<bool> okEnabled;
    int accepted = 0;
    QObject::connect(controller_.get(), &ServerListController::firstTimeOkEnabled, controller_.get(),
                     [&](bool on) { okEnabled.push_back(on); });
    QObject::connect(controller_.get(), &ServerListController::firstTimeServerAccepted, controller_.get(),
                     [&] { ++accepted; });
    for (const char *port : {"0", "65535", "abc", ""})
        controller_->OkFirstTimeServer("127.0.0.1", port);
    EXPECT_FALSE(controller_->ExchangeRunning());
    EXPECT_EQ(okEnabled, (std::vector<bool>{false, true, false, true, false, true, false, true}));
    controller_->OkFirstTimeServer("127.0.0.1", QString::number(good.Port()));
    ASSERT_TRUE(RunUntil([&] { return accepted == 1; }));
    EXPECT_EQ(controller_->PreferredServerLabel(), "ts7");
}

TEST_F(ServerListControllerTest, ConnectProcedureGetsAFreshList) {
    // The Farm's list names itself as the endpoint to ask next time.
    EndpointOptions options;
    options.port = ClosedPort();
    const std::string self = std::to_string(options.port);
    options.servers = {{"127.0.0.1", "3389", "3391", self, "ts7"},
                       {"127.0.0.2", "3389", "3391", self, "ts8"}};
    options.roundRobin = true;
    FarmEndpoint endpoint(options);
    ASSERT_TRUE(endpoint.Listen());
    std::vector<bool> ready;
    QObject::connect(controller_.get(), &ServerListController::connectListReady, controller_.get(),
                     [&](bool complete) { ready.push_back(complete); });

    // No list and nobody to ask: no connect.
    controller_->SetLoadBalancing(true);
    controller_->PrepareConnect();
    EXPECT_EQ(ready, std::vector<bool>{false});
    EXPECT_TRUE(log_.Has("W I have no serverlist and I can also not ask the user for a hostname...."));

    StoreList(Row(endpoint.Port(), "farm"));
    controller_->PrepareConnect();
    ASSERT_TRUE(RunUntil([&] { return ready.size() == 2; }));
    EXPECT_TRUE(ready.back());
    EXPECT_EQ(controller_->SelectedServerHost(), "127.0.0.1");
    EXPECT_TRUE(log_.Has("I Server list is here. Connect..."));

    // A connect during a refresh waits for it, then refreshes again (round-robin: next server).
    controller_->RefreshServerList();
    controller_->PrepareConnect();
    EXPECT_TRUE(log_.Has("refresh serverlist is busy, so wait 30 seconds..."));
    ASSERT_TRUE(RunUntil([&] { return ready.size() == 3; }));
    EXPECT_TRUE(ready.back());
    EXPECT_EQ(endpoint.Connections(), 3);
    EXPECT_EQ(controller_->SelectedServerHost(), "127.0.0.1"); // third answer: back to the first server
}

TEST_F(ServerListControllerTest, TimerCountdownAndPeriod) {
    std::uint32_t now = 1000;
    controller_->SetTickSource([&] { return now; });
    controller_->SetAskForFarm(true);
    controller_->SetLoadBalancing(true); // asks for a refresh at the second tick
    EXPECT_TRUE(controller_->TimerActive());
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 0);
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 1); // an empty grid asks nobody
    EXPECT_EQ(asked_, 1);
    controller_->TimerTick();
    now += ServerListController::RefreshPeriodMs - 1;
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 1);
    now += 1;
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 2);
    controller_->ListClicked();
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 3);
    controller_->SetLoadBalancing(false);
    const int tag = controller_->TimerTag();
    controller_->ListClicked(); // does nothing with load balancing off
    EXPECT_EQ(controller_->TimerTag(), tag);
    EXPECT_FALSE(controller_->TimerActive());
    EXPECT_EQ(controller_->VisibleIndicatorNow(), Indicator::None);
}

TEST_F(ServerListControllerTest, SwitchingLoadBalancingOffEndsTheRefreshAtOnce) {
    EndpointOptions options;
    options.mode = EndpointMode::Silent;
    FarmEndpoint silent(options);
    ASSERT_TRUE(silent.Listen());
    controller_->Exchange().SetLimits({500, 20'000, MaximumReplyBytes, MaximumReplyLines});
    StoreList(Row(silent.Port(), "a") + Row(silent.Port(), "b"));
    controller_->SetLoadBalancing(true);
    controller_->RefreshServerList();
    ASSERT_TRUE(RunUntil([&] { return silent.Connections() == 1; }));
    QElapsedTimer clock;
    clock.start();
    controller_->SetLoadBalancing(false);
    ASSERT_TRUE(RunUntil([&] { return refreshes_ == 1; }, 5'000));
    EXPECT_LT(clock.elapsed(), 1'000);
    EXPECT_EQ(silent.Connections(), 1); // no further rows, no older-format retry
    EXPECT_FALSE(controller_->RefreshBusy());
}

// A tarpit ends the refresh when its time is up (no older-format retry), a row of
// refusing servers when the number of servers asked is reached; the next refresh goes
// on with the rows after them.
TEST_F(ServerListControllerTest, RefreshIsBoundedAndGoesOnWhereItStopped) {
    auto tarpit = EndpointAt("127.26.0.1", EndpointMode::Silent);
    auto good = EndpointAt("127.26.0.2", EndpointMode::Normal);
    ASSERT_TRUE(tarpit && good);
    const quint16 closed = ClosedPort();
    StoreList(RowAt("127.26.0.1", tarpit->Port(), "tarpit") + RowAt("127.26.0.3", closed, "down1") +
              RowAt("127.26.0.3", closed, "down2") + RowAt("127.26.0.2", good->Port(), "alive"));
    controller_->Exchange().SetLimits({500, 20'000, MaximumReplyBytes, MaximumReplyLines});
    controller_->SetRefreshLimits(2, 3'000);
    controller_->SetLoadBalancing(true);

    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(Refresh());
    EXPECT_LT(clock.elapsed(), 6'000);
    EXPECT_FALSE(controller_->ServerListComplete());
    EXPECT_EQ(tarpit->Connections(), 1);
    EXPECT_TRUE(log_.Has("W Load Balancing: no list within 3 s; the refresh ends"));

    ASSERT_TRUE(Refresh());
    EXPECT_FALSE(controller_->ServerListComplete());
    EXPECT_TRUE(log_.Has("I Load Balancing: 2 servers asked without a list"));
    EXPECT_EQ(good->Connections(), 0);

    ASSERT_TRUE(Refresh());
    EXPECT_TRUE(controller_->ServerListComplete());
    EXPECT_EQ(good->Connections(), 1);
    EXPECT_EQ(tarpit->Connections(), 1);
    EXPECT_EQ(controller_->PreferredServerLabel(), "ts9");
}

TEST_F(ServerListControllerTest, ConnectGoesAheadWithTheKnownServerWhenTheFarmGivesNoList) {
    auto tarpit = EndpointAt("127.26.0.1", EndpointMode::Silent);
    ASSERT_TRUE(tarpit);
    std::vector<bool> ready;
    QObject::connect(controller_.get(), &ServerListController::connectListReady, controller_.get(),
                     [&](bool complete) { ready.push_back(complete); });
    controller_->Exchange().SetLimits({500, 20'000, MaximumReplyBytes, MaximumReplyLines});
    controller_->SetKnownServerWaitMs(300);
    controller_->SetAskForFarm(true);
    controller_->SetLoadBalancing(true);

    // A slow Farm: Connect waits a moment, then takes the server of the last list.
    StoreList(RowAt("127.26.0.1", tarpit->Port(), "tarpit"));
    ASSERT_TRUE(controller_->PreferredServerKnown());
    controller_->PrepareConnect();
    ASSERT_TRUE(RunUntil([&] { return ready.size() == 1; }, 3'000));
    EXPECT_TRUE(ready.back());
    EXPECT_EQ(controller_->SelectedServerHost(), "10.9.9.9");
    EXPECT_TRUE(log_.Has("I Load Balancing: the Farm gave no list within 300 ms; connect to the preferred "
                         "server known: 10.9.9.9:3389"));
    EXPECT_TRUE(controller_->RefreshBusy()); // the refresh goes on by itself

    // Another connection: the refresh for this one ends at once and asks nobody.
    controller_->ConnectionChanged();
    EXPECT_FALSE(controller_->RefreshBusy());
    EXPECT_FALSE(controller_->ExchangeRunning());
    EXPECT_EQ(asked_, 0);
    EXPECT_TRUE(log_.Has("another connection was chosen; the list asked for the one before is not taken"));
    // The prompt afterwards still tries the older format too.
    auto older = EndpointAt("127.26.0.4", EndpointMode::OlderOnly);
    ASSERT_TRUE(older);
    int accepted = 0;
    QObject::connect(controller_.get(), &ServerListController::firstTimeServerAccepted, controller_.get(),
                     [&] { ++accepted; });
    controller_->OkFirstTimeServer("127.26.0.4", QString::number(older->Port()));
    ASSERT_TRUE(RunUntil([&] { return accepted == 1; }));
    EXPECT_EQ(controller_->ServerListTag(), "V001C001");

    // A refusing Farm: the known server as well, once the Farm has said no.
    controller_->SetKnownServerWaitMs(5'000);
    StoreList(RowAt("127.26.0.3", ClosedPort(), "down"));
    controller_->PrepareConnect();
    ASSERT_TRUE(RunUntil([&] { return ready.size() == 2; }, 5'000));
    EXPECT_TRUE(ready.back());
    EXPECT_TRUE(log_.Has("I Load Balancing: the Farm gave no list; connect to the preferred server known"));
    EXPECT_EQ(asked_, 0);

    // A list shown for another connection is no server known for this one.
    controller_->SetListFileSituationSource([&] { return ListFileSituation{true, PathOf("other.rdp"), {}}; });
    EXPECT_FALSE(controller_->PreferredServerKnown());
    controller_->PrepareConnect();
    ASSERT_TRUE(RunUntil([&] { return ready.size() == 3; }, 5'000));
    EXPECT_FALSE(ready.back());
    EXPECT_EQ(asked_, 2); // by the refresh and by the connect procedure, as without a list
}

TEST_F(ServerListControllerTest, FirstPeriodicRefreshIsOffsetOnceAndThePeriodStays) {
    std::uint32_t now = 1000;
    controller_->SetTickSource([&] { return now; });
    controller_->SetFirstRefreshOffsetMs(2'000);
    controller_->SetLoadBalancing(true);
    controller_->StartRefreshTimer();
    now = ServerListController::RefreshPeriodMs + 1'999;
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 0);
    ++now;
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 1);
    now += ServerListController::RefreshPeriodMs - 1;
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 1);
    ++now;
    controller_->TimerTick();
    EXPECT_EQ(refreshes_, 2);
    EXPECT_EQ(log_.Count("the first periodic refresh of the server list waits 2000 ms longer"), 1u);
}
