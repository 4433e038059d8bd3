// The engine's bitmap update handler against the drawing library's: the same
// update applied to two screens, one through each, must leave the screens byte for
// byte alike, invalidate the same rectangles and succeed or fail alike; the planar
// rectangles that fit must not reach the library at all.

#include "PlanarBitmapUpdate.h"

#include <freerdp/codec/planar.h>
#include <freerdp/codecs.h>
#include <freerdp/freerdp.h>
#include <freerdp/gdi/gdi.h>
#include <freerdp/gdi/region.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace tsc::engine {
namespace {

constexpr UINT32 ScreenWidth = 256;
constexpr UINT32 ScreenHeight = 192;

// A session's drawing library without a connection: a context and its screen.
class Screen {
  public:
    Screen() {
        instance_ = freerdp_new();
        instance_->ContextSize = sizeof(rdpContext);
        if (!freerdp_context_new(instance_)) return;
        rdpSettings *settings = instance_->settings;
        settings->DesktopWidth = ScreenWidth;
        settings->DesktopHeight = ScreenHeight;
        settings->ColorDepth = 32;
        // A connection would make the codecs.
        instance_->context->codecs = codecs_new(instance_->context);
        if (!instance_->context->codecs ||
            !freerdp_client_codecs_prepare(instance_->context->codecs, FREERDP_CODEC_ALL, ScreenWidth,
                                           ScreenHeight))
            return;
        ready_ = gdi_init(instance_, PIXEL_FORMAT_BGRX32) == TRUE;
    }
    ~Screen() {
        if (ready_) gdi_free(instance_);
        if (instance_->context && instance_->context->codecs) {
            codecs_free(instance_->context->codecs);
            instance_->context->codecs = nullptr;
        }
        if (instance_->context) freerdp_context_free(instance_);
        freerdp_free(instance_);
    }
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;

    [[nodiscard]] bool Ready() const { return ready_; }
    rdpContext *Context() const { return instance_->context; }
    rdpGdi *Gdi() const { return instance_->context->gdi; }
    pBitmapUpdate LibraryHandler() const { return instance_->update->BitmapUpdate; }
    std::vector<BYTE> Pixels() const {
        const BYTE *data = Gdi()->primary_buffer;
        return {data, data + std::size_t{Gdi()->stride} * ScreenHeight};
    }
    void Fill(std::uint32_t seed) {
        std::mt19937 random(seed);
        BYTE *data = Gdi()->primary_buffer;
        for (std::size_t i = 0; i < std::size_t{Gdi()->stride} * ScreenHeight; ++i)
            data[i] = static_cast<BYTE>(random());
        HGDI_WND window = Gdi()->primary->hdc->hwnd;
        window->invalid->null = TRUE;
        window->ninvalid = 0;
    }
    std::string Invalid() const {
        const HGDI_WND window = Gdi()->primary->hdc->hwnd;
        if (window->invalid->null) return "none";
        std::string text = std::to_string(window->invalid->x) + "," + std::to_string(window->invalid->y) +
                           " " + std::to_string(window->invalid->w) + "x" +
                           std::to_string(window->invalid->h) + ":";
        for (INT32 i = 0; i < window->ninvalid; ++i)
            text += " " + std::to_string(window->cinvalid[i].x) + "," +
                    std::to_string(window->cinvalid[i].y) + " " + std::to_string(window->cinvalid[i].w) +
                    "x" + std::to_string(window->cinvalid[i].h);
        return text;
    }

  private:
    freerdp *instance_ = nullptr;
    bool ready_ = false;
};

// How a rectangle's bitmap is sent.
enum class Kind {
    PlanarRle,          // run lengths, no alpha plane (what servers send)
    PlanarRleAlpha,     // run lengths with an alpha plane
    PlanarRaw,          // raw colour planes
    YCoCg,              // raw luma and chroma planes
    YCoCgSubsampled,    // the chroma planes at half size
    Uncompressed32,     // left to the library
    Uncompressed16,     // left to the library
    PlanarTruncated,    // a run-length stream cut in half
    PlanarRawTruncated, // raw planes one byte short
    Garbage,            // a run-length header followed by noise
};

struct Rect {
    UINT32 left, top, right, bottom; // the destination, inclusive
    UINT32 width, height;            // the bitmap
    Kind kind = Kind::PlanarRle;
};

// Half noise, half flat areas and gradients, so that runs and raw bytes both occur.
std::vector<BYTE> Picture(UINT32 width, UINT32 height, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<BYTE> pixels(std::size_t{width} * height * 4);
    for (UINT32 y = 0; y < height; ++y)
        for (UINT32 x = 0; x < width; ++x) {
            BYTE *p = &pixels[(std::size_t{y} * width + x) * 4];
            const bool noisy = ((x / 8 + y / 8 + seed) % 3) == 0;
            p[0] = noisy ? static_cast<BYTE>(random()) : static_cast<BYTE>(x * 3);
            p[1] = noisy ? static_cast<BYTE>(random()) : static_cast<BYTE>(y * 5);
            p[2] = noisy ? static_cast<BYTE>(random()) : static_cast<BYTE>(seed * 40);
            p[3] = noisy ? static_cast<BYTE>(random()) : 0xFF;
        }
    return pixels;
}

std::vector<BYTE> EncodePlanar(const std::vector<BYTE> &pixels, UINT32 width, UINT32 height, DWORD flags) {
    BITMAP_PLANAR_CONTEXT *encoder = freerdp_bitmap_planar_context_new(flags, 64, 64);
    UINT32 size = 0;
    BYTE *stream = freerdp_bitmap_compress_planar(encoder, pixels.data(), PIXEL_FORMAT_BGRA32, width, height,
                                                  width * 4, nullptr, &size);
    std::vector<BYTE> result;
    if (stream) result.assign(stream, stream + size);
    free(stream);
    freerdp_bitmap_planar_context_free(encoder);
    return result;
}

// Raw luma and chroma planes: the library's encoder writes none of these.
std::vector<BYTE> RawYCoCg(UINT32 width, UINT32 height, bool subsampled, std::uint32_t seed) {
    std::mt19937 random(seed);
    const std::size_t plane = std::size_t{width} * height;
    const std::size_t chroma = subsampled ? std::size_t{(width + 1) / 2} * ((height + 1) / 2) : plane;
    std::vector<BYTE> stream(1 + plane + 2 * chroma);
    stream[0] = static_cast<BYTE>(3 | PLANAR_FORMAT_HEADER_NA | (subsampled ? PLANAR_FORMAT_HEADER_CS : 0));
    for (std::size_t i = 1; i < stream.size(); ++i)
        stream[i] = static_cast<BYTE>(random());
    return stream;
}

std::vector<BYTE> Stream(const Rect &rect, std::uint32_t seed) {
    const std::vector<BYTE> pixels = Picture(rect.width, rect.height, seed);
    std::mt19937 random(seed);
    switch (rect.kind) {
    case Kind::PlanarRle:
        return EncodePlanar(pixels, rect.width, rect.height,
                            PLANAR_FORMAT_HEADER_RLE | PLANAR_FORMAT_HEADER_NA);
    case Kind::PlanarRleAlpha:
        return EncodePlanar(pixels, rect.width, rect.height, PLANAR_FORMAT_HEADER_RLE);
    case Kind::PlanarRaw:
        return EncodePlanar(pixels, rect.width, rect.height, PLANAR_FORMAT_HEADER_NA);
    case Kind::YCoCg:
        return RawYCoCg(rect.width, rect.height, false, seed);
    case Kind::YCoCgSubsampled:
        return RawYCoCg(rect.width, rect.height, true, seed);
    case Kind::Uncompressed32:
        return pixels;
    case Kind::Uncompressed16:
        return {pixels.begin(), pixels.begin() + static_cast<std::ptrdiff_t>(pixels.size() / 2)};
    case Kind::PlanarTruncated: {
        std::vector<BYTE> stream =
            EncodePlanar(pixels, rect.width, rect.height, PLANAR_FORMAT_HEADER_RLE | PLANAR_FORMAT_HEADER_NA);
        stream.resize(stream.size() / 2);
        return stream;
    }
    case Kind::PlanarRawTruncated: {
        std::vector<BYTE> stream = EncodePlanar(pixels, rect.width, rect.height, PLANAR_FORMAT_HEADER_NA);
        stream.resize(stream.size() - 2);
        return stream;
    }
    case Kind::Garbage: {
        std::vector<BYTE> stream(std::size_t{rect.width} * rect.height);
        for (BYTE &b : stream)
            b = static_cast<BYTE>(random());
        stream[0] = PLANAR_FORMAT_HEADER_RLE | PLANAR_FORMAT_HEADER_NA;
        return stream;
    }
    }
    return {};
}

// The rectangles the engine's handler leaves to the library.
pBitmapUpdate libraryHandler = nullptr;
UINT32 forwardedRectangles = 0;
BOOL CountingLibraryHandler(rdpContext *context, const BITMAP_UPDATE *update) {
    forwardedRectangles += update->number;
    return libraryHandler(context, update);
}

// What a drawing order's bounds do to the screen's device context.
void SetClip(Screen &screen, bool clipped) {
    HGDI_RGN clip = screen.Gdi()->primary->hdc->clip;
    clip->x = 16;
    clip->y = 16;
    clip->w = 100;
    clip->h = 100;
    clip->null = clipped ? FALSE : TRUE;
}

struct Case {
    const char *name;
    std::vector<Rect> rects;
    UINT32 forwarded; // rectangles the library gets from the engine's handler
    bool succeeds = true;
    bool clipped = false;
};

TEST(PlanarBitmapUpdate, LeavesTheScreenAsTheLibrarysHandlerDoes) {
    const UINT32 W = ScreenWidth, H = ScreenHeight;
    const std::vector<Case> cases{
        {"a tile exactly its rectangle", {{0, 0, 63, 63, 64, 64}}, 0},
        {"a bitmap wider and taller than its rectangle", {{10, 20, 59, 59, 64, 64}}, 0},
        {"a bitmap wider than its rectangle, raw planes", {{30, 5, 79, 68, 64, 64, Kind::PlanarRaw}}, 0},
        {"clipped luma and chroma planes", {{3, 7, 42, 56, 64, 52, Kind::YCoCgSubsampled}}, 0},
        {"a tile at the right and bottom edges", {{W - 64, H - 64, W - 1, H - 1, 64, 64}}, 0},
        {"an odd-sized band at the bottom", {{0, H - 13, 61, H - 1, 64, 13, Kind::PlanarRleAlpha}}, 0},
        {"a row of 33 pixels, and a column of 3 x 17", {{7, 9, 39, 9, 33, 1}, {50, 20, 52, 36, 3, 17}}, 0},
        {"a rectangle crossing the screen's edges", {{W - 40, H - 24, W + 23, H + 39, 64, 64}}, 1},
        {"overlapping rectangles of every planar kind",
         {{0, 0, 63, 63, 64, 64, Kind::PlanarRle},
          {32, 16, 95, 79, 64, 64, Kind::PlanarRleAlpha},
          {48, 40, 103, 99, 64, 64, Kind::PlanarRaw},
          {60, 50, 123, 113, 64, 64, Kind::YCoCg},
          {70, 60, 133, 123, 64, 64, Kind::YCoCgSubsampled},
          {20, 30, 83, 93, 64, 64, Kind::PlanarRle}},
         0},
        {"uncompressed and 16-bit rectangles among planar ones",
         {{0, 0, 63, 63, 64, 64},
          {40, 40, 103, 103, 64, 64, Kind::Uncompressed32},
          {50, 50, 113, 113, 64, 64, Kind::Uncompressed16},
          {60, 60, 123, 123, 64, 64},
          {70, 70, 133, 133, 64, 64, Kind::Uncompressed16},
          {80, 80, 143, 143, 64, 64}},
         3},
        {"a bitmap smaller than its rectangle", {{0, 0, 63, 63, 64, 64}, {64, 0, 127, 63, 32, 32}}, 1, false},
        {"a rectangle ending before it begins", {{100, 100, 90, 150, 64, 64}}, 1},
        {"a truncated run-length stream",
         {{0, 0, 63, 63, 64, 64}, {64, 0, 127, 63, 64, 64, Kind::PlanarTruncated}, {128, 0, 191, 63, 64, 64}},
         0,
         false},
        {"truncated raw planes", {{0, 0, 63, 63, 64, 64, Kind::PlanarRawTruncated}}, 0, false},
        {"noise after a run-length header", {{10, 10, 73, 73, 64, 64, Kind::Garbage}}, 0, false},
        {"a clipping region on the screen",
         {{0, 0, 63, 63, 64, 64}, {50, 50, 113, 113, 64, 64}},
         2,
         true,
         true},
    };

    Screen library;
    Screen engine;
    ASSERT_TRUE(library.Ready());
    ASSERT_TRUE(engine.Ready());
    libraryHandler = engine.LibraryHandler();
    std::uint32_t seed = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // Each stream in memory of exactly its length, so that reading past it shows.
        std::vector<std::unique_ptr<BYTE[]>> streams;
        std::vector<BITMAP_DATA> rectangles;
        for (const Rect &rect : c.rects) {
            const std::vector<BYTE> stream = Stream(rect, ++seed);
            ASSERT_FALSE(stream.empty());
            streams.push_back(std::make_unique<BYTE[]>(stream.size()));
            std::memcpy(streams.back().get(), stream.data(), stream.size());
            BITMAP_DATA data{};
            data.destLeft = rect.left;
            data.destTop = rect.top;
            data.destRight = rect.right;
            data.destBottom = rect.bottom;
            data.width = rect.width;
            data.height = rect.height;
            data.bitsPerPixel = rect.kind == Kind::Uncompressed16 ? 16 : 32;
            data.compressed = rect.kind != Kind::Uncompressed32 && rect.kind != Kind::Uncompressed16;
            data.bitmapDataStream = streams.back().get();
            data.bitmapLength = static_cast<UINT32>(stream.size());
            rectangles.push_back(data);
        }
        BITMAP_UPDATE update{};
        update.number = update.count = static_cast<UINT32>(rectangles.size());
        update.rectangles = rectangles.data();

        library.Fill(seed);
        engine.Fill(seed);
        SetClip(library, c.clipped);
        SetClip(engine, c.clipped);
        forwardedRectangles = 0;
        const BOOL libraryResult = library.LibraryHandler()(library.Context(), &update);
        const BOOL engineResult = ApplyBitmapUpdate(engine.Context(), &update, CountingLibraryHandler);
        SetClip(library, false);
        SetClip(engine, false);

        EXPECT_EQ(libraryResult, c.succeeds ? TRUE : FALSE);
        EXPECT_EQ(engineResult, libraryResult);
        EXPECT_EQ(forwardedRectangles, c.forwarded);
        EXPECT_EQ(engine.Invalid(), library.Invalid());
        const std::vector<BYTE> expected = library.Pixels();
        const std::vector<BYTE> actual = engine.Pixels();
        ASSERT_EQ(actual.size(), expected.size());
        std::size_t differing = 0;
        for (std::size_t i = 0; i < actual.size(); ++i)
            differing += actual[i] != expected[i];
        EXPECT_EQ(differing, 0U) << "bytes differ";
    }
}

} // namespace
} // namespace tsc::engine
