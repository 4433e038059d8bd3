#pragma once

// The load-balancing state of the client: the server list and its preferred
// server, the refresh over the list's endpoints, the periodic refresh timer, the
// busy indicator and the first-time prompt. A QObject without widgets: the
// application core owns it and the main window binds its controls to the signals.

#include "FarmExchange.h"
#include "ServerListFiles.h"
#include "ServerListText.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tsc {
class LogSink;
}

namespace tsc::farm {

class ServerListController : public QObject {
    Q_OBJECT
  public:
    static constexpr int TimerIntervalMs = 500;
    static constexpr std::uint32_t RefreshPeriodMs = 300'000;
    // The first periodic refresh waits a random part of this longer, so the clients of
    // a site that start together (after a power cut) do not all ask the Farm at once.
    static constexpr std::uint32_t RefreshJitterMs = 10'000;
    // One refresh asks at most this many endpoints (each in both formats) and lasts at
    // most this long; the next refresh goes on with the rows after the last one asked.
    static constexpr std::size_t MaximumEndpointsPerRefresh = 8;
    static constexpr int RefreshTimeLimitMs = 60'000;
    // Connect waits at most this long for a fresh list when the connection has a
    // preferred server from its last complete list; then it connects there.
    static constexpr int KnownServerConnectWaitMs = 5'000;

    explicit ServerListController(LogSink &log, QObject *parent = nullptr);

    // --- inputs from the settings and the start-up ---
    // Where the list of the current connection lies, asked whenever it is needed: the
    // usage, the folder and the selected connection may change at any time.
    void SetListFileSituationSource(std::function<ListFileSituation()> source) {
        situationSource_ = std::move(source);
    }
    // Another connection (or usage) is about to be loaded: a refresh or a first-time
    // exchange under way asked for the one before, so it ends now and its reply is
    // neither recorded nor shown.
    void ConnectionChanged();
    void SetUserName(const std::string &userName); // every change asks for a refresh (tag 3)
    void SetLoadBalancing(bool on);                // cb_DoLoadBalancingClick
    void SetAskForFarm(bool on) { askForFarm_ = on; }
    // Start-up step: timer tag 0, timer running exactly when load balancing is on.
    void StartRefreshTimer();
    // Start-up migration: convert the older file when no current one exists, then delete it.
    void MigrateOlderFormat(bool loadDomain);
    // Read_V001C003_file: none means the data folder's file.
    void ReadServerListFile(const std::optional<std::string> &path, bool loadDomain);
    // Shutdown or Close: ends any exchange now, stops the timer.
    void Shutdown();

    // --- requests ---
    void RefreshServerList();
    void ListClicked();                                                  // bn_GetListClick
    void OkFirstTimeServer(const QString &address, const QString &port); // bn_OkFirstTimeServerClick
    void OtherFarmClicked() { emit askFirstTimeServer(); }               // bn_OtherFarmClick
    // The load-balancing branch of the connect procedure: waits for a running
    // refresh, runs one, and answers connectListReady(ServerListComplete).
    void PrepareConnect();
    void ShowErrorIndicator();
    // One tick of Timer_RefreshServerList (public so a test can drive it).
    void TimerTick();

    // --- state ---
    [[nodiscard]] bool RefreshBusy() const { return refreshBusy_; }
    [[nodiscard]] bool ServerListComplete() const { return complete_; }
    [[nodiscard]] const std::string &ServerListTag() const { return tag_; }
    [[nodiscard]] const std::vector<std::string> &ServerListLines() const { return lines_; }
    [[nodiscard]] const std::string &SelectedServerHost() const { return selectedHost_; }
    [[nodiscard]] const std::string &SelectedServerPort() const { return selectedPort_; }
    [[nodiscard]] const std::string &RdpPlusPort() const { return rdpPlusPort_; }
    [[nodiscard]] QString PreferredServerLabel() const; // "..." when unknown
    [[nodiscard]] QString DomainLabel() const;          // "..." when unknown
    [[nodiscard]] const std::vector<ServerRow> &Rows() const { return rows_; }
    [[nodiscard]] int BusyIndicatorStep() const { return indicatorStep_; }
    [[nodiscard]] Indicator VisibleIndicatorNow() const {
        return VisibleIndicator(indicatorStep_, loadBalancing_);
    }
    [[nodiscard]] bool ExchangeRunning() const { return exchange_.Running(); }
    // Shutdown was called: nothing starts any more.
    [[nodiscard]] bool ShutDown() const { return closing_; }
    // The current connection has a preferred server from a complete list of its own.
    [[nodiscard]] bool PreferredServerKnown() const;
    [[nodiscard]] bool TimerActive() const { return timer_.isActive(); }
    [[nodiscard]] int TimerTag() const { return timerTag_; }

    // For tests and benchmarks.
    FarmExchange &Exchange() { return exchange_; }
    void SetTickSource(std::function<std::uint32_t()> source) { tick_ = std::move(source); }
    void SetWaitLimitMs(int ms) { connectWaitMs_ = ms; }
    void SetKnownServerWaitMs(int ms) { knownServerWaitMs_ = ms; }
    void SetRefreshLimits(std::size_t endpoints, int totalMs) {
        maximumEndpoints_ = endpoints;
        refreshTimeLimitMs_ = totalMs;
    }
    void SetFirstRefreshOffsetMs(std::uint32_t ms) { firstRefreshOffsetMs_ = ms; }

  signals:
    // The list was shown: the grid takes Rows() and keeps the selection (RowToSelect).
    void serverListShown();
    void preferredServerChanged(const QString &name, const QString &domain);
    void domainLoaded(const QString &domain); // edit_Domain, when the caller asked for it
    void indicatorChanged(tsc::farm::Indicator indicator);
    void askFirstTimeServer();
    void firstTimeServerAccepted(); // hide the prompt, Connect is the default button again
    void firstTimeOkEnabled(bool enabled);
    void exchangeRunningChanged(bool running); // bn_Connect and bn_Close disabled while true
    void refreshBusyChanged(bool busy);
    void refreshFinished(bool complete);
    void userNameFilled(const QString &name); // the logon name went into an empty user name
    void connectListReady(bool complete);

  private:
    enum class Procedure { None, Refresh, FirstTime };
    enum class ConnectStage { None, WaitingForBusyRefresh, WaitingForRefresh };

    [[nodiscard]] ListFileSituation Situation() const;
    [[nodiscard]] std::string ConnectionListFile() const;
    void ShowServerList(bool loadDomain, std::string_view tag);
    void LogRefusedLines(const std::vector<RefusedLine> &refused);
    void StartExchange(const QString &host, quint16 port, std::string_view tag);
    void OnExchangeFinished(bool complete);
    void NextEndpoint();
    void RefreshTimeUp();
    void EndRefresh();
    void EndFirstTime();
    void ContinueConnect();
    void AfterConnectRefresh();
    void ConnectWithKnownServer(const std::string &why);
    void AnswerConnect(bool complete);
    void SetIndicatorStep(int step);

    LogSink &log_;
    FarmExchange exchange_;
    QTimer timer_;
    QTimer connectWait_;
    QTimer knownServerWait_;
    QTimer refreshLimit_;
    std::function<ListFileSituation()> situationSource_;
    std::string userName_;
    bool loadBalancing_ = false;
    bool askForFarm_ = false;
    bool closing_ = false;

    bool refreshBusy_ = false;
    bool complete_ = false;
    std::string tag_;
    std::vector<std::string> lines_;
    std::string selectedHost_, selectedPort_, rdpPlusPort_;
    std::optional<PreferredServer> preferred_;
    std::vector<ServerRow> rows_;
    // The list file of the connection the shown list belongs to.
    std::string shownListFile_;

    int timerTag_ = 0;
    int indicatorStep_ = 0;
    std::uint32_t lastRefreshTick_ = 0;
    std::uint32_t firstRefreshOffsetMs_ = 0;
    bool offsetLogged_ = false;
    std::function<std::uint32_t()> tick_;

    Procedure procedure_ = Procedure::None;
    std::vector<ServerRow> workList_;
    std::size_t nextRow_ = 0;
    std::size_t firstRow_ = 0; // where the next refresh begins in the list's rows
    std::size_t endpointsAsked_ = 0;
    std::size_t maximumEndpoints_ = MaximumEndpointsPerRefresh;
    int refreshTimeLimitMs_ = RefreshTimeLimitMs;
    bool stopping_ = false; // the time is up or the connection changed: no further exchange
    bool abandoned_ = false;
    QString endpointHost_;
    quint16 endpointPort_ = 0;

    ConnectStage connectStage_ = ConnectStage::None;
    int connectWaitMs_ = 30'000;
    int knownServerWaitMs_ = KnownServerConnectWaitMs;
};

} // namespace tsc::farm
