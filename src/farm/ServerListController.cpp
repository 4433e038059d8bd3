#include "ServerListController.h"

#include "LogSink.h"
#include "SystemInfo.h"

namespace tsc::farm {

ServerListController::ServerListController(LogSink &log, QObject *parent)
    : QObject(parent), log_(log), exchange_(log, this), tick_([] { return TickCount(); }) {
    // A child by name, so the timer can be found like the application's other timers.
    timer_.setParent(this);
    timer_.setObjectName(QStringLiteral("Timer_RefreshServerList"));
    timer_.setInterval(TimerIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &ServerListController::TimerTick);
    connectWait_.setSingleShot(true);
    connect(&connectWait_, &QTimer::timeout, this, &ServerListController::ContinueConnect);
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
    exchange_.Abort();
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
    FileRead read = ReadCurrentFormatFile(path, situation_.parameters, loadDomain, log_);
    if (!read.found) return;
    lines_ = std::move(read.text.lines);
    complete_ = read.text.complete;
    ShowServerList(loadDomain, CurrentTag);
}

void ServerListController::ShowServerList(bool loadDomain, std::string_view tag) {
    if (!complete_) return;
    const ServerList list = BuildServerList(lines_, tag);
    preferred_ = list.preferred;
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
    rows_ = list.rows;
    emit preferredServerChanged(PreferredServerLabel(), DomainLabel());
    emit serverListShown();
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
    if (!exchange_.Start(host, port, tag, userName_, ServerListFilePath(tag, situation_)))
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
    complete_ = false;
    tag_.clear();
    procedure_ = Procedure::Refresh;
    workList_ = rows_;
    nextRow_ = 0;
    NextEndpoint();
}

void ServerListController::NextEndpoint() {
    while (nextRow_ < workList_.size() && loadBalancing_ && !closing_) {
        const ServerRow &row = workList_[nextRow_++];
        if (const auto port = LoadBalancingPort(row.loadBalancingPort)) {
            StartExchange(QString::fromStdString(row.address), static_cast<quint16>(*port), CurrentTag);
            return;
        }
    }
    EndRefresh();
}

void ServerListController::OnExchangeFinished(bool complete) {
    lines_ = exchange_.Lines();
    complete_ = complete;
    const bool goOn = loadBalancing_ && !closing_;
    if (!complete && tag_ == CurrentTag && goOn) {
        StartExchange(endpointHost_, endpointPort_, OlderTag);
        return;
    }
    if (procedure_ == Procedure::Refresh) {
        if (complete || !goOn)
            EndRefresh();
        else
            NextEndpoint();
    } else if (procedure_ == Procedure::FirstTime) {
        EndFirstTime();
    }
}

void ServerListController::EndRefresh() {
    procedure_ = Procedure::None;
    if (complete_)
        ShowServerList(true, tag_);
    else if (loadBalancing_ && askForFarm_)
        emit askFirstTimeServer();
    if (complete_) DeleteOtherFormatFile(tag_, log_);
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
    if (!complete_ && !askForFarm_) {
        log_.LogWarning("I have no serverlist and I can also not ask the user for a hostname....");
        emit connectListReady(complete_);
        return;
    }
    if (refreshBusy_ || exchange_.Running() || closing_) {
        emit connectListReady(complete_ && !closing_);
        return;
    }
    log_.LogInfo("Want to connect. Get server list, and wait for result...");
    connectStage_ = ConnectStage::WaitingForRefresh;
    RefreshServerList(); // may end at once (no endpoint): EndRefresh continues the procedure
}

void ServerListController::AfterConnectRefresh() {
    if (closing_) return emit connectListReady(false);
    if (complete_) {
        log_.LogInfo("Server list is here. Connect...");
    } else if (loadBalancing_ && askForFarm_) {
        emit askFirstTimeServer();
    } else {
        ShowErrorIndicator();
    }
    emit connectListReady(complete_);
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
    if (timerTag_ > 0) --timerTag_;
    const bool due = TickDifference(tick_(), lastRefreshTick_) >= RefreshPeriodMs || timerTag_ == 1;
    if (due && !refreshBusy_ && !exchange_.Running()) RefreshServerList();
    emit indicatorChanged(VisibleIndicatorNow());
    indicatorStep_ = NextIndicatorStep(indicatorStep_, refreshBusy_, exchange_.Running());
}

} // namespace tsc::farm
