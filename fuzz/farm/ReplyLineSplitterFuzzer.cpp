// The reply's lines must not depend on how TCP cut the reply into chunks: the
// first byte chooses the cuts, the rest is the reply.
#include "ServerListText.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = static_cast<std::size_t>(data[0]) % 17 + 1;
    const std::string_view reply(reinterpret_cast<const char *>(data + 1), size - 1);
    tsc::farm::ReplyLineSplitter splitter;
    std::vector<std::string> chunked;
    for (std::size_t at = 0; at < reply.size(); at += step)
        for (auto &line : splitter.Feed(reply.substr(at, step)))
            chunked.push_back(std::move(line));
    if (auto tail = splitter.Finish()) chunked.push_back(std::move(*tail));
    if (chunked != tsc::farm::SplitTextLines(reply)) std::abort();
    (void)tsc::farm::BuildServerList(chunked, tsc::farm::CurrentTag);
    return 0;
}
