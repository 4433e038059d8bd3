#pragma once

// Memory for the remote screen that the engine maps itself:
// - its pages can be handed back to the system while the screen is shown from
//   elsewhere, and come back, zeroed, on the next write;
// - it is a memory file, so that the session widget can lend it to a local X server
//   (MIT-SHM), which then reads the changed pixels straight from it instead of
//   having them written through the connection.

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
// Whether `memory` starts a block of AllocateFrameMemory.
[[nodiscard]] bool IsFrameMemory(const void *memory);

// The memory file behind a block of AllocateFrameMemory, for as long as the block
// lives; `id` names the block uniquely for the process's lifetime (descriptor
// numbers come back). fd -1 when the block is plain memory or not ours.
struct FrameMemoryFile {
    int fd = -1;
    std::uint64_t id = 0;
};
[[nodiscard]] FrameMemoryFile FileOfFrameMemory(const void *memory);

} // namespace tsc::engine
