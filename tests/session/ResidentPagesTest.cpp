#include "ResidentPages.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tsc::engine {
namespace {

std::string Entry(const std::string &header, int anonymousKb, const std::string &flags = "rd mr mw me") {
    return header + "\nSize:                 64 kB\nRss:                  64 kB\nAnonymous:      " +
           std::to_string(anonymousKb) + " kB\nLocked:                0 kB\nVmFlags: " + flags + "\n";
}

std::vector<std::uintptr_t> ReleasedBegins(const std::string &smaps) {
    std::vector<std::uintptr_t> begins;
    ReleasableMappingScanner scanner([&begins](AddressRange range) {
        EXPECT_LT(range.begin, range.end);
        begins.push_back(range.begin);
    });
    std::istringstream lines(smaps);
    for (std::string line; std::getline(lines, line);)
        scanner.Feed(line + "\n");
    return begins;
}

TEST(ResidentPages, ReleasesOnlyReadOnlyFileMappingsWithoutPrivatePages) {
    const std::string smaps =
        Entry("1000-2000 r-xp 00000000 08:01 11 /usr/lib/libcode.so", 0) +             // released
        Entry("2000-3000 r--p 00010000 08:01 11 /usr/lib/libcode.so", 4) +             // relocated: kept
        Entry("3000-4000 rw-p 00011000 08:01 11 /usr/lib/libcode.so", 0) +             // writable: kept
        Entry("4000-5000 r--s 00000000 08:01 12 /var/cache/fontconfig/x.cache-8", 0) + // released
        Entry("5000-6000 rw-p 00000000 00:00 0                  [heap]", 0) +
        Entry("6000-7000 r--p 00000000 00:00 0 ", 0) +                                // no file: kept
        Entry("7000-8000 r--s 00000000 00:06 13 /dev/dri/card0", 0) +                 // device: kept
        Entry("8000-9000 r--s 00000000 00:01 14 /memfd:screen (deleted)", 0) +        // shared memory: kept
        Entry("9000-a000 r-xp 00000000 08:01 15 /opt/Some App/lib x.so", 0) +         // released
        Entry("a000-b000 r-xp 00000000 08:01 16 /usr/lib/libio.so", 0, "rd ex io") +  // kept
        Entry("b000-c000 r-xp 00000000 08:01 17 /usr/lib/liblocked.so", 0, "rd lo") + // kept
        Entry("c000-d000 ---p 00000000 08:01 17 /usr/lib/libguard.so", 0) +           // kept
        // An entry cut before its "Anonymous:" line says nothing about private pages.
        "d000-e000 r-xp 00000000 08:01 18 /usr/lib/libcut.so\nVmFlags: rd ex\n" + "not a line of smaps\n" +
        Entry("e000-f000 r-xp 00000000 08:01 19 /usr/lib/liblast.so", 0);
    EXPECT_EQ(ReleasedBegins(smaps), (std::vector<std::uintptr_t>{0x1000, 0x4000, 0x9000, 0xe000}));
}

constexpr std::size_t kTableSize = 64 * 4096;
constexpr std::array<unsigned char, kTableSize> MakeTable() {
    std::array<unsigned char, kTableSize> table{};
    for (std::size_t i = 0; i < kTableSize; ++i)
        table[i] = static_cast<unsigned char>(i * 7 + 3);
    return table;
}
// Constants of this test program: part of its read-only loadable segment.
alignas(4096) constexpr std::array<unsigned char, kTableSize> kTable = MakeTable();

// The Rss of the mapping that holds `address`, from this process's smaps.
long ResidentKbAround(const void *address) {
    const auto at = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        const std::size_t dash = line.find('-');
        if (dash < line.find(' ') && line.find(':') > line.find(' ')) {
            const std::uintptr_t begin = std::stoull(line.substr(0, dash), nullptr, 16);
            const std::uintptr_t end = std::stoull(line.substr(dash + 1), nullptr, 16);
            inside = begin <= at && at < end;
        } else if (inside && line.starts_with("Rss:")) {
            return std::atol(line.c_str() + 4);
        }
    }
    return -1;
}

// The Rss of the mapping that starts at `begin`, from this process's smaps.
long ResidentKb(const void *begin) {
    std::ifstream smaps("/proc/self/smaps");
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "%lx-", reinterpret_cast<unsigned long>(begin));
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        if (line.find('-') < line.find(' ') && line.find(':') > line.find(' '))
            inside = line.starts_with(prefix);
        else if (inside && line.starts_with("Rss:"))
            return std::atol(line.c_str() + 4);
    }
    return -1;
}

TEST(ResidentPages, GivesBackFilePagesAndKeepsWhatTheProcessWrote) {
    constexpr std::size_t kSize = 16 * 4096;
    char path[] = "/tmp/tsc-resident-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    std::vector<unsigned char> content(kSize);
    for (std::size_t i = 0; i < kSize; ++i)
        content[i] = static_cast<unsigned char>(i * 7 + 3);
    ASSERT_EQ(write(fd, content.data(), kSize), static_cast<ssize_t>(kSize));

    // Like library code: read-only, read through.
    auto *code = static_cast<unsigned char *>(mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE, fd, 0));
    // Like a library's relocated constants: written while writable, then read-only.
    auto *relocated =
        static_cast<unsigned char *>(mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0));
    ASSERT_NE(code, MAP_FAILED);
    ASSERT_NE(relocated, MAP_FAILED);
    unsigned sum = 0;
    for (std::size_t i = 0; i < kSize; i += 512)
        sum += code[i];
    for (std::size_t i = 0; i < kSize; i += 8192)
        relocated[i] = 0xEE; // every other page
    ASSERT_EQ(mprotect(relocated, kSize, PROT_READ), 0);
    EXPECT_GT(sum, 0u);
    EXPECT_EQ(ResidentKb(code), static_cast<long>(kSize / 1024));

    const ReleasedPages released = ReleaseFileMappedPages();
    EXPECT_TRUE(released.scanned);
    EXPECT_GE(released.mappings, 1u);
    EXPECT_EQ(ResidentKb(code), 0);
    EXPECT_EQ(std::memcmp(code, content.data(), kSize), 0); // read again from the file
    for (std::size_t i = 0; i < kSize; ++i)
        ASSERT_EQ(relocated[i], i % 8192 == 0 ? 0xEE : content[i]) << "byte " << i;

    munmap(code, kSize);
    munmap(relocated, kSize);
    close(fd);
}

TEST(ResidentPages, ReleasesLibraryCodeAndConstantsButNoOtherFile) {
    constexpr std::size_t kSize = 16 * 4096;
    char path[] = "/tmp/tsc-resident-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    const std::vector<unsigned char> content(kSize, 0x5A);
    ASSERT_EQ(write(fd, content.data(), kSize), static_cast<ssize_t>(kSize));
    auto *file = static_cast<unsigned char *>(mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE, fd, 0));
    ASSERT_NE(file, MAP_FAILED);

    unsigned sum = 0;
    for (std::size_t i = 0; i < kSize; i += 4096)
        sum += file[i];
    const volatile unsigned char *table = kTable.data(); // read the pages, not constants folded in
    for (std::size_t i = 0; i < kTableSize; i += 4096)
        sum += table[i];
    EXPECT_GT(sum, 0u);
    const long tableBefore = ResidentKbAround(kTable.data());
    ASSERT_GE(tableBefore, static_cast<long>(kTableSize / 1024));

    const ReleasedPages released = ReleaseLibraryPages();
    EXPECT_TRUE(released.scanned);
    EXPECT_GE(released.mappings, 1u);
    EXPECT_LE(ResidentKbAround(kTable.data()), tableBefore - static_cast<long>(kTableSize / 1024 / 2));
    EXPECT_EQ(ResidentKb(file), static_cast<long>(kSize / 1024)); // a file of its own: stays
    for (std::size_t i = 0; i < kTableSize; ++i)
        ASSERT_EQ(table[i], static_cast<unsigned char>(i * 7 + 3)) << "byte " << i;

    munmap(file, kSize);
    close(fd);
}

} // namespace
} // namespace tsc::engine
