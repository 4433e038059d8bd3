#include "ResidentPages.h"

#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <vector>

namespace tsc::engine {

namespace {

bool ReadHex(std::string_view text, std::uintptr_t &value) {
    if (text.empty()) return false;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return error == std::errc() && end == text.data() + text.size();
}

// The next blank-separated field of `line` from `at` on.
std::string_view NextField(std::string_view line, std::size_t &at) {
    while (at < line.size() && line[at] == ' ')
        ++at;
    const std::size_t begin = at;
    while (at < line.size() && line[at] != ' ')
        ++at;
    return line.substr(begin, at - begin);
}

// Whether VmFlags name a device ("io", "pf"), locked ("lo"), huge-page ("ht") or
// write-combined ("wr") mapping: those stay.
bool HasKeptFlag(std::string_view flags) {
    std::size_t at = 0;
    for (std::string_view field = NextField(flags, at); !field.empty(); field = NextField(flags, at))
        if (field == "io" || field == "pf" || field == "lo" || field == "ht" || field == "wr") return true;
    return false;
}

} // namespace

ReleasableMappingScanner::ReleasableMappingScanner(std::function<void(AddressRange)> release)
    : release_(std::move(release)) {}

void ReleasableMappingScanner::Feed(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    std::size_t at = 0;
    const std::string_view first = NextField(line, at);
    const std::size_t dash = first.find('-');
    AddressRange range;
    if (dash != std::string_view::npos && ReadHex(first.substr(0, dash), range.begin) &&
        ReadHex(first.substr(dash + 1), range.end)) {
        // A mapping's first line: range, permissions, offset, device, inode, path.
        const std::string_view permissions = NextField(line, at);
        for (int skipped = 0; skipped < 3; ++skipped)
            NextField(line, at);
        while (at < line.size() && line[at] == ' ')
            ++at;
        const std::string_view path = line.substr(at);
        current_ = range;
        clean_ = false;
        candidate_ = range.end > range.begin && permissions.size() == 4 && permissions[0] == 'r' &&
                     permissions[1] == '-' && path.starts_with('/') && !path.starts_with("/dev/") &&
                     !path.starts_with("/memfd:");
        return;
    }
    if (!candidate_) return;
    if (first == "Anonymous:") {
        // Pages the process wrote (or the loader relocated) are its own: keep them all.
        clean_ = NextField(line, at) == "0";
    } else if (first == "VmFlags:") {
        // The last line of a mapping.
        candidate_ = false;
        if (clean_ && !HasKeptFlag(line.substr(at))) release_(current_);
    }
}

namespace {

// Releases what the scanner finds in this process's smaps and `accept` agrees to.
ReleasedPages ReleaseFromSmaps(const std::function<bool(AddressRange)> &accept) {
    ReleasedPages released;
    std::FILE *smaps = std::fopen("/proc/self/smaps", "re");
    if (!smaps) return released;
    // A mapping is released as soon as its entry has been read, so the time between
    // reading it and releasing it stays short.
    ReleasableMappingScanner scanner([&released, &accept](AddressRange range) {
        if (!accept(range)) return;
        if (madvise(reinterpret_cast<void *>(range.begin), range.end - range.begin, MADV_DONTNEED) == 0)
            ++released.mappings;
    });
    char line[4096];
    bool partial = false; // the rest of a line longer than the buffer is no line of its own
    while (std::fgets(line, sizeof line, smaps)) {
        const std::string_view text(line);
        if (!partial) scanner.Feed(text);
        partial = !text.ends_with('\n');
    }
    released.scanned = !std::ferror(smaps);
    std::fclose(smaps);
    return released;
}

// The read-only loadable segments (code, constants) of the executable and of every
// loaded library, whole pages.
int CollectReadOnlySegments(dl_phdr_info *info, std::size_t, void *data) {
    auto &segments = *static_cast<std::vector<AddressRange> *>(data);
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD || (header.p_flags & PF_W) || header.p_memsz == 0) continue;
        const std::uintptr_t begin = info->dlpi_addr + header.p_vaddr;
        segments.push_back({begin & ~(page - 1), (begin + header.p_memsz + page - 1) & ~(page - 1)});
    }
    return 0;
}

int ReleaseLibraryPagesLocked(dl_phdr_info *, std::size_t, void *data) {
    // The loader's lock is held for the whole iteration and may be taken again by this
    // thread: the list of segments and the mappings stay as they are until this returns.
    std::vector<AddressRange> segments;
    dl_iterate_phdr(CollectReadOnlySegments, &segments);
    *static_cast<ReleasedPages *>(data) = ReleaseFromSmaps([&segments](AddressRange range) {
        return std::any_of(segments.begin(), segments.end(), [range](AddressRange segment) {
            return segment.begin <= range.begin && range.end <= segment.end;
        });
    });
    return 1; // once: this is no walk over the libraries
}

} // namespace

ReleasedPages ReleaseFileMappedPages() {
    return ReleaseFromSmaps([](AddressRange) { return true; });
}

ReleasedPages ReleaseLibraryPages() {
    ReleasedPages released;
    dl_iterate_phdr(ReleaseLibraryPagesLocked, &released);
    return released;
}

} // namespace tsc::engine
