#pragma once

// Listeners that write down what a control reports, for the assertions.

#include "LogSink.h"
#include "RdpControl.h"

#include <QStringList>

#include <algorithm>
#include <string>
#include <vector>

namespace tsc::test {

class EventRecorder : public RdpControlEvents {
  public:
    QStringList events;
    bool Has(const QString &event) const { return events.contains(event); }
    bool HasPrefix(const QString &prefix) const {
        return std::any_of(events.begin(), events.end(),
                           [&](const QString &e) { return e.startsWith(prefix); });
    }
    int DisconnectReason() const {
        for (const QString &event : events)
            if (event.startsWith(QStringLiteral("Disconnected:"))) return event.mid(13).toInt();
        return -1;
    }

    void OnConnecting() override { events << QStringLiteral("Connecting"); }
    void OnConnected() override { events << QStringLiteral("Connected"); }
    void OnLoginComplete() override { events << QStringLiteral("LoginComplete"); }
    void OnDisconnected(int reason) override { events << QStringLiteral("Disconnected:%1").arg(reason); }
    void OnFatalError(int code) override { events << QStringLiteral("FatalError:%1").arg(code); }
    void OnWarning(int code) override { events << QStringLiteral("Warning:%1").arg(code); }
    void OnAutoReconnecting(int reason, int attempt) override {
        events << QStringLiteral("AutoReconnecting:%1:%2").arg(reason).arg(attempt);
    }
    void OnAutoReconnected() override { events << QStringLiteral("AutoReconnected"); }
    void OnConnectionStalled(bool stalled) override {
        events << QStringLiteral("Stalled:%1").arg(stalled ? 1 : 0);
    }
    int Count(const QString &prefix) const {
        return static_cast<int>(std::count_if(events.begin(), events.end(),
                                              [&](const QString &e) { return e.startsWith(prefix); }));
    }
    void OnRemoteDesktopSizeChange(int w, int h) override {
        events << QStringLiteral("Size:%1x%2").arg(w).arg(h);
    }
    void OnReceivedTSPublicKey(const QString &) override { events << QStringLiteral("PublicKey"); }
    void OnEnterFullScreenMode() override { events << QStringLiteral("EnterFullScreen"); }
    void OnLeaveFullScreenMode() override { events << QStringLiteral("LeaveFullScreen"); }
    void OnEnter() override { events << QStringLiteral("Enter"); }
    void OnExit() override { events << QStringLiteral("Exit"); }
};

class LogRecorder : public LogSink {
  public:
    std::vector<std::string> lines;
    void LogInfo(std::string_view message) override { lines.push_back("I " + std::string(message)); }
    void LogWarning(std::string_view message) override { lines.push_back("W " + std::string(message)); }
    void LogError(std::string_view message) override { lines.push_back("E " + std::string(message)); }
    bool Contains(std::string_view text) const {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string &line) { return line.find(text) != std::string::npos; });
    }
    std::string All() const {
        std::string all;
        for (const auto &line : lines)
            all += line + "\n";
        return all;
    }
};

} // namespace tsc::test
