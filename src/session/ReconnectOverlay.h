#pragma once

// What a session window shows while its connection is lost: the last picture of the
// remote screen, greyed, a plain message and a Cancel button. It covers the session
// widget (a window of its own above the widget's), so the pointer and the keys reach
// it instead of the remote desktop; the navigation bar is raised above it. On a
// session window that paints on screen the overlay draws itself and its message
// into a picture and puts that into its window, as the navigation bar does.

#include "RdpControl.h"

#include <QImage>
#include <QWidget>

#include <memory>

class QLabel;
class QPushButton;
class QFrame;

namespace tsc {

class X11WindowPainter;

class ReconnectOverlay : public QWidget {
    Q_OBJECT
  public:
    explicit ReconnectOverlay(QWidget *parent);
    ~ReconnectOverlay() override;

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
    bool eventFilter(QObject *watched, QEvent *event) override;
    [[nodiscard]] QPaintEngine *paintEngine() const override;

  private:
    void Present(const QImage &picture, QPoint pictureOffset, const QString &text);
    void PlacePanel();
    void PaintPicture(QPainter &painter, const QRegion &region);
    [[nodiscard]] bool PaintsOnScreen();
    void PaintOnScreen();

    QImage picture_;
    QPoint pictureOffset_;
    QFrame *panel_ = nullptr;
    QLabel *message_ = nullptr;
    QPushButton *cancel_ = nullptr;
    std::unique_ptr<X11WindowPainter> painter_;
    bool triedPainter_ = false;
};

} // namespace tsc
