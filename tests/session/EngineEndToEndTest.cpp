// The engine against a real RDP server on loopback (freerdp-shadow-cli on Xvfb).

#include "RdpEngineLibrary.h"
#include "RdpSessionWidget.h"
#include "Recorders.h"
#include "ShadowServer.h"

#include <QDir>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace tsc::test {
namespace {

constexpr int ConnectTimeoutMs = 20000;

struct Session {
    std::unique_ptr<RdpControl> control;
    ConnectionSettings settings;
    EventRecorder events;
    LogRecorder log;

    explicit Session(quint16 port, int colorDepth = 24) {
        QString error;
        control = RdpEngineLibrary::Instance().CreateControl(&error);
        if (!control) ADD_FAILURE() << error.toStdString();
        control->SetEventHandler(&events);
        control->SetLogSink(&log);
        settings.server = "127.0.0.1";
        settings.port = port;
        settings.userName = "test";
        settings.password = "test";
        settings.desktopWidth = 1024;
        settings.desktopHeight = 768;
        EXPECT_TRUE(RdpControl::IsSupportedColorDepth(colorDepth));
        settings.colorDepth = colorDepth;
        settings.audioMode = AudioMode::DoNotPlay; // no sound device on test machines
    }
    bool Connect() { return control->Connect(settings); }
    ~Session() {
        if (control) {
            control->SetEventHandler(nullptr);
            control->SetLogSink(nullptr);
        }
    }
    bool WaitForEvent(const QString &event, int ms = ConnectTimeoutMs) {
        return WaitFor([&] { return events.Has(event); }, ms);
    }
    bool WaitForEnd(int ms = ConnectTimeoutMs) {
        return WaitFor([&] { return events.HasPrefix(QStringLiteral("Disconnected:")); }, ms);
    }
    // The frame buffer pixel at (x, y) as 0xRRGGBB; -1 while there is none.
    long Pixel(int x, int y) {
        std::lock_guard lock(control->FrameLock());
        const RdpFrame frame = control->Frame();
        if (!frame.data || x >= frame.width || y >= frame.height) return -1;
        const auto *row = reinterpret_cast<const std::uint32_t *>(frame.data + y * frame.stride);
        return static_cast<long>(row[x] & 0xFFFFFFu);
    }
    // Whether the frame shown lives in a memory file the X server can be lent.
    bool FrameInMemoryFile() {
        std::lock_guard lock(control->FrameLock());
        return control->Frame().memoryFd >= 0;
    }
    std::string Trace() const {
        return events.events.join(QLatin1Char(' ')).toStdString() + "\n" + log.All();
    }
};

bool Near(long colour, long expected) {
    if (colour < 0) return false;
    for (int shift : {0, 8, 16})
        if (std::abs(((colour >> shift) & 0xFF) - ((expected >> shift) & 0xFF)) > 16) return false;
    return true;
}

class EngineEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        folder_ = new QTemporaryDir();
        server_ = new ShadowServer(folder_->path(), QStringLiteral("#3366CC"));
        if (!server_->Start()) FAIL() << server_->Error().toStdString();
    }
    static void TearDownTestSuite() {
        delete server_;
        delete folder_;
    }
    static inline QTemporaryDir *folder_ = nullptr;
    static inline ShadowServer *server_ = nullptr;
};

TEST_F(EngineEndToEnd, ConnectShowsTheServerScreenAndEventsArriveInOrder) {
    Session session(server_->Port());
    ASSERT_TRUE(session.Connect());
    EXPECT_EQ(session.control->Connected(), RdpConnectionState::Connecting);
    ASSERT_TRUE(WaitFor([&] { return Near(session.Pixel(512, 384), 0x3366CC); }, ConnectTimeoutMs))
        << session.Trace();
    ASSERT_TRUE(session.WaitForEvent(QStringLiteral("LoginComplete"))) << session.Trace();
    EXPECT_EQ(session.control->Connected(), RdpConnectionState::Connected);
    EXPECT_TRUE(session.FrameInMemoryFile());

    session.control->Disconnect();
    ASSERT_TRUE(session.WaitForEnd()) << session.Trace();
    EXPECT_EQ(session.events.DisconnectReason(), RdpDisconnectReason::LocalNotError);
    EXPECT_EQ(session.control->Connected(), RdpConnectionState::NotConnected);
    QStringList order = session.events.events;
    order.removeAll(QStringLiteral("PublicKey"));
    EXPECT_EQ(order, (QStringList{"Connecting", "Connected", "LoginComplete", "Disconnected:1"}))
        << session.Trace();
}

TEST_F(EngineEndToEnd, KeyboardAndMouseReachTheServer) {
    Session session(server_->Port());
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(session.WaitForEvent(QStringLiteral("Connected"))) << session.Trace();

    session.control->SendMouseMove(123, 234);
    EXPECT_TRUE(WaitFor([&] { return server_->PointerAt(123, 234); }, 5000));

    // A click somewhere else with no motion before it lands where it was made.
    session.control->SendMouseButton(RdpMouseButton::Left, true, 400, 300);
    EXPECT_TRUE(WaitFor([&] { return server_->ButtonDown(1); }, 5000));
    EXPECT_TRUE(server_->PointerAt(400, 300));
    session.control->SendMouseButton(RdpMouseButton::Left, false, 400, 300);
    EXPECT_TRUE(WaitFor([&] { return !server_->ButtonDown(1); }, 5000));
    EXPECT_TRUE(server_->PointerAt(400, 300));

    constexpr int KeyA = 38; // X11 key code of the A key
    session.control->SendKey(KeyA, true);
    EXPECT_TRUE(WaitFor([&] { return server_->KeyDown(KeyA); }, 5000));
    session.control->SendKey(KeyA, false);
    EXPECT_TRUE(WaitFor([&] { return !server_->KeyDown(KeyA); }, 5000));
    session.control->Disconnect();
    ASSERT_TRUE(session.WaitForEnd());
}

// The server keeps its own screen size when asked for another: the control reports
// the size it got and the frame buffer follows.
TEST_F(EngineEndToEnd, ASizeTheServerDoesNotTakeIsReportedAsASizeChange) {
    Session session(server_->Port());
    ASSERT_TRUE(session.control->AcceptsDesktopSize(800, 600));
    session.settings.desktopWidth = 800;
    session.settings.desktopHeight = 600;
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(WaitFor([&] { return Near(session.Pixel(1000, 700), 0x3366CC); }, ConnectTimeoutMs))
        << session.Trace();
    EXPECT_TRUE(session.events.Has(QStringLiteral("Size:1024x768"))) << session.Trace();
    session.control->Disconnect();
    ASSERT_TRUE(session.WaitForEnd());
}

// The Windows keys go to the server only as the keyboard hook mode says.
TEST_F(EngineEndToEnd, TheHookModeDecidesWhereTheWindowsKeyGoes) {
    constexpr int SuperLeft = 133; // X11 key code of the left Windows key
    constexpr int KeyB = 56;
    struct Case {
        int hookMode;
        bool fullScreen;
        bool reachesServer;
    };
    for (const Case &c :
         {Case{0, true, false}, Case{1, false, true}, Case{2, false, false}, Case{2, true, true}}) {
        Session session(server_->Port());
        session.settings.keyboardHookMode = static_cast<KeyboardHookMode>(c.hookMode);
        session.control->SetFullScreen(c.fullScreen);
        ASSERT_TRUE(session.Connect());
        ASSERT_TRUE(session.WaitForEvent(QStringLiteral("Connected"))) << session.Trace();
        session.control->SendKey(SuperLeft, true);
        session.control->SendKey(KeyB, true); // a key that always passes, to know the input arrived
        ASSERT_TRUE(WaitFor([&] { return server_->KeyDown(KeyB); }, 5000));
        EXPECT_EQ(server_->KeyDown(SuperLeft), c.reachesServer) << "hook mode " << c.hookMode;
        session.control->SendKey(KeyB, false);
        session.control->SendKey(SuperLeft, false);
        ASSERT_TRUE(WaitFor([&] { return !server_->KeyDown(KeyB) && !server_->KeyDown(SuperLeft); }, 5000));
        session.control->Disconnect();
        ASSERT_TRUE(session.WaitForEnd());
    }
}

// True-colour sessions run over the graphics pipeline, whose surface the engine shows
// as the frame: later changes must arrive in it, and only where they happened.
TEST_F(EngineEndToEnd, ChangesAfterTheFirstFrameReachTheFrameWithTheirDamage) {
    struct DamageRecorder : RdpFrameEvents {
        QRegion damage;
        void OnFrameUpdated(const QRegion &region) override { damage += region; }
        void OnFrameResized(const QSize &) override {}
    } frames;
    for (int depth : {24, 32}) {
        Session session(server_->Port(), depth);
        session.control->SetFrameHandler(&frames);
        ASSERT_TRUE(session.Connect());
        ASSERT_TRUE(WaitFor([&] { return Near(session.Pixel(512, 384), 0x3366CC); }, ConnectTimeoutMs))
            << session.Trace();
        WaitFor([] { return false; }, 500); // let the first pictures settle
        frames.damage = QRegion();
        server_->PaintRectangle(600, 400, 100, 80, 0xCC3311);
        // The pixel can change before the damage report, queued to this thread, arrives.
        EXPECT_TRUE(WaitFor(
            [&] {
                return Near(session.Pixel(650, 440), 0xCC3311) && frames.damage.contains(QPoint(650, 440));
            },
            10000))
            << "depth " << depth << ": " << std::hex << session.Pixel(650, 440);
        EXPECT_TRUE(Near(session.Pixel(100, 100), 0x3366CC)) << "depth " << depth;
        server_->ClearScreen();
        EXPECT_TRUE(WaitFor([&] { return Near(session.Pixel(650, 440), 0x3366CC); }, 10000))
            << "depth " << depth;
        session.control->Disconnect();
        ASSERT_TRUE(session.WaitForEnd()) << session.Trace();
        session.control->SetFrameHandler(nullptr);
    }
}

TEST_F(EngineEndToEnd, TheSessionWidgetPaintsTheRemoteScreen) {
    RdpSessionWidget widget(RdpEngineLibrary::Instance().CreateControl());
    EventRecorder events;
    RdpControl &control = widget.Control();
    control.SetEventHandler(&events);
    ConnectionSettings settings;
    settings.server = "127.0.0.1";
    settings.port = server_->Port();
    settings.colorDepth = 16;
    widget.resize(1024, 768);
    widget.show();
    int updates = 0;
    QObject::connect(&widget, &RdpSessionWidget::frameUpdated, [&] { ++updates; });
    ASSERT_TRUE(control.Connect(settings));
    ASSERT_TRUE(WaitFor([&] { return updates > 0; }, ConnectTimeoutMs))
        << events.events.join(' ').toStdString();
    EXPECT_EQ(widget.FrameSize(), QSize(1024, 768));
    const QImage shown = widget.grab().toImage();
    EXPECT_TRUE(Near(shown.pixel(700, 500) & 0xFFFFFFu, 0x3366CC)); // 16 bits per pixel: not exact
    control.Disconnect();
    ASSERT_TRUE(WaitFor([&] { return events.HasPrefix(QStringLiteral("Disconnected:")); }, ConnectTimeoutMs));
    control.SetEventHandler(nullptr);
}

TEST_F(EngineEndToEnd, DisconnectWhileConnectingAndASecondConnectAfterwards) {
    Session session(server_->Port());
    ASSERT_TRUE(session.Connect());
    session.control->Disconnect();
    ASSERT_TRUE(session.WaitForEnd(10000)) << session.Trace();
    EXPECT_EQ(session.events.DisconnectReason(), RdpDisconnectReason::LocalNotError);

    session.events.events.clear();
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(session.WaitForEvent(QStringLiteral("Connected"))) << session.Trace();

    // A connect while the session runs is refused with a warning and a log line.
    EXPECT_FALSE(session.Connect());
    ASSERT_TRUE(session.WaitForEvent(QStringLiteral("Warning:%1").arg(RdpErrorCode::AlreadyConnected), 2000));
    EXPECT_TRUE(session.log.Contains("a session is already running"));
    EXPECT_EQ(session.control->Connected(), RdpConnectionState::Connected);
    session.control->Disconnect();
    ASSERT_TRUE(session.WaitForEnd());
}

// Disconnect at any moment of the connection sequence (before the engine thread has
// its context, inside the library's connect, in its failure path, in the event loop)
// ends the session as the user's, and the engine thread with it. Under the
// sanitizers this is where a hand-over that reached the library's socket from the
// user-interface thread while the engine thread freed it would show.
TEST_F(EngineEndToEnd, ADisconnectAtAnyMomentEndsTheSessionAsTheUsers) {
    for (const int delayMs : {0, 1, 3, 10, 30, 60, 120, 250, 500}) {
        Session session(server_->Port());
        ASSERT_TRUE(session.Connect());
        if (delayMs > 0) WaitFor([] { return false; }, delayMs);
        session.control->Disconnect();
        ASSERT_TRUE(session.WaitForEnd(10000)) << "after " << delayMs << " ms: " << session.Trace();
        EXPECT_EQ(session.events.DisconnectReason(), RdpDisconnectReason::LocalNotError)
            << "after " << delayMs << " ms: " << session.Trace();
        EXPECT_EQ(session.control->Connected(), RdpConnectionState::NotConnected);
    }
}

TEST_F(EngineEndToEnd, SeamlessSessionsKeepTheKeyColourExact) {
    QTemporaryDir folder;
    ShadowServer magenta(folder.path(), QStringLiteral("#FF00FF"));
    ASSERT_TRUE(magenta.Start()) << magenta.Error().toStdString();
    Session session(magenta.Port());
    session.settings.workDir = SeamlessWorkDir;
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(WaitFor([&] { return Near(session.Pixel(1019, 40), 0xFF00FF); }, ConnectTimeoutMs))
        << session.Trace();
    // Let later updates (a lossy codec would replace the first picture) arrive.
    WaitFor([] { return false; }, 1500);
    for (const auto &[x, y] : {std::pair{1019, 40}, {0, 0}, {512, 384}, {1023, 767}})
        EXPECT_EQ(session.Pixel(x, y), 0xFF00FF) << x << "," << y;
    EXPECT_TRUE(session.FrameInMemoryFile());
    session.control->Disconnect();
    ASSERT_TRUE(session.WaitForEnd());
}

TEST_F(EngineEndToEnd, AChangedCertificateIsRefusedAsAFatalError) {
    QTemporaryDir first;
    QTemporaryDir second;
    ShadowServer own(first.path(), QStringLiteral("#000000"));
    ASSERT_TRUE(own.Start()) << own.Error().toStdString();
    {
        Session session(own.Port());
        ASSERT_TRUE(session.Connect());
        ASSERT_TRUE(session.WaitForEvent(QStringLiteral("Connected"))) << session.Trace();
        EXPECT_TRUE(session.events.Has(QStringLiteral("PublicKey")));
        session.control->Disconnect();
        ASSERT_TRUE(session.WaitForEnd());
    }
    { // the same certificate again: accepted silently
        Session session(own.Port());
        ASSERT_TRUE(session.Connect());
        ASSERT_TRUE(session.WaitForEvent(QStringLiteral("Connected"))) << session.Trace();
        session.control->Disconnect();
        ASSERT_TRUE(session.WaitForEnd());
    }
    ASSERT_TRUE(own.RestartServer(second.path())) << own.Error().toStdString();
    Session session(own.Port());
    ASSERT_TRUE(session.Connect());
    ASSERT_TRUE(session.WaitForEnd()) << session.Trace();
    EXPECT_FALSE(session.events.Has(QStringLiteral("Connected")));
    EXPECT_TRUE(session.events.Has(QStringLiteral("FatalError:%1").arg(RdpErrorCode::CertificateChanged)));
    EXPECT_EQ(session.events.DisconnectReason(), RdpDisconnectReason::CertificateRefused);
    EXPECT_TRUE(session.log.Contains("has changed")) << session.Trace();
}

// Peers that are not the RDP server they should be: each ends in Disconnected with
// a reason and a log line, and the engine thread ends.
enum class Peer { Nobody, HttpServer, ClosesMidHandshake, Silent };

class BadPeers : public ::testing::TestWithParam<Peer> {};

TEST_P(BadPeers, FailCleanly) {
    QTcpServer listener;
    quint16 port = 0;
    if (GetParam() == Peer::Nobody) {
        port = FreeLoopbackPort();
    } else {
        ASSERT_TRUE(listener.listen(QHostAddress::LocalHost, 0));
        port = listener.serverPort();
        QObject::connect(&listener, &QTcpServer::newConnection, [&] {
            QTcpSocket *socket = listener.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [socket, peer = GetParam()] {
                socket->readAll();
                if (peer == Peer::HttpServer)
                    socket->write("HTTP/1.0 400 Bad Request\r\nContent-Length: 0\r\n\r\n");
                if (peer != Peer::Silent) socket->disconnectFromHost();
            });
        });
    }
    Session session(port);
    ASSERT_TRUE(session.Connect());
    if (GetParam() == Peer::Silent) {
        WaitFor([] { return false; }, 300);
        session.control->Disconnect(); // a stalled handshake is left by the user
    }
    ASSERT_TRUE(session.WaitForEnd(15000)) << session.Trace();
    EXPECT_FALSE(session.events.Has(QStringLiteral("Connected")));
    EXPECT_NE(session.events.DisconnectReason(), 0);
    EXPECT_TRUE(session.log.Contains("Session ended, reason")) << session.Trace();
    EXPECT_EQ(session.control->Connected(), RdpConnectionState::NotConnected);
    if (GetParam() == Peer::Nobody) {
        EXPECT_EQ(session.events.DisconnectReason(), RdpDisconnectReason::SocketConnectFailed)
            << session.Trace();
    }
}

INSTANTIATE_TEST_SUITE_P(Engine, BadPeers,
                         ::testing::Values(Peer::Nobody, Peer::HttpServer, Peer::ClosesMidHandshake,
                                           Peer::Silent),
                         [](const ::testing::TestParamInfo<Peer> &param) {
                             switch (param.param) {
                             case Peer::Nobody:
                                 return "NothingListening";
                             case Peer::HttpServer:
                                 return "HttpServer";
                             case Peer::ClosesMidHandshake:
                                 return "ClosesMidHandshake";
                             case Peer::Silent:
                                 return "SilentPeerLeftByTheUser";
                             }
                             return "Unknown";
                         });

} // namespace
} // namespace tsc::test
