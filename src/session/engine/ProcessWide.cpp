// The engine's changes to the whole process. Each exists because the protocol
// library (FreeRDP 2) or glibc keeps the setting per process; they are gathered here
// so that a reader of the session code finds no hidden global in it.

#include "ProcessWide.h"

#include "EngineContext.h"
#include "FrameMemory.h"
#include "FreeRdpControl.h"
#include "SocketWait.h"
#include "Yuv420ToBgrx.h"

#include <freerdp/addin.h>
#include <freerdp/build-config.h>
#include <freerdp/client/channels.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/gfx.h>
#include <freerdp/primitives.h>
#include <winpr/crt.h>
#include <winpr/synch.h>
#include <winpr/wlog.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace tsc::engine {

namespace {

// --- the library's pixel routines -----------------------------------------------

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

// Converting the decoded H.264 pictures of the graphics pipeline to the surface's
// pixels is the largest share of a session's CPU (more than the decoding); the
// library's best routine for it works 4 pixels at a time in 32-bit lanes and
// reconverts the chroma for each row. On a processor with AVX2 the engine's own
// (Yuv420ToBgrx.h) takes its place for the surface formats the drawing library uses,
// BGRX32 and BGRA32, with the same colours as result (opaque); every other format goes to the
// routine the table had.
__YUV420ToRGB_8u_P3AC4R_t libraryYuv420ToRgb = nullptr;

void ConvertYuv420WithAvx2() {
    if (!__builtin_cpu_supports("avx2")) return;
    primitives_t *table = primitives_get();
    if (!table || !table->YUV420ToRGB_8u_P3AC4R) return;
    libraryYuv420ToRgb = table->YUV420ToRGB_8u_P3AC4R;
    table->YUV420ToRGB_8u_P3AC4R = ConvertYuv420ToRgb;
}

// --- glibc's heap limits --------------------------------------------------------

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

// --- the library's root logger --------------------------------------------------

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
            if (IsCancelledConnect(message)) return TRUE; // the session's end line names it
            // After an abort the library's failures are the abort's doing, not faults.
            const auto level = router.control_->Aborting()    ? FreeRdpControl::LogLevel::Info
                               : message->Level >= WLOG_ERROR ? FreeRdpControl::LogLevel::Error
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

    static bool IsCancelledConnect(const wLogMessage *message) {
        return std::strstr(message->TextString, "ERRCONNECT_CONNECT_CANCELLED") != nullptr;
    }

    std::mutex mutex_;
    FreeRdpControl *control_ = nullptr;
};

// --- the library's graphics pipeline handlers ------------------------------------

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
    return gdi && gdi->context ? tsc::engine::ControlOf(gdi->context) : nullptr;
}

std::uint32_t SurfaceIdOf(const RDPGFX_MAP_SURFACE_TO_SCALED_OUTPUT_PDU *pdu) {
    return pdu->surfaceId;
}
std::uint32_t SurfaceIdOf(const RDPGFX_RESET_GRAPHICS_PDU *) {
    return FreeRdpControl::AnySurface;
}

// Runs the library's handler with the frame lock held, so the user-interface thread
// never reads a surface while it is written. `Forget` handlers may free or move
// the surface shown as the frame.
template <auto Slot, bool Forget = false, typename Pdu> UINT Locked(RdpgfxClientContext *gfx, Pdu pdu) {
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

// A surface's pixels live in the engine's frame memory instead of the library's
// heap block: the surface shown as the frame can then be lent to the X server as it
// is (see FrameMemory.h). The library frees what it allocated itself, so a surface
// gets a small block of the library's back before the library deletes it.
UINT OnCreateSurface(RdpgfxClientContext *gfx, const RDPGFX_CREATE_SURFACE_PDU *pdu) {
    FreeRdpControl *control = ControlOf(gfx);
    std::optional<FreeRdpControl::FrameLockScope> lock;
    if (control) lock.emplace(*control);
    const UINT status = libraryGfx.CreateSurface(gfx, pdu);
    if (status != CHANNEL_RC_OK) return status;
    EnterCriticalSection(&gfx->mux);
    auto *surface = static_cast<gdiGfxSurface *>(gfx->GetSurfaceData(gfx, pdu->surfaceId));
    if (surface && surface->data) {
        if (std::uint8_t *memory = AllocateFrameMemory(std::size_t{surface->scanline} * surface->height)) {
            _aligned_free(surface->data);
            surface->data = memory;
        }
    }
    LeaveCriticalSection(&gfx->mux);
    return status;
}

UINT OnMapSurfaceToOutput(RdpgfxClientContext *gfx, const RDPGFX_MAP_SURFACE_TO_OUTPUT_PDU *pdu) {
    FreeRdpControl *control = ControlOf(gfx);
    if (!control) return libraryGfx.MapSurfaceToOutput(gfx, pdu);
    FreeRdpControl::FrameLockScope lock(*control);
    control->ForgetOutputSurface(pdu->surfaceId);
    const UINT status = libraryGfx.MapSurfaceToOutput(gfx, pdu);
    if (status == CHANNEL_RC_OK) control->OnSurfaceMappedToOutput(gfx);
    return status;
}

UINT OnDeleteSurface(RdpgfxClientContext *gfx, const RDPGFX_DELETE_SURFACE_PDU *pdu) {
    FreeRdpControl *control = ControlOf(gfx);
    std::optional<FreeRdpControl::FrameLockScope> lock;
    if (control) {
        lock.emplace(*control);
        control->ForgetOutputSurface(pdu->surfaceId);
    }
    void *ours = nullptr;
    EnterCriticalSection(&gfx->mux);
    auto *surface = static_cast<gdiGfxSurface *>(gfx->GetSurfaceData(gfx, pdu->surfaceId));
    if (surface && IsFrameMemory(surface->data)) {
        ours = surface->data;
        surface->data = static_cast<BYTE *>(_aligned_malloc(16, 16));
    }
    LeaveCriticalSection(&gfx->mux);
    const UINT status = libraryGfx.DeleteSurface(gfx, pdu);
    FreeFrameMemory(ours);
    return status;
}

// --- ending the library's socket reads on abort -----------------------------------

// The abort descriptor of the scope living on this thread, or -1.
thread_local int readAbortDescriptor = -1;

using RecvFunction = int (*)(UINT_PTR, char *, int, int);

// winpr's own socket read, which the replacement below ends in.
RecvFunction LibraryRecv() {
    static const RecvFunction next = reinterpret_cast<RecvFunction>(dlsym(RTLD_NEXT, "_recv"));
    return next;
}

bool IsBlocking(int descriptor) {
    const int flags = fcntl(descriptor, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) == 0;
}

bool IsReadable(int descriptor) {
    pollfd poll_{descriptor, POLLIN, 0};
    return poll(&poll_, 1, 0) > 0 && (poll_.revents & POLLIN) != 0;
}

// Waits until `descriptor` has data (or is closed by the peer) or the abort
// descriptor becomes readable; false on abort.
bool WaitForDataOrAbort(int descriptor, int abortDescriptor) {
    std::array<pollfd, 2> polls{{{descriptor, POLLIN, 0}, {abortDescriptor, POLLIN, 0}}};
    while (poll(polls.data(), polls.size(), -1) < 0)
        if (errno != EINTR) return true; // let the read itself report the fault
    return (polls[1].revents & POLLIN) == 0;
}

} // namespace

void PrepareProcessForSessions() {
    static std::once_flag prepared;
    std::call_once(prepared, [] {
        freerdp_register_addin_provider(freerdp_channels_load_static_addin_entry, 0);
        ChooseOptimisedPrimitives();
        ConvertYuv420WithAvx2();
        KeepFrameBuffersInTheHeap();
    });
}

pstatus_t ConvertYuv420ToRgb(const BYTE *const planes[3], const UINT32 steps[3], BYTE *dst, UINT32 dstStep,
                             UINT32 format, const prim_size_t *roi) {
    if (format == PIXEL_FORMAT_BGRX32 || format == PIXEL_FORMAT_BGRA32) {
        Yuv420ToBgrxAvx2(planes, steps, dst, dstStep, roi->width, roi->height);
        return PRIMITIVES_SUCCESS;
    }
    return libraryYuv420ToRgb(planes, steps, dst, dstStep, format, roi);
}

__YUV420ToRGB_8u_P3AC4R_t LibraryYuv420ToRgb() {
    return libraryYuv420ToRgb;
}

void InstallLibraryLogAppender() {
    LibraryLogRouter::Instance();
}

void RouteLibraryLogTo(FreeRdpControl *control) {
    LibraryLogRouter::Instance().Attach(control);
}

void StopRoutingLibraryLogTo(FreeRdpControl *control) {
    LibraryLogRouter::Instance().Detach(control);
}

void WrapGraphicsPipelineHandlers(RdpgfxClientContext *gfx) {
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
    gfx->CreateSurface = OnCreateSurface;
    gfx->DeleteSurface = OnDeleteSurface;
    gfx->SurfaceCommand = Locked<&GfxHandlers::SurfaceCommand, false, const RDPGFX_SURFACE_COMMAND *>;
    gfx->SolidFill = Locked<&GfxHandlers::SolidFill, false, const RDPGFX_SOLID_FILL_PDU *>;
    gfx->SurfaceToSurface =
        Locked<&GfxHandlers::SurfaceToSurface, false, const RDPGFX_SURFACE_TO_SURFACE_PDU *>;
    gfx->CacheToSurface = Locked<&GfxHandlers::CacheToSurface, false, const RDPGFX_CACHE_TO_SURFACE_PDU *>;
    gfx->MapSurfaceToOutput = OnMapSurfaceToOutput;
    gfx->MapSurfaceToScaledOutput =
        Locked<&GfxHandlers::MapSurfaceToScaledOutput, true, const RDPGFX_MAP_SURFACE_TO_SCALED_OUTPUT_PDU *>;
    gfx->UpdateSurfaces = OnUpdateSurfaces;
}

UINT LibraryUpdateSurfaces(RdpgfxClientContext *gfx) {
    return libraryGfx.UpdateSurfaces(gfx);
}

AbortableReadScope::AbortableReadScope(int abortDescriptor) : outer_(readAbortDescriptor) {
    readAbortDescriptor = abortDescriptor;
}

AbortableReadScope::~AbortableReadScope() {
    readAbortDescriptor = outer_;
}

} // namespace tsc::engine

// --- the library's socket read --------------------------------------------------

// Takes the place of winpr's _recv for the whole process, as Sleep does below. The
// library reads the connection sequence in a loop of reads and 100 ms waits that never
// looks at its abort event (and on a blocking socket in one read that never ends), so
// a peer that accepts and then stays silent would hold the engine thread for ever. Ending that read from
// another thread would mean reaching the library's socket while the engine thread may be replacing or closing
// it (a security fall-back reconnects, a failed connect disconnects); here the engine thread itself waits for
// the data or the control's abort descriptor, whichever comes first. A failed read ends the connect. Reads
// outside an AbortableReadScope are unchanged.
extern "C" __attribute__((visibility("default"))) int _recv(UINT_PTR s, char *buf, int len, int flags) {
    using namespace tsc::engine;
    const int descriptor = static_cast<int>(s);
    const int abortDescriptor = readAbortDescriptor;
    if (abortDescriptor >= 0) {
        if (IsReadable(abortDescriptor)) {
            errno = ECONNABORTED;
            return -1;
        }
        // Data that is there is taken at once: a session receiving a lossless screen
        // reads thousands of times a second, and asking the socket's mode and whether
        // to wait first would triple its system calls.
        const int received =
            static_cast<int>(recv(descriptor, buf, static_cast<std::size_t>(len), flags | MSG_DONTWAIT));
        if (received >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return received;
        if ((flags & MSG_DONTWAIT) != 0 || !IsBlocking(descriptor)) {
            errno = EAGAIN;
            return -1;
        }
        if (!WaitForDataOrAbort(descriptor, abortDescriptor)) {
            errno = ECONNABORTED;
            return -1;
        }
    }
    if (const RecvFunction next = LibraryRecv()) return next(s, buf, len, flags);
    return static_cast<int>(recv(descriptor, buf, static_cast<std::size_t>(len), flags));
}

// --- the library's sleep --------------------------------------------------------

// Takes the place of winpr's Sleep for the whole process (the library calls it
// through the dynamic linker, and this engine is searched before winpr), so that the
// connection sequence waits for the server's answer instead of 100 ms (SocketWait.h).
// Outside a SocketWaitScope it is the same plain sleep.
extern "C" __attribute__((visibility("default"))) VOID Sleep(DWORD dwMilliseconds) {
    const std::chrono::milliseconds duration(dwMilliseconds);
    if (tsc::engine::SocketWaitScope *scope = tsc::engine::SocketWaitScope::Current())
        scope->Sleep(duration);
    else
        std::this_thread::sleep_for(duration);
}
