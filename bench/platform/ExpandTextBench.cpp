// ExpandText of a 200-character text in a process with 50 environment entries; the
// text holds several %NAME% references and & escapes.
#include "SystemInfo.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

extern char **environ;

namespace {

void SetUpFiftyEntries() {
    static char *empty[] = {nullptr};
    environ = empty; // start from nothing so the count is exactly 50
    for (int index = 0; index < 50; ++index)
        ::setenv(("TSC_BENCH_VARIABLE_" + std::to_string(index)).c_str(),
                 ("value number " + std::to_string(index)).c_str(), 1);
}

void ExpandTextOf200Characters(benchmark::State &state) {
    SetUpFiftyEntries();
    std::string text = "%tsc_bench_variable_3%\\profiles\\&41&42 %TSC_BENCH_VARIABLE_27%/farm&2Ex "
                       "%TSC_BENCH_VARIABLE_49%&E9&4a %UNKNOWN% tail &30&31&32 %TSC_BENCH_VARIABLE_0%";
    while (text.size() < 200)
        text += 'x';
    text.resize(200);
    for (auto _ : state)
        benchmark::DoNotOptimize(tsc::ExpandText(text));
    state.SetLabel("200 characters, 50 environment entries");
}

} // namespace

BENCHMARK(ExpandTextOf200Characters)->Repetitions(9)->ReportAggregatesOnly(true);
