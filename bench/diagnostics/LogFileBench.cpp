// What one log line costs, next to the floor of the two positioned writes that
// every line needs (the line and the 12-byte header).
//
//   diagnostics_bench --benchmark_repetitions=10 --benchmark_report_aggregates_only=true
//
// A folded repetition makes no system call at all; check it with
//   strace -c -f diagnostics_bench --benchmark_filter=FoldedRepetition

#include "LogFile.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string BenchFile(const char *name) {
    const char *folder = std::getenv("TMPDIR");
    const auto path = std::filesystem::path(folder && *folder ? folder : "/tmp") / name;
    std::filesystem::remove(path);
    return path.string();
}

// Sixty characters, like a typical message; two of them so that none folds.
const std::string MessageA = "Connect to server terminal-07.example.org port 3389 [alpha]";
const std::string MessageB = "Connect to server terminal-07.example.org port 3389 [bravo]";

void TwoPositionedWrites(benchmark::State &state) {
    const auto path = BenchFile("tsc-bench-floor.log");
    const int file = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    const std::string line = "01-02-2011 10:11:12.123|Info|" + MessageA + "\r\n";
    const char header[] = "      1234\r\n";
    std::int64_t offset = 12;
    for (auto _ : state) {
        if (offset + static_cast<std::int64_t>(line.size()) >= 204'800) offset = 12;
        benchmark::DoNotOptimize(::pwrite(file, line.data(), line.size(), offset));
        offset += static_cast<std::int64_t>(line.size());
        benchmark::DoNotOptimize(::pwrite(file, header, 12, 0));
    }
    ::close(file);
    std::filesystem::remove(path);
}
BENCHMARK(TwoPositionedWrites);

void DistinctMessage(benchmark::State &state) {
    const auto path = BenchFile("tsc-bench-distinct.log");
    {
        tsc::LogFile log(path, 200);
        bool alternate = false;
        for (auto _ : state) {
            benchmark::DoNotOptimize(log.Info((alternate = !alternate) ? MessageA : MessageB));
        }
    }
    std::filesystem::remove(path);
}
BENCHMARK(DistinctMessage);

void FoldedRepetition(benchmark::State &state) {
    const auto path = BenchFile("tsc-bench-folded.log");
    {
        tsc::LogFile log(path, 200);
        for (auto _ : state)
            benchmark::DoNotOptimize(log.Info(MessageA));
    }
    std::filesystem::remove(path);
}
BENCHMARK(FoldedRepetition);

} // namespace

BENCHMARK_MAIN();
