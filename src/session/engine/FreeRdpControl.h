#pragma once

// The RDP control on the protocol library: settings and events on the
// user-interface thread, the connection on one engine thread of its own.
//
// The class is written in one file per concern:
//   SessionLoop.cpp    connect, the engine thread, abort, disconnect, events and log
//   FramePipeline.cpp  the drawn screen, graphics pipeline surfaces, frame lock, damage
//   Input.cpp          keys, pointer, buttons and wheel
//   ProcessWide.cpp    what the engine changes for the whole process (the library's
//                      sleep and socket read, heap limits, pixel routines, the
//                      library's root logger, its graphics pipeline handlers)
//   SoundOutput.cpp    whether this computer can play a session's sound
//   ClipboardChannel.cpp  the clipboard shared with the session

#include "ClipboardChannel.h"
#include "RdpControl.h"
#include "SessionSettings.h"

#include <QObject>
#include <QPoint>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <freerdp/client/rdpgfx.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gfx.h>

namespace tsc::engine {

// How a session that the network dropped is tried again, and how a silent
// connection is noticed.
struct ReconnectPolicy {
    int attempts = RdpControl::MaximumReconnectAttempts;
    // The pause before attempt n is (n - 1) steps, at most `longestPause`: the first
    // attempt follows the drop at once, twenty take about two minutes.
    std::chrono::milliseconds pauseStep{1000};
    std::chrono::milliseconds longestPause{8000};
    std::chrono::milliseconds attemptTimeout{15000}; // one attempt's connection sequence
    // After this long without a byte from the server the control asks it for a
    // picture of one pixel, which every server answers...
    std::chrono::milliseconds silenceBeforeProbe{5000};
    // ...and after this long without a byte the connection counts as stalled...
    std::chrono::milliseconds stallAfter{10000};
    // ...and after this long it is given up and reconnected.
    std::chrono::milliseconds giveUpStallAfter{40000};

    [[nodiscard]] std::chrono::milliseconds PauseBefore(int attempt) const {
        return std::min(longestPause, pauseStep * (attempt - 1));
    }
};

class FreeRdpControl final : public RdpControl {
  public:
    // A connection still not up after `handshakeTimeout` is given up.
    explicit FreeRdpControl(std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(30),
                            ReconnectPolicy reconnect = {});
    ~FreeRdpControl() override;
    FreeRdpControl(const FreeRdpControl &) = delete;
    FreeRdpControl &operator=(const FreeRdpControl &) = delete;

    const ConnectionSettings &Settings() const override { return settings_; }
    bool FullScreen() const override { return fullScreen_; }
    void SetFullScreen(bool fullScreen) override;
    RdpConnectionState Connected() const override { return state_; }

    bool Connect(const ConnectionSettings &settings) override;
    void Disconnect() override;

    void SetEventHandler(RdpControlEvents *handler) override { eventHandler_ = handler; }
    void SetFrameHandler(RdpFrameEvents *handler) override { frameHandler_ = handler; }
    void SetLogSink(LogSink *log) override { log_ = log; }

    std::mutex &FrameLock() override { return frameMutex_; }
    RdpFrame Frame() const override;

    void SendKey(std::uint32_t keyCode, bool down) override;
    void SendMouseMove(int x, int y) override;
    void SendMouseButton(RdpMouseButton button, bool down, int x, int y) override;
    void SendWheel(int delta, bool horizontal, int x, int y) override;
    void SetFocus(bool focused) override;

    void SetClipboardHandler(RdpClipboardEvents *handler) override { clipboardHandler_ = handler; }
    void OfferLocalClipboard(const QStringList &mimeTypes) override;
    std::uint64_t RequestRemoteClipboard(const QString &mimeType) override;
    void ProvideLocalClipboard(std::uint64_t request, QByteArray data, bool ok) override;
    std::uint64_t ReceiveRemoteFiles(const QString &folder) override;
    [[nodiscard]] std::uint64_t ClipboardBytesReceived() const override;
    // Any thread: the clipboard looks for answers that did not come after delayMs.
    void PostClipboardCheck(int delayMs);
    // Any thread; `unheard` runs instead when no clipboard handler is set by then.
    void PostClipboardEvent(std::function<void(RdpClipboardEvents &)> event,
                            std::function<void()> unheard = {});
    [[nodiscard]] ClipboardChannel &Clipboard() { return *clipboard_; }

    // Called by the protocol library's callbacks; each runs on the engine thread
    // unless noted.
    enum class LogLevel { Info, Warning, Error };
    void PostLog(LogLevel level, const QString &text); // any thread
    // Disconnect was asked for (or the handshake time ran out): what the library
    // reports failing from now on is the abort's doing.
    [[nodiscard]] bool Aborting() const { return aborting_; }      // any thread
    void PostEvent(std::function<void(RdpControlEvents &)> event); // any thread
    [[nodiscard]] bool OnPreConnect(freerdp *instance);
    bool OnPostConnect(freerdp *instance);
    void OnPostDisconnect(freerdp *instance);
    void OnBeginPaint(rdpContext *context);    // engine or channel thread
    void OnEndPaint(rdpContext *context);      // engine or channel thread
    bool OnDesktopResize(rdpContext *context); // engine or channel thread
    BOOL OnBitmapUpdate(rdpContext *context, const BITMAP_UPDATE *update);
    void OnLogonInformation();
    DWORD OnFirstCertificate(const char *host, UINT16 port, const char *fingerprint);
    DWORD OnChangedCertificate(const char *host, UINT16 port, const char *fingerprint,
                               const char *oldFingerprint);
    void OnLogonError(UINT32 data, UINT32 type);

    // The graphics pipeline, on the channel thread. Its handlers that write surfaces
    // or change which surfaces exist run with the frame lock held (FrameLockScope).
    void OnGraphicsPipelineOpened(RdpgfxClientContext *gfx);
    void OnGraphicsPipelineClosing();
    UINT OnUpdateSurfaces(RdpgfxClientContext *gfx);
    void OnSurfaceMappedToOutput(RdpgfxClientContext *gfx); // frame lock held
    // The surface is going away or moving: the next update decides anew what to show.
    static constexpr std::uint32_t AnySurface = 0x10000; // every surface id is 16 bits
    void ForgetOutputSurface(std::uint32_t surfaceId);   // frame lock held

    // Takes the frame lock unless this thread holds it already (in BeginPaint, or
    // an outer scope); EndPaint leaves a lock taken by a scope alone.
    class FrameLockScope {
      public:
        explicit FrameLockScope(FreeRdpControl &control);
        ~FrameLockScope();
        FrameLockScope(const FrameLockScope &) = delete;
        FrameLockScope &operator=(const FrameLockScope &) = delete;

      private:
        FreeRdpControl &control_;
        bool locked_ = false;
    };

  private:
    // The engine thread's pass over the input that has arrived: paints in it are shown
    // together at its end (see damageAwaitsBatchEnd_).
    class PaintBatch {
      public:
        explicit PaintBatch(FreeRdpControl &control);
        ~PaintBatch();
        PaintBatch(const PaintBatch &) = delete;
        PaintBatch &operator=(const PaintBatch &) = delete;

      private:
        FreeRdpControl &control_;
    };
    static constexpr std::int64_t BatchedPaintIntervalMs = 16;

    struct InputEvent {
        enum class Kind { Key, Move, Button, Wheel } kind;
        std::uint32_t code = 0; // key code, button, or wheel flags
        bool down = false;
        int x = 0;
        int y = 0;
        int delta = 0; // wheel rotation, 120 per notch
    };

    void AbortLocked();
    void ClearAbortDescriptor();
    void CheckSoundOutput();
    void OnHandshakeTimeout(int connectNumber);
    [[nodiscard]] bool ConnectToServer(rdpContext *context);
    void RunSession(ConnectionSettings session); // the engine thread
    // Why the event loop ended: the session is over, or the network let it down.
    enum class LoopEnd { Ended, Dropped };
    LoopEnd RunEventLoop(rdpContext *context);
    void WatchForSilence(rdpContext *context, bool dataArrived);
    [[nodiscard]] bool DropIsTransient(rdpContext *context) const;
    [[nodiscard]] bool PauseBeforeAttempt(int attempt); // false: aborted meanwhile
    void StartAttemptTimer(int attempt);
    void OnAttemptTimeout(int attempt);
    void ReleaseContext(rdpContext *context);
    void HoldLastPicture();
    void DropHeldPicture();
    void SendPendingInput(rdpContext *context);
    void SendKeyNow(rdpInput *input, std::uint32_t keyCode, bool down);
    void MovePointer(rdpInput *input, UINT16 x, UINT16 y);
    void SendButton(rdpInput *input, RdpMouseButton button, bool down, UINT16 x, UINT16 y);
    void SendWheelTurn(rdpInput *input, int delta, bool horizontal, UINT16 x, UINT16 y);
    void QueueInput(const InputEvent &event);
    void PostFrameUpdate();
    void CommitDamage(); // frame lock held
    [[nodiscard]] bool CreateScreenBuffer(freerdp *instance);
    void InstallPaintHandlers(rdpUpdate *update);
    static void SubscribeToChannels(rdpContext *context);
    static void UnsubscribeFromChannels(rdpContext *context);
    void PostLoginComplete();
    void ReleasePaintLock();
    [[nodiscard]] int DisconnectReason(rdpContext *context, bool connected) const;
    void RecordAbort(rdpContext *context);
    // `reason`: the one to report, 0 for the one the context's errors give.
    void ReportEnd(rdpContext *context, bool connected, int reason = 0);

    // User-interface side. Queued calls go to the dispatcher, which lives on the
    // thread that created the control and dies with it.
    std::unique_ptr<QObject> dispatcher_;
    RdpControlEvents *eventHandler_ = nullptr;
    RdpFrameEvents *frameHandler_ = nullptr;
    LogSink *log_ = nullptr;

    // The last session's settings, without its password.
    ConnectionSettings settings_;
    std::atomic<bool> fullScreen_{false};

    // Shared with the engine thread.
    std::atomic<RdpConnectionState> state_{RdpConnectionState::NotConnected};
    std::thread thread_;
    // Guards context_, abortRequested_ and timedOut_. The engine thread frees the
    // library's context only after clearing context_ under this lock.
    mutable std::mutex sessionMutex_;
    rdpContext *context_ = nullptr;
    bool abortRequested_ = false;
    bool timedOut_ = false;
    std::atomic<bool> aborting_{false}; // abortRequested_, readable without the lock
    int connectNumber_ = 0;             // user-interface thread only
    std::chrono::milliseconds handshakeTimeout_;
    ReconnectPolicy reconnect_;
    bool sessionUp_ = false; // the first connection of the session was made (the handshake limit is over)
    int attemptRunning_ = 0; // the reconnect attempt whose connection sequence runs now, 0 for none
    bool attemptTimedOut_ = false;
    HANDLE wakeEvent_ = nullptr; // input queued or abort requested
    int abortDescriptor_ = -1;   // an eventfd, readable from an abort until the next Connect

    std::mutex inputMutex_;
    std::vector<InputEvent> pendingInput_;

    mutable std::mutex frameMutex_; // held from BeginPaint to EndPaint and while painting
    QRegion pendingDamage_;         // guarded by frameMutex_
    bool damagePosted_ = false;     // guarded by frameMutex_
    // Updates painted on the engine thread while it works through what the server sent
    // are shown together when it is through (or at most every BatchedPaintIntervalMs):
    // a server without the graphics pipeline sends a frame as many small bitmap
    // updates, and waking the window for each costs more than drawing them.
    bool damageAwaitsBatchEnd_ = false;   // engine thread only
    std::int64_t lastDamagePostedAt_ = 0; // guarded by frameMutex_
    // The graphics pipeline's surface shown as the frame when it covers the whole
    // screen; meanwhile the drawing library's own copy of the screen (its primary
    // buffer, the screen buffer here) is not kept up to date and its pages are given
    // back. Guarded by frameMutex_.
    gdiGfxSurface *outputSurface_ = nullptr;
    bool screenPagesReleased_ = false;
    std::uint8_t *screenMemory_ = nullptr; // the screen buffer as the engine mapped it
    // The last picture of a dropped connection, shown while the control reconnects.
    std::vector<std::uint8_t> heldPicture_;
    int heldWidth_ = 0;
    int heldHeight_ = 0;

    // Engine thread only.
    pBitmapUpdate libraryBitmapUpdate_ = nullptr; // the drawing library's handler
    ConnectionSettings session_;                  // its password wiped once the library has it
    bool certificateRefused_ = false;
    int lastReason_ = 0;
    bool reconnecting_ = false; // a connection after a drop: its events are not the session's first
    ARC_SC_PRIVATE_PACKET reconnectCookie_{}; // the server's, from the dropped connection
    // Silence on the connection.
    std::int64_t lastDataAt_ = 0;
    std::int64_t probeSentAt_ = 0;
    bool stalled_ = false;
    std::atomic<bool> loginCompleteSent_{false};
    bool startPagesReleased_ = false; // engine thread
    std::atomic<std::int64_t> firstFrameAt_{0};
    std::optional<QPoint> pointerSent_; // where the server's pointer was last sent
    bool controlDown_ = false;
    bool altDown_ = false;
    int wheelRemainder_ = 0;

    // Declared last: gone before anything it posts through.
    RdpClipboardEvents *clipboardHandler_ = nullptr; // user-interface thread only
    std::unique_ptr<ClipboardChannel> clipboard_ = std::make_unique<ClipboardChannel>(*this);
};

} // namespace tsc::engine
