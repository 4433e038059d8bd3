// Feeds arbitrary bytes as an executable to the version reader and the section
// finder, which follow ELF section headers: every offset and count in them comes from
// the file. The reader must answer with a version or one of its error texts, a found
// section must lie inside the file, and nothing is read out of bounds.

#include "SystemInfo.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    static const int file = memfd_create("fuzz-executable", 0);
    if (file < 0) std::abort();
    if (ftruncate(file, 0) != 0) std::abort();
    if (size > 0 && pwrite(file, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(file);
    const std::string text = tsc::FileVersionText(path);
    if (text.empty()) std::abort();
    const auto numbers = tsc::FileVersionNumbers(path);
    if (text.front() == '.' && (numbers[0] | numbers[1] | numbers[2] | numbers[3]) != 0) std::abort();
    if (const auto section = tsc::FindElfSection(path, ".tsc_rdpengine");
        section && (section->offset > size || section->size > size - section->offset))
        std::abort();
    return 0;
}
