#include "FreeRdpControl.h"

#include "DisconnectReason.h"
#include "FrameMemory.h"
#include "LogSink.h"
#include "SocketWait.h"

#include <QByteArray>
#include <QMetaObject>
#include <QTimer>

#include <freerdp/addin.h>
#include <freerdp/channels/rdpgfx.h>
#include <freerdp/client.h>
#include <freerdp/client/channels.h>
#include <freerdp/client/cmdline.h>
#include <freerdp/client/rdpgfx.h>
#include <freerdp/error.h>
#include <freerdp/event.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/gfx.h>
#include <freerdp/input.h>
#include <freerdp/locale/keyboard.h>
#include <freerdp/primitives.h>
#include <freerdp/scancode.h>
#include <freerdp/session.h>
#include <winpr/synch.h>
#include <winpr/wlog.h>

#include <malloc.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>

namespace tsc::engine {

namespace {

// The library's context: rdpContext first, then the way back to our object.
struct EngineContext {
    rdpContext context;
    FreeRdpControl *control;
};

FreeRdpControl *ControlOf(rdpContext *context) {
    return reinterpret_cast<EngineContext *>(context)->control;
}

FreeRdpControl *ControlOf(freerdp *instance) {
    return ControlOf(instance->context);
}

std::int64_t NowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A session that sent no logon notification by then counts as logged on this long
// after its first picture: servers without a logon screen never send one.
constexpr std::int64_t LoginCompleteFallbackMs = 2000;

// Routes the library's own warnings and errors into the log of the control whose
// session is running. The library's log is process-wide, so is this.
class LibraryLogRouter {
  public:
    static LibraryLogRouter &Instance() {
        static LibraryLogRouter router;
        return router;
    }
    void Attach(FreeRdpControl *control) {
        std::lock_guard lock(mutex_);
        control_ = control;
    }
    void Detach(FreeRdpControl *control) {
        std::lock_guard lock(mutex_);
        if (control_ == control) control_ = nullptr;
    }

  private:
    LibraryLogRouter() {
        // Someone diagnosing the library asked for its own log output: leave it alone.
        if (qEnvironmentVariableIsSet("WLOG_APPENDER")) return;
        wLog *root = WLog_GetRoot();
        if (!root || !WLog_SetLogAppenderType(root, WLOG_APPENDER_CALLBACK)) return;
        wLogCallbacks callbacks{};
        callbacks.message = &LibraryLogRouter::OnMessage;
        WLog_ConfigureAppender(WLog_GetLogAppender(root), "callbacks", &callbacks);
    }
    static BOOL OnMessage(const wLogMessage *message) {
        if (!message || !message->TextString || message->Level < WLOG_WARN || IsCertificateBanner(message))
            return TRUE;
        LibraryLogRouter &router = Instance();
        std::lock_guard lock(router.mutex_);
        if (router.control_) {
            const auto level = message->Level >= WLOG_ERROR ? FreeRdpControl::LogLevel::Error
                                                            : FreeRdpControl::LogLevel::Warning;
            router.control_->PostLog(
                level, QStringLiteral("FreeRDP: %1 - %2")
                           .arg(QString::fromUtf8(message->FunctionName ? message->FunctionName : ""),
                                QString::fromUtf8(message->TextString)));
        }
        return TRUE;
    }

    // The library shouts about every self-signed or unknown certificate before it
    // asks us; our policy accepts those on first sight and logs one line of its own.
    static bool IsCertificateBanner(const wLogMessage *message) {
        const char *function = message->FunctionName ? message->FunctionName : "";
        return std::strncmp(function, "tls_print_", 10) == 0 || std::strcmp(function, "verify_cb") == 0;
    }

    std::mutex mutex_;
    FreeRdpControl *control_ = nullptr;
};

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

// The frame lock taken in BeginPaint and given back in EndPaint, remembered per
// thread so that a missing EndPaint (an update abandoned half-way) never locks the
// thread out of the next one. A lock taken by a FrameLockScope is the scope's to
// give back, also when the library paints inside it.
thread_local FreeRdpControl *frameLockHeldBy = nullptr;
thread_local bool frameLockHeldByScope = false;

// The drawing library's graphics pipeline handlers, wrapped by the engine's own.
// They are the same functions for every session.
struct GfxHandlers {
    pcRdpgfxResetGraphics ResetGraphics = nullptr;
    pcRdpgfxCreateSurface CreateSurface = nullptr;
    pcRdpgfxDeleteSurface DeleteSurface = nullptr;
    pcRdpgfxSurfaceCommand SurfaceCommand = nullptr;
    pcRdpgfxSolidFill SolidFill = nullptr;
    pcRdpgfxSurfaceToSurface SurfaceToSurface = nullptr;
    pcRdpgfxCacheToSurface CacheToSurface = nullptr;
    pcRdpgfxMapSurfaceToOutput MapSurfaceToOutput = nullptr;
    pcRdpgfxMapSurfaceToScaledOutput MapSurfaceToScaledOutput = nullptr;
    pcRdpgfxUpdateSurfaces UpdateSurfaces = nullptr;
};
GfxHandlers libraryGfx;
std::once_flag libraryGfxTaken;

FreeRdpControl *ControlOf(RdpgfxClientContext *gfx) {
    const auto *gdi = static_cast<rdpGdi *>(gfx->custom);
    return gdi && gdi->context ? ControlOf(gdi->context) : nullptr;
}

std::uint32_t SurfaceIdOf(const RDPGFX_DELETE_SURFACE_PDU *pdu) { return pdu->surfaceId; }
std::uint32_t SurfaceIdOf(const RDPGFX_MAP_SURFACE_TO_OUTPUT_PDU *pdu) { return pdu->surfaceId; }
std::uint32_t SurfaceIdOf(const RDPGFX_MAP_SURFACE_TO_SCALED_OUTPUT_PDU *pdu) { return pdu->surfaceId; }
std::uint32_t SurfaceIdOf(const RDPGFX_RESET_GRAPHICS_PDU *) { return FreeRdpControl::AnySurface; }

// Runs the library's handler with the frame lock held, so the user-interface thread
// never reads a surface while it is written. `Forget` handlers may free or move
// the surface shown as the frame.
template <auto Slot, bool Forget = false, typename Pdu>
UINT Locked(RdpgfxClientContext *gfx, Pdu pdu) {
    FreeRdpControl *control = ControlOf(gfx);
    if (!control) return (libraryGfx.*Slot)(gfx, pdu);
    FreeRdpControl::FrameLockScope lock(*control);
    if constexpr (Forget) control->ForgetOutputSurface(SurfaceIdOf(pdu));
    return (libraryGfx.*Slot)(gfx, pdu);
}

UINT OnUpdateSurfaces(RdpgfxClientContext *gfx) {
    FreeRdpControl *control = ControlOf(gfx);
    return control ? control->OnUpdateSurfaces(gfx) : libraryGfx.UpdateSurfaces(gfx);
}

// --- callbacks of the protocol library -------------------------------------------

BOOL OnClientNew(freerdp *instance, rdpContext * /*context*/);
void OnClientFree(freerdp * /*instance*/, rdpContext * /*context*/) {}

void OnChannelConnected(void *context, ChannelConnectedEventArgs *event) {
    auto *rdp = static_cast<rdpContext *>(context);
    if (std::strcmp(event->name, RDPGFX_DVC_CHANNEL_NAME) != 0 || !rdp->gdi) return;
    auto *gfx = static_cast<RdpgfxClientContext *>(event->pInterface);
    if (gdi_graphics_pipeline_init(rdp->gdi, gfx)) ControlOf(rdp)->OnGraphicsPipelineOpened(gfx);
}

void OnChannelDisconnected(void *context, ChannelDisconnectedEventArgs *event) {
    auto *rdp = static_cast<rdpContext *>(context);
    if (std::strcmp(event->name, RDPGFX_DVC_CHANNEL_NAME) != 0 || !rdp->gdi) return;
    auto *gfx = static_cast<RdpgfxClientContext *>(event->pInterface);
    ControlOf(rdp)->OnGraphicsPipelineClosing();
    gdi_graphics_pipeline_uninit(rdp->gdi, gfx);
}

BOOL OnPreConnect(freerdp *instance) {
    rdpContext *context = instance->context;
    PubSub_SubscribeChannelConnected(context->pubSub, OnChannelConnected);
    PubSub_SubscribeChannelDisconnected(context->pubSub, OnChannelDisconnected);
    // The server learns the local keyboard layout, and the key code table is built.
    rdpSettings *settings = context->settings;
    settings->KeyboardLayout = freerdp_keyboard_init(settings->KeyboardLayout);
    if (!freerdp_client_load_addins(context->channels, settings)) return FALSE;
    ControlOf(instance)->OnPreConnect();
    return TRUE;
}

BOOL OnPostConnect(freerdp *instance) {
    return ControlOf(instance)->OnPostConnect(instance) ? TRUE : FALSE;
}

void OnPostDisconnect(freerdp *instance) {
    if (!instance || !instance->context) return;
    PubSub_UnsubscribeChannelConnected(instance->context->pubSub, OnChannelConnected);
    PubSub_UnsubscribeChannelDisconnected(instance->context->pubSub, OnChannelDisconnected);
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

BOOL OnBeginPaint(rdpContext *context) {
    ControlOf(context)->OnBeginPaint(context);
    return TRUE;
}

BOOL OnEndPaint(rdpContext *context) {
    ControlOf(context)->OnEndPaint(context);
    return TRUE;
}

BOOL OnDesktopResize(rdpContext *context) {
    return ControlOf(context)->OnDesktopResize(context) ? TRUE : FALSE;
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

// Left to itself, the library picks its pixel conversion routines on first use by
// timing the plain and the processor-optimised ones for 150 ms each over 5 MB of
// test images, on the engine thread in the middle of the first connect. The
// optimised set checks the processor's features itself and keeps the plain routine
// wherever it has nothing better, so a library built with it takes it at once.
void ChooseOptimisedPrimitives() {
    const char *build = freerdp_get_build_config();
    if (!build) return;
    const std::string_view config(build);
    if (config.find("WITH_SSE2=ON") != std::string_view::npos ||
        config.find("WITH_NEON=ON") != std::string_view::npos)
        primitives_set_hints(PRIMITIVES_ONLY_CPU);
}

// Updates come in frame-sized buffers (a full 32-bit update is 3 MB), allocated and
// freed for each update on the engine and channel threads. With glibc's defaults
// each one is a fresh mapping, or a thread heap trimmed and regrown, so every update
// pays page faults and zeroing (twice the CPU of a lossless session). glibc raises
// these limits itself only once a large block happens to be freed, which used to be
// the primitives timing run's; the engine sets them for the process instead.
void KeepFrameBuffersInTheHeap() {
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
}

rdpContext *NewLibraryContext() {
    static std::once_flag libraryPrepared;
    std::call_once(libraryPrepared, [] {
        freerdp_register_addin_provider(freerdp_channels_load_static_addin_entry, 0);
        ChooseOptimisedPrimitives();
        KeepFrameBuffersInTheHeap();
    });
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
    LibraryLogRouter::Instance();
    // Manual reset: the library's events cannot reset themselves.
    wakeEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

FreeRdpControl::~FreeRdpControl() {
    Disconnect();
    if (thread_.joinable()) thread_.join();
    LibraryLogRouter::Instance().Detach(this);
    dispatcher_.reset(); // drops what is still queued for this control
    if (wakeEvent_) CloseHandle(wakeEvent_);
}

bool FreeRdpControl::SetDesktopWidth(int width) {
    if (!IsSupportedDesktopWidth(width)) return false;
    desktopWidth_ = width;
    return true;
}

bool FreeRdpControl::SetDesktopHeight(int height) {
    if (!IsSupportedDesktopHeight(height)) return false;
    desktopHeight_ = height;
    return true;
}

bool FreeRdpControl::SetColorDepth(int depth) {
    if (!IsSupportedColorDepth(depth)) return false;
    colorDepth_ = depth;
    return true;
}

void FreeRdpControl::SetFullScreen(bool fullScreen) {
    if (fullScreen_.exchange(fullScreen) == fullScreen) return;
    if (fullScreen)
        PostEvent([](RdpControlEvents &events) { events.OnEnterFullScreenMode(); });
    else
        PostEvent([](RdpControlEvents &events) { events.OnLeaveFullScreenMode(); });
}

SessionSettings FreeRdpControl::Snapshot() const {
    SessionSettings session;
    session.server = server_.trimmed().toStdString();
    session.port = advancedSettings2_.RDPPort;
    session.domain = domain_.toStdString();
    session.userName = userName_.toStdString();
    session.password = advancedSettings2_.ClearTextPassword.toStdString();
    session.workDir = securedSettings_.WorkDir.toStdString();
    session.desktopWidth = desktopWidth_;
    session.desktopHeight = desktopHeight_;
    session.colorDepth = colorDepth_;
    session.keyboardHookMode = securedSettings2_.KeyboardHookMode;
    session.audioRedirectionMode = securedSettings2_.AudioRedirectionMode;
    session.bitmapPersistence = advancedSettings_.BitmapPeristence != 0;
    session.redirectDrives = advancedSettings2_.RedirectDrives != 0;
    session.redirectPrinters = advancedSettings2_.RedirectPrinters != 0;
    session.redirectPorts = advancedSettings2_.RedirectPorts != 0;
    session.redirectSmartCards = advancedSettings2_.RedirectSmartCards != 0;
    session.performanceFlags = advancedSettings2_.PerformanceFlags;
    return session;
}

bool FreeRdpControl::Connect() {
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
    ResetEvent(wakeEvent_);
    const int connectNumber = ++connectNumber_;
    QTimer::singleShot(handshakeTimeout_, dispatcher_.get(),
                       [this, connectNumber] { OnHandshakeTimeout(connectNumber); });
    {
        std::lock_guard lock(inputMutex_);
        pendingInput_.clear();
    }
    state_ = RdpConnectionState::Connecting;
    try {
        thread_ = std::thread(&FreeRdpControl::RunSession, this, Snapshot());
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

// Runs with sessionMutex_ held, on the user-interface thread.
void FreeRdpControl::AbortLocked() {
    abortRequested_ = true;
    if (context_) {
        freerdp_abort_connect(context_->instance);
        // The library reads the handshake in blocking mode without looking at the
        // abort event, so a peer that accepts and then stays silent would hold the
        // engine thread for ever. Shutting the socket down ends that read.
        if (state_ == RdpConnectionState::Connecting) {
            HANDLE handles[MAXIMUM_WAIT_OBJECTS];
            const DWORD count = freerdp_get_event_handles(context_, handles, MAXIMUM_WAIT_OBJECTS);
            for (DWORD index = 0; index < count; ++index) {
                const int descriptor = GetEventFileDescriptor(handles[index]);
                int type = 0;
                socklen_t length = sizeof(type);
                if (descriptor >= 0 && getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) == 0 &&
                    type == SOCK_STREAM)
                    shutdown(descriptor, SHUT_RDWR);
            }
        }
    }
    SetEvent(wakeEvent_);
}

RdpFrame FreeRdpControl::Frame() const {
    // The caller holds frameMutex_; context_ cannot go away meanwhile because the
    // engine thread frees the drawing surface under the same lock.
    RdpFrame frame;
    rdpContext *context = context_;
    if (context && context->gdi && outputSurface_) {
        frame.data = outputSurface_->data;
        frame.width = static_cast<int>(context->gdi->width);
        frame.height = static_cast<int>(context->gdi->height);
        frame.stride = static_cast<int>(outputSurface_->scanline);
    } else if (context && context->gdi && context->gdi->primary_buffer) {
        frame.data = context->gdi->primary_buffer;
        frame.width = static_cast<int>(context->gdi->width);
        frame.height = static_cast<int>(context->gdi->height);
        frame.stride = static_cast<int>(context->gdi->stride);
    }
    return frame;
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

// --- input ----------------------------------------------------------------------

void FreeRdpControl::QueueInput(const InputEvent &event) {
    if (state_ != RdpConnectionState::Connected) return;
    {
        std::lock_guard lock(inputMutex_);
        // Motion is only worth its latest position.
        if (event.kind == InputEvent::Kind::Move && !pendingInput_.empty() &&
            pendingInput_.back().kind == InputEvent::Kind::Move)
            pendingInput_.back() = event;
        else
            pendingInput_.push_back(event);
    }
    SetEvent(wakeEvent_);
}

void FreeRdpControl::SendKey(std::uint32_t keyCode, bool down) {
    QueueInput({InputEvent::Kind::Key, keyCode, down, 0, 0});
}

void FreeRdpControl::SendMouseMove(int x, int y) {
    QueueInput({InputEvent::Kind::Move, 0, false, x, y});
}

void FreeRdpControl::SendMouseButton(RdpMouseButton button, bool down, int x, int y) {
    QueueInput({InputEvent::Kind::Button, static_cast<std::uint32_t>(button), down, x, y});
}

void FreeRdpControl::SendWheel(int delta, bool horizontal, int x, int y) {
    if (delta == 0) return;
    QueueInput({InputEvent::Kind::Wheel, horizontal ? 1u : 0u, false, x, y, delta});
}

void FreeRdpControl::SetFocus(bool focused) {
    if (focused)
        PostEvent([](RdpControlEvents &events) { events.OnEnter(); });
    else
        PostEvent([](RdpControlEvents &events) { events.OnExit(); });
}

// Runs on the engine thread.
void FreeRdpControl::SendKeyNow(rdpInput *input, std::uint32_t keyCode, bool down) {
    const DWORD scancode = freerdp_keyboard_get_rdp_scancode_from_x11_keycode(keyCode);
    if (scancode == RDP_SCANCODE_UNKNOWN) return;
    if (scancode == RDP_SCANCODE_LCONTROL || scancode == RDP_SCANCODE_RCONTROL) controlDown_ = down;
    if (scancode == RDP_SCANCODE_LMENU || scancode == RDP_SCANCODE_RMENU) altDown_ = down;
    if (scancode == RDP_SCANCODE_LWIN || scancode == RDP_SCANCODE_RWIN) {
        // The hook mode decides whether the Windows keys belong to the remote desktop.
        const int mode = session_.keyboardHookMode;
        if (!(mode == 1 || (mode == 2 && fullScreen_))) return;
    }
    if (scancode == RDP_SCANCODE_PAUSE) {
        // Ctrl+Alt+Break switches between full screen and window, as on Windows.
        if (controlDown_ && altDown_) {
            if (down) {
                if (fullScreen_)
                    PostEvent([](RdpControlEvents &events) { events.OnRequestLeaveFullScreen(); });
                else
                    PostEvent([](RdpControlEvents &events) { events.OnRequestGoFullScreen(); });
            }
            return;
        }
        if (down) freerdp_input_send_keyboard_pause_event(input);
        return;
    }
    freerdp_input_send_keyboard_event_ex(input, down ? TRUE : FALSE, scancode);
}

void FreeRdpControl::MovePointer(rdpInput *input, UINT16 x, UINT16 y) {
    freerdp_input_send_mouse_event(input, PTR_FLAGS_MOVE, x, y);
    pointerSent_ = QPoint(x, y);
}

void FreeRdpControl::SendPendingInput(rdpContext *context) {
    std::vector<InputEvent> events;
    {
        std::lock_guard lock(inputMutex_);
        events.swap(pendingInput_);
    }
    rdpInput *input = context->input;
    for (const InputEvent &event : events) {
        const auto x = static_cast<UINT16>(std::max(0, event.x));
        const auto y = static_cast<UINT16>(std::max(0, event.y));
        switch (event.kind) {
        case InputEvent::Kind::Key:
            SendKeyNow(input, event.code, event.down);
            break;
        case InputEvent::Kind::Move:
            MovePointer(input, x, y);
            break;
        case InputEvent::Kind::Button: {
            // Servers act on a button where their pointer is, which need not be
            // where the click is: a click with no motion before it lands there.
            if (pointerSent_ != QPoint(x, y)) MovePointer(input, x, y);
            const auto button = static_cast<RdpMouseButton>(event.code);
            if (button == RdpMouseButton::Back || button == RdpMouseButton::Forward) {
                const UINT16 flag = button == RdpMouseButton::Back ? PTR_XFLAGS_BUTTON1 : PTR_XFLAGS_BUTTON2;
                freerdp_input_send_extended_mouse_event(input, flag | (event.down ? PTR_XFLAGS_DOWN : 0), x,
                                                        y);
                break;
            }
            const UINT16 flag = button == RdpMouseButton::Left    ? PTR_FLAGS_BUTTON1
                                : button == RdpMouseButton::Right ? PTR_FLAGS_BUTTON2
                                                                  : PTR_FLAGS_BUTTON3;
            freerdp_input_send_mouse_event(input, flag | (event.down ? PTR_FLAGS_DOWN : 0), x, y);
            break;
        }
        case InputEvent::Kind::Wheel: {
            if (pointerSent_ != QPoint(x, y)) MovePointer(input, x, y);
            const bool horizontal = event.code != 0;
            // Wheel rotation travels as a 9-bit two's complement value, at most
            // one notch (120) per message; a horizontal turn to the right is positive.
            int delta = event.delta;
            if (horizontal) delta = -delta;
            while (delta != 0) {
                const int step = std::clamp(delta, -120, 120);
                delta -= step;
                const UINT16 flags =
                    (horizontal ? PTR_FLAGS_HWHEEL : PTR_FLAGS_WHEEL) | static_cast<UINT16>(step & 0x1FF);
                freerdp_input_send_mouse_event(input, flags, x, y);
            }
            break;
        }
        }
    }
}

// --- engine thread --------------------------------------------------------------

void FreeRdpControl::RunSession(SessionSettings session) {
    session_ = std::move(session);
    certificateRefused_ = false;
    loginCompleteSent_ = false;
    firstFrameAt_ = 0;
    controlDown_ = altDown_ = false;
    pointerSent_.reset();
    LibraryLogRouter::Instance().Attach(this);

    rdpContext *context = NewLibraryContext();
    if (!context) {
        PostLog(LogLevel::Error, QStringLiteral("Cannot create the RDP session: out of memory"));
        PostEvent([](RdpControlEvents &events) { events.OnFatalError(RdpErrorCode::OutOfMemory); });
        state_ = RdpConnectionState::NotConnected;
        PostEvent(
            [](RdpControlEvents &events) { events.OnDisconnected(RdpDisconnectReason::InternalError); });
        LibraryLogRouter::Instance().Detach(this);
        return;
    }
    reinterpret_cast<EngineContext *>(context)->control = this;

    bool aborted = false;
    {
        std::scoped_lock lock(sessionMutex_, frameMutex_);
        context_ = context;
        aborted = abortRequested_;
    }
    bool connected = false;
    if (!ApplySessionSettings(context->settings, session_)) {
        PostLog(LogLevel::Error, QStringLiteral("The RDP settings were refused"));
    } else if (!aborted) {
        PostLog(LogLevel::Info, QStringLiteral("Connecting to %1:%2")
                                    .arg(QString::fromStdString(session_.server))
                                    .arg(session_.port));
        const SocketWaitScope socketWait(
            [instance = context->instance] { return SocketDescriptors(instance); });
        connected = freerdp_connect(context->instance) == TRUE;
        if (connected) RunEventLoop(context);
    }
    ReportEnd(context, connected);
    freerdp_disconnect(context->instance);
    {
        std::scoped_lock lock(sessionMutex_, frameMutex_);
        context_ = nullptr;
    }
    freerdp_client_context_free(context);
    LibraryLogRouter::Instance().Detach(this);
    state_ = RdpConnectionState::NotConnected;
    const int reason = lastReason_;
    PostEvent([reason](RdpControlEvents &events) { events.OnDisconnected(reason); });
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
            NowMilliseconds() - firstFrame >= LoginCompleteFallbackMs)
            PostLoginComplete();
    }
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

void FreeRdpControl::OnPreConnect() {
    PostEvent([](RdpControlEvents &events) { events.OnConnecting(); });
}

bool FreeRdpControl::OnPostConnect(freerdp *instance) {
    if (!InitPrimary(instance)) return false;
    rdpUpdate *update = instance->update;
    update->BeginPaint = tsc::engine::OnBeginPaint;
    update->EndPaint = tsc::engine::OnEndPaint;
    update->DesktopResize = tsc::engine::OnDesktopResize;
    update->SaveSessionInfo = tsc::engine::OnSaveSessionInfo;
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

// The screen is drawn into memory of the engine's own (see FrameMemory.h).
bool FreeRdpControl::InitPrimary(freerdp *instance) {
    const rdpSettings *settings = instance->settings;
    std::uint8_t *memory =
        AllocateFrameMemory(std::size_t{settings->DesktopWidth} * std::size_t{settings->DesktopHeight} * 4);
    if (!memory) return false;
    std::lock_guard lock(frameMutex_);
    outputSurface_ = nullptr;
    primaryReleased_ = false;
    primaryMemory_ = memory;
    // On failure the library has freed the memory with its screen buffer, or lost
    // it if it failed before making one (it only fails so when memory runs out).
    return gdi_init_ex(instance, PIXEL_FORMAT_BGRX32, 0, memory, FreeFrameMemory) == TRUE;
}

void FreeRdpControl::OnPostDisconnect(freerdp *instance) {
    ReleasePaintLock();
    std::lock_guard lock(frameMutex_);
    outputSurface_ = nullptr;
    gdi_free(instance);
}

FreeRdpControl::FrameLockScope::FrameLockScope(FreeRdpControl &control) : control_(control) {
    if (frameLockHeldBy == &control_) return;
    control_.frameMutex_.lock();
    frameLockHeldBy = &control_;
    frameLockHeldByScope = true;
    locked_ = true;
}

FreeRdpControl::FrameLockScope::~FrameLockScope() {
    if (!locked_) return;
    frameLockHeldBy = nullptr;
    frameLockHeldByScope = false;
    control_.frameMutex_.unlock();
}

void FreeRdpControl::OnBeginPaint(rdpContext *context) {
    if (frameLockHeldBy != this) {
        frameMutex_.lock();
        frameLockHeldBy = this;
    }
    HGDI_WND window = context->gdi->primary->hdc->hwnd;
    window->invalid->null = TRUE;
    window->ninvalid = 0;
}

void FreeRdpControl::OnEndPaint(rdpContext *context) {
    HGDI_WND window = context->gdi->primary->hdc->hwnd;
    if (!window->invalid->null && window->ninvalid > 0) {
        for (INT32 index = 0; index < window->ninvalid; ++index) {
            const GDI_RGN &rect = window->cinvalid[index];
            pendingDamage_ += QRect(rect.x, rect.y, rect.w, rect.h);
        }
        CommitDamage();
    }
    window->invalid->null = TRUE;
    window->ninvalid = 0;
    ReleasePaintLock();
}

void FreeRdpControl::CommitDamage() {
    if (!damagePosted_) {
        damagePosted_ = true;
        PostFrameUpdate();
    }
    if (firstFrameAt_ == 0) firstFrameAt_ = NowMilliseconds();
}

void FreeRdpControl::ReleasePaintLock() {
    if (frameLockHeldBy == this && !frameLockHeldByScope) {
        frameLockHeldBy = nullptr;
        frameMutex_.unlock();
    }
}

void FreeRdpControl::PostFrameUpdate() {
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this] {
            QRegion damage;
            {
                std::lock_guard lock(frameMutex_);
                damage.swap(pendingDamage_);
                damagePosted_ = false;
            }
            if (frameHandler_ && !damage.isEmpty()) frameHandler_->OnFrameUpdated(damage);
        },
        Qt::QueuedConnection);
}

bool FreeRdpControl::OnDesktopResize(rdpContext *context) {
    const UINT32 width = context->settings->DesktopWidth;
    const UINT32 height = context->settings->DesktopHeight;
    bool resized = true;
    {
        FrameLockScope lock(*this);
        rdpGdi *gdi = context->gdi;
        if (gdi->width != static_cast<INT32>(width) || gdi->height != static_cast<INT32>(height)) {
            std::uint8_t *memory = AllocateFrameMemory(std::size_t{width} * std::size_t{height} * 4);
            // As in InitPrimary, the library owns the memory from here on.
            resized = memory &&
                      gdi_resize_ex(gdi, width, height, 0, PIXEL_FORMAT_BGRX32, memory, FreeFrameMemory) == TRUE;
            outputSurface_ = nullptr;
            primaryReleased_ = false;
            primaryMemory_ = memory;
        }
        pendingDamage_ = QRegion();
    }
    if (!resized) return false;
    const QSize size(static_cast<int>(width), static_cast<int>(height));
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this, size] {
            if (frameHandler_) frameHandler_->OnFrameResized(size);
        },
        Qt::QueuedConnection);
    PostEvent(
        [size](RdpControlEvents &events) { events.OnRemoteDesktopSizeChange(size.width(), size.height()); });
    return true;
}

// --- graphics pipeline output ------------------------------------------------------

void FreeRdpControl::OnGraphicsPipelineOpened(RdpgfxClientContext *gfx) {
    std::call_once(libraryGfxTaken, [gfx] {
        libraryGfx.ResetGraphics = gfx->ResetGraphics;
        libraryGfx.CreateSurface = gfx->CreateSurface;
        libraryGfx.DeleteSurface = gfx->DeleteSurface;
        libraryGfx.SurfaceCommand = gfx->SurfaceCommand;
        libraryGfx.SolidFill = gfx->SolidFill;
        libraryGfx.SurfaceToSurface = gfx->SurfaceToSurface;
        libraryGfx.CacheToSurface = gfx->CacheToSurface;
        libraryGfx.MapSurfaceToOutput = gfx->MapSurfaceToOutput;
        libraryGfx.MapSurfaceToScaledOutput = gfx->MapSurfaceToScaledOutput;
        libraryGfx.UpdateSurfaces = gfx->UpdateSurfaces;
    });
    gfx->ResetGraphics = Locked<&GfxHandlers::ResetGraphics, true, const RDPGFX_RESET_GRAPHICS_PDU *>;
    gfx->CreateSurface = Locked<&GfxHandlers::CreateSurface, false, const RDPGFX_CREATE_SURFACE_PDU *>;
    gfx->DeleteSurface = Locked<&GfxHandlers::DeleteSurface, true, const RDPGFX_DELETE_SURFACE_PDU *>;
    gfx->SurfaceCommand = Locked<&GfxHandlers::SurfaceCommand, false, const RDPGFX_SURFACE_COMMAND *>;
    gfx->SolidFill = Locked<&GfxHandlers::SolidFill, false, const RDPGFX_SOLID_FILL_PDU *>;
    gfx->SurfaceToSurface = Locked<&GfxHandlers::SurfaceToSurface, false, const RDPGFX_SURFACE_TO_SURFACE_PDU *>;
    gfx->CacheToSurface = Locked<&GfxHandlers::CacheToSurface, false, const RDPGFX_CACHE_TO_SURFACE_PDU *>;
    gfx->MapSurfaceToOutput =
        Locked<&GfxHandlers::MapSurfaceToOutput, true, const RDPGFX_MAP_SURFACE_TO_OUTPUT_PDU *>;
    gfx->MapSurfaceToScaledOutput =
        Locked<&GfxHandlers::MapSurfaceToScaledOutput, true, const RDPGFX_MAP_SURFACE_TO_SCALED_OUTPUT_PDU *>;
    gfx->UpdateSurfaces = tsc::engine::OnUpdateSurfaces;
}

void FreeRdpControl::OnGraphicsPipelineClosing() {
    FrameLockScope lock(*this);
    ForgetOutputSurface(AnySurface);
}

void FreeRdpControl::ForgetOutputSurface(std::uint32_t surfaceId) {
    if (outputSurface_ && (surfaceId == AnySurface || outputSurface_->surfaceId == surfaceId))
        outputSurface_ = nullptr;
}

namespace {

// The one surface shown, when it covers the screen exactly in the layout the frame
// has (32 bits, blue first): then it can be the frame itself. Null otherwise (no
// surface yet, several, moved, scaled, or a window of its own).
gdiGfxSurface *SurfaceCoveringScreen(RdpgfxClientContext *gfx, const rdpGdi *gdi) {
    UINT16 *ids = nullptr;
    UINT16 count = 0;
    if (gfx->GetSurfaceIds(gfx, &ids, &count) != CHANNEL_RC_OK) return nullptr;
    gdiGfxSurface *covering = nullptr;
    int shown = 0;
    for (UINT16 index = 0; index < count; ++index) {
        auto *surface = static_cast<gdiGfxSurface *>(gfx->GetSurfaceData(gfx, ids[index]));
        if (!surface || !surface->outputMapped || surface->windowId != 0) continue;
        ++shown;
        const bool fits = surface->outputOriginX == 0 && surface->outputOriginY == 0 &&
                          surface->mappedWidth == static_cast<UINT32>(gdi->width) &&
                          surface->mappedHeight == static_cast<UINT32>(gdi->height) &&
                          surface->outputTargetWidth == surface->mappedWidth &&
                          surface->outputTargetHeight == surface->mappedHeight &&
                          (surface->format == PIXEL_FORMAT_BGRX32 || surface->format == PIXEL_FORMAT_BGRA32) &&
                          gdi->dstFormat == PIXEL_FORMAT_BGRX32;
        if (fits) covering = surface;
    }
    free(ids);
    return shown == 1 ? covering : nullptr;
}

} // namespace

// At the end of each frame. The library would copy every changed rectangle of each
// surface into its own screen buffer; when one surface covers the screen, the
// engine shows that surface directly, saving the copy and the buffer's memory.
UINT FreeRdpControl::OnUpdateSurfaces(RdpgfxClientContext *gfx) {
    FrameLockScope lock(*this);
    const rdpGdi *gdi = static_cast<rdpGdi *>(gfx->custom);
    if (gdi->suppressOutput) return CHANNEL_RC_OK;
    EnterCriticalSection(&gfx->mux);
    UINT status = CHANNEL_RC_OK;
    if (gdiGfxSurface *surface = SurfaceCoveringScreen(gfx, gdi)) {
        if (outputSurface_ != surface) {
            outputSurface_ = surface;
            pendingDamage_ += QRect(0, 0, gdi->width, gdi->height);
        }
        if (!primaryReleased_ && gdi->primary_buffer == primaryMemory_) {
            ReleaseFramePages(primaryMemory_);
            primaryReleased_ = true;
        }
        UINT32 count = 0;
        const RECTANGLE_16 *rects = region16_rects(&surface->invalidRegion, &count);
        for (UINT32 index = 0; rects && index < count; ++index)
            pendingDamage_ += QRect(rects[index].left, rects[index].top, rects[index].right - rects[index].left,
                                    rects[index].bottom - rects[index].top) &
                              QRect(0, 0, gdi->width, gdi->height);
        region16_clear(&surface->invalidRegion);
        if (!pendingDamage_.isEmpty()) CommitDamage();
    } else {
        outputSurface_ = nullptr;
        if (primaryReleased_) {
            // The screen buffer was given back: every shown surface is copied whole.
            UINT16 *ids = nullptr;
            UINT16 count = 0;
            if (gfx->GetSurfaceIds(gfx, &ids, &count) == CHANNEL_RC_OK) {
                for (UINT16 index = 0; index < count; ++index) {
                    auto *shown = static_cast<gdiGfxSurface *>(gfx->GetSurfaceData(gfx, ids[index]));
                    if (!shown || !shown->outputMapped) continue;
                    const RECTANGLE_16 whole{0, 0, static_cast<UINT16>(shown->mappedWidth),
                                             static_cast<UINT16>(shown->mappedHeight)};
                    region16_union_rect(&shown->invalidRegion, &shown->invalidRegion, &whole);
                }
                free(ids);
            }
            primaryReleased_ = false;
        }
        status = libraryGfx.UpdateSurfaces(gfx);
    }
    LeaveCriticalSection(&gfx->mux);
    return status;
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
