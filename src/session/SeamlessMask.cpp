#include "SeamlessMask.h"

#include <emmintrin.h>

#include <utility>
#include <vector>

namespace tsc {

namespace {

struct Run {
    int left;
    int right; // exclusive
    bool operator==(const Run &) const = default;
};

// The first x from `x` on whose pixel is (`isKey`) or is not (!`isKey`) the key, or
// `right`. Four pixels at a time: a full-screen update scans every pixel of the screen.
int SkipPixels(const std::uint32_t *row, int x, int right, std::uint32_t key, bool isKey) {
    const __m128i colourMask = _mm_set1_epi32(0x00FFFFFF);
    const __m128i keys = _mm_set1_epi32(static_cast<int>(key));
    for (; x + 4 <= right; x += 4) {
        const __m128i pixels =
            _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(row + x)), colourMask);
        const int equal = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(pixels, keys)));
        if (equal != (isKey ? 0xF : 0)) break;
    }
    while (x < right && ((row[x] & 0xFFFFFFu) == key) == isKey)
        ++x;
    return x;
}

void RowRuns(const std::uint32_t *row, int left, int right, std::uint32_t key, std::vector<Run> &runs) {
    runs.clear();
    int x = left;
    while (x < right) {
        x = SkipPixels(row, x, right, key, true);
        if (x == right) break;
        const int start = x;
        x = SkipPixels(row, x, right, key, false);
        runs.push_back({start, x});
    }
}

} // namespace

QRegion NonKeyRegion(const RdpFrame &frame, const QRect &rect, std::uint32_t key) {
    const QRect area = rect & QRect(0, 0, frame.width, frame.height);
    if (!frame.data || area.isEmpty()) return {};
    key &= 0xFFFFFFu;
    std::vector<QRect> rects;
    std::vector<Run> band;
    std::vector<Run> runs;
    int bandTop = area.top();
    const auto flush = [&](int bottom) {
        for (const Run &run : band)
            rects.emplace_back(run.left, bandTop, run.right - run.left, bottom - bandTop);
    };
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const auto *row = reinterpret_cast<const std::uint32_t *>(
            frame.data + static_cast<std::ptrdiff_t>(y) * frame.stride);
        RowRuns(row, area.left(), area.right() + 1, key, runs);
        if (y == area.top() || runs != band) {
            flush(y);
            band.swap(runs);
            bandTop = y;
        }
    }
    flush(area.bottom() + 1);
    QRegion region;
    if (!rects.empty()) region.setRects(rects.data(), static_cast<int>(rects.size()));
    return region;
}

void SeamlessMask::SetKey(std::uint32_t key, const RdpFrame &frame) {
    key &= 0xFFFFFFu;
    if (key == key_) return;
    key_ = key;
    Reset(frame);
}

void SeamlessMask::Update(const RdpFrame &frame, const QRegion &damage) {
    const QRegion inside = damage & QRect(0, 0, frame.width, frame.height);
    if (inside.isEmpty()) return;
    QRegion opaque;
    for (const QRect &rect : inside)
        opaque += NonKeyRegion(frame, rect, key_);
    visible_ = visible_.subtracted(inside).united(opaque);
}

void SeamlessMask::Reset(const RdpFrame &frame) {
    visible_ = NonKeyRegion(frame, QRect(0, 0, frame.width, frame.height), key_);
}

} // namespace tsc
