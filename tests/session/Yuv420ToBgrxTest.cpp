// The engine's YUV 4:2:0 to BGRX conversion against the library's plain routine, and
// its place in the library's pixel routines after the process-wide setup.

#include "Yuv420ToBgrx.h"
#include "ProcessWide.h"

#include <freerdp/codec/color.h>
#include <freerdp/primitives.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

namespace tsc::engine {
namespace {

bool HasAvx2() {
    return __builtin_cpu_supports("avx2");
}

// Three planes and a destination, each exactly as large as its rows need (the
// sanitizer then sees any read or write past them), starting `offset` bytes into
// their allocation so that no row start is aligned by chance.
struct Picture {
    UINT32 width, height;
    std::array<UINT32, 3> steps;
    UINT32 dstStep;
    std::array<std::vector<BYTE>, 3> planes;
    std::vector<BYTE> dst;
    std::size_t offset;

    Picture(UINT32 width_, UINT32 height_, UINT32 pad, std::size_t offset_)
        : width(width_), height(height_), offset(offset_) {
        // The library's plain routine steps over whole pixel pairs: with an odd width its
        // luma and destination rows must have room for the pair's missing pixel.
        const UINT32 chromaWidth = (width + 1) / 2;
        steps = {chromaWidth * 2 + pad, chromaWidth + pad, chromaWidth + 2 * pad};
        dstStep = chromaWidth * 8 + pad * 4 + (pad % 4);
        const std::array<UINT32, 3> rows{height, (height + 1) / 2, (height + 1) / 2};
        const std::array<UINT32, 3> used{width, chromaWidth, chromaWidth};
        for (std::size_t i = 0; i < 3; ++i)
            planes[i].resize(offset + std::size_t{rows[i] - 1} * steps[i] + used[i]);
        dst.resize(offset + std::size_t{height - 1} * dstStep + std::size_t{width} * 4);
    }
    std::array<const BYTE *, 3> Sources() const {
        return {planes[0].data() + offset, planes[1].data() + offset, planes[2].data() + offset};
    }
    BYTE *Destination() { return dst.data() + offset; }
    BYTE &Sample(std::size_t plane, UINT32 x, UINT32 y) {
        return planes[plane][offset + y * steps[plane] + x];
    }
};

enum class Content { Random, Extremes };

void Fill(Picture &picture, Content content, std::mt19937 &random) {
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto &plane : picture.planes)
        for (BYTE &sample : plane)
            sample = static_cast<BYTE>(content == Content::Random ? byte(random) : (byte(random) & 1) * 255);
    // The destination's earlier bytes: the row padding must come through as it was, and
    // the fourth byte of each pixel must not.
    for (BYTE &b : picture.dst)
        b = static_cast<BYTE>(byte(random));
}

using Routine = pstatus_t (*)(const BYTE *const[3], const UINT32[3], BYTE *, UINT32, UINT32,
                              const prim_size_t *);

// Runs `routine` on a copy of the picture's destination and returns it.
std::vector<BYTE> Convert(Picture picture, Routine routine, UINT32 format) {
    const auto sources = picture.Sources();
    const prim_size_t roi{picture.width, picture.height};
    EXPECT_EQ(
        routine(sources.data(), picture.steps.data(), picture.Destination(), picture.dstStep, format, &roi),
        PRIMITIVES_SUCCESS);
    return picture.dst;
}

std::vector<BYTE> ConvertWithAvx2(Picture picture) {
    const auto sources = picture.Sources();
    Yuv420ToBgrxAvx2(sources.data(), picture.steps.data(), picture.Destination(), picture.dstStep,
                     picture.width, picture.height);
    return picture.dst;
}

// The library's result as the engine writes it: every pixel of the picture opaque
// (the library keeps the destination's fourth byte; the engine never reads it). The
// bytes between rows stay as they were.
std::vector<BYTE> Opaque(std::vector<BYTE> bytes, const Picture &picture) {
    for (UINT32 y = 0; y < picture.height; ++y)
        for (UINT32 x = 0; x < picture.width; ++x)
            bytes[picture.offset + std::size_t{y} * picture.dstStep + std::size_t{x} * 4 + 3] = 0xFF;
    return bytes;
}

std::size_t FirstDifference(const std::vector<BYTE> &a, const std::vector<BYTE> &b) {
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return i;
    return a.size();
}

TEST(Yuv420ToBgrx, SameBytesAsTheLibrarysPlainRoutine) {
    if (!HasAvx2()) GTEST_SKIP() << "the processor has no AVX2";
    const Routine generic = primitives_get_generic()->YUV420ToRGB_8u_P3AC4R;
    struct Case {
        UINT32 width, height, pad;
        std::size_t offset;
    };
    // Below, at and around the 32-pixel blocks; odd widths and heights leave a column
    // or row without its pair; pads make every stride differ from the width.
    const Case cases[] = {{1, 1, 0, 0},      {2, 2, 0, 1},      {3, 5, 1, 3},      {17, 9, 3, 2},
                          {31, 3, 0, 1},     {32, 2, 0, 0},     {33, 3, 5, 1},     {63, 7, 0, 3},
                          {64, 64, 0, 0},    {65, 33, 16, 1},   {95, 4, 1, 2},     {1, 100, 7, 1},
                          {100, 1, 0, 2},    {1023, 767, 0, 1}, {1024, 768, 0, 0}, {1024, 768, 64, 3},
                          {1920, 1080, 0, 0}};
    std::mt19937 random(20240611);
    for (const Case &c : cases)
        for (Content content : {Content::Random, Content::Extremes}) {
            Picture picture(c.width, c.height, c.pad, c.offset);
            Fill(picture, content, random);
            const std::vector<BYTE> expected =
                Opaque(Convert(picture, generic, PIXEL_FORMAT_BGRX32), picture);
            const std::vector<BYTE> ours = ConvertWithAvx2(picture);
            ASSERT_EQ(FirstDifference(ours, expected), expected.size())
                << c.width << " x " << c.height << " pad " << c.pad << " offset " << c.offset
                << (content == Content::Random ? " random" : " extremes");
        }
}

// Every pair of chroma samples, and each of Y 0 and 255 as well as values between,
// so every clip and every rounding of the three sums is met.
TEST(Yuv420ToBgrx, EveryChromaPairAndLumaExtremes) {
    if (!HasAvx2()) GTEST_SKIP() << "the processor has no AVX2";
    Picture picture(512, 512, 0, 0);
    for (UINT32 y = 0; y < 512; ++y)
        for (UINT32 x = 0; x < 512; ++x)
            picture.Sample(0, x, y) = static_cast<BYTE>((x & 1) ? ((y & 1) ? 255 : 0) : (x * 7 + y * 13));
    for (UINT32 y = 0; y < 256; ++y)
        for (UINT32 x = 0; x < 256; ++x) {
            picture.Sample(1, x, y) = static_cast<BYTE>(x);
            picture.Sample(2, x, y) = static_cast<BYTE>(y);
        }
    std::fill(picture.dst.begin(), picture.dst.end(), BYTE{0x5A});
    const std::vector<BYTE> expected = Opaque(
        Convert(picture, primitives_get_generic()->YUV420ToRGB_8u_P3AC4R, PIXEL_FORMAT_BGRA32), picture);
    EXPECT_EQ(FirstDifference(ConvertWithAvx2(picture), expected), expected.size());
}

// After the engine's process-wide setup the library's table converts to the surface
// formats with the engine's routine (the plain routine's colours, opaque) and to all
// others with the one it had (the plain routine's bytes; the library's own optimised
// routine included, which gives the same bytes).
TEST(Yuv420ToBgrx, InstalledInTheLibrarysTableForTheSurfaceFormatsOnly) {
    PrepareProcessForSessions();
    primitives_t *table = primitives_get();
    ASSERT_NE(table, nullptr);
    if (!HasAvx2()) {
        EXPECT_EQ(LibraryYuv420ToRgb(), nullptr);
        EXPECT_NE(table->YUV420ToRGB_8u_P3AC4R, &ConvertYuv420ToRgb);
        GTEST_SKIP() << "the processor has no AVX2";
    }
    EXPECT_EQ(table->YUV420ToRGB_8u_P3AC4R, &ConvertYuv420ToRgb);
    const Routine library = LibraryYuv420ToRgb();
    ASSERT_NE(library, nullptr);
    EXPECT_NE(library, &ConvertYuv420ToRgb);
    PrepareProcessForSessions();
    EXPECT_EQ(LibraryYuv420ToRgb(), library) << "installed twice: the engine's routine would call itself";

    const Routine generic = primitives_get_generic()->YUV420ToRGB_8u_P3AC4R;
    std::mt19937 random(7);
    Picture picture(67, 35, 2, 1);
    Fill(picture, Content::Random, random);
    for (UINT32 format : {PIXEL_FORMAT_BGRX32, PIXEL_FORMAT_BGRA32, PIXEL_FORMAT_RGBX32, PIXEL_FORMAT_RGBA32,
                          PIXEL_FORMAT_XRGB32, PIXEL_FORMAT_ABGR32}) {
        const std::vector<BYTE> expected = Convert(picture, generic, format);
        const bool engines = format == PIXEL_FORMAT_BGRX32 || format == PIXEL_FORMAT_BGRA32;
        const std::vector<BYTE> installed = engines ? Opaque(expected, picture) : expected;
        EXPECT_EQ(FirstDifference(Convert(picture, table->YUV420ToRGB_8u_P3AC4R, format), installed),
                  installed.size())
            << FreeRDPGetColorFormatName(format);
        EXPECT_EQ(FirstDifference(Convert(picture, library, format), expected), expected.size())
            << "the library's own " << FreeRDPGetColorFormatName(format);
    }
}

} // namespace
} // namespace tsc::engine
