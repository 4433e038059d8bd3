#include "SmartSizing.h"

#include <algorithm>
#include <cmath>

namespace tsc {

namespace {

// One axis: view pixel 0 is remote pixel 0 and the last view pixel the last remote
// pixel, rounded to the nearest pixel between them.
int ToFrameAxis(double position, int frame, int view) {
    if (view <= 1 || frame <= 1) return 0;
    const double clamped = std::clamp(position, 0.0, static_cast<double>(view - 1));
    const auto remote = static_cast<int>(std::floor(clamped * (frame - 1) / (view - 1) + 0.5));
    return std::clamp(remote, 0, frame - 1);
}

// Pixels [first, last] of the frame on one axis, widened by one view pixel each way
// for the smoothing, clamped to the view.
std::pair<int, int> ToViewAxis(int first, int last, int frame, int view) {
    const double scale = static_cast<double>(view) / frame;
    const int from = static_cast<int>(std::floor(first * scale)) - 1;
    const int to = static_cast<int>(std::ceil((last + 1) * scale)) + 1;
    return {std::max(from, 0), std::min(to, view) - 1};
}

} // namespace

QPoint FrameScale::ToFrame(QPointF viewPosition) const {
    if (IsIdentity()) return viewPosition.toPoint();
    return {ToFrameAxis(viewPosition.x(), frame_.width(), view_.width()),
            ToFrameAxis(viewPosition.y(), frame_.height(), view_.height())};
}

QRect FrameScale::ToView(const QRect &frameRect) const {
    if (IsIdentity()) return frameRect;
    const QRect inside = frameRect & QRect(QPoint(0, 0), frame_);
    if (inside.isEmpty()) return {};
    const auto [left, right] = ToViewAxis(inside.left(), inside.right(), frame_.width(), view_.width());
    const auto [top, bottom] = ToViewAxis(inside.top(), inside.bottom(), frame_.height(), view_.height());
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

QSize FitWithin(QSize desktop, QSize available) {
    if (desktop.isEmpty() || available.isEmpty()) return desktop;
    if (desktop.width() <= available.width() && desktop.height() <= available.height()) return desktop;
    return desktop.scaled(available, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

ScrollBars PlanScrollBars(QSize remote, QSize client, int extent) {
    ScrollBars bars;
    bars.horizontal = remote.width() > client.width();
    bars.vertical = remote.height() > client.height();
    bars.horizontal = bars.horizontal || (bars.vertical && remote.width() > client.width() - extent);
    bars.vertical = bars.vertical || (bars.horizontal && remote.height() > client.height() - extent);
    bars.visible = QSize(std::max(client.width() - (bars.vertical ? extent : 0), 0),
                         std::max(client.height() - (bars.horizontal ? extent : 0), 0));
    bars.maximum = QPoint(bars.horizontal ? remote.width() - bars.visible.width() : 0,
                          bars.vertical ? remote.height() - bars.visible.height() : 0);
    return bars;
}

} // namespace tsc
