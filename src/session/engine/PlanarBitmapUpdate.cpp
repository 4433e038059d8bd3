#include "PlanarBitmapUpdate.h"

#include <freerdp/codec/planar.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/region.h>

namespace tsc::engine {

namespace {

// Whether the rectangle can be decoded straight into the screen with the result the
// library's handler has. The library decodes a compressed rectangle of 32 bits with
// the planar codec (fewer bits: interleaved), the bitmap `width` x `height`, then
// copies the destination's size of it from its top left corner onto the screen,
// clipped to the screen and the screen's clipping region. Decoded straight, the
// codec is given the destination as its target: it writes exactly the
// destination's pixels there, through its own work buffer (as large as the screen)
// when the bitmap is larger than the destination. A bitmap smaller than its
// destination makes the library's copy fail; that, a destination off the screen
// and a clipping region are left to the library.
bool DecodesIntoScreen(const rdpContext *context, const BITMAP_DATA &bitmap) {
    const rdpGdi *gdi = context->gdi;
    const BITMAP_PLANAR_CONTEXT *planar = context->codecs->planar;
    if (!bitmap.compressed || bitmap.bitsPerPixel != 32 || !bitmap.bitmapDataStream || !planar) return false;
    if (!gdi->primary || !gdi->primary->hdc || !gdi->primary->bitmap) return false;
    const HGDI_DC hdc = gdi->primary->hdc;
    const HGDI_BITMAP screen = gdi->primary->bitmap;
    if (!hdc->clip || !hdc->clip->null || hdc->selectedObject != reinterpret_cast<HGDIOBJECT>(screen) ||
        !hdc->hwnd || !screen->data || screen->format != gdi->dstFormat ||
        GetBytesPerPixel(screen->format) != 4 || screen->width <= 0 || screen->height <= 0)
        return false;
    if (bitmap.width == 0 || bitmap.height == 0 || bitmap.width > planar->maxWidth ||
        bitmap.height > planar->maxHeight)
        return false;
    if (bitmap.destRight < bitmap.destLeft || bitmap.destBottom < bitmap.destTop) return false;
    const UINT32 width = bitmap.destRight - bitmap.destLeft + 1;
    const UINT32 height = bitmap.destBottom - bitmap.destTop + 1;
    return width <= bitmap.width && height <= bitmap.height &&
           bitmap.destRight < static_cast<UINT32>(screen->width) &&
           bitmap.destBottom < static_cast<UINT32>(screen->height);
}

// The codec checks the whole stream (each plane's run lengths against the bitmap's
// size, the raw planes' sizes) before it writes the first pixel, so a rectangle
// that fails leaves the screen as it was, as it does in the library's handler.
BOOL DecodeIntoScreen(rdpContext *context, const BITMAP_DATA &bitmap) {
    rdpGdi *gdi = context->gdi;
    const HGDI_BITMAP screen = gdi->primary->bitmap;
    const UINT32 width = bitmap.destRight - bitmap.destLeft + 1;
    const UINT32 height = bitmap.destBottom - bitmap.destTop + 1;
    BYTE *target = screen->data + std::size_t{bitmap.destTop} * static_cast<std::size_t>(screen->scanline) +
                   std::size_t{bitmap.destLeft} * 4;
    // The bitmap's rows come bottom up, hence the flip; the target is given as the
    // origin of its rectangle (the codec's offsets are not honoured by every one of
    // its paths).
    freerdp_planar_switch_bgr(context->codecs->planar, context->settings->DrawAllowDynamicColorFidelity);
    if (!planar_decompress(context->codecs->planar, bitmap.bitmapDataStream, bitmap.bitmapLength,
                           bitmap.width, bitmap.height, target, screen->format,
                           static_cast<UINT32>(screen->scanline), 0, 0, width, height, TRUE))
        return FALSE;
    return gdi_InvalidateRegion(gdi->primary->hdc, static_cast<INT32>(bitmap.destLeft),
                                static_cast<INT32>(bitmap.destTop), static_cast<INT32>(width),
                                static_cast<INT32>(height));
}

} // namespace

BOOL ApplyBitmapUpdate(rdpContext *context, const BITMAP_UPDATE *update, pBitmapUpdate library) {
    if (!context || !update || !context->gdi || !context->codecs || !library) return FALSE;
    UINT32 index = 0;
    while (index < update->number) {
        UINT32 end = index;
        while (end < update->number && !DecodesIntoScreen(context, update->rectangles[end]))
            ++end;
        if (end > index) {
            BITMAP_UPDATE others = *update;
            others.number = end - index;
            others.count = others.number;
            others.rectangles = update->rectangles + index;
            if (!library(context, &others)) return FALSE;
            index = end;
            continue;
        }
        if (!DecodeIntoScreen(context, update->rectangles[index])) return FALSE;
        ++index;
    }
    return TRUE;
}

} // namespace tsc::engine
