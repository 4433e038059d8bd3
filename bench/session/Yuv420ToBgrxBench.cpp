// Converting one decoded 1024 x 768 H.264 picture (YUV 4:2:0) to the surface's
// BGRX32 pixels: the library's plain routine, the library's optimised routine (what
// its table holds before the engine's setup) and the engine's AVX2 one.

#include "ProcessWide.h"
#include "Yuv420ToBgrx.h"

#include <freerdp/codec/color.h>
#include <freerdp/primitives.h>

#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <vector>

namespace {

constexpr UINT32 Width = 1024;
constexpr UINT32 Height = 768;

struct Frame {
    std::array<std::vector<BYTE>, 3> planes;
    std::array<const BYTE *, 3> sources{};
    std::array<UINT32, 3> steps{Width, Width / 2, Width / 2};
    std::vector<BYTE> dst = std::vector<BYTE>(std::size_t{Width} * Height * 4);
    prim_size_t roi{Width, Height};

    Frame() {
        std::mt19937 random(1);
        const std::array<std::size_t, 3> sizes{std::size_t{Width} * Height, Width * Height / 4,
                                               Width * Height / 4};
        for (std::size_t i = 0; i < 3; ++i) {
            planes[i].resize(sizes[i]);
            for (BYTE &b : planes[i])
                b = static_cast<BYTE>(random());
            sources[i] = planes[i].data();
        }
    }
};

void Run(benchmark::State &state, __YUV420ToRGB_8u_P3AC4R_t routine) {
    if (!routine) {
        state.SkipWithError("not available on this processor");
        return;
    }
    Frame frame;
    for (auto _ : state) {
        routine(frame.sources.data(), frame.steps.data(), frame.dst.data(), Width * 4, PIXEL_FORMAT_BGRX32,
                &frame.roi);
        benchmark::DoNotOptimize(frame.dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * Width * Height);
}

void Generic(benchmark::State &state) {
    Run(state, primitives_get_generic()->YUV420ToRGB_8u_P3AC4R);
}

void LibraryOptimised(benchmark::State &state) {
    tsc::engine::PrepareProcessForSessions();
    Run(state, tsc::engine::LibraryYuv420ToRgb());
}

void Engine(benchmark::State &state) {
    tsc::engine::PrepareProcessForSessions();
    Run(state, tsc::engine::LibraryYuv420ToRgb() ? primitives_get()->YUV420ToRGB_8u_P3AC4R : nullptr);
}

BENCHMARK(Generic)->Name("yuv420_to_bgrx_1024x768/library_generic")->Unit(benchmark::kMillisecond);
BENCHMARK(LibraryOptimised)->Name("yuv420_to_bgrx_1024x768/library_ssse3")->Unit(benchmark::kMillisecond);
BENCHMARK(Engine)->Name("yuv420_to_bgrx_1024x768/engine_avx2")->Unit(benchmark::kMillisecond);

} // namespace
