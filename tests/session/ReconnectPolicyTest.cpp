// The reconnect attempts and the stall watch with short times, against a real server
// through the fault proxy.

#include "FaultProxy.h"
#include "FreeRdpControl.h"
#include "Recorders.h"
#include "ShadowServer.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tsc::engine {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;
using tools::FaultProxy;

TEST(ReconnectPolicy, TwentyAttemptsTakeAboutTwoMinutesWithAGrowingPause) {
    const ReconnectPolicy policy;
    EXPECT_EQ(policy.attempts, RdpControl::MaximumReconnectAttempts);
    EXPECT_EQ(policy.PauseBefore(1), 0ms); // a reset is answered at once
    EXPECT_EQ(policy.PauseBefore(2), 1000ms);
    EXPECT_EQ(policy.PauseBefore(9), 8000ms);
    EXPECT_EQ(policy.PauseBefore(20), 8000ms);
    std::chrono::milliseconds total{0};
    for (int attempt = 1; attempt <= policy.attempts; ++attempt)
        total += policy.PauseBefore(attempt);
    EXPECT_GE(total, 100s);
    EXPECT_LE(total, 150s);
}

class ShortReconnect : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new QTemporaryDir();
        server_ = new test::ShadowServer(folder_->path(), QStringLiteral("#884422"));
        server_->SetAddress(QStringLiteral("127.27.0.4"));
        if (!server_->Start()) FAIL() << server_->Error().toStdString();
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    void SetUp() override {
        proxy_ = std::make_unique<FaultProxy>("127.27.0.5", "127.27.0.4", server_->Port());
        std::string error;
        ASSERT_TRUE(proxy_->Start(0, &error)) << error;
    }
    static ReconnectPolicy Short() {
        ReconnectPolicy policy;
        policy.attempts = 3;
        policy.pauseStep = 100ms;
        policy.longestPause = 200ms;
        policy.attemptTimeout = 3000ms;
        policy.silenceBeforeProbe = 300ms;
        policy.stallAfter = 1000ms;
        policy.giveUpStallAfter = 4000ms;
        return policy;
    }
    void Start(FreeRdpControl &control) {
        control.SetEventHandler(&events_);
        control.SetLogSink(&log_);
        ConnectionSettings settings;
        settings.server = "127.27.0.5";
        settings.port = proxy_->Port();
        settings.userName = "test";
        settings.password = "test";
        settings.colorDepth = 24;
        settings.audioMode = AudioMode::DoNotPlay;
        ASSERT_TRUE(control.Connect(settings));
        ASSERT_TRUE(WaitFor([&] { return events_.Has(QStringLiteral("LoginComplete")); }, 20000)) << Trace();
    }
    void Stop(FreeRdpControl &control) {
        control.Disconnect();
        WaitFor([&] { return control.Connected() == RdpConnectionState::NotConnected; }, 10000);
        control.SetEventHandler(nullptr);
        control.SetLogSink(nullptr);
    }
    std::string Trace() const {
        return events_.events.join(QLatin1Char(' ')).toStdString() + "\n" + log_.All();
    }

    static inline QTemporaryDir *folder_ = nullptr;
    static inline test::ShadowServer *server_ = nullptr;
    std::unique_ptr<FaultProxy> proxy_;
    test::EventRecorder events_;
    test::LogRecorder log_;
};

// A server that accepts and drops every connection at once: the attempts stay
// bounded and paced, and the session then ends the ordinary way with the reason of
// the drop.
TEST_F(ShortReconnect, AServerThatDropsEveryoneEndsTheSessionAfterTheAttempts) {
    FreeRdpControl control(30s, Short());
    Start(control);
    const int acceptedBefore = proxy_->Accepted();
    proxy_->DropAccepted(true);
    proxy_->Reset();
    ASSERT_TRUE(WaitFor([&] { return events_.HasPrefix(QStringLiteral("Disconnected:")); }, 20000))
        << Trace();
    const int reason = RdpDisconnectReason::SocketClosed;
    EXPECT_EQ(events_.Count(QStringLiteral("AutoReconnecting:")), 3) << Trace();
    for (int attempt = 1; attempt <= 3; ++attempt)
        EXPECT_TRUE(events_.Has(QStringLiteral("AutoReconnecting:%1:%2").arg(reason).arg(attempt)))
            << Trace();
    EXPECT_EQ(events_.DisconnectReason(), reason) << Trace();
    EXPECT_FALSE(events_.Has(QStringLiteral("AutoReconnected")));
    EXPECT_TRUE(log_.Contains("Giving up after 3 reconnect attempts")) << Trace();
    EXPECT_TRUE(log_.Contains("Session ended, reason 2308")) << Trace();
    // The library may try a second security layer within one attempt, never more.
    EXPECT_LE(proxy_->Accepted() - acceptedBefore, 6);
    EXPECT_EQ(control.Connected(), RdpConnectionState::NotConnected);
    Stop(control);
}

// A stall shows and goes away with the data; an idle server is no stall (it answers
// the probe); a stall that lasts is given up and reconnected once the way is free.
TEST_F(ShortReconnect, AStallIsNoticedAndALastingOneIsReconnected) {
    FreeRdpControl control(30s, Short());
    Start(control);
    WaitFor([] { return false; }, 2500); // idle: several probes answered
    EXPECT_FALSE(events_.HasPrefix(QStringLiteral("Stalled:"))) << Trace();

    proxy_->Stall(true);
    ASSERT_TRUE(WaitFor([&] { return events_.Has(QStringLiteral("Stalled:1")); }, 5000)) << Trace();
    proxy_->Stall(false);
    ASSERT_TRUE(WaitFor([&] { return events_.Has(QStringLiteral("Stalled:0")); }, 5000)) << Trace();
    EXPECT_FALSE(events_.HasPrefix(QStringLiteral("AutoReconnecting:"))) << Trace();

    events_.events.clear();
    proxy_->Stall(true);
    ASSERT_TRUE(WaitFor([&] { return events_.HasPrefix(QStringLiteral("AutoReconnecting:")); }, 10000))
        << Trace();
    proxy_->Stall(false);
    ASSERT_TRUE(WaitFor([&] { return events_.Has(QStringLiteral("AutoReconnected")); }, 20000)) << Trace();
    EXPECT_FALSE(events_.HasPrefix(QStringLiteral("Disconnected:"))) << Trace();
    EXPECT_EQ(control.Connected(), RdpConnectionState::Connected);
    Stop(control);
}

} // namespace
} // namespace tsc::engine
