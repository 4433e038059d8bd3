// A stored current-format list file, read and shown.
#include "ServerListText.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char *>(data), size);
    const tsc::farm::ListText text = tsc::farm::ReadCurrentFormatText(bytes);
    const tsc::farm::ServerList list = tsc::farm::BuildServerList(text.lines, tsc::farm::CurrentTag);
    (void)tsc::farm::RowToSelect(std::string("ts1"), list.rows);
    // Whatever the file holds, what reaches the screen keeps to the field rules.
    using namespace tsc::farm;
    for (const auto &row : list.rows) {
        (void)LoadBalancingPort(row.loadBalancingPort);
        if (!IsHostText(row.address) || !IsPortText(row.rdpPort) || !IsNameText(row.name)) __builtin_trap();
    }
    if (list.preferred && (!IsHostText(list.preferred->host) || !IsNameText(list.preferred->domain)))
        __builtin_trap();
    return 0;
}
