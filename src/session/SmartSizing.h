#pragma once

// Smart sizing: a windowed session whose remote screen is stretched over the
// window's client area, whatever their sizes, as the common client does for a
// profile's "smart sizing:i:1". The picture fills the area (width and height
// scale apart, so a window of another shape than the desktop shows it distorted,
// as there); where the two sizes are equal nothing is scaled and the widget paints
// 1:1 as ever. Pure geometry here, in the frame's pixels and the view's device
// pixels; the session widget paints and maps input with it.

#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QSize>

namespace tsc {

class FrameScale {
  public:
    FrameScale() = default;
    // `frame`: the remote screen; `view`: the area showing it, in device pixels.
    FrameScale(QSize frame, QSize view) : frame_(frame), view_(view) {}

    // Nothing to scale: equal sizes, or nothing to show yet.
    [[nodiscard]] bool IsIdentity() const { return frame_ == view_ || frame_.isEmpty() || view_.isEmpty(); }

    // The remote pixel under a view position (device pixels). The view's edge pixels
    // reach the remote screen's edge pixels, so a button in a remote corner stays
    // clickable however small the window; positions outside the view are held at
    // its edge.
    [[nodiscard]] QPoint ToFrame(QPointF viewPosition) const;

    // The view pixels a change of `frameRect` can alter (a smoothly scaled pixel
    // mixes its neighbours), inside the view.
    [[nodiscard]] QRect ToView(const QRect &frameRect) const;

  private:
    QSize frame_;
    QSize view_;
};

// The client size of a smart-sized window at its start: the desktop where it fits
// into `available`, else the largest size of the desktop's shape that does (at
// least one pixel each way).
[[nodiscard]] QSize FitWithin(QSize desktop, QSize available);

// Without smart sizing a windowed session larger than the window shows scroll bars:
// `horizontal` and `vertical` of `extent` pixels, the session's part that stays in
// view, and how far each bar scrolls (0 without it). A bar takes room from the
// other direction, so one can bring the other.
struct ScrollBars {
    bool horizontal = false;
    bool vertical = false;
    QSize visible;
    QPoint maximum;
};
[[nodiscard]] ScrollBars PlanScrollBars(QSize remote, QSize client, int extent);

} // namespace tsc
