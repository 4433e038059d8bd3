// ExpandText runs on command-line arguments and on values from profiles and server
// lists. A few variables, one of them referring to itself, give the references
// something to match.
#include "SystemInfo.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    ::setenv("TSC_A", "%TSC_A%", 1);
    ::setenv("TSC_B", "&41%TSC_A%", 1);
    ::setenv("temp", "/tmp", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const std::string result = tsc::ExpandText(text);
    // Each of at most 500 steps inserts at most one environment value.
    if (result.size() > text.size() + 500u * 10240u) std::abort();
    return 0;
}
