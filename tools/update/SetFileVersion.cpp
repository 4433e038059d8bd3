// Rewrites the version of a copy of the client: the file and product version in the
// fixed-file-info block that the build embeds. A test uses it to publish a "newer"
// build of the same program.
//
//   tsc_set_file_version <executable> <major.minor.release.build>

#include "SystemInfo.h"
#include "UpdateNames.h"

#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3 || !tsc::update::IsPublishableVersion(argv[2])) {
        std::fprintf(stderr, "usage: %s <executable> <major.minor.release.build>\n", argv[0]);
        return 2;
    }
    const std::string file = argv[1];
    const auto offset = tsc::FixedFileInfoOffset(file);
    if (!offset) {
        std::fprintf(stderr, "%s: no version block (%s)\n", file.c_str(), tsc::FileVersionText(file).c_str());
        return 1;
    }
    unsigned long numbers[4] = {};
    if (std::sscanf(argv[2], "%lu.%lu.%lu.%lu", &numbers[0], &numbers[1], &numbers[2], &numbers[3]) != 4 ||
        numbers[0] > 0xFFFF || numbers[1] > 0xFFFF || numbers[2] > 0xFFFF || numbers[3] > 0xFFFF) {
        std::fprintf(stderr, "each number must be below 65536\n");
        return 2;
    }
    const unsigned long most = numbers[0] << 16 | numbers[1];
    const unsigned long least = numbers[2] << 16 | numbers[3];
    unsigned char words[16];
    for (int word = 0; word < 4; ++word) {
        const unsigned long value = word % 2 == 0 ? most : least;
        for (int byte = 0; byte < 4; ++byte)
            words[word * 4 + byte] = static_cast<unsigned char>(value >> (8 * byte));
    }
    std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
    stream.seekp(static_cast<std::streamoff>(*offset + 8));
    stream.write(reinterpret_cast<const char *>(words), sizeof words);
    stream.close();
    if (!stream || tsc::FileVersionText(file) != argv[2]) {
        std::fprintf(stderr, "%s: could not write the version\n", file.c_str());
        return 1;
    }
    return 0;
}
