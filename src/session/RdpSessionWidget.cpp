#include "RdpSessionWidget.h"

#include "X11WindowPainter.h"

#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QWheelEvent>

#include <cstdint>
#include <optional>

namespace tsc {

namespace {

std::optional<RdpMouseButton> RemoteButton(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton:
        return RdpMouseButton::Left;
    case Qt::RightButton:
        return RdpMouseButton::Right;
    case Qt::MiddleButton:
        return RdpMouseButton::Middle;
    case Qt::BackButton:
        return RdpMouseButton::Back;
    case Qt::ForwardButton:
        return RdpMouseButton::Forward;
    default:
        return std::nullopt;
    }
}

// The frame's fourth byte is no alpha (0 in most places, not kept): copied as it is, a
// toolkit surface with an alpha channel (Wayland's) would show the session see-through.
QImage OpaqueCopy(const RdpFrame &frame, const QRect &source) {
    QImage copy(source.size(), QImage::Format_RGB32);
    for (int row = 0; row < source.height(); ++row) {
        const auto *from = reinterpret_cast<const std::uint32_t *>(
                               frame.data + static_cast<std::ptrdiff_t>(source.y() + row) * frame.stride) +
                           source.x();
        auto *to = reinterpret_cast<std::uint32_t *>(copy.scanLine(row));
        for (int column = 0; column < source.width(); ++column)
            to[column] = from[column] | 0xFF000000u;
    }
    return copy;
}

// Ctrl+Alt+Shift+<key>, whatever the layout makes of the letter with Shift.
bool IsSessionKey(const QKeyEvent &event, Qt::Key key) {
    const Qt::KeyboardModifiers held =
        event.modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier);
    return event.key() == key && held == (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
}

QRect DeviceRect(const QRect &logical, qreal ratio) {
    return QRectF(QPointF(logical.topLeft()) * ratio, QSizeF(logical.size()) * ratio).toAlignedRect();
}

QRect LogicalRect(const QRect &device, qreal ratio) {
    return QRectF(QPointF(device.topLeft()) / ratio, QSizeF(device.size()) / ratio).toAlignedRect();
}

} // namespace

RdpSessionWidget::RdpSessionWidget(std::unique_ptr<RdpControl> control, QWidget *parent)
    : QWidget(parent), control_(std::move(control)), painter_(X11WindowPainter::Create()) {
    Q_ASSERT(control_);
    setAttribute(Qt::WA_OpaquePaintEvent);
    if (painter_) {
        setAttribute(Qt::WA_NativeWindow);
        setAttribute(Qt::WA_PaintOnScreen);
        setAttribute(Qt::WA_NoSystemBackground);
    }
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    control_->SetFrameHandler(this);
}

RdpSessionWidget::~RdpSessionWidget() {
    ReleaseKeyboardGrab();
    control_->SetFrameHandler(nullptr);
}

void RdpSessionWidget::OnFrameUpdated(const QRegion &damage) {
    const qreal ratio = devicePixelRatioF();
    if (const FrameScale scale = Scale(); !scale.IsIdentity()) {
        QRegion view;
        for (const QRect &rect : damage)
            view += LogicalRect(scale.ToView(rect), ratio);
        update(view);
    } else if (ratio == 1.0) {
        update(damage);
    } else {
        QRegion logical;
        for (const QRect &rect : damage)
            logical += LogicalRect(rect, ratio);
        update(logical);
    }
    emit frameUpdated(damage);
}

void RdpSessionWidget::OnFrameResized(const QSize &size) {
    frameSize_ = size;
    ChoosePaintRoute();
    update();
    emit frameResized(size);
}

QPaintEngine *RdpSessionWidget::paintEngine() const {
    return painter_ && testAttribute(Qt::WA_PaintOnScreen) ? nullptr : QWidget::paintEngine();
}

void RdpSessionWidget::SetSmartSizing(bool on) {
    if (smartSizing_ == on) return;
    smartSizing_ = on;
    ChoosePaintRoute();
    update();
}

FrameScale RdpSessionWidget::Scale() const {
    if (!smartSizing_) return {};
    return {frameSize_, (QSizeF(size()) * devicePixelRatioF()).toSize()};
}

// A scaled picture goes through the toolkit (its smooth scaling, into the window's
// backing store); 1:1 it goes to the X11 window straight from the frame.
void RdpSessionWidget::ChoosePaintRoute() {
    if (!painter_) return;
    const bool onScreen = !Scaled();
    if (testAttribute(Qt::WA_PaintOnScreen) == onScreen) return;
    setAttribute(Qt::WA_PaintOnScreen, onScreen);
    emit paintRouteChanged(onScreen);
    update();
}

void RdpSessionWidget::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    ChoosePaintRoute();
    if (Scaled()) update(); // every pixel moves
}

// Paints only what the toolkit asks for, straight from the engine's frame buffer.
void RdpSessionWidget::paintEvent(QPaintEvent *event) {
    if (Scaled()) {
        PaintScaled(event);
        return;
    }
    // grab() and render() redirect the painting to an image: the toolkit's way then.
    if (painter_ && testAttribute(Qt::WA_PaintOnScreen) && !redirected(nullptr)) {
        if (!painter_->CanDraw(*this)) {
            // A window of another depth, or scaled by the toolkit: let the toolkit paint it.
            painter_.reset();
            setAttribute(Qt::WA_PaintOnScreen, false);
            update();
            return;
        }
        std::lock_guard lock(control_->FrameLock());
        const RdpFrame frame = control_->Frame();
        const QRegion inside =
            frame.data ? event->region() & QRect(0, 0, frame.width, frame.height) : QRegion();
        painter_->PutImage(winId(), frame.data, frame.width, frame.height, frame.stride, inside,
                           {frame.memoryFd, frame.memoryId});
        painter_->Fill(winId(), event->region() - inside, 0x000000);
        painter_->Flush();
        return;
    }
    QPainter painter(this);
    const qreal ratio = devicePixelRatioF();
    std::lock_guard lock(control_->FrameLock());
    const RdpFrame frame = control_->Frame();
    QRegion outside = event->region();
    if (frame.data) {
        // The frame is in device pixels; the widget counts in the toolkit's units.
        const QRect frameArea(0, 0, frame.width, frame.height);
        const QRegion inside = event->region() & LogicalRect(frameArea, ratio);
        for (const QRect &rect : inside) {
            const QRect source = DeviceRect(rect, ratio) & frameArea;
            if (source.isEmpty()) continue;
            QImage pixels = OpaqueCopy(frame, source);
            pixels.setDevicePixelRatio(ratio);
            painter.drawImage(QPointF(source.topLeft()) / ratio, pixels);
        }
        outside -= inside;
    }
    for (const QRect &rect : outside)
        painter.fillRect(rect, Qt::black);
}

// The whole frame stretched over the widget, smoothly, clipped to what is asked for.
void RdpSessionWidget::PaintScaled(QPaintEvent *event) {
    QPainter painter(this);
    std::lock_guard lock(control_->FrameLock());
    const RdpFrame frame = control_->Frame();
    if (!frame.data) {
        for (const QRect &rect : event->region())
            painter.fillRect(rect, Qt::black);
        return;
    }
    // The engine's pixels in place, no copy. Their fourth byte (no alpha) only reaches the
    // window's backing store, which an X11 window of the root's depth ignores.
    const QImage pixels(frame.data, frame.width, frame.height, frame.stride, QImage::Format_RGB32);
    painter.setClipRegion(event->region());
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(rect()), pixels);
}

void RdpSessionWidget::keyPressEvent(QKeyEvent *event) {
    if (swallowedKey_ != 0 && event->nativeScanCode() == swallowedKey_) return; // the shortcut held down
    if (smartSizingKeyEnabled_ && IsSessionKey(*event, Qt::Key_S)) {
        swallowedKey_ = event->nativeScanCode();
        emit smartSizingKeyPressed();
        return;
    }
    if (pasteFilesKeyEnabled_ && IsSessionKey(*event, Qt::Key_F)) {
        swallowedKey_ = event->nativeScanCode();
        emit pasteFilesKeyPressed();
        return;
    }
    control_->SendKey(event->nativeScanCode(), true);
}

void RdpSessionWidget::keyReleaseEvent(QKeyEvent *event) {
    if (swallowedKey_ != 0 && event->nativeScanCode() == swallowedKey_) {
        if (!event->isAutoRepeat()) swallowedKey_ = 0;
        return;
    }
    // The server repeats a held key itself; only the final release counts.
    if (event->isAutoRepeat()) return;
    control_->SendKey(event->nativeScanCode(), false);
}

QPoint RdpSessionWidget::FramePosition(const QPointF &position) const {
    if (const FrameScale scale = Scale(); !scale.IsIdentity())
        return scale.ToFrame(position * devicePixelRatioF());
    return (position * devicePixelRatioF()).toPoint();
}

void RdpSessionWidget::mouseMoveEvent(QMouseEvent *event) {
    const QPoint position = FramePosition(event->position());
    control_->SendMouseMove(position.x(), position.y());
}

void RdpSessionWidget::SendButton(QMouseEvent *event, bool down) {
    if (const auto button = RemoteButton(event->button())) {
        const QPoint position = FramePosition(event->position());
        control_->SendMouseButton(*button, down, position.x(), position.y());
    }
}

void RdpSessionWidget::mousePressEvent(QMouseEvent *event) {
    SendButton(event, true);
}

void RdpSessionWidget::mouseReleaseEvent(QMouseEvent *event) {
    SendButton(event, false);
}

void RdpSessionWidget::mouseDoubleClickEvent(QMouseEvent *event) {
    SendButton(event, true); // the server recognises the double click itself
}

void RdpSessionWidget::wheelEvent(QWheelEvent *event) {
    const QPoint position = FramePosition(event->position());
    const QPoint delta = event->angleDelta();
    if (delta.y() != 0) control_->SendWheel(delta.y(), false, position.x(), position.y());
    if (delta.x() != 0) control_->SendWheel(delta.x(), true, position.x(), position.y());
    event->accept();
}

void RdpSessionWidget::focusInEvent(QFocusEvent *event) {
    QWidget::focusInEvent(event);
    control_->SetFocus(true);
    GrabKeyboardIfWanted();
}

void RdpSessionWidget::focusOutEvent(QFocusEvent *event) {
    QWidget::focusOutEvent(event);
    ReleaseKeyboardGrab(); // the navigation bar or a local dialog has the keyboard now
    swallowedKey_ = 0;
    control_->SetFocus(false);
}

void RdpSessionWidget::SetKeyboardGrabWanted(bool wanted) {
    keyboardGrabWanted_ = wanted;
    if (wanted)
        GrabKeyboardIfWanted();
    else
        ReleaseKeyboardGrab();
}

void RdpSessionWidget::GrabKeyboardIfWanted() {
    if (!keyboardGrabWanted_ || keyboardGrabbed_ || !hasFocus() || !isActiveWindow()) return;
    grabKeyboard();
    keyboardGrabbed_ = true;
}

void RdpSessionWidget::ReleaseKeyboardGrab() {
    if (!keyboardGrabbed_) return;
    releaseKeyboard();
    keyboardGrabbed_ = false;
}

// Tab and Shift+Tab belong to the remote desktop.
bool RdpSessionWidget::focusNextPrevChild(bool /*next*/) {
    return false;
}

} // namespace tsc
