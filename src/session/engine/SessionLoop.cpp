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

#include <freerdp/client.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/error.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/locale/keyboard.h>
#include <freerdp/session.h>
#include <winpr/synch.h>

#include <malloc.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <system_error>
#include <thread>

namespace tsc::engine {

namespace {

// A session that sent no logon notification by then counts as logged on this long
// after its first picture: servers without a logon screen never send one.
constexpr std::int64_t LoginCompleteFallbackMs = 2000;

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

BOOL OnClientNew(freerdp *instance, rdpContext * /*context*/) {
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

FreeRdpControl::FreeRdpControl(std::chrono::milliseconds handshakeTimeout)
    : dispatcher_(std::make_unique<QObject>()), handshakeTimeout_(handshakeTimeout) {
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
    if (connectNumber != connectNumber_ || state_ != RdpConnectionState::Connecting || abortRequested_)
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
    firstFrameAt_ = 0;
    controlDown_ = altDown_ = false;
    pointerSent_.reset();
    RouteLibraryLogTo(this);
    CheckSoundOutput();
    // What the start-up left free in the heaps goes back before the session's own
    // buffers come: otherwise it stays resident under them for the whole session.
    malloc_trim(0);

    rdpContext *context = NewLibraryContext();
    if (!context) {
        PostLog(LogLevel::Error, QStringLiteral("Cannot create the RDP session: out of memory"));
        PostEvent([](RdpControlEvents &events) { events.OnFatalError(RdpErrorCode::OutOfMemory); });
        state_ = RdpConnectionState::NotConnected;
        PostEvent(
            [](RdpControlEvents &events) { events.OnDisconnected(RdpDisconnectReason::InternalError); });
        StopRoutingLibraryLogTo(this);
        return;
    }
    reinterpret_cast<EngineContext *>(context)->control = this;
    {
        std::scoped_lock lock(sessionMutex_, frameMutex_);
        context_ = context;
    }
    const bool connected = ConnectToServer(context);
    if (connected) RunEventLoop(context);
    RecordAbort(context);
    ReportEnd(context, connected);
    freerdp_disconnect(context->instance);
    clipboard_->Detach();
    {
        std::scoped_lock lock(sessionMutex_, frameMutex_);
        context_ = nullptr;
    }
    freerdp_client_context_free(context);
    StopRoutingLibraryLogTo(this);
    state_ = RdpConnectionState::NotConnected;
    const int reason = lastReason_;
    PostEvent([reason](RdpControlEvents &events) { events.OnDisconnected(reason); });
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
bool FreeRdpControl::ConnectToServer(rdpContext *context) {
    const bool applied = ApplySessionSettings(context->settings, session_);
    session_.WipePassword(); // the library keeps its own copy for the logon
    if (!applied) {
        PostLog(LogLevel::Error, QStringLiteral("The RDP settings were refused"));
        return false;
    }
    {
        std::lock_guard lock(sessionMutex_);
        if (abortRequested_) return false;
    }
    PostLog(LogLevel::Info, QStringLiteral("Connecting to %1:%2")
                                .arg(QString::fromStdString(session_.server))
                                .arg(session_.port));
    const SocketWaitScope socketWait([instance = context->instance] { return SocketDescriptors(instance); });
    const AbortableReadScope abortableReads(abortDescriptor_);
    return freerdp_connect(context->instance) == TRUE;
}

void FreeRdpControl::RunEventLoop(rdpContext *context) {
    freerdp *instance = context->instance;
    while (true) {
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        DWORD count = freerdp_get_event_handles(context, handles, MAXIMUM_WAIT_OBJECTS - 1);
        if (count == 0) {
            PostLog(LogLevel::Error, QStringLiteral("freerdp_get_event_handles failed"));
            break;
        }
        handles[count++] = wakeEvent_;
        const DWORD status = WaitForMultipleObjects(count, handles, FALSE, 250);
        if (status == WAIT_FAILED) {
            PostLog(LogLevel::Error, QStringLiteral("WaitForMultipleObjects failed"));
            break;
        }
        {
            std::lock_guard lock(sessionMutex_);
            if (abortRequested_) break;
        }
        if (freerdp_shall_disconnect(instance)) break;
        ResetEvent(wakeEvent_); // before taking the queue, so no wake-up is lost
        SendPendingInput(context);
        const bool ok = freerdp_check_event_handles(context) == TRUE;
        ReleasePaintLock();
        if (!ok) {
            if (freerdp_get_last_error(context) == FREERDP_ERROR_SUCCESS)
                PostLog(LogLevel::Warning, QStringLiteral("The connection to the server ended"));
            break;
        }
        const std::int64_t firstFrame = firstFrameAt_;
        if (!loginCompleteSent_ && firstFrame != 0 &&
            NowMilliseconds() - firstFrame >= LoginCompleteFallbackMs) {
            PostLog(LogLevel::Info, QStringLiteral("Login complete inferred: the server sent no logon "
                                                   "notification within %1 ms of its first picture")
                                        .arg(LoginCompleteFallbackMs));
            PostLoginComplete();
        }
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

void FreeRdpControl::ReportEnd(rdpContext *context, bool connected) {
    lastReason_ = DisconnectReason(context, connected);
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
    PostEvent([](RdpControlEvents &events) { events.OnConnecting(); });
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
    PostEvent([](RdpControlEvents &events) { events.OnConnected(); });
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
