#pragma once

// The visible part of a seamless session window: every pixel of the remote screen
// that is not the key colour. The region is kept up to date over the damaged
// rectangles of each frame update only, so its cost follows the damaged area and
// not the size of the screen. The window applies it as its shape mask.

#include "RdpControl.h"

#include <QRegion>

#include <cstdint>

namespace tsc {

// The pixels of `rect` (clipped to the frame) that differ from `key` (0xRRGGBB), as
// rectangles in y-x banded order; rows with the same runs share one rectangle.
[[nodiscard]] QRegion NonKeyRegion(const RdpFrame &frame, const QRect &rect, std::uint32_t key);

class SeamlessMask {
  public:
    explicit SeamlessMask(std::uint32_t key = 0xFF00FF) : key_(key & 0xFFFFFFu) {}

    [[nodiscard]] std::uint32_t Key() const { return key_; }
    // A new key colour makes the whole frame count again.
    void SetKey(std::uint32_t key, const RdpFrame &frame);
    // Recomputes the region over `damage`; call with the frame lock held.
    void Update(const RdpFrame &frame, const QRegion &damage);
    // Recomputes everything, e.g. after the frame changed its size.
    void Reset(const RdpFrame &frame);
    [[nodiscard]] const QRegion &Visible() const { return visible_; }

  private:
    std::uint32_t key_;
    QRegion visible_;
};

} // namespace tsc
