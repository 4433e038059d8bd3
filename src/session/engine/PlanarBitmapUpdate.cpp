#include "PlanarBitmapUpdate.h"

#include <freerdp/codec/planar.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/region.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// A run-length control byte: `raw` values follow it, then the last of them (or the
// plane's zero at a row's start) repeats `run` times. Runs of 1 and 2 stand for 16
// and 32 more than the upper half, without raw values.
struct RleSegment {
    UINT32 raw;
    UINT32 run;
};

RleSegment ReadControl(BYTE control) {
    const UINT32 run = control & 0x0F;
    const UINT32 raw = control >> 4;
    if (run == 1 || run == 2) return {0, raw + (run == 1 ? 16 : 32)};
    return {raw, run};
}

// How many bytes one run-length plane of `width` x `height` takes, or -1 when the
// stream runs out first or a row's runs go past its end: the codec's own rule, so a
// stream the codec refuses is refused here too.
std::int64_t RlePlaneLength(const BYTE *plane, std::size_t size, UINT32 width, UINT32 height) {
    std::size_t used = 0;
    for (UINT32 y = 0; y < height; ++y) {
        for (UINT32 x = 0; x < width;) {
            if (used >= size) return -1;
            const RleSegment segment = ReadControl(plane[used++]);
            used += segment.raw;
            x += segment.raw + segment.run;
            if (x > width || used > size) return -1;
        }
    }
    return used > INT32_MAX ? -1 : static_cast<std::int64_t>(used);
}

// The value a difference byte stands for: its upper seven bits, negated (less one)
// when the lowest bit is set.
BYTE DifferenceValue(BYTE delta) {
    return static_cast<BYTE>((delta >> 1) ^ (0 - (delta & 1)));
}

// Row buffers have this much room past a row's end: whole 16-byte blocks are
// written (the bytes past a segment are written again by the next one).
constexpr UINT32 RowSlack = 16;

// One row of a run-length plane into `row`: absolute values in the plane's first
// row (no `previous`), differences to the row before in every other. The plane was
// measured by RlePlaneLength, so the row ends exactly at `width`; `end` is the end
// of the stream, past which nothing is read.
const BYTE *DecodeRleRow(const BYTE *source, const BYTE *end, BYTE *row, const BYTE *previous, UINT32 width) {
    BYTE pixel = 0;
    for (UINT32 x = 0; x < width;) {
        const auto [raw, run] = ReadControl(*source++);
        if (raw > 0) {
#if defined(__SSE2__)
            const bool wholeBlock = end - source >= 16;
#else
            const bool wholeBlock = false;
#endif
            if (!previous) {
                std::memcpy(row + x, source, raw);
                pixel = source[raw - 1];
            } else if (wholeBlock) {
#if defined(__SSE2__)
                const __m128i one = _mm_set1_epi8(1);
                const __m128i delta = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source));
                const __m128i half = _mm_and_si128(_mm_srli_epi16(delta, 1), _mm_set1_epi8(0x7F));
                const __m128i negative = _mm_cmpeq_epi8(_mm_and_si128(delta, one), one);
                const __m128i above = _mm_loadu_si128(reinterpret_cast<const __m128i *>(previous + x));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(row + x),
                                 _mm_add_epi8(above, _mm_xor_si128(half, negative)));
#endif
                pixel = DifferenceValue(source[raw - 1]);
            } else {
                for (UINT32 i = 0; i < raw; ++i) {
                    pixel = DifferenceValue(source[i]);
                    row[x + i] = static_cast<BYTE>(previous[x + i] + pixel);
                }
            }
            source += raw;
            x += raw;
        }
        if (!previous) {
            std::memset(row + x, pixel, run);
        } else {
#if defined(__SSE2__)
            const __m128i value = _mm_set1_epi8(static_cast<char>(pixel));
            for (UINT32 i = 0; i < run; i += 16) {
                const __m128i above = _mm_loadu_si128(reinterpret_cast<const __m128i *>(previous + x + i));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(row + x + i), _mm_add_epi8(above, value));
            }
#else
            for (UINT32 i = 0; i < run; ++i)
                row[x + i] = static_cast<BYTE>(previous[x + i] + pixel);
#endif
        }
        x += run;
    }
    return source;
}

// Red, green and blue rows into BGRX pixels with 0xFF in the fourth byte.
void InterleaveBgrx(const BYTE *red, const BYTE *green, const BYTE *blue, BYTE *target, UINT32 width) {
    UINT32 x = 0;
#if defined(__SSE2__)
    const __m128i opaque = _mm_set1_epi8(static_cast<char>(0xFF));
    for (; x + 16 <= width; x += 16) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(blue + x));
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i *>(green + x));
        const __m128i r = _mm_loadu_si128(reinterpret_cast<const __m128i *>(red + x));
        const __m128i bgLow = _mm_unpacklo_epi8(b, g);
        const __m128i bgHigh = _mm_unpackhi_epi8(b, g);
        const __m128i rxLow = _mm_unpacklo_epi8(r, opaque);
        const __m128i rxHigh = _mm_unpackhi_epi8(r, opaque);
        __m128i *out = reinterpret_cast<__m128i *>(target + std::size_t{x} * 4);
        _mm_storeu_si128(out, _mm_unpacklo_epi16(bgLow, rxLow));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(bgLow, rxLow));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(bgHigh, rxHigh));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(bgHigh, rxHigh));
    }
#endif
    for (; x < width; ++x) {
        BYTE *pixel = target + std::size_t{x} * 4;
        pixel[0] = blue[x];
        pixel[1] = green[x];
        pixel[2] = red[x];
        pixel[3] = 0xFF;
    }
}

// A stream of run-length red, green and blue planes (an alpha plane before them is
// measured, not drawn: the screen has none) decoded row by row into BGRX: the
// bitmap's rows come bottom up, and its top left `width` x `height` pixels go to
// `target`, what the codec writes for such a stream. One pass over the screen
// instead of the codec's three, each plane a byte at a time four bytes apart.
// Empty for any other kind of stream (the codec decodes those); false, with
// nothing written, for a stream the codec refuses.
std::optional<bool> DecodeRlePlanes(const BITMAP_PLANAR_CONTEXT *planar, const BITMAP_DATA &bitmap,
                                    BYTE *target, std::size_t step, UINT32 width, UINT32 height) {
    const BYTE *stream = bitmap.bitmapDataStream;
    const std::size_t size = bitmap.bitmapLength;
    if (size < 1) return std::nullopt;
    const BYTE header = stream[0];
    const bool alpha = !(header & PLANAR_FORMAT_HEADER_NA);
    if ((header & PLANAR_FORMAT_HEADER_CLL_MASK) || (header & PLANAR_FORMAT_HEADER_CS) ||
        !(header & PLANAR_FORMAT_HEADER_RLE) || (planar->bgr && alpha))
        return std::nullopt;
    const UINT32 columns = bitmap.width;
    const UINT32 rows = bitmap.height;
    std::size_t used = 1;
    if (alpha) {
        const std::int64_t length = RlePlaneLength(stream + used, size - used, columns, rows);
        if (length < 0) return false;
        used += static_cast<std::size_t>(length);
    }
    // RlePlaneLength never measures past the stream: `used` stays within `size`.
    const BYTE *planes[3]{};
    for (int plane = 0; plane < 3; ++plane) {
        const std::int64_t length = RlePlaneLength(stream + used, size - used, columns, rows);
        if (length < 0) return false;
        planes[plane] = stream + used;
        used += static_cast<std::size_t>(length);
    }

    const std::size_t stride = std::size_t{columns} + RowSlack;
    std::vector<BYTE> buffer(stride * 6);
    BYTE *current[3] = {buffer.data(), buffer.data() + stride, buffer.data() + 2 * stride};
    BYTE *previous[3] = {current[0] + 3 * stride, current[1] + 3 * stride, current[2] + 3 * stride};
    for (UINT32 row = 0; row < rows; ++row) {
        for (int plane = 0; plane < 3; ++plane)
            planes[plane] = DecodeRleRow(planes[plane], stream + size, current[plane],
                                         row == 0 ? nullptr : previous[plane], columns);
        const UINT32 y = rows - 1 - row;
        if (y < height) InterleaveBgrx(current[0], current[1], current[2], target + y * step, width);
        for (int plane = 0; plane < 3; ++plane)
            std::swap(current[plane], previous[plane]);
    }
    return true;
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
    const std::optional<bool> decoded =
        screen->format == PIXEL_FORMAT_BGRX32
            ? DecodeRlePlanes(context->codecs->planar, bitmap, target,
                              static_cast<std::size_t>(screen->scanline), width, height)
            : std::nullopt;
    if (decoded.has_value() && !*decoded) return FALSE;
    if (!decoded.has_value() &&
        !planar_decompress(context->codecs->planar, bitmap.bitmapDataStream, bitmap.bitmapLength,
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
