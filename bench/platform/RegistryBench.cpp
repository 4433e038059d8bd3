// A hive of many keys: parsing it costs time in proportion to its size, and reads
// of an unchanged hive file parse it once. 134,000 keys froze start-up before.
#include "Registry.h"
#include "RegistryFormat.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// Short key names, so that 134,000 keys stay below the 4 MB a hive may have.
std::string HiveText(std::int64_t keys) {
    std::string text = "REGEDIT4\n";
    for (std::int64_t key = 0; key < keys; ++key)
        text += "[HKEY_CURRENT_USER\\K" + std::to_string(key) + "]\n";
    text += "[HKEY_CURRENT_USER\\SOFTWARE\\TerminalServer]\n\"x\"=\"1\"\n";
    return text;
}

void ParseHive(benchmark::State &state) {
    const std::string text = HiveText(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(tsc::detail::ParseRegistryText(text, "HKEY_CURRENT_USER"));
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(text.size()) * state.iterations());
}
BENCHMARK(ParseHive)->RangeMultiplier(4)->Range(2000, 134000)->Complexity()->Unit(benchmark::kMillisecond);

// One read of a value from an unchanged hive file of 134,000 keys.
void ReadFromLargeHive(benchmark::State &state) {
    const std::string folder = std::filesystem::temp_directory_path() / "tsc-registry-bench";
    std::filesystem::create_directories(folder + "/TerminalServerClient");
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    ::setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    std::ofstream(tsc::Registry::HiveFile(tsc::Hive::CurrentUser)) << HiveText(134000);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            tsc::Registry::ReadString(tsc::Hive::CurrentUser, "SOFTWARE\\TerminalServer", "x"));
    std::filesystem::remove_all(folder);
}
BENCHMARK(ReadFromLargeHive)->Unit(benchmark::kMicrosecond);

} // namespace
