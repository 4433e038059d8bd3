#include "FrameMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

namespace tsc::engine {

namespace {

std::size_t PageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

struct Block {
    std::size_t length = 0;
    int fd = -1; // -1: anonymous memory (no memory files on this system)
    std::uint64_t id = 0;
};

// Every block the engine has mapped, by address. Few: the screen buffer and the
// graphics pipeline's surfaces.
struct Blocks {
    std::mutex mutex;
    std::map<const void *, Block> byAddress;
    std::uint64_t lastId = 0;
};
Blocks &AllBlocks() {
    static Blocks blocks;
    return blocks;
}

enum class Forget { No, Yes };

// The block starting at `memory`, if the engine mapped it; Forget::Yes takes it off
// the list (it is being freed).
std::optional<Block> FindBlock(const void *memory, Forget forget = Forget::No) {
    if (!memory) return std::nullopt;
    Blocks &blocks = AllBlocks();
    std::lock_guard lock(blocks.mutex);
    const auto found = blocks.byAddress.find(memory);
    if (found == blocks.byAddress.end()) return std::nullopt;
    const Block block = found->second;
    if (forget == Forget::Yes) blocks.byAddress.erase(found);
    return block;
}

} // namespace

std::uint8_t *AllocateFrameMemory(std::size_t bytes) {
    const std::size_t page = PageSize();
    if (bytes == 0 || bytes > SIZE_MAX - 2 * page) return nullptr;
    const std::size_t length = (bytes + page - 1) / page * page;
    int fd = memfd_create("tsc-screen", MFD_CLOEXEC);
    void *memory = MAP_FAILED;
    if (fd >= 0 && ftruncate(fd, static_cast<off_t>(length)) == 0)
        memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        if (fd >= 0) close(fd);
        fd = -1;
        memory = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return nullptr;
    }
    Blocks &blocks = AllBlocks();
    std::lock_guard lock(blocks.mutex);
    blocks.byAddress[memory] = Block{length, fd, ++blocks.lastId};
    return static_cast<std::uint8_t *>(memory);
}

void FreeFrameMemory(void *memory) {
    const std::optional<Block> block = FindBlock(memory, Forget::Yes);
    if (!block) return;
    munmap(memory, block->length);
    if (block->fd >= 0) close(block->fd);
}

void ReleaseFramePages(std::uint8_t *memory) {
    const std::optional<Block> block = FindBlock(memory);
    if (!block) return;
    // A memory file keeps its pages whatever its mappings do: they are cut out of the
    // file itself, which then reads as zeros there.
    if (block->fd >= 0)
        fallocate(block->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                  static_cast<off_t>(block->length));
    else
        madvise(memory, block->length, MADV_DONTNEED);
}

bool IsFrameMemory(const void *memory) {
    return FindBlock(memory).has_value();
}

FrameMemoryFile FileOfFrameMemory(const void *memory) {
    const std::optional<Block> block = FindBlock(memory);
    if (!block || block->fd < 0) return {};
    return {block->fd, block->id};
}

} // namespace tsc::engine
