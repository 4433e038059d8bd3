// Feeds arbitrary bytes to the update check's reading of a version reply: the header
// lines, the two-line body, the version key, and the versioned-copy name that a
// published version and signature become. Whatever a host sends, no line may hold a
// line break, and a name built from an accepted reply must stay one file name in the
// data folder that the start-up search reads back unchanged.

#include "UpdateNames.h"
#include "VersionFile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace tsc::update;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > MaximumVersionReply * 2) return 0;
    const std::string_view reply(reinterpret_cast<const char *>(data), size);
    const auto split = reply.find("\r\n\r\n");
    const std::string_view header = reply.substr(0, split);
    const std::string_view body =
        split == std::string_view::npos ? std::string_view() : reply.substr(split + 4);

    for (const std::string &line : SplitReplyLines(header)) {
        if (line.find_first_of("\r\n") != std::string::npos) std::abort();
        (void)DeclaresPlainText(line);
    }
    const auto lines = SplitReplyLines(body);
    const auto published = ParseVersionBody(body);
    if (published.has_value() != (lines.size() == 2)) std::abort();
    if (!published) return 0;

    const std::string key = VersionKey(published->version);
    if (key.size() >= published->version.size() && !key.empty()) std::abort();
    if (!IsPublishableVersion(published->version) || !IsPublishableSignature(published->signature)) return 0;
    if (key.empty()) std::abort(); // four numbers always have a key

    const std::string name = VersionedCopyName(published->signature, published->version);
    if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) std::abort();
    if (!MatchesVersionedCopyPattern(name) || !BelongsToVersionedCopy(name)) std::abort();
    if (SignatureFromCopyName(name) != published->signature) std::abort();
    return 0;
}
