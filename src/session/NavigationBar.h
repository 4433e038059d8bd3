#pragma once

// The navigation bar of a full-screen session: a toggle icon inside the top edge of
// the session window that opens a strip with the connection caption and buttons to
// minimise or end the program. At most one exists in the process.
//
// The bar has a native window of its own, stacked above the session widget's (a
// plain child would be drawn under it). When the session window paints on screen
// (X11WindowPainter), every child of that window would have to paint on screen too,
// which toolkit widgets cannot: the bar then renders its widgets into a picture of
// its own size and puts that into its window with plain X requests.

#include <QFrame>
#include <QLabel>
#include <QPixmap>

#include <functional>
#include <memory>

namespace tsc {

class X11WindowPainter;

// A picture that reports clicks.
class ClickableImage : public QLabel {
    Q_OBJECT
  public:
    using QLabel::QLabel;
  signals:
    void clicked();

  protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};

class NavigationBar : public QFrame {
    Q_OBJECT
  public:
    // Sizes at 96 dots per inch; at higher resolutions they grow with the font.
    static constexpr int BarHeight = 16;
    static constexpr int IconSize = 16;
    static constexpr int BevelWidth = 4;
    static constexpr int RightMargin = 100;

    // Frees any existing bar first; the new one is hidden until collapsed or expanded.
    static NavigationBar *Create(QWidget *sessionWindow);
    static void Destroy();
    // The bar while it exists, else null.
    [[nodiscard]] static NavigationBar *Current();

    ~NavigationBar() override;

    void Collapse();
    void ExpandWithCaption(const QString &caption);
    // Keeps the bar's state after a resize of the session window.
    void Replace();
    // The part of the session window the bar keeps to, in its coordinates: one
    // monitor of a session that spans several. Null: the whole window.
    void SetHomeArea(const QRect &area);

    void icon_ShowNavBarClick();
    void image_MinimizeClick();
    void image_CloseClick();

    // The branding image of the language table takes the toggle icon's place; a null
    // pixmap brings the arrow back.
    void SetBrandingImage(const QPixmap &image);
    // The caption as it was given; st_Caption shows it on one line, shortened to fit.
    [[nodiscard]] QString Caption() const { return caption_; }
    // Pixel sizes at this bar's resolution.
    [[nodiscard]] int Scaled(int size96) const;

    QFrame *Panel_HideShow = nullptr;
    QFrame *Bevel2 = nullptr;
    ClickableImage *st_Caption = nullptr;
    QFrame *Bevel1 = nullptr;
    ClickableImage *image_Minimize = nullptr;
    ClickableImage *image_Close = nullptr;
    QFrame *Bevel3 = nullptr;
    ClickableImage *icon_ShowNavBar = nullptr;

    // Replaceable for tests; by default they act on the whole application.
    std::function<void()> minimizeApplication;
    std::function<void()> terminateApplication;

  signals:
    // After each collapse or expand: the bar's place or size may have changed.
    void placed();

  protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    [[nodiscard]] QPaintEngine *paintEngine() const override;

  private:
    explicit NavigationBar(QWidget *parent);
    QRect homeArea_;
    void FormCreate();
    void LayOut(); // sizes the bar to its contents and keeps it inside the parent
    // The area the bar is placed in: the home area, else the parent's.
    [[nodiscard]] QRect PlacementArea() const;
    void ShowToggleIcon();
    void Repaint();
    [[nodiscard]] bool PaintsOnScreen();
    void PaintOnScreen();

    QString caption_ = QStringLiteral("-----");
    QPixmap branding_;
    double scale_ = 1.0;
    std::unique_ptr<X11WindowPainter> painter_;
    bool triedPainter_ = false;
};

} // namespace tsc
