#pragma once

// Shows one RDP control's remote screen 1:1, or stretched over the widget with smart
// sizing, and forwards keyboard, mouse and wheel to it. A session window embeds this
// widget and talks to the control through Control(); the widget owns the control. On
// X11 the widget has a window of its own and copies the engine's frame buffer
// straight into it (X11WindowPainter) while the picture is 1:1; elsewhere, and while
// it is scaled, the toolkit paints it.

#include "RdpControl.h"
#include "SmartSizing.h"

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
    [[nodiscard]] bool KeyboardGrabWanted() const { return keyboardGrabWanted_; }
    [[nodiscard]] bool KeyboardGrabbed() const { return keyboardGrabbed_; }

    // Smart sizing: the remote screen stretched over the whole widget, which its
    // session window sizes to its client area. Where the two sizes are equal the
    // widget paints 1:1 as without it. Input is mapped back to remote pixels.
    void SetSmartSizing(bool on);
    [[nodiscard]] bool SmartSizing() const { return smartSizing_; }
    // Whether the picture is scaled now (smart sizing, and the sizes differ).
    [[nodiscard]] bool Scaled() const { return !Scale().IsIdentity(); }
    // Ctrl+Alt+Shift+S asks the session window to switch smart sizing (the key does
    // not reach the server) while the window offers it.
    void SetSmartSizingKeyEnabled(bool enabled) { smartSizingKeyEnabled_ = enabled; }
    // Ctrl+Alt+Shift+F asks the session window to paste the files the session copied
    // (the key does not reach the server) while there are such files.
    void SetPasteFilesKeyEnabled(bool enabled) { pasteFilesKeyEnabled_ = enabled; }

    void OnFrameUpdated(const QRegion &damage) override;
    void OnFrameResized(const QSize &size) override;

  signals:
    // After each repaint request for new remote content (tests, measurements).
    void frameUpdated(const QRegion &damage);
    void frameResized(const QSize &size);
    void smartSizingKeyPressed();
    void pasteFilesKeyPressed();
    // The widget paints on screen again (true) or through the toolkit (false). The
    // toolkit paints every child of a window that paints on screen on screen too,
    // so the window follows.
    void paintRouteChanged(bool onScreen);

  protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
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
    [[nodiscard]] FrameScale Scale() const;
    // Paints on screen while the picture is 1:1, through the toolkit while scaled.
    void ChoosePaintRoute();
    void PaintScaled(QPaintEvent *event);
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
    bool smartSizing_ = false;
    bool smartSizingKeyEnabled_ = false;
    bool pasteFilesKeyEnabled_ = false;
    quint32 swallowedKey_ = 0; // the key of a session shortcut, until released
};

} // namespace tsc
