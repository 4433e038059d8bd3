// The lookup of a text in a table's text and its expansion: placeholders and "%"
// escapes. The first 11 bytes are the prefix and identifier, the rest the text.

#include "LanguageFormat.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace tsc::language;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 11) return 0;
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    const LookupResult found = FindLine(input.substr(11), input.substr(0, 3), input.substr(3, 8), "default");
    const IdentityValues identity{
        "Terminal Server %cAppName%", "TerminalServer", "tsvx", "Support.zip", "4.0.66.1", "4_0_66_1"};
    bool prefixReset = false;
    (void)ExpandText(found.text, identity, prefixReset);
    (void)ExpandText(input, identity, prefixReset);
    return 0;
}
