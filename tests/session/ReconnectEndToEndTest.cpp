// A session through the fault proxy to a real server: what the network does to it,
// and how the control gets it back.

#include "FaultProxy.h"
#include "RdpEngineLibrary.h"
#include "Recorders.h"
#include "ShadowServer.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tsc::test {
namespace {

using tools::FaultProxy;

constexpr int ConnectTimeoutMs = 20000;
constexpr std::uint32_t Colour = 0x3366CC;

class Reconnect : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new QTemporaryDir();
        server_ = new ShadowServer(folder_->path(), QStringLiteral("#3366CC"));
        server_->SetAddress(QStringLiteral("127.27.0.1"));
        if (!server_->Start()) FAIL() << server_->Error().toStdString();
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }

    void SetUp() override {
        proxy_ = std::make_unique<FaultProxy>("127.27.0.2", "127.27.0.1", server_->Port());
        std::string error;
        ASSERT_TRUE(proxy_->Start(0, &error)) << error;
        QString failure;
        control_ = RdpEngineLibrary::Instance().CreateControl(&failure);
        ASSERT_TRUE(control_) << failure.toStdString();
        control_->SetEventHandler(&events_);
        control_->SetLogSink(&log_);
        settings_.server = "127.27.0.2";
        settings_.port = proxy_->Port();
        settings_.userName = "test";
        settings_.password = "test";
        settings_.colorDepth = 24;
        settings_.audioMode = AudioMode::DoNotPlay;
    }
    void TearDown() override {
        if (!control_) return;
        control_->Disconnect();
        WaitFor([&] { return control_->Connected() == RdpConnectionState::NotConnected; }, 10000);
        control_->SetEventHandler(nullptr);
        control_->SetLogSink(nullptr);
    }

    void ConnectAndSeeTheScreen() {
        ASSERT_TRUE(control_->Connect(settings_));
        ASSERT_TRUE(WaitFor([&] { return Shows(Colour); }, ConnectTimeoutMs)) << Trace();
        ASSERT_TRUE(WaitFor([&] { return events_.Has(QStringLiteral("LoginComplete")); }, ConnectTimeoutMs));
    }
    // Whether the frame shows the colour at its centre (within the codec's rounding).
    bool Shows(std::uint32_t rgb) {
        std::lock_guard lock(control_->FrameLock());
        const RdpFrame frame = control_->Frame();
        if (!frame.data) return false;
        const auto *row =
            reinterpret_cast<const std::uint32_t *>(frame.data + (frame.height / 2) * frame.stride);
        const std::uint32_t pixel = row[frame.width / 2];
        for (int shift : {0, 8, 16})
            if (std::abs(int((pixel >> shift) & 0xFF) - int((rgb >> shift) & 0xFF)) > 16) return false;
        return true;
    }
    bool WaitForEvent(const QString &prefix, int ms = ConnectTimeoutMs) {
        return WaitFor([&] { return events_.HasPrefix(prefix); }, ms);
    }
    std::string Trace() const {
        return events_.events.join(QLatin1Char(' ')).toStdString() + "\n" + log_.All();
    }

    static inline QTemporaryDir *folder_ = nullptr;
    static inline ShadowServer *server_ = nullptr;
    std::unique_ptr<FaultProxy> proxy_;
    std::unique_ptr<RdpControl> control_;
    ConnectionSettings settings_;
    EventRecorder events_;
    LogRecorder log_;
};

// A reset (a Wi-Fi roam, a NAT time-out) and a refusal for a few seconds (a load
// balancer restarting) both end in the same session again, without a second
// Connecting/Connected: the session window sees one session.
TEST_F(Reconnect, AResetOrARefusalForAWhileComesBackBySelf) {
    ConnectAndSeeTheScreen();
    proxy_->Reset();
    server_->PaintRectangle(0, 0, 1024, 768, 0x22AA44); // what only a new connection shows
    ASSERT_TRUE(WaitForEvent(QStringLiteral("AutoReconnected"))) << Trace();
    EXPECT_TRUE(events_.Has(QStringLiteral("AutoReconnecting:%1:1").arg(RdpDisconnectReason::SocketClosed)))
        << Trace();
    EXPECT_TRUE(WaitFor([&] { return Shows(0x22AA44); }, ConnectTimeoutMs)) << Trace();
    EXPECT_EQ(control_->Connected(), RdpConnectionState::Connected);

    events_.events.clear();
    proxy_->Refuse(std::chrono::milliseconds(2500));
    server_->ClearScreen();
    ASSERT_TRUE(WaitForEvent(QStringLiteral("AutoReconnected"))) << Trace();
    EXPECT_TRUE(WaitFor([&] { return Shows(Colour); }, ConnectTimeoutMs)) << Trace();
    EXPECT_GE(events_.Count(QStringLiteral("AutoReconnecting:")), 2) << Trace(); // the first met the refusal
    EXPECT_EQ(events_.Count(QStringLiteral("Connected")), 0) << Trace();
    EXPECT_EQ(events_.Count(QStringLiteral("Disconnected:")), 0) << Trace();
    EXPECT_TRUE(log_.Contains("Reconnect attempt 1 failed")) << Trace();
    EXPECT_EQ(control_->Connected(), RdpConnectionState::Connected);
    control_->Disconnect();
    ASSERT_TRUE(WaitForEvent(QStringLiteral("Disconnected:"))) << Trace();
    EXPECT_EQ(events_.DisconnectReason(), RdpDisconnectReason::LocalNotError);
}

// Cancel while the server stays away: the session ends at once as the user's own
// disconnect, and nothing sent meanwhile goes anywhere.
TEST_F(Reconnect, CancelWhileReconnectingEndsTheSessionAtOnce) {
    ConnectAndSeeTheScreen();
    proxy_->Refuse(std::chrono::seconds(60));
    ASSERT_TRUE(WaitForEvent(QStringLiteral("AutoReconnecting:%1:2").arg(RdpDisconnectReason::SocketClosed)))
        << Trace();
    EXPECT_EQ(control_->Connected(), RdpConnectionState::Connecting);
    EXPECT_TRUE(Shows(Colour));  // the last picture stays meanwhile
    control_->SendKey(38, true); // dropped, not queued for later
    QElapsedTimer cancelled;
    cancelled.start();
    control_->Disconnect();
    ASSERT_TRUE(WaitForEvent(QStringLiteral("Disconnected:"), 5000)) << Trace();
    EXPECT_LT(cancelled.elapsed(), 2000);
    EXPECT_EQ(events_.DisconnectReason(), RdpDisconnectReason::LocalNotError);
    EXPECT_EQ(control_->Connected(), RdpConnectionState::NotConnected);
}

// The server itself restarts (same certificate): the session comes back to it.
TEST_F(Reconnect, ARestartedServerIsReconnected) {
    QTemporaryDir folder;
    ShadowServer own(folder.path(), QStringLiteral("#3366CC"));
    own.SetAddress(QStringLiteral("127.27.0.3"));
    ASSERT_TRUE(own.Start()) << own.Error().toStdString();
    settings_.server = "127.27.0.3";
    settings_.port = own.Port();
    ConnectAndSeeTheScreen();
    own.StopServer();
    ASSERT_TRUE(WaitForEvent(QStringLiteral("AutoReconnecting:"))) << Trace();
    ASSERT_TRUE(own.RestartServer(folder.path())) << own.Error().toStdString();
    ASSERT_TRUE(WaitForEvent(QStringLiteral("AutoReconnected"), 40000)) << Trace();
    EXPECT_TRUE(WaitFor([&] { return Shows(Colour); }, ConnectTimeoutMs)) << Trace();
    EXPECT_FALSE(events_.HasPrefix(QStringLiteral("Disconnected:"))) << Trace();
}

} // namespace
} // namespace tsc::test
