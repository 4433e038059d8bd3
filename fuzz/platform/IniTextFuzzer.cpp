// INI files come from anywhere; parsing must be bounded and writing must keep what
// was read.
#include "IniFormat.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tsc::detail;
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const auto sections = ParseIniText(bytes);
    if (!sections) return 0;
    for (const auto &section : *sections)
        for (const auto &entry : section.entries)
            (void)IniIntegerValue(entry.value, 0);
    const std::string written = FormatIniText(*sections);
    const auto again = ParseIniText(written);
    if (!again || FormatIniText(*again) != written) std::abort();
    return 0;
}
