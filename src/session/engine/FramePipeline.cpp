// The frame pipeline of the control: the drawing library paints the remote screen
// into memory of the engine's own, or the graphics pipeline's one covering surface is
// shown as the frame; changed areas are merged and handed to the user-interface
// thread, which reads the frame under the frame lock.

#include "EngineContext.h"
#include "FrameMemory.h"
#include "FreeRdpControl.h"
#include "PlanarBitmapUpdate.h"
#include "ProcessWide.h"

#include <QMetaObject>

#include <freerdp/channels/rdpgfx.h>
#include <freerdp/client/channels.h>
#include <freerdp/event.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/gfx.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace tsc::engine {

namespace {

// The frame lock taken in BeginPaint and given back in EndPaint, remembered per
// thread so that a missing EndPaint (an update abandoned half-way) never locks the
// thread out of the next one. A lock taken by a FrameLockScope is the scope's to
// give back, also when the library paints inside it.
thread_local FreeRdpControl *frameLockHeldBy = nullptr;
thread_local bool frameLockHeldByScope = false;
// Set while the engine thread runs the library over the input that has arrived.
thread_local FreeRdpControl *paintsBatchedFor = nullptr;

// --- callbacks of the protocol library, on the engine or a channel thread ---------

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

BOOL OnBeginPaint(rdpContext *context) {
    ControlOf(context)->OnBeginPaint(context);
    return TRUE;
}

BOOL OnEndPaint(rdpContext *context) {
    ControlOf(context)->OnEndPaint(context);
    return TRUE;
}

BOOL OnBitmapUpdate(rdpContext *context, const BITMAP_UPDATE *update) {
    return ControlOf(context)->OnBitmapUpdate(context, update);
}

BOOL OnDesktopResize(rdpContext *context) {
    return ControlOf(context)->OnDesktopResize(context) ? TRUE : FALSE;
}

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
        const bool fits =
            surface->outputOriginX == 0 && surface->outputOriginY == 0 &&
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

// The screen buffer was given back: every shown surface is copied whole into it.
void InvalidateEveryShownSurface(RdpgfxClientContext *gfx) {
    UINT16 *ids = nullptr;
    UINT16 count = 0;
    if (gfx->GetSurfaceIds(gfx, &ids, &count) != CHANNEL_RC_OK) return;
    for (UINT16 index = 0; index < count; ++index) {
        auto *shown = static_cast<gdiGfxSurface *>(gfx->GetSurfaceData(gfx, ids[index]));
        if (!shown || !shown->outputMapped) continue;
        const RECTANGLE_16 whole{0, 0, static_cast<UINT16>(shown->mappedWidth),
                                 static_cast<UINT16>(shown->mappedHeight)};
        region16_union_rect(&shown->invalidRegion, &shown->invalidRegion, &whole);
    }
    free(ids);
}

} // namespace

// --- the session's screen ----------------------------------------------------------

void FreeRdpControl::SubscribeToChannels(rdpContext *context) {
    PubSub_SubscribeChannelConnected(context->pubSub, OnChannelConnected);
    PubSub_SubscribeChannelDisconnected(context->pubSub, OnChannelDisconnected);
}

void FreeRdpControl::UnsubscribeFromChannels(rdpContext *context) {
    PubSub_UnsubscribeChannelConnected(context->pubSub, OnChannelConnected);
    PubSub_UnsubscribeChannelDisconnected(context->pubSub, OnChannelDisconnected);
}

void FreeRdpControl::InstallPaintHandlers(rdpUpdate *update) {
    update->BeginPaint = tsc::engine::OnBeginPaint;
    update->EndPaint = tsc::engine::OnEndPaint;
    update->DesktopResize = tsc::engine::OnDesktopResize;
    // The library's handler, installed by gdi_init, stays for the rectangles the
    // engine does not decode itself (see PlanarBitmapUpdate.h).
    if (update->BitmapUpdate != tsc::engine::OnBitmapUpdate) libraryBitmapUpdate_ = update->BitmapUpdate;
    update->BitmapUpdate = tsc::engine::OnBitmapUpdate;
}

BOOL FreeRdpControl::OnBitmapUpdate(rdpContext *context, const BITMAP_UPDATE *update) {
    return ApplyBitmapUpdate(context, update, libraryBitmapUpdate_);
}

// The screen is drawn into memory of the engine's own (see FrameMemory.h).
bool FreeRdpControl::CreateScreenBuffer(freerdp *instance) {
    const rdpSettings *settings = instance->settings;
    std::uint8_t *memory =
        AllocateFrameMemory(std::size_t{settings->DesktopWidth} * std::size_t{settings->DesktopHeight} * 4);
    if (!memory) return false;
    std::lock_guard lock(frameMutex_);
    outputSurface_ = nullptr;
    screenPagesReleased_ = false;
    screenMemory_ = memory;
    // On failure the library has freed the memory with its screen buffer, or lost
    // it if it failed before making one (it only fails so when memory runs out).
    return gdi_init_ex(instance, PIXEL_FORMAT_BGRX32, 0, memory, FreeFrameMemory) == TRUE;
}

void FreeRdpControl::OnPostDisconnect(freerdp *instance) {
    UnsubscribeFromChannels(instance->context);
    ReleasePaintLock();
    std::lock_guard lock(frameMutex_);
    outputSurface_ = nullptr;
    gdi_free(instance);
}

// The picture of a dropped connection stays the frame while the control reconnects,
// until the next connection has drawn its first picture.
void FreeRdpControl::HoldLastPicture() {
    std::lock_guard lock(frameMutex_);
    heldPicture_.clear();
    const RdpFrame frame = Frame();
    if (!frame.data) return;
    heldWidth_ = frame.width;
    heldHeight_ = frame.height;
    heldPicture_.resize(std::size_t(frame.width) * std::size_t(frame.height) * 4);
    for (int row = 0; row < frame.height; ++row)
        std::memcpy(heldPicture_.data() + std::size_t(row) * std::size_t(frame.width) * 4,
                    frame.data + std::ptrdiff_t(row) * frame.stride, std::size_t(frame.width) * 4);
}

void FreeRdpControl::DropHeldPicture() {
    std::lock_guard lock(frameMutex_);
    std::vector<std::uint8_t>().swap(heldPicture_);
}

RdpFrame FreeRdpControl::Frame() const {
    // The caller holds frameMutex_; context_ cannot go away meanwhile because the
    // engine thread frees the drawing surface under the same lock.
    RdpFrame frame;
    rdpContext *context = context_;
    if (!heldPicture_.empty()) {
        frame.data = heldPicture_.data();
        frame.width = heldWidth_;
        frame.height = heldHeight_;
        frame.stride = heldWidth_ * 4;
        return frame;
    }
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
    const FrameMemoryFile file = FileOfFrameMemory(frame.data);
    frame.memoryFd = file.fd;
    frame.memoryId = file.id;
    return frame;
}

// --- the frame lock ------------------------------------------------------------------

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
        if (paintsBatchedFor == this && NowMilliseconds() - lastDamagePostedAt_ < BatchedPaintIntervalMs)
            damageAwaitsBatchEnd_ = true;
        else
            CommitDamage();
    }
    window->invalid->null = TRUE;
    window->ninvalid = 0;
    ReleasePaintLock();
}

void FreeRdpControl::ReleasePaintLock() {
    if (frameLockHeldBy == this && !frameLockHeldByScope) {
        frameLockHeldBy = nullptr;
        frameMutex_.unlock();
    }
}

// --- damage --------------------------------------------------------------------------

void FreeRdpControl::CommitDamage() {
    if (!heldPicture_.empty()) {
        // The new connection's first picture replaces the held one, all of it.
        std::vector<std::uint8_t>().swap(heldPicture_);
        if (const RdpFrame frame = Frame(); frame.data)
            pendingDamage_ += QRect(0, 0, frame.width, frame.height);
    }
    if (!damagePosted_) {
        damagePosted_ = true;
        lastDamagePostedAt_ = NowMilliseconds();
        PostFrameUpdate();
    }
    if (firstFrameAt_ == 0) firstFrameAt_ = NowMilliseconds();
}

FreeRdpControl::PaintBatch::PaintBatch(FreeRdpControl &control) : control_(control) {
    paintsBatchedFor = &control_;
}

FreeRdpControl::PaintBatch::~PaintBatch() {
    paintsBatchedFor = nullptr;
    control_.ReleasePaintLock();
    if (!control_.damageAwaitsBatchEnd_) return;
    control_.damageAwaitsBatchEnd_ = false;
    FrameLockScope lock(control_);
    if (!control_.pendingDamage_.isEmpty()) control_.CommitDamage();
}

// One queued update at a time: damage that comes meanwhile joins the pending region.
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
            // As in CreateScreenBuffer, the library owns the memory from here on.
            resized = memory && gdi_resize_ex(gdi, width, height, 0, PIXEL_FORMAT_BGRX32, memory,
                                              FreeFrameMemory) == TRUE;
            outputSurface_ = nullptr;
            screenPagesReleased_ = false;
            screenMemory_ = memory;
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

// --- graphics pipeline output --------------------------------------------------------

void FreeRdpControl::OnGraphicsPipelineOpened(RdpgfxClientContext *gfx) {
    WrapGraphicsPipelineHandlers(gfx);
}

void FreeRdpControl::OnGraphicsPipelineClosing() {
    FrameLockScope lock(*this);
    ForgetOutputSurface(AnySurface);
}

void FreeRdpControl::ForgetOutputSurface(std::uint32_t surfaceId) {
    if (outputSurface_ && (surfaceId == AnySurface || outputSurface_->surfaceId == surfaceId))
        outputSurface_ = nullptr;
}

// A surface now covers the screen and its first frame is on the way: the screen
// buffer's pages go back before that frame is drawn, not after, so the session never
// holds both pictures at once. The window keeps what it shows until the surface's
// first frame replaces it.
void FreeRdpControl::OnSurfaceMappedToOutput(RdpgfxClientContext *gfx) {
    const rdpGdi *gdi = static_cast<rdpGdi *>(gfx->custom);
    EnterCriticalSection(&gfx->mux);
    if (gdiGfxSurface *surface = SurfaceCoveringScreen(gfx, gdi)) {
        outputSurface_ = surface;
        if (!screenPagesReleased_ && gdi->primary_buffer == screenMemory_) {
            ReleaseFramePages(screenMemory_);
            screenPagesReleased_ = true;
        }
    }
    LeaveCriticalSection(&gfx->mux);
}

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
        if (!screenPagesReleased_ && gdi->primary_buffer == screenMemory_) {
            ReleaseFramePages(screenMemory_);
            screenPagesReleased_ = true;
        }
        UINT32 count = 0;
        const RECTANGLE_16 *rects = region16_rects(&surface->invalidRegion, &count);
        for (UINT32 index = 0; rects && index < count; ++index)
            pendingDamage_ +=
                QRect(rects[index].left, rects[index].top, rects[index].right - rects[index].left,
                      rects[index].bottom - rects[index].top) &
                QRect(0, 0, gdi->width, gdi->height);
        region16_clear(&surface->invalidRegion);
        if (!pendingDamage_.isEmpty()) CommitDamage();
    } else {
        outputSurface_ = nullptr;
        if (screenPagesReleased_) {
            InvalidateEveryShownSurface(gfx);
            screenPagesReleased_ = false;
        }
        status = LibraryUpdateSurfaces(gfx);
    }
    LeaveCriticalSection(&gfx->mux);
    return status;
}

} // namespace tsc::engine
