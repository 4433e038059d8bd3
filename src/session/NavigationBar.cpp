#include "NavigationBar.h"

#include <QApplication>
#include <QMouseEvent>
#include <QStyle>

namespace tsc {

namespace {

Tform_showNavBar *currentBar = nullptr;

QFrame *Bevel(QWidget *parent, const char *name) {
    auto *bevel = new QFrame(parent);
    bevel->setObjectName(QString::fromLatin1(name));
    bevel->setFrameShape(QFrame::VLine);
    bevel->setFrameShadow(QFrame::Sunken);
    bevel->setFixedSize(Tform_showNavBar::BevelWidth, Tform_showNavBar::BarHeight);
    return bevel;
}

ClickableImage *Image(QWidget *parent, const char *name, QStyle::StandardPixmap picture) {
    auto *image = new ClickableImage(parent);
    image->setObjectName(QString::fromLatin1(name));
    image->setFixedSize(Tform_showNavBar::IconSize, Tform_showNavBar::IconSize);
    image->setPixmap(parent->style()->standardIcon(picture).pixmap(Tform_showNavBar::IconSize));
    image->setCursor(Qt::PointingHandCursor);
    return image;
}

} // namespace

void ClickableImage::mouseReleaseEvent(QMouseEvent *event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

Tform_showNavBar *Tform_showNavBar::Create(QWidget *sessionWindow) {
    Destroy();
    currentBar = new Tform_showNavBar(sessionWindow);
    return currentBar;
}

void Tform_showNavBar::Destroy() {
    delete currentBar; // the destructor clears the reference
}

Tform_showNavBar *Tform_showNavBar::Current() {
    return currentBar;
}

Tform_showNavBar::Tform_showNavBar(QWidget *parent) : QFrame(parent) {
    setObjectName(QStringLiteral("form_showNavBar"));
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Button);
    setFixedHeight(BarHeight);
    hide();

    Panel_HideShow = new QFrame(this);
    Panel_HideShow->setObjectName(QStringLiteral("Panel_HideShow"));
    Bevel2 = Bevel(Panel_HideShow, "Bevel2");
    st_Caption = new ClickableImage(QStringLiteral("-----"), Panel_HideShow);
    st_Caption->setObjectName(QStringLiteral("st_Caption"));
    st_Caption->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    st_Caption->setAutoFillBackground(true);
    st_Caption->setBackgroundRole(QPalette::ToolTipBase);
    st_Caption->setForegroundRole(QPalette::ToolTipText);
    st_Caption->setAlignment(Qt::AlignCenter);
    Bevel1 = Bevel(Panel_HideShow, "Bevel1");
    image_Minimize = Image(Panel_HideShow, "image_Minimize", QStyle::SP_TitleBarMinButton);
    image_Close = Image(Panel_HideShow, "image_Close", QStyle::SP_TitleBarCloseButton);
    Bevel3 = Bevel(Panel_HideShow, "Bevel3");
    icon_ShowNavBar = Image(this, "icon_ShowNavBar", QStyle::SP_ArrowDown);

    minimizeApplication = [] {
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->isVisible())
                window->showMinimized();
    };
    terminateApplication = [] { QCoreApplication::quit(); };

    connect(icon_ShowNavBar, &ClickableImage::clicked, this, [this] { icon_ShowNavBarClick(); });
    connect(st_Caption, &ClickableImage::clicked, this, [this] { icon_ShowNavBarClick(); });
    connect(image_Minimize, &ClickableImage::clicked, this, [this] { image_MinimizeClick(); });
    connect(image_Close, &ClickableImage::clicked, this, [this] { image_CloseClick(); });
    FormCreate();
}

Tform_showNavBar::~Tform_showNavBar() {
    if (currentBar == this)
        currentBar = nullptr;
}

void Tform_showNavBar::FormCreate() {
    move(0, 0);
    Collapse();
}

// The strip and the bar are exactly as wide as what they show.
void Tform_showNavBar::LayOut() {
    const int captionWidth = st_Caption->fontMetrics().horizontalAdvance(st_Caption->text()) + 2 * st_Caption->frameWidth() + 4;
    int x = 0;
    for (QWidget *part : std::initializer_list<QWidget *>{Bevel2, st_Caption, Bevel1, image_Minimize, image_Close, Bevel3}) {
        const int width = part == st_Caption ? captionWidth : part->width();
        part->setGeometry(x, 0, width, BarHeight);
        x += width;
    }
    Panel_HideShow->setGeometry(0, 0, x, BarHeight);
    const int stripWidth = Panel_HideShow->isVisibleTo(this) ? Panel_HideShow->width() : 0;
    icon_ShowNavBar->move(stripWidth, 0);
    setFixedWidth(stripWidth + IconSize);
}

void Tform_showNavBar::Collapse() {
    Panel_HideShow->hide();
    LayOut();
    show();
    if (QWidget *parent = parentWidget())
        move(parent->width() - icon_ShowNavBar->width() - RightMargin, 0);
    raise();
}

void Tform_showNavBar::ExpandWithCaption(const QString &caption) {
    hide();
    move(0, y());
    st_Caption->setText(caption);
    QWidget *parent = parentWidget();
    if (!parent)
        return;
    Panel_HideShow->show();
    LayOut();
    move(parent->width() - Panel_HideShow->width() - icon_ShowNavBar->width() - RightMargin, 0);
    show();
    Panel_HideShow->move(0, 0);
    raise();
    for (QWidget *child : findChildren<QWidget *>())
        child->update();
    update();
}

void Tform_showNavBar::icon_ShowNavBarClick() {
    if (Panel_HideShow->isVisibleTo(this))
        Collapse();
    else
        ExpandWithCaption(st_Caption->text());
}

void Tform_showNavBar::Replace() {
    if (Panel_HideShow->isVisibleTo(this))
        ExpandWithCaption(st_Caption->text());
    else
        Collapse();
}

void Tform_showNavBar::image_MinimizeClick() {
    minimizeApplication();
}

void Tform_showNavBar::image_CloseClick() {
    terminateApplication();
}

} // namespace tsc
