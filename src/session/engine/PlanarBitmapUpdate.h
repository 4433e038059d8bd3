#pragma once

// Bitmap updates (the slow-path and fast-path bitmap rectangles) with the planar
// rectangles at 32 bits decoded straight into the screen buffer. The drawing
// library's own handler decodes each rectangle into a bitmap of its own, wraps it,
// copies it onto the screen and frees it again; for a session that receives the
// whole screen as lossless planar rectangles that copy and the allocations cost a
// tenth of the engine thread. Run-length red, green and blue planes (what servers
// send) are decoded by the engine itself, row by row in one pass over the screen;
// the codec's own decoder writes each plane a byte at a time four bytes apart, and
// took a quarter of a lossless session's processor time.

#include <freerdp/freerdp.h>
#include <freerdp/update.h>

namespace tsc::engine {

// Applies `update` to the context's screen as the library's handler `library`
// would, leaving the screen buffer byte for byte as it would and invalidating the
// same rectangles on the screen's device context (what EndPaint collects as
// damage). A compressed 32-bit rectangle (planar) whose destination lies wholly on
// the screen, with no clipping region set, is decoded straight into the screen;
// every other rectangle goes to `library`, in order, consecutive ones together.
// Stops at the first rectangle that fails, as the library does.
BOOL ApplyBitmapUpdate(rdpContext *context, const BITMAP_UPDATE *update, pBitmapUpdate library);

} // namespace tsc::engine
