#include "ResidentPages.h"

#include <sys/mman.h>

#include <charconv>
#include <cstdio>

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

ReleasedPages ReleaseFileMappedPages() {
    ReleasedPages released;
    std::FILE *smaps = std::fopen("/proc/self/smaps", "re");
    if (!smaps) return released;
    // A mapping is released as soon as its entry has been read, so the time between
    // reading it and releasing it stays short.
    ReleasableMappingScanner scanner([&released](AddressRange range) {
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

} // namespace tsc::engine
