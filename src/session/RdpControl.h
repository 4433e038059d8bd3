#pragma once

// The RDP control: what a session window sees of a remote session. The control is
// implemented by the engine library (session/engine), loaded at run time through
// RdpEngineLibrary; nothing here depends on the engine's protocol library.
//
// Threads: create, use and destroy a control on the user-interface thread. The
// connection itself runs on the control's own engine thread; every event and every
// log line it produces is delivered on the thread that created the control, queued,
// in the order it happened. Destroying the control aborts and joins its thread;
// events still queued at that moment are dropped.

#include "ConnectionSettings.h"

#include <QByteArray>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <mutex>

namespace tsc {

class LogSink;

// The control's `Connected` property.
enum class RdpConnectionState { NotConnected = 0, Connected = 1, Connecting = 2 };

// Reasons given with OnDisconnected. The values are the ones session logs and
// administrators know from the Windows control, so a logged code means the same
// thing whichever client wrote it.
namespace RdpDisconnectReason {
inline constexpr int LocalNotError = 1;  // Disconnect was called
inline constexpr int RemoteByUser = 2;   // the user logged off on the server
inline constexpr int RemoteByServer = 3; // the server ended the session
inline constexpr int DnsLookupFailed = 260;
inline constexpr int ConnectionTimedOut = 264;
inline constexpr int SocketConnectFailed = 516; // nothing listening, host unreachable
inline constexpr int SocketReceiveFailed = 1028;
inline constexpr int ProtocolNegotiationFailed = 1032; // the peer is no RDP server we can talk to
inline constexpr int LogonFailed = 2055;               // credentials refused
inline constexpr int SocketClosed = 2308;              // the connection dropped
inline constexpr int InternalError = 1284;
inline constexpr int CertificateRefused = 4360; // the server's certificate changed
} // namespace RdpDisconnectReason

// Codes given with OnFatalError and OnWarning. They are errno values, so the
// session window's system error line ("Key was rejected by service") explains them.
namespace RdpErrorCode {
inline constexpr int CertificateChanged = 129;   // EKEYREJECTED
inline constexpr int OutOfMemory = 12;           // ENOMEM
inline constexpr int EngineThreadFailed = 11;    // EAGAIN
inline constexpr int AlreadyConnected = 106;     // EISCONN: Connect while a session runs
inline constexpr int BitmapCacheUnavailable = 5; // EIO: persistent bitmap cache not writable
} // namespace RdpErrorCode

// What a session window reacts to. Every handler runs on the user-interface thread.
class RdpControlEvents {
  public:
    virtual ~RdpControlEvents() = default;
    virtual void OnConnecting() {}
    virtual void OnConnected() {}
    virtual void OnLoginComplete() {}
    virtual void OnDisconnected(int /*reason*/) {}
    virtual void OnFatalError(int /*errorCode*/) {}
    virtual void OnWarning(int /*warningCode*/) {}
    // The connection dropped without the user or the server deciding so, and the
    // control tries again (attempt 1 to RdpControl::MaximumReconnectAttempts) with the
    // same settings. Input is dropped until OnAutoReconnected; when the attempts run
    // out, or Disconnect is called, OnDisconnected ends the session as ever.
    virtual void OnAutoReconnecting(int /*reason*/, int /*attemptCount*/) {}
    virtual void OnAutoReconnected() {}
    // Nothing has come from the server for a while, not even an answer to a request
    // that wants one (true); data flows again (false). A stall that lasts is given up
    // and reconnected.
    virtual void OnConnectionStalled(bool /*stalled*/) {}
    virtual void OnRemoteDesktopSizeChange(int /*width*/, int /*height*/) {}
    virtual void OnReceivedTSPublicKey(const QString & /*key*/) {}
    virtual void OnEnterFullScreenMode() {}
    virtual void OnLeaveFullScreenMode() {}
    virtual void OnRequestGoFullScreen() {}
    virtual void OnRequestLeaveFullScreen() {}
    virtual void OnRequestContainerMinimize() {}
    virtual void OnIdleTimeoutNotification() {}
    virtual void OnConfirmClose() {}
    virtual void OnEnter() {}
    virtual void OnExit() {}
};

// The remote screen as the engine draws it: 32-bit pixels in the layout of
// QImage::Format_RGB32. Valid only while FrameLock() is held.
struct RdpFrame {
    const std::uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    // The memory file `data` starts, valid while the frame lock is held, and a number
    // naming that memory for the process's lifetime; -1 when the frame is plain memory.
    int memoryFd = -1;
    std::uint64_t memoryId = 0;
};

// What the widget showing the session reacts to; runs on the user-interface thread.
class RdpFrameEvents {
  public:
    virtual ~RdpFrameEvents() = default;
    // The region changed since the last call (damage is merged while a call is pending).
    virtual void OnFrameUpdated(const QRegion &damage) = 0;
    // The frame buffer has a new size (the connection is up, or the server resized it).
    virtual void OnFrameResized(const QSize &size) = 0;
};

// The clipboard shared with the session, in MIME types ("text/plain" holds UTF-8
// with "\n" line ends). Nothing crosses until one side asks for it. Every handler runs
// on the user-interface thread.
class RdpClipboardEvents {
  public:
    virtual ~RdpClipboardEvents() = default;
    // The server's clipboard changed: what it can deliver now (empty: nothing the
    // client takes). Replaces every earlier offer.
    virtual void OnRemoteClipboardOffer(const QStringList &mimeTypes) = 0;
    // The answer to RequestRemoteClipboard: the data, or ok == false (refused, too
    // large, or the session ended).
    virtual void OnRemoteClipboardData(std::uint64_t request, const QByteArray &data, bool ok) = 0;
    // The server pastes what OfferLocalClipboard offered: answer with
    // ProvideLocalClipboard(request, ...).
    virtual void OnLocalClipboardRequested(std::uint64_t request, const QString &mimeType) = 0;
    // The end of RdpControl::ReceiveRemoteFiles: how many files were written, and
    // whether every entry of the session's list was taken.
    virtual void OnRemoteFilesReceived(std::uint64_t /*transfer*/, int /*files*/, bool /*ok*/) {}
};

// A clipboard request unanswered this long is given up on both sides: the paste
// fails and the next request may go out.
inline constexpr int RdpClipboardAnswerLimitMs = 5000;
// The limit counts from the server's last data on the clipboard: an answer that keeps
// arriving is waited for, this long at most.
inline constexpr int RdpClipboardTransferLimitMs = 120000;

enum class RdpMouseButton { Left, Right, Middle, Back, Forward };

class RdpControl {
  public:
    virtual ~RdpControl() = default;

    // The protocol's range of desktop sizes this control accepts: up to 8192 a side,
    // so a 3840x2160 (or 5120x2880) screen gets a session of its own size.
    static constexpr int MinimumDesktopWidth = 200;
    static constexpr int MaximumDesktopWidth = 8192;
    static constexpr int MinimumDesktopHeight = 200;
    static constexpr int MaximumDesktopHeight = 8192;
    [[nodiscard]] static constexpr bool IsSupportedDesktopWidth(int width) {
        return width >= MinimumDesktopWidth && width <= MaximumDesktopWidth;
    }
    [[nodiscard]] static constexpr bool IsSupportedDesktopHeight(int height) {
        return height >= MinimumDesktopHeight && height <= MaximumDesktopHeight;
    }
    // How often a dropped session is tried again before it ends.
    static constexpr int MaximumReconnectAttempts = 20;
    [[nodiscard]] static constexpr bool IsSupportedColorDepth(int depth) {
        return depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
    }

    // Whether the control can show a desktop of this size (the protocol's range, or
    // less where the control has a smaller limit).
    [[nodiscard]] virtual bool AcceptsDesktopSize(int width, int height) const {
        return IsSupportedDesktopWidth(width) && IsSupportedDesktopHeight(height);
    }

    // The settings of the session last started (defaults before the first), as the
    // session window reads its caption and size from them.
    [[nodiscard]] virtual const ConnectionSettings &Settings() const = 0;
    [[nodiscard]] virtual bool FullScreen() const = 0;
    // Raises OnEnterFullScreenMode / OnLeaveFullScreenMode when the value changes.
    virtual void SetFullScreen(bool fullScreen) = 0;
    [[nodiscard]] virtual RdpConnectionState Connected() const = 0;

    // Starts a session with `settings` and returns at once; the outcome arrives as
    // events. The desktop size and colour depth must be ones the control accepts.
    // Returns false (and raises OnWarning with AlreadyConnected) while a session runs.
    virtual bool Connect(const ConnectionSettings &settings) = 0;
    // Ends the session; OnDisconnected follows. Does nothing when not connected.
    virtual void Disconnect() = 0;

    // Who hears the events and the log lines; null to stop listening.
    virtual void SetEventHandler(RdpControlEvents *handler) = 0;
    virtual void SetFrameHandler(RdpFrameEvents *handler) = 0;
    virtual void SetLogSink(LogSink *log) = 0;

    // The frame buffer. Hold the lock while reading Frame() and its pixels.
    virtual std::mutex &FrameLock() = 0;
    [[nodiscard]] virtual RdpFrame Frame() const = 0;

    // Input, in remote desktop coordinates; ignored unless connected (also while
    // the control reconnects).
    // keyCode is the X11 key code (QKeyEvent::nativeScanCode on X11).
    virtual void SendKey(std::uint32_t keyCode, bool down) = 0;
    virtual void SendMouseMove(int x, int y) = 0;
    virtual void SendMouseButton(RdpMouseButton button, bool down, int x, int y) = 0;
    // delta in eighths of a degree, 120 per notch (QWheelEvent::angleDelta).
    virtual void SendWheel(int delta, bool horizontal, int x, int y) = 0;
    // The widget gained or lost keyboard focus: raises OnEnter / OnExit.
    virtual void SetFocus(bool focused) = 0;

    // The clipboard, when the session carries it (see RdpClipboardEvents). A control
    // without one ignores the calls.
    virtual void SetClipboardHandler(RdpClipboardEvents * /*handler*/) {}
    // The desktop's clipboard changed: what it holds now (empty: nothing to offer).
    virtual void OfferLocalClipboard(const QStringList & /*mimeTypes*/) {}
    // Asks the server for the data of an offered type; the answer comes as
    // OnRemoteClipboardData with the number returned here. 0: no request was sent (no
    // clipboard, the type not offered, or a request still unanswered).
    virtual std::uint64_t RequestRemoteClipboard(const QString & /*mimeType*/) { return 0; }
    // The answer to OnLocalClipboardRequested. The data is handed over (moved in): the
    // control converts it and lets it go before the protocol library copies the result,
    // so a large copy is not held twice.
    virtual void ProvideLocalClipboard(std::uint64_t /*request*/, QByteArray /*data*/, bool /*ok*/) {}
    // The session offers files ("text/uri-list"): writes them into folder (one the
    // user alone may write), away from the user-interface thread; the end comes as
    // OnRemoteFilesReceived with the number returned here. 0: nothing was started.
    virtual std::uint64_t ReceiveRemoteFiles(const QString & /*folder*/) { return 0; }
    // What the session's clipboard has sent so far (bytes; it only grows): a paste
    // waiting for a large answer sees it arrive.
    [[nodiscard]] virtual std::uint64_t ClipboardBytesReceived() const { return 0; }
};

} // namespace tsc

// The engine library's entry points (resolved by RdpEngineLibrary).
extern "C" {
using TscRdpEngineCreateControl = tsc::RdpControl *(*)();
using TscRdpEngineVersion = const char *(*)(); // "2.11.7.0": the protocol library's version
}
inline constexpr char TscRdpEngineCreateControlSymbol[] = "tsc_rdpengine_create_control";
inline constexpr char TscRdpEngineVersionSymbol[] = "tsc_rdpengine_version";
