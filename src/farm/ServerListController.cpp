#include "ServerListController.h"

#include "LogSink.h"
#include "SystemInfo.h"

#include <QRandomGenerator>

#include <utility>

namespace tsc::farm {

namespace {

// Refused lines are logged one by one up to here, then counted.
constexpr std::size_t LoggedRefusedLines = 10;

std::string Seconds(int ms) {
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

} // namespace

ServerListController::ServerListController(LogSink &log, QObject *parent)
    : QObject(parent), log_(log), exchange_(log, this),
      firstRefreshOffsetMs_(QRandomGenerator::global()->bounded(RefreshJitterMs)),
      tick_([] { return TickCount(); }) {
    // A child by name, so the timer can be found like the application's other timers.
    timer_.setParent(this);
    timer_.setObjectName(QStringLiteral("Timer_RefreshServerList"));
    timer_.setInterval(TimerIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &ServerListController::TimerTick);
    connectWait_.setSingleShot(true);
    connect(&connectWait_, &QTimer::timeout, this, &ServerListController::ContinueConnect);
    knownServerWait_.setSingleShot(true);
    connect(&knownServerWait_, &QTimer::timeout, this, [this] {
        if (connectStage_ != ConnectStage::None && PreferredServerKnown())
            ConnectWithKnownServer("the Farm gave no list within " + Seconds(knownServerWaitMs_));
    });
    refreshLimit_.setSingleShot(true);
    connect(&refreshLimit_, &QTimer::timeout, this, &ServerListController::RefreshTimeUp);
    connect(&exchange_, &FarmExchange::finished, this, &ServerListController::OnExchangeFinished);
    connect(&exchange_, &FarmExchange::runningChanged, this, &ServerListController::exchangeRunningChanged);
    connect(&exchange_, &FarmExchange::socketFailed, this, &ServerListController::ShowErrorIndicator);
    connect(&exchange_, &FarmExchange::logonNameUsed, this, [this](const QString &name) {
        SetUserName(name.toStdString());
        emit userNameFilled(name);
    });
}

void ServerListController::SetUserName(const std::string &userName) {
    userName_ = userName;
    timerTag_ = 3;
}

void ServerListController::SetLoadBalancing(bool on) {
    loadBalancing_ = on;
    if (on) {
        timer_.start();
        timerTag_ = 3;
    } else {
        timer_.stop();
        exchange_.Abort(); // the wait of a running exchange ends at once
    }
    emit indicatorChanged(VisibleIndicatorNow());
}

void ServerListController::StartRefreshTimer() {
    timerTag_ = 0;
    if (loadBalancing_)
        timer_.start();
    else
        timer_.stop();
}

void ServerListController::Shutdown() {
    closing_ = true;
    timer_.stop();
    connectWait_.stop();
    knownServerWait_.stop();
    exchange_.Abort();
}

ListFileSituation ServerListController::Situation() const {
    return situationSource_ ? situationSource_() : ListFileSituation{};
}

std::string ServerListController::ConnectionListFile() const {
    return ServerListFilePath(CurrentTag, Situation());
}

bool ServerListController::PreferredServerKnown() const {
    return preferred_ && !selectedHost_.empty() && !shownListFile_.empty() &&
           shownListFile_ == ConnectionListFile();
}

void ServerListController::ConnectionChanged() {
    if (procedure_ == Procedure::None && !exchange_.Running()) return;
    log_.LogInfo(
        "Load Balancing: another connection was chosen; the list asked for the one before is not taken");
    abandoned_ = true;
    stopping_ = true;
    if (exchange_.Running())
        exchange_.Abort(); // its end finishes the refresh or the first-time exchange
    else if (procedure_ == Procedure::Refresh)
        EndRefresh();
    else if (procedure_ == Procedure::FirstTime)
        EndFirstTime();
    abandoned_ = false;
}

void ServerListController::MigrateOlderFormat(bool loadDomain) {
    if (!OlderFormatNeedsMigration()) return;
    FileRead read = ReadOlderFormatFile(loadDomain, log_);
    if (read.found) {
        lines_ = std::move(read.text.lines);
        complete_ = read.text.complete;
        ShowServerList(loadDomain, CurrentTag);
    }
    DeleteOlderFormatFile(log_);
}

void ServerListController::ReadServerListFile(const std::optional<std::string> &path, bool loadDomain) {
    FileRead read = ReadCurrentFormatFile(path, Situation().parameters, loadDomain, log_);
    if (!read.found) return;
    lines_ = std::move(read.text.lines);
    complete_ = read.text.complete;
    ShowServerList(loadDomain, CurrentTag);
}

void ServerListController::ShowServerList(bool loadDomain, std::string_view tag) {
    if (!complete_) return;
    ServerList list = BuildServerList(lines_, tag);
    LogRefusedLines(list.refused);
    preferred_ = list.preferred;
    shownListFile_ = ConnectionListFile();
    if (preferred_) {
        selectedHost_ = preferred_->host;
        selectedPort_ = preferred_->port;
        rdpPlusPort_ = preferred_->rdpPlusPort;
        if (loadDomain) emit domainLoaded(QString::fromStdString(preferred_->domain));
    } else {
        selectedHost_.clear();
        selectedPort_.clear();
        rdpPlusPort_.clear();
    }
    rows_ = std::move(list.rows);
    firstRow_ = 0;
    emit preferredServerChanged(PreferredServerLabel(), DomainLabel());
    emit serverListShown();
}

void ServerListController::LogRefusedLines(const std::vector<RefusedLine> &refused) {
    for (std::size_t i = 0; i < refused.size() && i < LoggedRefusedLines; ++i)
        log_.LogWarning("Load Balancing: server list line " + std::to_string(refused[i].number) +
                        " left out: " + refused[i].reason);
    if (refused.size() > LoggedRefusedLines)
        log_.LogWarning("Load Balancing: " + std::to_string(refused.size() - LoggedRefusedLines) +
                        " more server list lines left out");
}

QString ServerListController::PreferredServerLabel() const {
    return preferred_ ? QString::fromStdString(preferred_->name) : QStringLiteral("...");
}

QString ServerListController::DomainLabel() const {
    return preferred_ ? QString::fromStdString(preferred_->domain) : QStringLiteral("...");
}

void ServerListController::StartExchange(const QString &host, quint16 port, std::string_view tag) {
    endpointHost_ = host;
    endpointPort_ = port;
    tag_ = std::string(tag);
    complete_ = false;
    lines_.clear();
    if (!exchange_.Start(host, port, tag, userName_, ServerListFilePath(tag, Situation())))
        QTimer::singleShot(0, this, [this] { OnExchangeFinished(false); }); // never leave a refresh hanging
}

void ServerListController::RefreshServerList() {
    if (refreshBusy_ || exchange_.Running()) {
        log_.LogInfo("Refresh server list is busy...");
        return;
    }
    log_.LogInfo("Begin Refresh server list");
    SetIndicatorStep(1);
    refreshBusy_ = true;
    emit refreshBusyChanged(true);
    lastRefreshTick_ = tick_();
    firstRefreshOffsetMs_ = 0; // the phase is set; later refreshes keep the period
    complete_ = false;
    tag_.clear();
    procedure_ = Procedure::Refresh;
    // The rows in list order, beginning where the last refresh without a list stopped.
    const std::size_t first = rows_.empty() ? 0 : firstRow_ % rows_.size();
    workList_.assign(rows_.begin() + static_cast<std::ptrdiff_t>(first), rows_.end());
    workList_.insert(workList_.end(), rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(first));
    nextRow_ = 0;
    endpointsAsked_ = 0;
    stopping_ = false;
    refreshLimit_.start(refreshTimeLimitMs_);
    NextEndpoint();
}

void ServerListController::NextEndpoint() {
    while (nextRow_ < workList_.size() && loadBalancing_ && !closing_ && !stopping_) {
        if (endpointsAsked_ == maximumEndpoints_) {
            log_.LogInfo("Load Balancing: " + std::to_string(endpointsAsked_) +
                         " servers asked without a list; the next refresh asks the servers after them");
            break;
        }
        const ServerRow &row = workList_[nextRow_++];
        if (const auto port = LoadBalancingPort(row.loadBalancingPort)) {
            ++endpointsAsked_;
            StartExchange(QString::fromStdString(row.address), static_cast<quint16>(*port), CurrentTag);
            return;
        }
    }
    EndRefresh();
}

// A refresh lasts at most its time limit: the exchange under way ends, no further
// one starts, and the refresh ends without a list.
void ServerListController::RefreshTimeUp() {
    if (procedure_ != Procedure::Refresh) return;
    log_.LogWarning("Load Balancing: no list within " + Seconds(refreshTimeLimitMs_) +
                    "; the refresh ends, the next one asks the servers after the last one asked");
    stopping_ = true;
    if (exchange_.Running())
        exchange_.Abort();
    else
        EndRefresh();
}

void ServerListController::OnExchangeFinished(bool complete) {
    if (procedure_ == Procedure::None) return; // not asked for by a refresh or the prompt
    lines_ = abandoned_ ? std::vector<std::string>{} : exchange_.Lines();
    complete_ = complete && !abandoned_;
    const bool goOn = loadBalancing_ && !closing_ && !stopping_;
    if (!complete && tag_ == CurrentTag && goOn) {
        StartExchange(endpointHost_, endpointPort_, OlderTag);
        return;
    }
    if (procedure_ == Procedure::Refresh) {
        if (complete_ || !goOn)
            EndRefresh();
        else
            NextEndpoint();
    } else if (procedure_ == Procedure::FirstTime) {
        EndFirstTime();
    }
}

void ServerListController::EndRefresh() {
    procedure_ = Procedure::None;
    refreshLimit_.stop();
    if (complete_) {
        ShowServerList(true, tag_);
        DeleteOtherFormatFile(tag_, log_);
    } else {
        // Rows this refresh passed over are asked first by the next one.
        firstRow_ += nextRow_;
        // A connect that goes ahead with the known server asks nothing.
        const bool connectGoesAhead = connectStage_ != ConnectStage::None && PreferredServerKnown();
        if (loadBalancing_ && askForFarm_ && !abandoned_ && !connectGoesAhead) emit askFirstTimeServer();
    }
    refreshBusy_ = false;
    emit refreshBusyChanged(false);
    log_.LogInfo("End Refresh server list");
    emit refreshFinished(complete_);
    if (connectStage_ != ConnectStage::None) ContinueConnect();
}

void ServerListController::ListClicked() {
    if (loadBalancing_) timerTag_ = 2;
}

void ServerListController::OkFirstTimeServer(const QString &address, const QString &port) {
    // Only one exchange runs at a time: a click while a refresh waits is ignored.
    if (refreshBusy_ || exchange_.Running()) {
        log_.LogInfo("Refresh server list is busy, so the Farm server entered is not asked now");
        return;
    }
    emit firstTimeOkEnabled(false);
    SetIndicatorStep(0);
    const auto number = LoadBalancingPort(port.toStdString());
    if (!number) {
        emit firstTimeOkEnabled(true);
        return;
    }
    procedure_ = Procedure::FirstTime;
    stopping_ = false;
    StartExchange(address, static_cast<quint16>(*number), CurrentTag);
}

void ServerListController::EndFirstTime() {
    procedure_ = Procedure::None;
    if (complete_) {
        emit firstTimeServerAccepted();
        ShowServerList(true, tag_);
        DeleteOtherFormatFile(tag_, log_);
    }
    emit firstTimeOkEnabled(true);
}

void ServerListController::PrepareConnect() {
    if (connectStage_ != ConnectStage::None) return;
    // A slow or silent Farm does not hold up a connection that knows its server.
    if (PreferredServerKnown()) knownServerWait_.start(knownServerWaitMs_);
    if (refreshBusy_) {
        log_.LogInfo("Want to connect. However, refresh serverlist is busy, so wait 30 seconds...");
        connectStage_ = ConnectStage::WaitingForBusyRefresh;
        connectWait_.start(connectWaitMs_);
        return;
    }
    connectStage_ = ConnectStage::WaitingForBusyRefresh;
    ContinueConnect();
}

void ServerListController::ContinueConnect() {
    connectWait_.stop();
    const ConnectStage stage = std::exchange(connectStage_, ConnectStage::None);
    if (stage == ConnectStage::WaitingForRefresh) return AfterConnectRefresh();
    if (stage != ConnectStage::WaitingForBusyRefresh) return;
    if (closing_) return AnswerConnect(false);
    if (!complete_ && !askForFarm_ && !PreferredServerKnown()) {
        log_.LogWarning("I have no serverlist and I can also not ask the user for a hostname....");
        return AnswerConnect(false);
    }
    if (refreshBusy_ || exchange_.Running()) {
        if (PreferredServerKnown()) return ConnectWithKnownServer("the Farm is still being asked");
        return AnswerConnect(complete_);
    }
    log_.LogInfo("Want to connect. Get server list, and wait for result...");
    connectStage_ = ConnectStage::WaitingForRefresh;
    RefreshServerList(); // may end at once (no endpoint): EndRefresh continues the procedure
}

void ServerListController::AfterConnectRefresh() {
    if (closing_ || abandoned_) return AnswerConnect(false);
    if (complete_) {
        log_.LogInfo("Server list is here. Connect...");
        return AnswerConnect(true);
    }
    if (PreferredServerKnown()) return ConnectWithKnownServer("the Farm gave no list");
    if (loadBalancing_ && askForFarm_)
        emit askFirstTimeServer();
    else
        ShowErrorIndicator();
    AnswerConnect(false);
}

// The preferred server of the connection's last complete list; a refresh still under
// way goes on and shows its list when it comes.
void ServerListController::ConnectWithKnownServer(const std::string &why) {
    connectStage_ = ConnectStage::None;
    log_.LogInfo("Load Balancing: " + why + "; connect to the preferred server known: " + selectedHost_ +
                 ":" + selectedPort_);
    AnswerConnect(true);
}

void ServerListController::AnswerConnect(bool complete) {
    connectWait_.stop();
    knownServerWait_.stop();
    emit connectListReady(complete);
}

void ServerListController::ShowErrorIndicator() {
    SetIndicatorStep(ErrorIndicatorStep(TimerIntervalMs));
}

void ServerListController::SetIndicatorStep(int step) {
    if (step == indicatorStep_) return;
    const Indicator before = VisibleIndicatorNow();
    indicatorStep_ = step;
    if (VisibleIndicatorNow() != before) emit indicatorChanged(VisibleIndicatorNow());
}

void ServerListController::TimerTick() {
    // Once, at the first tick: the timer runs only with load balancing on.
    if (!std::exchange(offsetLogged_, true) && firstRefreshOffsetMs_ > 0)
        log_.LogInfo("Load Balancing: the first periodic refresh of the server list waits " +
                     std::to_string(firstRefreshOffsetMs_) +
                     " ms longer, so clients started together do not ask the Farm at the same moment");
    if (timerTag_ > 0) --timerTag_;
    const bool due = TickDifference(tick_(), lastRefreshTick_) >= RefreshPeriodMs + firstRefreshOffsetMs_ ||
                     timerTag_ == 1;
    if (due && !refreshBusy_ && !exchange_.Running()) RefreshServerList();
    emit indicatorChanged(VisibleIndicatorNow());
    indicatorStep_ = NextIndicatorStep(indicatorStep_, refreshBusy_, exchange_.Running());
}

} // namespace tsc::farm
