#include "FrameMemory.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

namespace tsc::engine {

namespace {

// The page before the memory keeps the length of the whole mapping.
std::size_t PageSize() {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::uint8_t *MappingOf(void *memory) {
    return static_cast<std::uint8_t *>(memory) - PageSize();
}

std::size_t MappingLength(void *memory) {
    std::size_t length = 0;
    std::memcpy(&length, MappingOf(memory), sizeof length);
    return length;
}

} // namespace

std::uint8_t *AllocateFrameMemory(std::size_t bytes) {
    const std::size_t page = PageSize();
    if (bytes == 0 || bytes > SIZE_MAX - 2 * page) return nullptr;
    const std::size_t length = page + (bytes + page - 1) / page * page;
    void *mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    std::memcpy(mapping, &length, sizeof length);
    return static_cast<std::uint8_t *>(mapping) + page;
}

void FreeFrameMemory(void *memory) {
    if (memory) munmap(MappingOf(memory), MappingLength(memory));
}

void ReleaseFramePages(std::uint8_t *memory) {
    if (memory) madvise(memory, MappingLength(memory) - PageSize(), MADV_DONTNEED);
}

} // namespace tsc::engine
