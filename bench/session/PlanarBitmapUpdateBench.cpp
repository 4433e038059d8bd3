// A full-screen 1024 x 768 bitmap update of planar rectangles at 32 bits (run
// lengths, no alpha: what a server sends a lossless session), applied through the
// drawing library's handler and through the engine's, which decodes straight into
// the screen buffer. As 64 x 64 tiles, and as bands 1024 x 64.

#include "PlanarBitmapUpdate.h"

#include <freerdp/codec/planar.h>
#include <freerdp/codecs.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr UINT32 Width = 1024;
constexpr UINT32 Height = 768;

struct Screen {
    freerdp *instance = freerdp_new();
    bool ready = false;
    Screen() {
        instance->ContextSize = sizeof(rdpContext);
        if (!freerdp_context_new(instance)) return;
        instance->settings->DesktopWidth = Width;
        instance->settings->DesktopHeight = Height;
        instance->settings->ColorDepth = 32;
        instance->context->codecs = codecs_new(instance->context);
        ready = instance->context->codecs &&
                freerdp_client_codecs_prepare(instance->context->codecs, FREERDP_CODEC_ALL, Width, Height) &&
                gdi_init(instance, PIXEL_FORMAT_BGRX32);
    }
    ~Screen() {
        if (ready) gdi_free(instance);
        if (instance->context && instance->context->codecs) codecs_free(instance->context->codecs);
        instance->context->codecs = nullptr;
        freerdp_context_free(instance);
        freerdp_free(instance);
    }
};

// Text-like content: flat areas with noisy patches, so both runs and raw bytes occur.
struct Update {
    std::vector<std::vector<BYTE>> streams;
    std::vector<BITMAP_DATA> rectangles;
    BITMAP_UPDATE update{};

    Update(UINT32 tileWidth, UINT32 tileHeight) {
        std::mt19937 random(7);
        BITMAP_PLANAR_CONTEXT *encoder = freerdp_bitmap_planar_context_new(
            PLANAR_FORMAT_HEADER_RLE | PLANAR_FORMAT_HEADER_NA, tileWidth, tileHeight);
        std::vector<BYTE> pixels(std::size_t{tileWidth} * tileHeight * 4);
        for (UINT32 top = 0; top < Height; top += tileHeight)
            for (UINT32 left = 0; left < Width; left += tileWidth) {
                for (UINT32 y = 0; y < tileHeight; ++y)
                    for (UINT32 x = 0; x < tileWidth; ++x) {
                        BYTE *p = &pixels[(std::size_t{y} * tileWidth + x) * 4];
                        const bool noisy = ((left + x) / 16 + (top + y) / 8) % 4 == 0;
                        p[0] = noisy ? static_cast<BYTE>(random()) : static_cast<BYTE>(left + x);
                        p[1] = noisy ? static_cast<BYTE>(random()) : static_cast<BYTE>(top);
                        p[2] = noisy ? static_cast<BYTE>(random()) : 0x80;
                        p[3] = 0xFF;
                    }
                UINT32 size = 0;
                BYTE *stream =
                    freerdp_bitmap_compress_planar(encoder, pixels.data(), PIXEL_FORMAT_BGRA32, tileWidth,
                                                   tileHeight, tileWidth * 4, nullptr, &size);
                streams.emplace_back(stream, stream + size);
                free(stream);
                BITMAP_DATA data{};
                data.destLeft = left;
                data.destTop = top;
                data.destRight = left + tileWidth - 1;
                data.destBottom = top + tileHeight - 1;
                data.width = tileWidth;
                data.height = tileHeight;
                data.bitsPerPixel = 32;
                data.compressed = TRUE;
                data.bitmapLength = size;
                rectangles.push_back(data);
            }
        for (std::size_t i = 0; i < rectangles.size(); ++i)
            rectangles[i].bitmapDataStream = streams[i].data();
        freerdp_bitmap_planar_context_free(encoder);
        update.number = update.count = static_cast<UINT32>(rectangles.size());
        update.rectangles = rectangles.data();
    }
};

void Run(benchmark::State &state, UINT32 tileWidth, UINT32 tileHeight, bool engine) {
    Screen screen;
    if (!screen.ready) {
        state.SkipWithError("no drawing library");
        return;
    }
    const Update update(tileWidth, tileHeight);
    rdpContext *context = screen.instance->context;
    const pBitmapUpdate library = screen.instance->update->BitmapUpdate;
    for (auto _ : state) {
        const BOOL ok = engine ? tsc::engine::ApplyBitmapUpdate(context, &update.update, library)
                               : library(context, &update.update);
        if (!ok) state.SkipWithError("update failed");
        context->gdi->primary->hdc->hwnd->ninvalid = 0;
        context->gdi->primary->hdc->hwnd->invalid->null = TRUE;
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * Width * Height);
}

void LibraryTiles(benchmark::State &state) {
    Run(state, 64, 64, false);
}
void EngineTiles(benchmark::State &state) {
    Run(state, 64, 64, true);
}
void LibraryBands(benchmark::State &state) {
    Run(state, Width, 64, false);
}
void EngineBands(benchmark::State &state) {
    Run(state, Width, 64, true);
}

BENCHMARK(LibraryTiles)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineTiles)->Unit(benchmark::kMillisecond);
BENCHMARK(LibraryBands)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineBands)->Unit(benchmark::kMillisecond);

} // namespace
