// Feeds arbitrary bytes as the beginning of an existing log file, opens it as the
// client does and writes a few lines. Whatever the file held, the log must never
// write beyond its maximum size, must leave a well-formed header and must not
// shorten the file.

#include "LogFile.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const std::string &FuzzFile() {
    static const std::string path = [] {
        const char *folder = std::getenv("TMPDIR");
        return (std::filesystem::path(folder && *folder ? folder : "/tmp") /
                ("tsc-fuzz-" + std::to_string(::getpid()) + ".log"))
            .string();
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the size so that both the smallest circle and the
    // default for an invalid size are reached; the rest is the file's content.
    const std::int64_t kilobytes = data[0] % 2 == 0 ? 20 : 7;
    const std::string content(reinterpret_cast<const char *>(data + 1), size - 1);
    const std::string &path = FuzzFile();
    { std::ofstream(path, std::ios::binary | std::ios::trunc) << content; }

    std::int64_t maximum = 0;
    {
        tsc::LogFile log(path, kilobytes);
        if (!log.Active()) std::abort();
        maximum = log.MaximumSize();
        const std::string message(content.substr(0, 600));
        log.Info("Begin fuzz");
        log.Warning(message);
        log.Warning(message);
        log.Error(std::string(300, 'e'));
        log.Info("End fuzz");
    }

    const auto written = static_cast<std::int64_t>(std::filesystem::file_size(path));
    const auto before = static_cast<std::int64_t>(content.size());
    if (written < before) std::abort();                        // shortened
    if (written > std::max(before, maximum - 1)) std::abort(); // grew past the maximum
    std::ifstream in(path, std::ios::binary);
    char header[12] = {};
    in.read(header, sizeof header);
    const auto offset = tsc::LogFile::ParseHeader(std::string_view(header, 10));
    if (header[10] != '\r' || header[11] != '\n' || offset < 12 || offset >= maximum) std::abort();
    return 0;
}
