#pragma once

// What a session window shows while its connection is lost: the last picture of the
// remote screen, greyed, a plain message and a Cancel button. It covers the session
// widget (a window of its own above the widget's), so the pointer and the keys reach
// it instead of the remote desktop; the navigation bar is raised above it.

#include "RdpControl.h"

#include <QImage>
#include <QWidget>

class QLabel;
class QPushButton;
class QFrame;

namespace tsc {

class ReconnectOverlay : public QWidget {
    Q_OBJECT
  public:
    explicit ReconnectOverlay(QWidget *parent);

    // The lines the user reads.
    [[nodiscard]] static QString ReconnectingText(int attempt, int attempts);
    [[nodiscard]] static QString StalledText();
    // The frame's pixels dimmed to grey (a copy; the frame lock must be held).
    [[nodiscard]] static QImage GreyedPicture(const RdpFrame &frame);

    // Shows the overlay over `picture` placed at `pictureOffset`, or changes its message.
    void ShowReconnecting(const QImage &picture, QPoint pictureOffset, int attempt, int attempts);
    void ShowStalled(const QImage &picture, QPoint pictureOffset);
    void Dismiss();

    [[nodiscard]] QString Message() const;
    // The message box in the overlay's coordinates (the seamless mask keeps it shown).
    [[nodiscard]] QRect PanelGeometry() const;

  signals:
    void cancelRequested();
    void shownChanged(bool shown);

  protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

  private:
    void Present(const QImage &picture, QPoint pictureOffset, const QString &text);
    void PlacePanel();

    QImage picture_;
    QPoint pictureOffset_;
    QFrame *panel_ = nullptr;
    QLabel *message_ = nullptr;
    QPushButton *cancel_ = nullptr;
};

} // namespace tsc
