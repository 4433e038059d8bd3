// The session loop of the control: properties and Connect/Disconnect on the
// user-interface thread, the connection and its event loop on the engine thread,
// the abort hand-over between the two, and the events and log lines that cross back.

#include "DisconnectReason.h"
#include "EngineContext.h"
#include "FreeRdpControl.h"
#include "LogSink.h"
#include "ProcessWide.h"
#include "ResidentPages.h"
#include "SocketWait.h"
#include "SoundOutput.h"

#include <QMetaObject>
#include <QTimer>

#include <freerdp/channels/channels.h>
#include <freerdp/client.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/error.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/locale/keyboard.h>
#include <freerdp/session.h>
#include <winpr/synch.h>

#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <system_error>
#include <thread>

namespace tsc::engine {

namespace {

// A session that sent no logon notification by then counts as logged on this long
// after its first picture: servers without a logon screen never send one.
constexpr std::int64_t LoginCompleteFallbackMs = 2000;
// How long after the first picture the session counts as running.
constexpr std::int64_t ReleaseStartPagesAfterMs = 3000;

// Whether one of the descriptors has data to read now.
bool SocketReadable(const std::vector<int> &descriptors) {
    std::vector<pollfd> polled;
    for (int descriptor : descriptors)
        polled.push_back({descriptor, POLLIN, 0});
    if (polled.empty() || poll(polled.data(), polled.size(), 0) <= 0) return false;
    return std::any_of(polled.begin(), polled.end(), [](const pollfd &entry) {
        return (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    });
}

// The descriptors that become readable when the session's connection has data.
std::vector<int> SocketDescriptors(freerdp *instance) {
    std::array<void *, MAXIMUM_WAIT_OBJECTS> read{};
    std::array<void *, MAXIMUM_WAIT_OBJECTS> write{};
    int readCount = 0;
    int writeCount = 0;
    if (!freerdp_get_fds(instance, read.data(), &readCount, write.data(), &writeCount)) return {};
    std::vector<int> descriptors;
    for (int index = 0; index < readCount && index < static_cast<int>(read.size()); ++index)
        descriptors.push_back(static_cast<int>(reinterpret_cast<std::intptr_t>(read[index])));
    return descriptors;
}

// --- callbacks of the protocol library, on the engine thread ----------------------

BOOL OnPreConnect(freerdp *instance) {
    return ControlOf(instance)->OnPreConnect(instance) ? TRUE : FALSE;
}

BOOL OnPostConnect(freerdp *instance) {
    return ControlOf(instance)->OnPostConnect(instance) ? TRUE : FALSE;
}

void OnPostDisconnect(freerdp *instance) {
    if (!instance || !instance->context) return;
    ControlOf(instance)->OnPostDisconnect(instance);
}

// No prompt: the credentials are the ones the control was given.
BOOL OnAuthenticate(freerdp * /*instance*/, char ** /*username*/, char ** /*password*/, char ** /*domain*/) {
    return TRUE;
}

DWORD OnVerifyCertificate(freerdp *instance, const char *host, UINT16 port, const char * /*commonName*/,
                          const char * /*subject*/, const char * /*issuer*/, const char *fingerprint,
                          DWORD /*flags*/) {
    return ControlOf(instance)->OnFirstCertificate(host, port, fingerprint);
}

DWORD OnVerifyChangedCertificate(freerdp *instance, const char *host, UINT16 port,
                                 const char * /*commonName*/, const char * /*subject*/,
                                 const char * /*issuer*/, const char *fingerprint,
                                 const char * /*oldSubject*/, const char * /*oldIssuer*/,
                                 const char *oldFingerprint, DWORD /*flags*/) {
    return ControlOf(instance)->OnChangedCertificate(host, port, fingerprint, oldFingerprint);
}

int OnLogonErrorInfo(freerdp *instance, UINT32 data, UINT32 type) {
    ControlOf(instance)->OnLogonError(data, type);
    return 1;
}

BOOL OnSaveSessionInfo(rdpContext *context, UINT32 type, void * /*data*/) {
    if (type == INFO_TYPE_LOGON || type == INFO_TYPE_LOGON_LONG || type == INFO_TYPE_LOGON_PLAIN_NOTIFY)
        ControlOf(context)->OnLogonInformation();
    return TRUE;
}

// Every static channel's data passes here on its way to the channel (the library's
// own route), so the clipboard sees an answer arrive before it is whole.
BOOL OnReceiveChannelData(freerdp *instance, UINT16 channelId, const BYTE *data, size_t size, UINT32 flags,
                          size_t totalSize) {
    if (FreeRdpControl *control = ControlOf(instance))
        control->Clipboard().NoteChannelData(instance, channelId, size);
    return freerdp_channels_data(instance, channelId, data, size, flags, totalSize);
}

BOOL OnClientNew(freerdp *instance, rdpContext * /*context*/) {
    instance->ReceiveChannelData = OnReceiveChannelData;
    instance->PreConnect = OnPreConnect;
    instance->PostConnect = OnPostConnect;
    instance->PostDisconnect = OnPostDisconnect;
    instance->Authenticate = OnAuthenticate;
    instance->GatewayAuthenticate = OnAuthenticate;
    instance->VerifyCertificateEx = OnVerifyCertificate;
    instance->VerifyChangedCertificateEx = OnVerifyChangedCertificate;
    instance->LogonErrorInfo = OnLogonErrorInfo;
    return TRUE;
}

void OnClientFree(freerdp * /*instance*/, rdpContext * /*context*/) {}

rdpContext *NewLibraryContext() {
    PrepareProcessForSessions();
    RDP_CLIENT_ENTRY_POINTS entryPoints{};
    entryPoints.Size = sizeof(entryPoints);
    entryPoints.Version = RDP_CLIENT_INTERFACE_VERSION;
    entryPoints.ContextSize = sizeof(EngineContext);
    entryPoints.ClientNew = OnClientNew;
    entryPoints.ClientFree = OnClientFree;
    return freerdp_client_context_new(&entryPoints);
}

} // namespace

// --- user-interface side -------------------------------------------------------

FreeRdpControl::FreeRdpControl(std::chrono::milliseconds handshakeTimeout, ReconnectPolicy reconnect)
    : dispatcher_(std::make_unique<QObject>()), handshakeTimeout_(handshakeTimeout), reconnect_(reconnect) {
    InstallLibraryLogAppender();
    // Manual reset: the library's events cannot reset themselves.
    wakeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    abortDescriptor_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

FreeRdpControl::~FreeRdpControl() {
    Disconnect();
    if (thread_.joinable()) thread_.join();
    StopRoutingLibraryLogTo(this);
    dispatcher_.reset(); // drops what is still queued for this control
    if (wakeEvent_) CloseHandle(wakeEvent_);
    if (abortDescriptor_ >= 0) close(abortDescriptor_);
}

void FreeRdpControl::SetFullScreen(bool fullScreen) {
    if (fullScreen_.exchange(fullScreen) == fullScreen) return;
    if (fullScreen)
        PostEvent([](RdpControlEvents &events) { events.OnEnterFullScreenMode(); });
    else
        PostEvent([](RdpControlEvents &events) { events.OnLeaveFullScreenMode(); });
}

bool FreeRdpControl::Connect(const ConnectionSettings &settings) {
    if (!AcceptsDesktopSize(settings.desktopWidth, settings.desktopHeight) ||
        !IsSupportedColorDepth(settings.colorDepth)) {
        PostLog(LogLevel::Error, QStringLiteral("Connect refused: desktop %1 x %2 at %3 bits per pixel")
                                     .arg(settings.desktopWidth)
                                     .arg(settings.desktopHeight)
                                     .arg(settings.colorDepth));
        return false;
    }
    if (state_ != RdpConnectionState::NotConnected) {
        PostLog(LogLevel::Error, QStringLiteral("Connect ignored: a session is already running"));
        PostEvent([](RdpControlEvents &events) { events.OnWarning(RdpErrorCode::AlreadyConnected); });
        return false;
    }
    if (thread_.joinable()) thread_.join(); // the last session's thread is past its final event
    {
        std::lock_guard lock(sessionMutex_);
        abortRequested_ = false;
        timedOut_ = false;
        sessionUp_ = false;
        attemptRunning_ = 0;
        attemptTimedOut_ = false;
    }
    aborting_ = false;
    ResetEvent(wakeEvent_);
    ClearAbortDescriptor();
    const int connectNumber = ++connectNumber_;
    QTimer::singleShot(handshakeTimeout_, dispatcher_.get(),
                       [this, connectNumber] { OnHandshakeTimeout(connectNumber); });
    {
        std::lock_guard lock(inputMutex_);
        pendingInput_.clear();
    }
    state_ = RdpConnectionState::Connecting;
    // The start-up's and the main window's pages of the toolkit are not needed during
    // the session. No engine thread runs now and this thread loads nothing meanwhile.
    ReleaseFileMappedPages();
    try {
        ConnectionSettings session = settings;
        session.server = QString::fromStdString(session.server).trimmed().toStdString();
        settings_ = session;
        settings_.WipePassword();
        thread_ = std::thread(&FreeRdpControl::RunSession, this, std::move(session));
    } catch (const std::system_error &error) {
        state_ = RdpConnectionState::NotConnected;
        PostLog(LogLevel::Error,
                QStringLiteral("Cannot start the engine thread: %1").arg(QString::fromUtf8(error.what())));
        PostEvent([](RdpControlEvents &events) { events.OnFatalError(RdpErrorCode::EngineThreadFailed); });
        return false;
    }
    return true;
}

void FreeRdpControl::Disconnect() {
    std::lock_guard lock(sessionMutex_);
    if (state_ == RdpConnectionState::NotConnected) return;
    AbortLocked();
}

void FreeRdpControl::OnHandshakeTimeout(int connectNumber) {
    std::lock_guard lock(sessionMutex_);
    if (connectNumber != connectNumber_ || state_ != RdpConnectionState::Connecting || abortRequested_ ||
        sessionUp_)
        return;
    timedOut_ = true;
    PostLog(LogLevel::Error, QStringLiteral("The server did not complete the connection within %1 ms")
                                 .arg(handshakeTimeout_.count()));
    AbortLocked();
}

// The abort hand-over. Runs with sessionMutex_ held, on the user-interface thread,
// while the engine thread may be anywhere in the session: before the library's
// context exists, inside freerdp_connect (which on failure runs freerdp_disconnect
// itself), in the event loop, or in freerdp_disconnect and the context's release; the
// state stays Connecting until the engine thread is done. Why this is safe wherever
// the engine thread is:
//  - The only library object touched here is the context's abort event (which ends
//    the library's waits for the TCP connection). Setting an event is safe from any
//    thread; the event lives as long as the context, and the engine thread frees the
//    context only after clearing context_ under sessionMutex_, which this thread
//    holds. freerdp_abort_connect is not called here: it also writes the context's
//    last error, which the engine thread writes too; the engine thread records the
//    cancelled connect itself (RecordAbort).
//  - Everything else belongs to the control: the wake event the event loop waits on
//    and the abort descriptor the connect's socket reads wait on (ProcessWide.cpp).
//    The library's sockets and handles are never reached from this thread; they
//    change under it (a security fall-back reconnects, a failed connect disconnects),
//    which made an earlier socket shutdown from here unsafe.
//  - abortRequested_ is read by the engine thread under sessionMutex_ before it
//    connects and after each wait of its event loop, and the abort descriptor stays
//    readable until the next Connect, so an abort that comes before the library looks
//    at its own abort event (freerdp_connect starts by clearing it) is not lost.
void FreeRdpControl::AbortLocked() {
    abortRequested_ = true;
    aborting_ = true;
    SetEvent(wakeEvent_);
    const std::uint64_t one = 1;
    if (abortDescriptor_ >= 0 && write(abortDescriptor_, &one, sizeof(one)) < 0) {
        // Only a full counter fails, and a full counter is readable as well.
    }
    if (context_) SetEvent(context_->abortEvent);
}

void FreeRdpControl::ClearAbortDescriptor() {
    std::uint64_t count = 0;
    if (abortDescriptor_ >= 0 && ::read(abortDescriptor_, &count, sizeof(count)) < 0) {
        // Nothing to read: no abort since the last Connect.
    }
}

void FreeRdpControl::PostLog(LogLevel level, const QString &text) {
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this, level, line = text.toStdString()] {
            if (!log_) return;
            switch (level) {
            case LogLevel::Info:
                log_->LogInfo(line);
                break;
            case LogLevel::Warning:
                log_->LogWarning(line);
                break;
            case LogLevel::Error:
                log_->LogError(line);
                break;
            }
        },
        Qt::QueuedConnection);
}

void FreeRdpControl::PostEvent(std::function<void(RdpControlEvents &)> event) {
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this, event = std::move(event)] {
            if (eventHandler_) event(*eventHandler_);
        },
        Qt::QueuedConnection);
}

// --- engine thread --------------------------------------------------------------

void FreeRdpControl::RunSession(ConnectionSettings session) {
    session_ = std::move(session);
    certificateRefused_ = false;
    loginCompleteSent_ = false;
    startPagesReleased_ = false;
    firstFrameAt_ = 0;
    controlDown_ = altDown_ = false;
    pointerSent_.reset();
    RouteLibraryLogTo(this);
    CheckSoundOutput();
    // What the start-up left free in the heaps goes back before the session's own
    // buffers come: otherwise it stays resident under them for the whole session.
    malloc_trim(0);

    reconnecting_ = false;
    reconnectCookie_ = {};
    int dropReason = 0;
    int attempt = 0;
    while (true) {
        rdpContext *context = NewLibraryContext();
        if (!context) {
            PostLog(LogLevel::Error, QStringLiteral("Cannot create the RDP session: out of memory"));
            PostEvent([](RdpControlEvents &events) { events.OnFatalError(RdpErrorCode::OutOfMemory); });
            lastReason_ = RdpDisconnectReason::InternalError;
            break;
        }
        reinterpret_cast<EngineContext *>(context)->control = this;
        {
            std::scoped_lock lock(sessionMutex_, frameMutex_);
            context_ = context;
        }
        if (attempt > 0) StartAttemptTimer(attempt);
        const bool connected = ConnectToServer(context);
        bool attemptTimedOut = false;
        {
            std::lock_guard lock(sessionMutex_);
            attemptRunning_ = 0;
            attemptTimedOut = std::exchange(attemptTimedOut_, false);
            if (connected) sessionUp_ = true;
        }
        LoopEnd loopEnd = LoopEnd::Ended;
        if (connected) {
            if (reconnecting_) {
                PostLog(LogLevel::Info, QStringLiteral("Reconnected after %1 attempt(s)").arg(attempt));
                PostEvent([](RdpControlEvents &events) { events.OnAutoReconnected(); });
            }
            attempt = 0;
            loopEnd = RunEventLoop(context);
        }
        RecordAbort(context);
        // Whether to try again: after a drop of a running session that neither side
        // asked for, and after a failed attempt that failed the way networks fail.
        bool again = false;
        if (connected && loopEnd == LoopEnd::Dropped && DropIsTransient(context)) {
            dropReason = DisconnectReason(context, true);
            if (const ARC_SC_PRIVATE_PACKET *cookie = context->settings->ServerAutoReconnectCookie;
                cookie && cookie->cbLen > 0)
                reconnectCookie_ = *cookie;
            PostLog(LogLevel::Warning,
                    QStringLiteral("The connection to the server was lost (reason %1): reconnecting")
                        .arg(dropReason));
            again = true;
        } else if (!connected && attempt > 0 && (attemptTimedOut || DropIsTransient(context))) {
            PostLog(LogLevel::Warning,
                    QStringLiteral("Reconnect attempt %1 failed%2")
                        .arg(attempt)
                        .arg(attemptTimedOut ? QStringLiteral(": no answer in time") : QString()));
            again = true;
        }
        bool gaveUp = false;
        if (again && attempt >= reconnect_.attempts) {
            PostLog(LogLevel::Error,
                    QStringLiteral("Giving up after %1 reconnect attempts").arg(reconnect_.attempts));
            again = false;
            gaveUp = true;
        }
        // A session that the network took ends with the reason of that drop, not with
        // the last attempt's refused connect.
        if (!again) ReportEnd(context, connected || attempt > 0, gaveUp ? dropReason : 0);
        if (again) {
            // From here no input is taken, and none taken before the drop is sent later.
            state_ = RdpConnectionState::Connecting;
            std::lock_guard lock(inputMutex_);
            pendingInput_.clear();
        }
        if (again && connected) HoldLastPicture();
        ReleaseContext(context);
        if (!again) break;
        reconnecting_ = true;
        ++attempt;
        const int reason = dropReason;
        PostEvent(
            [reason, attempt](RdpControlEvents &events) { events.OnAutoReconnecting(reason, attempt); });
        if (!PauseBeforeAttempt(attempt)) {
            lastReason_ = RdpDisconnectReason::LocalNotError;
            PostLog(LogLevel::Info,
                    QStringLiteral("Session ended, reason %1 (reconnect cancelled)").arg(lastReason_));
            break;
        }
    }
    session_.WipePassword();
    DropHeldPicture();
    StopRoutingLibraryLogTo(this);
    state_ = RdpConnectionState::NotConnected;
    const int reason = lastReason_;
    PostEvent([reason](RdpControlEvents &events) { events.OnDisconnected(reason); });
}

void FreeRdpControl::ReleaseContext(rdpContext *context) {
    freerdp_disconnect(context->instance);
    clipboard_->Detach();
    {
        std::scoped_lock lock(sessionMutex_, frameMutex_);
        context_ = nullptr;
    }
    freerdp_client_context_free(context);
}

// A drop nobody decided: the transport failed or went quiet. The user's or the
// server's decisions (a logoff, an administrator's disconnect, a refused logon, a
// changed certificate, the session's own time limits) end the session.
bool FreeRdpControl::DropIsTransient(rdpContext *context) const {
    if (Aborting() || certificateRefused_) return false;
    if (freerdp_error_info(context->instance) != ERRINFO_SUCCESS) return false;
    const int reason = DisconnectReason(context, true);
    return reason == RdpDisconnectReason::SocketClosed ||
           reason == RdpDisconnectReason::SocketReceiveFailed ||
           reason == RdpDisconnectReason::SocketConnectFailed ||
           reason == RdpDisconnectReason::ConnectionTimedOut ||
           reason == RdpDisconnectReason::ProtocolNegotiationFailed;
}

// Waits the pause before a reconnect attempt; a Disconnect ends the wait at once.
bool FreeRdpControl::PauseBeforeAttempt(int attempt) {
    const std::int64_t until = NowMilliseconds() + reconnect_.PauseBefore(attempt).count();
    while (true) {
        {
            std::lock_guard lock(sessionMutex_);
            if (abortRequested_) return false;
        }
        const std::int64_t left = until - NowMilliseconds();
        if (left <= 0) return true;
        WaitForSingleObject(wakeEvent_, static_cast<DWORD>(std::min<std::int64_t>(left, 1000)));
        ResetEvent(wakeEvent_);
    }
}

// One attempt's connection sequence is bounded: a peer that accepts and then says
// nothing must not hold the attempts up.
void FreeRdpControl::StartAttemptTimer(int attempt) {
    {
        std::lock_guard lock(sessionMutex_);
        attemptRunning_ = attempt;
        attemptTimedOut_ = false;
    }
    const auto timeout = reconnect_.attemptTimeout;
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this, attempt, timeout] {
            QTimer::singleShot(timeout, dispatcher_.get(), [this, attempt] { OnAttemptTimeout(attempt); });
        },
        Qt::QueuedConnection);
}

// Ends the attempt's waits for the network the way an abort does, without ending the
// session: the engine thread clears the abort descriptor before the next attempt.
void FreeRdpControl::OnAttemptTimeout(int attempt) {
    std::lock_guard lock(sessionMutex_);
    if (attemptRunning_ != attempt || abortRequested_) return;
    attemptTimedOut_ = true;
    const std::uint64_t one = 1;
    if (abortDescriptor_ >= 0 && write(abortDescriptor_, &one, sizeof(one)) < 0) {
        // A full counter is readable as well.
    }
    if (context_) SetEvent(context_->abortEvent);
}

// Sound brought to this computer needs something to play it on. Without a sound
// server or card the library would try each of its sound systems and log every
// failure as an error; sound stays off instead, said once, and the session goes on.
void FreeRdpControl::CheckSoundOutput() {
    if (session_.audioMode != AudioMode::PlayHere || ProbeSoundOutput().Available()) return;
    session_.audioMode = AudioMode::DoNotPlay;
    PostLog(LogLevel::Warning,
            QStringLiteral("Sound stays off: this computer has no sound server (PulseAudio or "
                           "PipeWire) and no sound card to play the session's sound on"));
}

// The connection sequence, whose socket reads end when the connect is aborted.
// The password stays in session_ for the reconnects, and is wiped when the session ends.
bool FreeRdpControl::ConnectToServer(rdpContext *context) {
    if (!ApplySessionSettings(context->settings, session_)) {
        PostLog(LogLevel::Error, QStringLiteral("The RDP settings were refused"));
        return false;
    }
    if (reconnecting_ && reconnectCookie_.cbLen > 0 && context->settings->ServerAutoReconnectCookie)
        *context->settings->ServerAutoReconnectCookie = reconnectCookie_; // the server resumes its session
    if (reconnecting_) ClearAbortDescriptor(); // a timed-out attempt's abort is spent
    {
        std::lock_guard lock(sessionMutex_);
        if (abortRequested_) return false;
    }
    lastDataAt_ = NowMilliseconds();
    probeSentAt_ = 0;
    stalled_ = false;
    PostLog(LogLevel::Info, QStringLiteral("Connecting to %1:%2")
                                .arg(QString::fromStdString(session_.server))
                                .arg(session_.port));
    const SocketWaitScope socketWait([instance = context->instance] { return SocketDescriptors(instance); });
    const AbortableReadScope abortableReads(abortDescriptor_);
    return freerdp_connect(context->instance) == TRUE;
}

FreeRdpControl::LoopEnd FreeRdpControl::RunEventLoop(rdpContext *context) {
    freerdp *instance = context->instance;
    lastDataAt_ = NowMilliseconds();
    probeSentAt_ = 0;
    stalled_ = false;
    while (true) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = freerdp_get_event_handles(context, handles, MAXIMUM_WAIT_OBJECTS - 1);
        if (count == 0) {
            PostLog(LogLevel::Error, QStringLiteral("freerdp_get_event_handles failed"));
            return LoopEnd::Ended;
        }
        handles[count++] = wakeEvent_;
        const DWORD status = WaitForMultipleObjects(count, handles, FALSE, 250);
        if (status == WAIT_FAILED) {
            PostLog(LogLevel::Error, QStringLiteral("WaitForMultipleObjects failed"));
            return LoopEnd::Ended;
        }
        {
            std::lock_guard lock(sessionMutex_);
            if (abortRequested_) return LoopEnd::Ended;
        }
        if (freerdp_shall_disconnect(instance)) return LoopEnd::Dropped;
        ResetEvent(wakeEvent_); // before taking the queue, so no wake-up is lost
        SendPendingInput(context);
        const bool dataArrived = SocketReadable(SocketDescriptors(instance));
        bool ok = false;
        {
            const PaintBatch batch(*this);
            ok = freerdp_check_event_handles(context) == TRUE;
        }
        if (!ok) {
            if (freerdp_get_last_error(context) == FREERDP_ERROR_SUCCESS)
                PostLog(LogLevel::Warning, QStringLiteral("The connection to the server ended"));
            return LoopEnd::Dropped;
        }
        WatchForSilence(context, dataArrived);
        if (NowMilliseconds() - lastDataAt_ >= reconnect_.giveUpStallAfter.count()) {
            PostLog(LogLevel::Warning,
                    QStringLiteral("Nothing from the server for %1 ms: the connection is given up")
                        .arg(reconnect_.giveUpStallAfter.count()));
            freerdp_set_last_error(context, FREERDP_ERROR_CONNECT_TRANSPORT_FAILED);
            return LoopEnd::Dropped;
        }
        const std::int64_t firstFrame = firstFrameAt_;
        if (!startPagesReleased_ && firstFrame != 0 &&
            NowMilliseconds() - firstFrame >= ReleaseStartPagesAfterMs) {
            // What connecting touched (the security layers, the connection sequence,
            // the session window's first show) is not needed while the session runs;
            // neither are the heaps' free blocks left by connecting.
            // On a thread of its own: reading smaps takes milliseconds (far more under a
            // sanitizer) that the session's data and the stall watch must not wait for.
            startPagesReleased_ = true;
            try {
                std::thread([] {
                    ReleaseLibraryPages();
                    malloc_trim(0);
                }).detach();
            } catch (const std::system_error &) {
                // No thread now: the pages stay, as they did before.
            }
        }
        if (!loginCompleteSent_ && firstFrame != 0 &&
            NowMilliseconds() - firstFrame >= LoginCompleteFallbackMs) {
            PostLog(LogLevel::Info, QStringLiteral("Login complete inferred: the server sent no logon "
                                                   "notification within %1 ms of its first picture")
                                        .arg(LoginCompleteFallbackMs));
            PostLoginComplete();
        }
    }
}

// A connection that says nothing may be idle or dead. After a while of silence the
// server is asked for one pixel of its screen, which it answers; silence after that
// means the way to the server is stalled: said once, and said again when data flows.
void FreeRdpControl::WatchForSilence(rdpContext *context, bool dataArrived) {
    // A server that takes no such request cannot be told idle from gone: it is
    // left alone (the transport's own errors still end the connection).
    if (!context->settings->RefreshRect) dataArrived = true;
    const std::int64_t now = NowMilliseconds();
    if (dataArrived) {
        lastDataAt_ = now;
        probeSentAt_ = 0;
        if (stalled_) {
            stalled_ = false;
            PostLog(LogLevel::Info, QStringLiteral("The server answers again"));
            PostEvent([](RdpControlEvents &events) { events.OnConnectionStalled(false); });
        }
        return;
    }
    const std::int64_t silence = now - lastDataAt_;
    if (silence >= reconnect_.silenceBeforeProbe.count() &&
        (probeSentAt_ == 0 || now - probeSentAt_ >= reconnect_.silenceBeforeProbe.count())) {
        probeSentAt_ = now;
        RECTANGLE_16 pixel{0, 0, 1, 1};
        if (context->update && context->update->RefreshRect) context->update->RefreshRect(context, 1, &pixel);
    }
    if (!stalled_ && silence >= reconnect_.stallAfter.count()) {
        stalled_ = true;
        PostLog(LogLevel::Warning,
                QStringLiteral("Nothing from the server for %1 ms, not even an answer").arg(silence));
        PostEvent([](RdpControlEvents &events) { events.OnConnectionStalled(true); });
    }
}

// A session that was aborted (by Disconnect or the handshake time limit) ends as
// cancelled, whatever failed in the library after the abort.
void FreeRdpControl::RecordAbort(rdpContext *context) {
    {
        std::lock_guard lock(sessionMutex_);
        if (!abortRequested_) return;
    }
    freerdp_set_last_error(context, FREERDP_ERROR_CONNECT_CANCELLED);
}

int FreeRdpControl::DisconnectReason(rdpContext *context, bool connected) const {
    SessionEnd end;
    {
        std::lock_guard lock(sessionMutex_);
        end.timedOut = timedOut_;
        end.aborted = abortRequested_;
    }
    end.certificateRefused = certificateRefused_;
    end.connected = connected;
    end.lastError = freerdp_get_last_error(context);
    end.errorInfo = freerdp_error_info(context->instance);
    return DisconnectReasonFor(end);
}

void FreeRdpControl::ReportEnd(rdpContext *context, bool connected, int reason) {
    lastReason_ = reason != 0 ? reason : DisconnectReason(context, connected);
    const UINT32 lastError = freerdp_get_last_error(context);
    const UINT32 errorInfo = freerdp_error_info(context->instance);
    QString detail;
    if (lastError != FREERDP_ERROR_SUCCESS)
        detail = QStringLiteral(" (%1: %2)")
                     .arg(QString::fromUtf8(freerdp_get_last_error_name(lastError)),
                          QString::fromUtf8(freerdp_get_last_error_string(lastError)));
    else if (errorInfo != ERRINFO_SUCCESS)
        detail = QStringLiteral(" (server error info 0x%1)").arg(errorInfo, 8, 16, QLatin1Char('0'));
    const bool normal =
        lastReason_ == RdpDisconnectReason::LocalNotError || lastReason_ == RdpDisconnectReason::RemoteByUser;
    PostLog(normal ? LogLevel::Info : LogLevel::Error,
            QStringLiteral("Session ended, reason %1%2").arg(lastReason_).arg(detail));
    if (errorInfo == ERRINFO_IDLE_TIMEOUT)
        PostEvent([](RdpControlEvents &events) { events.OnIdleTimeoutNotification(); });
    if (certificateRefused_)
        PostEvent([](RdpControlEvents &events) { events.OnFatalError(RdpErrorCode::CertificateChanged); });
}

// --- library callbacks ------------------------------------------------------------

bool FreeRdpControl::OnPreConnect(freerdp *instance) {
    rdpContext *context = instance->context;
    SubscribeToChannels(context);
    clipboard_->StartSession(context);
    // The server learns the local keyboard layout, and the key code table is built.
    rdpSettings *settings = context->settings;
    settings->KeyboardLayout = freerdp_keyboard_init(settings->KeyboardLayout);
    if (!freerdp_client_load_addins(context->channels, settings)) return false;
    if (!reconnecting_) PostEvent([](RdpControlEvents &events) { events.OnConnecting(); });
    return true;
}

bool FreeRdpControl::OnPostConnect(freerdp *instance) {
    if (!CreateScreenBuffer(instance)) return false;
    InstallPaintHandlers(instance->update);
    instance->update->SaveSessionInfo = OnSaveSessionInfo;
    const QSize size(static_cast<int>(instance->context->gdi->width),
                     static_cast<int>(instance->context->gdi->height));
    state_ = RdpConnectionState::Connected;
    PostLog(LogLevel::Info,
            QStringLiteral("Connected, remote desktop %1 x %2").arg(size.width()).arg(size.height()));
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this, size] {
            if (frameHandler_) frameHandler_->OnFrameResized(size);
        },
        Qt::QueuedConnection);
    if (!reconnecting_) PostEvent([](RdpControlEvents &events) { events.OnConnected(); });
    // The server may keep a size of its own instead of the one asked for.
    if (size != QSize(session_.desktopWidth, session_.desktopHeight))
        PostEvent([size](RdpControlEvents &events) {
            events.OnRemoteDesktopSizeChange(size.width(), size.height());
        });
    return true;
}

void FreeRdpControl::OnLogonInformation() {
    PostLoginComplete();
}

void FreeRdpControl::PostLoginComplete() {
    if (loginCompleteSent_.exchange(true)) return;
    PostEvent([](RdpControlEvents &events) { events.OnLoginComplete(); });
}

DWORD FreeRdpControl::OnFirstCertificate(const char *host, UINT16 port, const char *fingerprint) {
    const QString key = QString::fromUtf8(fingerprint ? fingerprint : "");
    PostLog(LogLevel::Info, QStringLiteral("First certificate of %1:%2 accepted and remembered: %3")
                                .arg(QString::fromUtf8(host ? host : ""))
                                .arg(port)
                                .arg(key));
    PostEvent([key](RdpControlEvents &events) { events.OnReceivedTSPublicKey(key); });
    return 1; // accept and store
}

DWORD FreeRdpControl::OnChangedCertificate(const char *host, UINT16 port, const char *fingerprint,
                                           const char *oldFingerprint) {
    certificateRefused_ = true;
    PostLog(LogLevel::Error,
            QStringLiteral("The certificate of %1:%2 has changed (now %3, remembered %4): refused")
                .arg(QString::fromUtf8(host ? host : ""))
                .arg(port)
                .arg(QString::fromUtf8(fingerprint ? fingerprint : ""),
                     QString::fromUtf8(oldFingerprint ? oldFingerprint : "")));
    return 0; // refuse
}

void FreeRdpControl::OnLogonError(UINT32 data, UINT32 type) {
    PostLog(LogLevel::Warning, QStringLiteral("Logon error info: %1 %2")
                                   .arg(QString::fromUtf8(freerdp_get_logon_error_info_type(type)),
                                        QString::fromUtf8(freerdp_get_logon_error_info_data(data))));
}

} // namespace tsc::engine
