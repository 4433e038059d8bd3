// A stored older-format list file, converted and shown as the current format.
#include "ServerListText.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const tsc::farm::ListText text = tsc::farm::ConvertOlderFormatText(bytes);
    const tsc::farm::ServerList list = tsc::farm::BuildServerList(text.lines, tsc::farm::CurrentTag);
    // Every converted server carries the RDP+ port the conversion gives.
    for (const auto &row : list.rows)
        if (row.rdpPlusPort != "3391") std::abort();
    return 0;
}
