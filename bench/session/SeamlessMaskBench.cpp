// The seamless cut-out: keeping the non-key region of the remote screen up to date
// over the damaged rectangles of one frame update. A full 1920 x 1080 update must
// stay within 2 ms, and a small update must cost what its area costs, whatever the
// size of the screen.

#include "SeamlessMask.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr std::uint32_t Key = 0xFFFF00FFu;

// A seamless desktop: the key colour with a few application windows on it, one of
// them round, with text-like detail inside.
struct Desktop {
    int width;
    int height;
    std::vector<std::uint32_t> pixels;

    Desktop(int w, int h) : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, Key) {
        Window(100, 80, 640, 420);
        Window(820, 200, 700, 500);
        Window(300, 600, 500, 300);
        Round(1600, 150, 120);
    }
    void Window(int left, int top, int w, int h) {
        for (int y = top; y < std::min(top + h, height); ++y)
            for (int x = left; x < std::min(left + w, width); ++x)
                pixels[static_cast<std::size_t>(y) * width + x] =
                    ((x / 7 + y / 13) % 5 == 0) ? 0xFF202020u : 0xFFF0F0F0u;
    }
    void Round(int cx, int cy, int r) {
        for (int y = cy - r; y <= cy + r; ++y)
            for (int x = cx - r; x <= cx + r; ++x)
                if (x >= 0 && y >= 0 && x < width && y < height &&
                    (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r)
                    pixels[static_cast<std::size_t>(y) * width + x] = 0xFF3060A0u;
    }
    tsc::RdpFrame Frame() const {
        return {reinterpret_cast<const std::uint8_t *>(pixels.data()), width, height, width * 4};
    }
};

void FullUpdate(benchmark::State &state) {
    const Desktop desktop(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    tsc::SeamlessMask mask(0xFF00FF);
    mask.Reset(desktop.Frame());
    const QRegion damage(0, 0, desktop.width, desktop.height);
    for (auto _ : state) {
        mask.Update(desktop.Frame(), damage);
        benchmark::DoNotOptimize(mask.Visible().rectCount());
    }
    state.SetItemsProcessed(state.iterations() * desktop.width * desktop.height);
}
BENCHMARK(FullUpdate)->Args({1920, 1080})->Args({3840, 2160})->Unit(benchmark::kMicrosecond);

// One damaged rectangle of the given side inside a window (a line of typed text,
// a clock's hand) on screens of two sizes.
void SmallUpdate(benchmark::State &state) {
    const Desktop desktop(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const int side = static_cast<int>(state.range(2));
    tsc::SeamlessMask mask(0xFF00FF);
    mask.Reset(desktop.Frame());
    const QRegion damage(200, 150, side, side);
    for (auto _ : state) {
        mask.Update(desktop.Frame(), damage);
        benchmark::DoNotOptimize(mask.Visible().rectCount());
    }
    state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(SmallUpdate)
    ->Args({1920, 1080, 64})
    ->Args({3840, 2160, 64})
    ->Args({1920, 1080, 256})
    ->Args({3840, 2160, 256})
    ->Unit(benchmark::kMicrosecond);

} // namespace
