// A stored current-format list file, read and shown.
#include "ServerListText.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const tsc::farm::ListText text = tsc::farm::ReadCurrentFormatText(bytes);
    const tsc::farm::ServerList list = tsc::farm::BuildServerList(text.lines, tsc::farm::CurrentTag);
    (void)tsc::farm::RowToSelect(std::string("ts1"), list.rows);
    for (const auto &row : list.rows)
        (void)tsc::farm::LoadBalancingPort(row.loadBalancingPort);
    return 0;
}
