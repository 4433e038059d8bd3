#pragma once

// YUV 4:2:0 planes to 32-bit BGRX pixels with AVX2: the conversion behind every
// H.264 frame of the graphics pipeline, put into the library's pixel routines by
// ProcessWide.cpp. Only this file's source is compiled for AVX2, so nothing else in
// the engine depends on the processor having it.

#include <freerdp/primitives.h>

namespace tsc::engine {

// Writes `width` x `height` pixels at `dst` (rows `dstStep` bytes apart) from the Y,
// U and V planes, the chroma planes at half resolution both ways (an odd last row or
// column takes the chroma of its pair). The colours are byte for byte the library's
// plain YUV420ToRGB_8u_P3AC4R for PIXEL_FORMAT_BGRX32 and PIXEL_FORMAT_BGRA32: the
// same fixed-point BT.601 arithmetic, flooring and clamping. Unlike the library, each
// pixel's fourth byte is written as 0xFF (opaque) instead of being kept: the
// destination is never read. Surfaces are copied to the screen without blending, so
// nothing shows that byte. Bytes between rows are left alone. Call only when the
// processor has AVX2; the source and destination must not overlap.
void Yuv420ToBgrxAvx2(const BYTE *const planes[3], const UINT32 steps[3], BYTE *dst, UINT32 dstStep,
                      UINT32 width, UINT32 height);

} // namespace tsc::engine
