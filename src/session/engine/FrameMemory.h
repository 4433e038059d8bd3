#pragma once

// Memory for the remote screen that the engine maps itself, so that its pages can be
// handed back to the system while the screen is shown from elsewhere (the graphics
// pipeline's output surface) and come back, zeroed, on the next write.

#include <cstddef>
#include <cstdint>

namespace tsc::engine {

// Page-aligned, zeroed memory of at least `bytes`; null when the system has none.
[[nodiscard]] std::uint8_t *AllocateFrameMemory(std::size_t bytes);
// Frees memory from AllocateFrameMemory; null is ignored. Has the signature the
// protocol library's drawing code takes for a buffer's free function.
void FreeFrameMemory(void *memory);
// Gives the pages back; the memory stays valid and reads as zeros until written.
void ReleaseFramePages(std::uint8_t *memory);

} // namespace tsc::engine
