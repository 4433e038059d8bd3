#pragma once

// Shows one RDP control's remote screen 1:1 and forwards keyboard, mouse and wheel
// to it. A session window embeds this widget and talks to the control through
// Control(); the widget owns the control.

#include "RdpControl.h"

#include <QWidget>

#include <memory>

namespace tsc {

class RdpSessionWidget : public QWidget, public RdpFrameEvents {
    Q_OBJECT
  public:
    explicit RdpSessionWidget(std::unique_ptr<RdpControl> control, QWidget *parent = nullptr);
    ~RdpSessionWidget() override;

    [[nodiscard]] RdpControl &Control() { return *control_; }

    // The remote screen's size, (0, 0) until the session is up.
    [[nodiscard]] QSize FrameSize() const { return frameSize_; }

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

    std::unique_ptr<RdpControl> control_;
    QSize frameSize_;
};

} // namespace tsc
