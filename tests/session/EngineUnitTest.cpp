// The engine's pure parts: the control's property rules, the settings mapping, the
// disconnect reasons, the handshake time limit, and the frame memory.

#include "DisconnectReason.h"
#include "FrameMemory.h"
#include "FreeRdpControl.h"
#include "ProcessWide.h"
#include "Recorders.h"
#include "SessionSettings.h"
#include "ShadowServer.h"
#include "SocketWait.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <freerdp/error.h>
#include <freerdp/settings.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <winpr/synch.h>
#include <winpr/winsock.h>

#include <chrono>
#include <thread>
#include <vector>

namespace tsc::engine {
namespace {

TEST(ControlProperties, SizesAndDepthsOutsideTheProtocolAreRefused) {
    FreeRdpControl control;
    struct Case {
        int width, height;
        bool widthOk, heightOk;
    };
    for (const Case &c :
         {Case{1024, 768, true, true}, Case{200, 200, true, true}, Case{3840, 2160, true, true},
          Case{8192, 8192, true, true}, Case{199, 199, false, false}, Case{8193, 8193, false, false},
          Case{1600, 9000, true, false}, Case{0, 0, false, false}, Case{-1, -1, false, false}}) {
        EXPECT_EQ(control.AcceptsDesktopSize(c.width, c.height), c.widthOk && c.heightOk)
            << c.width << " x " << c.height;
        ConnectionSettings refused;
        refused.desktopWidth = c.width;
        refused.desktopHeight = c.height;
        if (!(c.widthOk && c.heightOk))
            EXPECT_FALSE(control.Connect(refused)) << c.width << " x " << c.height;
    }
    for (int depth : {8, 15, 16, 24, 32})
        EXPECT_TRUE(RdpControl::IsSupportedColorDepth(depth)) << depth;
    for (int depth : {0, 4, 12, 30, 48}) {
        ConnectionSettings refused;
        refused.colorDepth = depth;
        EXPECT_FALSE(control.Connect(refused)) << depth;
    }
    EXPECT_EQ(control.Connected(), RdpConnectionState::NotConnected);
}

TEST(ControlProperties, FullScreenChangesRaiseTheirEventsOnce) {
    FreeRdpControl control;
    test::EventRecorder events;
    control.SetEventHandler(&events);
    control.SetFullScreen(true);
    control.SetFullScreen(true);
    control.SetFullScreen(false);
    control.SetFullScreen(false);
    control.SetFocus(true);
    control.SetFocus(false);
    test::WaitFor([&] { return events.events.size() >= 4; }, 2000);
    EXPECT_EQ(events.events, (QStringList{"EnterFullScreen", "LeaveFullScreen", "Enter", "Exit"}));
    control.SetEventHandler(nullptr);
}

struct SettingsDeleter {
    void operator()(rdpSettings *settings) const { freerdp_settings_free(settings); }
};
using Settings = std::unique_ptr<rdpSettings, SettingsDeleter>;

Settings Applied(const ConnectionSettings &session) {
    Settings settings(freerdp_settings_new(0));
    EXPECT_TRUE(ApplySessionSettings(settings.get(), session));
    return settings;
}

bool Flag(const Settings &settings, size_t id) {
    return freerdp_settings_get_bool(settings.get(), id) == TRUE;
}

TEST(SessionSettingsMapping, TheServerIsToldTheScaleOfTheDesktopAndTheDevice) {
    ConnectionSettings session;
    session.desktopWidth = 2560;
    session.desktopHeight = 1600;
    session.scalePercent = 180;
    const Settings settings = Applied(session);
    EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_DesktopWidth), 2560u);
    EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_DesktopScaleFactor), 180u);
    EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_DeviceScaleFactor), 180u);
}

TEST(SessionSettingsMapping, SeamlessAndSharpTextSessionsUseNoLossyCodec) {
    struct Case {
        int depth;
        bool seamless;
    };
    // Sharp text asks for true colour without loss; at fewer colours the session
    // keeps its plain bitmaps at that depth (below).
    for (const Case &c : {Case{8, true}, Case{15, true}, Case{16, true}, Case{24, true}, Case{32, true},
                          Case{24, false}, Case{32, false}}) {
        const int depth = c.depth;
        ConnectionSettings session;
        session.colorDepth = depth;
        if (c.seamless)
            session.workDir = SeamlessWorkDir;
        else
            session.losslessScreen = true;
        const Settings settings = Applied(session);
        EXPECT_EQ(ChooseGraphicsMode(session), GraphicsMode::Lossless);
        for (size_t lossy :
             {FreeRDP_SupportGraphicsPipeline, FreeRDP_GfxH264, FreeRDP_GfxAVC444, FreeRDP_GfxAVC444v2,
              FreeRDP_GfxProgressive, FreeRDP_RemoteFxCodec, FreeRDP_NSCodec, FreeRDP_JpegCodec,
              FreeRDP_DrawAllowDynamicColorFidelity, FreeRDP_DrawAllowColorSubsampling})
            EXPECT_FALSE(Flag(settings, lossy)) << "setting " << lossy << " at depth " << depth;
        EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_ColorDepth), 32u);
        if (c.seamless)
            EXPECT_STREQ(freerdp_settings_get_string(settings.get(), FreeRDP_ShellWorkingDirectory),
                         "V001C002");
    }
    ConnectionSettings fewColours;
    fewColours.colorDepth = 16;
    fewColours.losslessScreen = true;
    EXPECT_EQ(ChooseGraphicsMode(fewColours), GraphicsMode::Bitmaps);
}

TEST(SessionSettingsMapping, OrdinarySessionsFollowTheColourDepth) {
    struct Case {
        int depth;
        GraphicsMode mode;
        UINT32 libraryDepth;
        bool pipeline;
    };
    for (const Case &c :
         {Case{8, GraphicsMode::Bitmaps, 8, false}, Case{15, GraphicsMode::Bitmaps, 15, false},
          Case{16, GraphicsMode::Bitmaps, 16, false}, Case{24, GraphicsMode::H264Graphics, 32, true},
          Case{32, GraphicsMode::H264Graphics, 32, true}}) {
        ConnectionSettings session;
        session.colorDepth = c.depth;
        const Settings settings = Applied(session);
        EXPECT_EQ(ChooseGraphicsMode(session), c.mode) << c.depth;
        EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_ColorDepth), c.libraryDepth) << c.depth;
        EXPECT_EQ(Flag(settings, FreeRDP_SupportGraphicsPipeline), c.pipeline) << c.depth;
        EXPECT_EQ(Flag(settings, FreeRDP_GfxH264), c.pipeline) << c.depth;
        EXPECT_FALSE(Flag(settings, FreeRDP_GfxAVC444))
            << c.depth; // 4:2:0 only: a fraction of the CPU of 4:4:4
    }
}

TEST(SessionSettingsMapping, AudioModes) {
    struct Case {
        int mode;
        bool playHere;
        bool leaveAtServer;
    };
    for (const Case &c : {Case{0, true, false}, Case{1, false, true}, Case{2, false, false}}) {
        ConnectionSettings session;
        session.audioMode = static_cast<AudioMode>(c.mode);
        const Settings settings = Applied(session);
        EXPECT_EQ(Flag(settings, FreeRDP_AudioPlayback), c.playHere) << c.mode;
        EXPECT_EQ(Flag(settings, FreeRDP_RemoteConsoleAudio), c.leaveAtServer) << c.mode;
        EXPECT_FALSE(Flag(settings, FreeRDP_DeviceRedirection)) << c.mode;
        EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_StaticChannelCount), 0u) << c.mode;
    }
}

TEST(SessionSettingsMapping, IdentityPerformanceAndRedirection) {
    ConnectionSettings session;
    session.server = "farm.example";
    session.port = 3390;
    session.userName = "CORP\\alice";
    session.password = "secret";
    session.performanceFlags = 1 | 8;
    session.bitmapPersistence = true;
    session.redirectDrives = true;
    session.redirectPrinters = true;
    session.redirectSmartCards = true;
    const Settings settings = Applied(session);
    EXPECT_STREQ(freerdp_settings_get_string(settings.get(), FreeRDP_ServerHostname), "farm.example");
    EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_ServerPort), 3390u);
    EXPECT_STREQ(freerdp_settings_get_string(settings.get(), FreeRDP_Domain), "CORP");
    EXPECT_STREQ(freerdp_settings_get_string(settings.get(), FreeRDP_Username), "alice");
    EXPECT_STREQ(freerdp_settings_get_string(settings.get(), FreeRDP_Password), "secret");
    EXPECT_TRUE(Flag(settings, FreeRDP_DisableWallpaper));
    EXPECT_TRUE(Flag(settings, FreeRDP_DisableThemes));
    EXPECT_FALSE(Flag(settings, FreeRDP_DisableFullWindowDrag));
    EXPECT_FALSE(Flag(settings, FreeRDP_DisableMenuAnims));
    EXPECT_TRUE(Flag(settings, FreeRDP_BitmapCachePersistEnabled));
    EXPECT_TRUE(Flag(settings, FreeRDP_DeviceRedirection));
    EXPECT_TRUE(Flag(settings, FreeRDP_RedirectDrives));
    EXPECT_TRUE(Flag(settings, FreeRDP_RedirectPrinters));
    EXPECT_TRUE(Flag(settings, FreeRDP_RedirectSmartCards));
    // two drives and the smart card; the printers are added when the channels load
    EXPECT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_DeviceCount), 3u);

    EXPECT_FALSE(Flag(settings, FreeRDP_RedirectClipboard)); // the clipboard channel stays unloaded

    ConnectionSettings shared;
    shared.redirectClipboard = true;
    EXPECT_TRUE(Flag(Applied(shared), FreeRDP_RedirectClipboard));

    const Settings plain = Applied(ConnectionSettings{});
    EXPECT_FALSE(Flag(plain, FreeRDP_DeviceRedirection));
    EXPECT_EQ(freerdp_settings_get_uint32(plain.get(), FreeRDP_DeviceCount), 0u);
}

// Several monitors reach the library as its monitor definitions; one monitor, or
// none, leaves them untouched as before.
TEST(SessionSettingsMapping, MonitorsBecomeTheLibrarysMonitorDefinitions) {
    ConnectionSettings session;
    session.desktopWidth = 3200;
    session.desktopHeight = 1080;
    session.scalePercent = 140;
    session.monitors = {{0, 0, 1920, 1080, true, 520, 290}, {-1280, 56, 1280, 1024, false, 0, 0}};
    const Settings settings = Applied(session);
    EXPECT_TRUE(Flag(settings, FreeRDP_UseMultimon));
    EXPECT_FALSE(Flag(settings, FreeRDP_SpanMonitors));
    // physical sizes go out for every monitor or for none
    EXPECT_FALSE(Flag(settings, FreeRDP_HasMonitorAttributes));
    ASSERT_EQ(freerdp_settings_get_uint32(settings.get(), FreeRDP_MonitorCount), 2u);
    const rdpMonitor &primary = settings->MonitorDefArray[0];
    const rdpMonitor &left = settings->MonitorDefArray[1];
    EXPECT_EQ(primary.is_primary, TRUE);
    EXPECT_EQ(primary.width, 1920);
    EXPECT_EQ(left.is_primary, FALSE);
    EXPECT_EQ(left.x, -1280);
    EXPECT_EQ(left.y, 56);
    EXPECT_EQ(left.height, 1024);
    EXPECT_EQ(left.attributes.desktopScaleFactor, 140u);

    session.monitors[1].physicalWidthMm = 340;
    session.monitors[1].physicalHeightMm = 270;
    const Settings measured = Applied(session);
    EXPECT_TRUE(Flag(measured, FreeRDP_HasMonitorAttributes));
    EXPECT_EQ(measured->MonitorDefArray[1].attributes.physicalWidth, 340u);

    for (const std::size_t count : {0u, 1u}) {
        ConnectionSettings single;
        single.monitors.resize(count, {0, 0, 1024, 768, true, 0, 0});
        const Settings one = Applied(single);
        EXPECT_FALSE(Flag(one, FreeRDP_UseMultimon));
        EXPECT_EQ(freerdp_settings_get_uint32(one.get(), FreeRDP_MonitorCount), 0u);
    }
    // More monitors than the library holds fail the settings rather than overrun them.
    ConnectionSettings many;
    many.monitors.resize(64, {0, 0, 1024, 768, false, 0, 0});
    Settings overfull(freerdp_settings_new(0));
    EXPECT_FALSE(ApplySessionSettings(overfull.get(), many));
}

TEST(SessionSettingsMapping, CredentialsSplit) {
    struct Case {
        const char *domain, *user, *expectedDomain, *expectedUser;
    };
    for (const Case &c :
         {Case{"", "alice", "", "alice"}, Case{"", "CORP\\alice", "CORP", "alice"},
          Case{"CORP", "alice", "CORP", "alice"}, Case{"OTHER", "CORP\\alice", "OTHER", "alice"}}) {
        const Credentials credentials = SplitCredentials(c.domain, c.user);
        EXPECT_EQ(credentials.domain, c.expectedDomain) << c.user;
        EXPECT_EQ(credentials.userName, c.expectedUser) << c.user;
    }
}

TEST(DisconnectReasons, EachWayASessionEndsHasItsCode) {
    struct Case {
        SessionEnd end;
        int reason;
    };
    const Case cases[] = {
        {{.aborted = true, .lastError = FREERDP_ERROR_CONNECT_CANCELLED}, RdpDisconnectReason::LocalNotError},
        {{.timedOut = true, .aborted = true}, RdpDisconnectReason::ConnectionTimedOut},
        {{.certificateRefused = true, .lastError = FREERDP_ERROR_TLS_CONNECT_FAILED},
         RdpDisconnectReason::CertificateRefused},
        {{.lastError = FREERDP_ERROR_CONNECT_FAILED}, RdpDisconnectReason::SocketConnectFailed},
        {{.lastError = FREERDP_ERROR_DNS_NAME_NOT_FOUND}, RdpDisconnectReason::DnsLookupFailed},
        {{.lastError = FREERDP_ERROR_AUTHENTICATION_FAILED}, RdpDisconnectReason::LogonFailed},
        {{.lastError = FREERDP_ERROR_CONNECT_WRONG_PASSWORD}, RdpDisconnectReason::LogonFailed},
        {{.lastError = FREERDP_ERROR_SECURITY_NEGO_CONNECT_FAILED},
         RdpDisconnectReason::ProtocolNegotiationFailed},
        {{.connected = true, .lastError = FREERDP_ERROR_CONNECT_TRANSPORT_FAILED},
         RdpDisconnectReason::SocketClosed},
        {{.connected = true}, RdpDisconnectReason::SocketClosed},
        {{.connected = true, .errorInfo = ERRINFO_LOGOFF_BY_USER}, RdpDisconnectReason::RemoteByUser},
        {{.connected = true, .errorInfo = ERRINFO_RPC_INITIATED_DISCONNECT},
         RdpDisconnectReason::RemoteByServer},
        {{.connected = true, .errorInfo = ERRINFO_IDLE_TIMEOUT}, RdpDisconnectReason::RemoteByServer},
    };
    for (const Case &c : cases)
        EXPECT_EQ(DisconnectReasonFor(c.end), c.reason) << "last error " << std::hex << c.end.lastError;
}

// A peer that accepts and never answers is given up after the handshake time limit.
TEST(HandshakeTimeLimit, ASilentServerEndsInATimeout) {
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    FreeRdpControl control(std::chrono::milliseconds(700));
    test::EventRecorder events;
    test::LogRecorder log;
    control.SetEventHandler(&events);
    control.SetLogSink(&log);
    ConnectionSettings settings;
    settings.server = "127.0.0.1";
    settings.port = silent.serverPort();
    settings.audioMode = AudioMode::DoNotPlay;
    ASSERT_TRUE(control.Connect(settings));
    ASSERT_TRUE(test::WaitFor([&] { return events.HasPrefix(QStringLiteral("Disconnected:")); }, 10000))
        << log.All();
    EXPECT_EQ(events.DisconnectReason(), RdpDisconnectReason::ConnectionTimedOut);
    EXPECT_TRUE(log.Contains("did not complete the connection within 700 ms")) << log.All();
    EXPECT_EQ(control.Connected(), RdpConnectionState::NotConnected);
    control.SetEventHandler(nullptr);
    control.SetLogSink(nullptr);
}

// The library's sleeps on a thread inside a SocketWaitScope (the engine thread while
// a session runs) end when the socket has data; elsewhere they are plain sleeps.
class LibrarySleep : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pipe(pipe_), 0); }
    void TearDown() override {
        close(pipe_[0]);
        close(pipe_[1]);
    }
    static std::chrono::milliseconds TimeOf(DWORD milliseconds) {
        const auto start = std::chrono::steady_clock::now();
        Sleep(milliseconds);
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     start);
    }
    ReadableDescriptors ReadEnd() const {
        return [fd = pipe_[0]] { return std::vector<int>{fd}; };
    }
    int pipe_[2] = {-1, -1};
};

TEST_F(LibrarySleep, EndsWhenTheSocketHasDataAndOnlyInsideTheScope) {
    EXPECT_GE(TimeOf(60).count(), 60); // no scope
    const SocketWaitScope scope(ReadEnd());
    EXPECT_GE(TimeOf(60).count(), 60); // nothing to read
    std::thread writer([fd = pipe_[1]] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ASSERT_EQ(write(fd, "x", 1), 1);
    });
    EXPECT_LT(TimeOf(5000).count(), 2000);
    writer.join();
    std::chrono::milliseconds otherThread{};
    std::thread([&] { otherThread = TimeOf(60); }).join();
    EXPECT_GE(otherThread.count(), 60); // data waiting, but no scope on that thread
}

// The library counts its activation timeout in sleeps: sleeps stop ending early
// once they have saved the scope's allowance, so that timeout keeps nearly its length.
TEST_F(LibrarySleep, EarlyEndsStopWhenTheAllowanceIsUsedUp) {
    ASSERT_EQ(write(pipe_[1], "x", 1), 1); // stays readable
    const SocketWaitScope scope(ReadEnd());
    const auto early = SocketWaitScope::MaxSavedMilliseconds / std::chrono::milliseconds(100);
    std::chrono::milliseconds total{};
    for (int count = 0; count < early; ++count)
        total += TimeOf(100);
    EXPECT_LT(total.count(), 1000);
    EXPECT_GE(TimeOf(100).count(), 100);
}

// The library's socket reads during a connect end when the control aborts, on a
// blocking socket (waiting for data) and on a non-blocking one; elsewhere, and before
// an abort, they read as before.
TEST(AbortableReads, EndTheReadOnAbortAndOnlyInsideTheScope) {
    int sockets[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), 0);
    const int abort = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(abort, 0);
    char buffer[8] = {};
    const std::uint64_t one = 1;

    ASSERT_EQ(write(sockets[1], "ab", 2), 2);
    {
        const AbortableReadScope scope(abort);
        EXPECT_EQ(_recv(sockets[0], buffer, 1, 0), 1); // data and no abort: read as before

        // A blocking read with nothing to read ends when the abort comes.
        std::thread aborter([abort, one] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ASSERT_EQ(write(abort, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
        });
        ASSERT_EQ(_recv(sockets[0], buffer, 1, 0), 1); // "b" was still there
        errno = 0;
        EXPECT_EQ(_recv(sockets[0], buffer, 1, 0), -1);
        EXPECT_EQ(errno, ECONNABORTED);
        aborter.join();

        // After the abort, reads fail at once, also on a non-blocking socket with data.
        ASSERT_EQ(write(sockets[1], "c", 1), 1);
        fcntl(sockets[0], F_SETFL, fcntl(sockets[0], F_GETFL) | O_NONBLOCK);
        errno = 0;
        EXPECT_EQ(_recv(sockets[0], buffer, 1, 0), -1);
        EXPECT_EQ(errno, ECONNABORTED);
    }
    EXPECT_EQ(_recv(sockets[0], buffer, 1, 0), 1); // outside the scope: unchanged
    EXPECT_EQ(buffer[0], 'c');
    std::thread([&] {
        const AbortableReadScope scope(-1); // another thread, no abort descriptor
        ASSERT_EQ(write(sockets[1], "d", 1), 1);
        EXPECT_EQ(_recv(sockets[0], buffer, 1, 0), 1);
    }).join();
    close(abort);
    close(sockets[0]);
    close(sockets[1]);
}

// The screen buffer's pages go back to the system while the graphics pipeline's
// surface is shown, and the buffer stays usable.
TEST(FrameMemory, ReleasedPagesLeaveMemoryThatReadsAsZeroAndStaysUsable) {
    const std::size_t bytes = 1024 * 768 * 4 + 1;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t pages = (bytes + page - 1) / page;
    std::uint8_t *memory = AllocateFrameMemory(bytes);
    ASSERT_NE(memory, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % page, 0u);
    EXPECT_EQ(memory[0] | memory[bytes / 2] | memory[bytes - 1], 0);
    std::memset(memory, 0xAB, bytes);

    auto residentPages = [&] {
        std::vector<unsigned char> resident(pages);
        EXPECT_EQ(mincore(memory, bytes, resident.data()), 0);
        std::size_t count = 0;
        for (unsigned char flags : resident)
            count += flags & 1u;
        return count;
    };
    EXPECT_EQ(residentPages(), pages);
    ReleaseFramePages(memory);
    EXPECT_EQ(residentPages(), 0u);
    EXPECT_EQ(memory[0] | memory[bytes / 2] | memory[bytes - 1], 0);
    memory[bytes - 1] = 7;
    EXPECT_EQ(memory[bytes - 1], 7);
    FreeFrameMemory(memory);

    FreeFrameMemory(nullptr);
    EXPECT_EQ(AllocateFrameMemory(0), nullptr);
    EXPECT_EQ(AllocateFrameMemory(SIZE_MAX), nullptr);
}

} // namespace
} // namespace tsc::engine
