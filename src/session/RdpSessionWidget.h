#pragma once

// Shows one RDP control's remote screen 1:1 and forwards keyboard, mouse and wheel
// to it. A session window embeds this widget and talks to the control through
// Control(); the widget owns the control. On X11 the widget has a window of its own
// and copies the engine's frame buffer straight into it (X11WindowPainter); elsewhere
// the toolkit paints it.

#include "RdpControl.h"

#include <QWidget>

#include <memory>

namespace tsc {

class X11WindowPainter;

class RdpSessionWidget : public QWidget, public RdpFrameEvents {
    Q_OBJECT
  public:
    explicit RdpSessionWidget(std::unique_ptr<RdpControl> control, QWidget *parent = nullptr);
    ~RdpSessionWidget() override;

    [[nodiscard]] RdpControl &Control() { return *control_; }

    // The remote screen's size, (0, 0) until the session is up.
    [[nodiscard]] QSize FrameSize() const { return frameSize_; }

    // Whether the widget draws into its X11 window itself; its parents must then
    // paint on screen too, or the toolkit keeps a backing store for them anyway.
    [[nodiscard]] bool PaintsOnScreen() const { return painter_ != nullptr; }
    [[nodiscard]] QPaintEngine *paintEngine() const override;

    // In full screen with the Windows keys applied to the server, the keyboard is
    // grabbed while the widget has the focus, so Alt+Tab, the Super key and the other
    // shortcuts of the local desktop reach the server. Off: released at once.
    void SetKeyboardGrabWanted(bool wanted);
    [[nodiscard]] bool KeyboardGrabbed() const { return keyboardGrabbed_; }

    void OnFrameUpdated(const QRegion &damage) override;
    void OnFrameResized(const QSize &size) override;

  signals:
    // After each repaint request for new remote content (tests, measurements).
    void frameUpdated(const QRegion &damage);
    void frameResized(const QSize &size);

  protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    void SendButton(QMouseEvent *event, bool down);
    void GrabKeyboardIfWanted();
    void ReleaseKeyboardGrab();
    // A position in the widget as a pixel of the remote screen (the frame is in
    // device pixels).
    [[nodiscard]] QPoint FramePosition(const QPointF &position) const;

    std::unique_ptr<RdpControl> control_;
    std::unique_ptr<X11WindowPainter> painter_;
    QSize frameSize_;
    bool keyboardGrabWanted_ = false;
    bool keyboardGrabbed_ = false;
};

} // namespace tsc
