// The language file reader on any bytes, taken both as a file and as a shared block
// another process wrote.

#include "LanguageFormat.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace tsc::language;

namespace {

void Use(std::span<const std::uint8_t> table) {
    const std::string_view text = TableText(table);
    (void)FindLine(text, "004", "00000201", "Connect");
    (void)FirstImage(table);
    (void)SecondImage(table);
    (void)TableFont(table);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    Header header;
    if (CheckFileHeader(bytes, size, header) == Verdict::Accepted) {
        std::vector<std::uint8_t> table(TableSize(header.textLength), 0);
        (void)UnpackFile(bytes, header, table);
        Use(table); // also when refused: the accessors must stay within the table
    }
    (void)CheckTable(bytes);
    Use(bytes);
    return 0;
}
