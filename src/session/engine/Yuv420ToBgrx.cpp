// Compiled with -mavx2 (CMakeLists.txt) and run only where the processor has it.
// Nothing here may come from a header that other files share inline code with (the
// standard library's templates): a copy compiled for AVX2 could be the one the
// linker keeps for the whole engine.

#include "Yuv420ToBgrx.h"

#include <immintrin.h>

#include <cstddef>

namespace tsc::engine {

namespace {

// The library's arithmetic, per pixel, with C = 256 Y, D = U - 128, E = V - 128:
//   R = clip((C + 403 E) >> 8), G = clip((C - 48 D - 120 E) >> 8), B = clip((C + 475 D) >> 8)
// with an arithmetic (flooring) shift. C is a multiple of 256, so each is
// Y + floor(chroma term / 256), which the vector code computes in 16-bit lanes: the
// green term fits 16 bits as it is; 403 E and 475 D do not, but E * 256 and D * 256
// do, and the high half of their 16 x 16-bit products is exactly floor(403 E / 256)
// and floor(475 D / 256). Unsigned saturation to bytes is the clip.

BYTE Clip(int value) {
    return static_cast<BYTE>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// One pixel as the library computes it (opaque), for the columns the vectors leave.
void Pixel(BYTE y, BYTE u, BYTE v, BYTE *dst) {
    const int c = 256 * y;
    const int d = u - 128;
    const int e = v - 128;
    dst[0] = Clip((c + 475 * d) >> 8);
    dst[1] = Clip((c - 48 * d - 120 * e) >> 8);
    dst[2] = Clip((c + 403 * e) >> 8);
    dst[3] = 0xFF;
}

// The chroma terms of 16 chroma samples (32 pixels of two rows), one 16-bit lane each.
struct ChromaTerms {
    __m256i red, green, blue;
};

ChromaTerms TermsOf(const BYTE *u, const BYTE *v) {
    const __m256i half = _mm256_set1_epi16(128);
    const __m256i d =
        _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(u))), half);
    const __m256i e =
        _mm256_sub_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(v))), half);
    ChromaTerms terms;
    terms.red = _mm256_mulhi_epi16(_mm256_slli_epi16(e, 8), _mm256_set1_epi16(403));
    terms.blue = _mm256_mulhi_epi16(_mm256_slli_epi16(d, 8), _mm256_set1_epi16(475));
    terms.green = _mm256_srai_epi16(_mm256_add_epi16(_mm256_mullo_epi16(d, _mm256_set1_epi16(-48)),
                                                     _mm256_mullo_epi16(e, _mm256_set1_epi16(-120))),
                                    8);
    return terms;
}

// Y plus the chroma term of each pixel's pair, clipped to bytes, in pixel order. The
// byte unpacks work within 128-bit halves: `low` holds pixels 0-7 and 16-23, `high`
// 8-15 and 24-31, and doubling the terms (samples 0-7 | 8-15) the same way lines each
// pixel up with its sample; the pack puts the pixels back in order.
__m256i Colour(__m256i low, __m256i high, __m256i term) {
    return _mm256_packus_epi16(_mm256_add_epi16(low, _mm256_unpacklo_epi16(term, term)),
                               _mm256_add_epi16(high, _mm256_unpackhi_epi16(term, term)));
}

// Eight pixels, opaque. The destination is never read: keeping its fourth byte (as the
// library's routine does) made every store wait for a load of a surface line that is
// rarely in the cache, and nothing downstream reads that byte of a BGRX surface.
void Store(BYTE *dst, __m256i bgr0) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst),
                        _mm256_or_si256(bgr0, _mm256_set1_epi32(static_cast<int>(0xFF000000u))));
}

// 32 pixels of one row.
void Row32(const BYTE *y, const ChromaTerms &terms, BYTE *dst) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i luma = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y));
    const __m256i low = _mm256_unpacklo_epi8(luma, zero);
    const __m256i high = _mm256_unpackhi_epi8(luma, zero);
    const __m256i red = Colour(low, high, terms.red);
    const __m256i green = Colour(low, high, terms.green);
    const __m256i blue = Colour(low, high, terms.blue);

    // Interleaved within halves again: pixels 0-3 | 16-19, 4-7 | 20-23, 8-11 | 24-27, 12-15 | 28-31.
    const __m256i blueGreenLow = _mm256_unpacklo_epi8(blue, green);
    const __m256i blueGreenHigh = _mm256_unpackhi_epi8(blue, green);
    const __m256i redLow = _mm256_unpacklo_epi8(red, zero);
    const __m256i redHigh = _mm256_unpackhi_epi8(red, zero);
    const __m256i p0 = _mm256_unpacklo_epi16(blueGreenLow, redLow);
    const __m256i p1 = _mm256_unpackhi_epi16(blueGreenLow, redLow);
    const __m256i p2 = _mm256_unpacklo_epi16(blueGreenHigh, redHigh);
    const __m256i p3 = _mm256_unpackhi_epi16(blueGreenHigh, redHigh);
    Store(dst, _mm256_permute2x128_si256(p0, p1, 0x20));
    Store(dst + 32, _mm256_permute2x128_si256(p2, p3, 0x20));
    Store(dst + 64, _mm256_permute2x128_si256(p0, p1, 0x31));
    Store(dst + 96, _mm256_permute2x128_si256(p2, p3, 0x31));
}

} // namespace

void Yuv420ToBgrxAvx2(const BYTE *const planes[3], const UINT32 steps[3], BYTE *dst, UINT32 dstStep,
                      UINT32 width, UINT32 height) {
    // Whole blocks of 32 columns, then the rest: where the row is at least 32 wide, one
    // more block ending at the last even column (recomputing some pixels gives the same
    // bytes), and any odd last column one pixel at a time.
    const UINT32 blocks = width & ~31u;
    const UINT32 lastBlock = width >= 32 ? (width - 32) & ~1u : width;
    const UINT32 scalarFrom = width >= 32 ? lastBlock + 32 : 0;
    for (UINT32 row = 0; row < height; row += 2) {
        const bool pair = row + 1 < height;
        const BYTE *y0 = planes[0] + std::size_t{row} * steps[0];
        const BYTE *y1 = y0 + steps[0];
        const BYTE *u = planes[1] + std::size_t{row / 2} * steps[1];
        const BYTE *v = planes[2] + std::size_t{row / 2} * steps[2];
        BYTE *d0 = dst + std::size_t{row} * dstStep;
        BYTE *d1 = d0 + dstStep;
        const auto block = [&](UINT32 x) {
            const ChromaTerms terms = TermsOf(u + x / 2, v + x / 2);
            Row32(y0 + x, terms, d0 + std::size_t{x} * 4);
            if (pair) Row32(y1 + x, terms, d1 + std::size_t{x} * 4);
        };
        for (UINT32 x = 0; x < blocks; x += 32)
            block(x);
        if (width >= 32 && lastBlock != blocks - 32) block(lastBlock);
        for (UINT32 x = scalarFrom; x < width; ++x) {
            Pixel(y0[x], u[x / 2], v[x / 2], d0 + std::size_t{x} * 4);
            if (pair) Pixel(y1[x], u[x / 2], v[x / 2], d1 + std::size_t{x} * 4);
        }
    }
}

} // namespace tsc::engine
