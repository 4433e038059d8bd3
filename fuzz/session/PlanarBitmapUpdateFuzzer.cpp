// Feeds arbitrary bytes, as a server's 32-bit compressed bitmap rectangle, to the
// engine's bitmap update handler and to the drawing library's, each on a screen of
// its own: both must succeed or fail alike and leave the screens byte for byte alike.
// The first four bytes place the rectangle (bitmap width and height 1..64, its
// destination's left and top); the rest is the stream, in memory of exactly its size.
#include "PlanarBitmapUpdate.h"

#include <freerdp/codecs.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

constexpr UINT32 Width = 128;
constexpr UINT32 Height = 96;

struct Screen {
    freerdp *instance = nullptr;
    Screen() {
        instance = freerdp_new();
        if (!instance) std::abort();
        instance->ContextSize = sizeof(rdpContext);
        if (!freerdp_context_new(instance)) std::abort();
        instance->settings->DesktopWidth = Width;
        instance->settings->DesktopHeight = Height;
        instance->settings->ColorDepth = 32;
        instance->context->codecs = codecs_new(instance->context);
        if (!instance->context->codecs ||
            !freerdp_client_codecs_prepare(instance->context->codecs, FREERDP_CODEC_ALL, Width, Height) ||
            !gdi_init(instance, PIXEL_FORMAT_BGRX32))
            std::abort();
    }
    BYTE *Pixels() const { return instance->context->gdi->primary_buffer; }
    std::size_t Size() const {
        return std::size_t{static_cast<UINT32>(instance->context->gdi->stride)} * Height;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static Screen library;
    static Screen engine;
    if (size < 5) return 0;
    BITMAP_DATA rectangle{};
    rectangle.width = 1 + data[0] % 64;
    rectangle.height = 1 + data[1] % 64;
    rectangle.destLeft = data[2] % Width;
    rectangle.destTop = data[3] % Height;
    // Mostly exactly the bitmap, sometimes a part of it (the library's temporary copy).
    const bool part = data[0] & 0x80;
    rectangle.destRight = rectangle.destLeft + rectangle.width - 1 - (part && rectangle.width > 1 ? 1 : 0);
    rectangle.destBottom = rectangle.destTop + rectangle.height - 1 - (part && rectangle.height > 1 ? 1 : 0);
    rectangle.bitsPerPixel = 32;
    rectangle.compressed = TRUE;
    const std::size_t length = size - 4;
    auto stream = std::make_unique<BYTE[]>(length);
    std::memcpy(stream.get(), data + 4, length);
    rectangle.bitmapDataStream = stream.get();
    rectangle.bitmapLength = static_cast<UINT32>(length);
    BITMAP_UPDATE update{};
    update.number = update.count = 1;
    update.rectangles = &rectangle;

    std::memset(library.Pixels(), 0x5A, library.Size());
    std::memset(engine.Pixels(), 0x5A, engine.Size());
    const pBitmapUpdate handler = library.instance->update->BitmapUpdate;
    const BOOL expected = handler(library.instance->context, &update);
    const BOOL actual = tsc::engine::ApplyBitmapUpdate(engine.instance->context, &update,
                                                       engine.instance->update->BitmapUpdate);
    if (expected != actual || std::memcmp(library.Pixels(), engine.Pixels(), library.Size()) != 0)
        std::abort();
    return 0;
}
