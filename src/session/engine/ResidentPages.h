#pragma once

// Pages of files the process has mapped read-only (library code and constants, fonts,
// the font cache) stay mapped once touched: the start-up and the main window touch
// far more of the toolkit's libraries than a running session does, and those pages
// would count against the process for the whole session. ReleaseFileMappedPages
// unmaps them; what the session needs comes back from the page cache on first use
// (a minor fault, no disk read: the pages stay cached).
//
// Only mappings that cannot hold anything of the process's own are released: backed
// by a file (not a device), not writable, and with no private page yet (a library's
// relocated constants, or code a debugger patched, keep theirs). Unmapping such a page
// gives back the very bytes the file has, so nothing is lost whatever the page is.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace tsc::engine {

struct AddressRange {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};

// Reads /proc/<pid>/smaps text a line at a time and calls `release` for each mapping
// that may be released, at the entry's last line ("VmFlags:"), when its "Anonymous:"
// line showed no private page. An entry without either line is left alone.
class ReleasableMappingScanner {
  public:
    explicit ReleasableMappingScanner(std::function<void(AddressRange)> release);
    void Feed(std::string_view line);

  private:
    std::function<void(AddressRange)> release_;
    AddressRange current_;
    bool candidate_ = false; // a read-only file mapping
    bool clean_ = false;     // its entry said it has no private page
};

struct ReleasedPages {
    std::size_t mappings = 0; // how many mappings were released
    bool scanned = false;     // false when /proc/self/smaps could not be read
};

// Releases what ReleasableMappingScanner finds in this process. Call it where no
// thread loads or unloads a library (a mapping read from smaps must still be the same
// one when it is released). Takes a few milliseconds.
ReleasedPages ReleaseFileMappedPages();

// The same for the code and constants of the executable and its libraries alone
// (their read-only loadable segments; fonts and other files stay), while holding the
// dynamic loader's lock: no library is unloaded, so no mapping read from smaps is
// replaced before it is released, whatever other threads do. For a running session,
// which no longer needs what connecting touched.
ReleasedPages ReleaseLibraryPages();

} // namespace tsc::engine
