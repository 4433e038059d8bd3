#pragma once

// The navigation bar of a full-screen session: a toggle icon inside the top edge of
// the session window that opens a strip with the connection caption and buttons to
// minimise or end the program. At most one exists in the process.

#include <QFrame>
#include <QLabel>

#include <functional>

namespace tsc {

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

class Tform_showNavBar : public QFrame {
    Q_OBJECT
public:
    static constexpr int BarHeight = 16;
    static constexpr int IconSize = 16;
    static constexpr int BevelWidth = 4;
    static constexpr int RightMargin = 100;

    // Frees any existing bar first; the new one is hidden until collapsed or expanded.
    static Tform_showNavBar *Create(QWidget *sessionWindow);
    static void Destroy();
    // The bar while it exists, else null.
    [[nodiscard]] static Tform_showNavBar *Current();

    ~Tform_showNavBar() override;

    void Collapse();
    void ExpandWithCaption(const QString &caption);
    // Keeps the bar's state after a resize of the session window.
    void Replace();

    void icon_ShowNavBarClick();
    void image_MinimizeClick();
    void image_CloseClick();

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

private:
    explicit Tform_showNavBar(QWidget *parent);
    void FormCreate();
    void LayOut(); // sizes the bar to its contents
};

} // namespace tsc
