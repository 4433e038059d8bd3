#include "RdpSessionWidget.h"

#include "X11WindowPainter.h"

#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWheelEvent>

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
    control_->SetFrameHandler(nullptr);
}

void RdpSessionWidget::OnFrameUpdated(const QRegion &damage) {
    update(damage);
    emit frameUpdated(damage);
}

void RdpSessionWidget::OnFrameResized(const QSize &size) {
    frameSize_ = size;
    update();
    emit frameResized(size);
}

QPaintEngine *RdpSessionWidget::paintEngine() const {
    return painter_ ? nullptr : QWidget::paintEngine();
}

// Paints only what the toolkit asks for, straight from the engine's frame buffer.
void RdpSessionWidget::paintEvent(QPaintEvent *event) {
    // grab() and render() redirect the painting to an image: the toolkit's way then.
    if (painter_ && !redirected(nullptr)) {
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
    std::lock_guard lock(control_->FrameLock());
    const RdpFrame frame = control_->Frame();
    QRegion outside = event->region();
    if (frame.data) {
        const QImage image(frame.data, frame.width, frame.height, frame.stride, QImage::Format_RGB32);
        const QRegion inside = event->region() & QRect(0, 0, frame.width, frame.height);
        for (const QRect &rect : inside)
            painter.drawImage(rect.topLeft(), image, rect);
        outside -= inside;
    }
    for (const QRect &rect : outside)
        painter.fillRect(rect, Qt::black);
}

void RdpSessionWidget::keyPressEvent(QKeyEvent *event) {
    control_->SendKey(event->nativeScanCode(), true);
}

void RdpSessionWidget::keyReleaseEvent(QKeyEvent *event) {
    // The server repeats a held key itself; only the final release counts.
    if (event->isAutoRepeat()) return;
    control_->SendKey(event->nativeScanCode(), false);
}

void RdpSessionWidget::mouseMoveEvent(QMouseEvent *event) {
    const QPoint position = event->position().toPoint();
    control_->SendMouseMove(position.x(), position.y());
}

void RdpSessionWidget::SendButton(QMouseEvent *event, bool down) {
    if (const auto button = RemoteButton(event->button())) {
        const QPoint position = event->position().toPoint();
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
    const QPoint position = event->position().toPoint();
    const QPoint delta = event->angleDelta();
    if (delta.y() != 0) control_->SendWheel(delta.y(), false, position.x(), position.y());
    if (delta.x() != 0) control_->SendWheel(delta.x(), true, position.x(), position.y());
    event->accept();
}

void RdpSessionWidget::focusInEvent(QFocusEvent *event) {
    QWidget::focusInEvent(event);
    control_->SetFocus(true);
}

void RdpSessionWidget::focusOutEvent(QFocusEvent *event) {
    QWidget::focusOutEvent(event);
    control_->SetFocus(false);
}

// Tab and Shift+Tab belong to the remote desktop.
bool RdpSessionWidget::focusNextPrevChild(bool /*next*/) {
    return false;
}

} // namespace tsc
