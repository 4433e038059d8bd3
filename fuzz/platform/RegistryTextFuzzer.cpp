// Hive files are edited by hand: any bytes must parse or be refused, and what parses
// must come back unchanged after one write and read.
#include "RegistryFormat.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tsc::detail;
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const auto hive = ParseRegistryText(bytes, "HKEY_CURRENT_USER");
    if (!hive) return 0;
    const std::string written = FormatRegistryText(*hive, "HKEY_CURRENT_USER");
    const auto again = ParseRegistryText(written, "HKEY_CURRENT_USER");
    if (!again || FormatRegistryText(*again, "HKEY_CURRENT_USER") != written) std::abort();
    return 0;
}
