#include "NavigationBar.h"

#include "SessionPictures.h"
#include "X11WindowPainter.h"

#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>

#include <algorithm>
#include <climits>
#include <cmath>

namespace tsc {

namespace {

NavigationBar *currentBar = nullptr;

QFrame *Bevel(QWidget *parent, const char *name) {
    auto *bevel = new QFrame(parent);
    bevel->setObjectName(QString::fromLatin1(name));
    bevel->setFrameShape(QFrame::VLine);
    bevel->setFrameShadow(QFrame::Sunken);
    return bevel;
}

ClickableImage *Image(QWidget *parent, const char *name, const QString &toolTip) {
    auto *image = new ClickableImage(parent);
    image->setObjectName(QString::fromLatin1(name));
    image->setAlignment(Qt::AlignCenter);
    image->setCursor(Qt::PointingHandCursor);
    image->setToolTip(toolTip);
    return image;
}

// The caption on one line: line breaks and tabs of a caption from elsewhere become
// spaces, so the strip keeps its height.
QString OneLine(const QString &caption) {
    QString line = caption;
    for (QChar &character : line)
        if (character.category() == QChar::Separator_Line ||
            character.category() == QChar::Separator_Paragraph ||
            character.category() == QChar::Other_Control)
            character = QLatin1Char(' ');
    return line;
}

} // namespace

void ClickableImage::mouseReleaseEvent(QMouseEvent *event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

NavigationBar *NavigationBar::Create(QWidget *sessionWindow) {
    Destroy();
    currentBar = new NavigationBar(sessionWindow);
    return currentBar;
}

void NavigationBar::Destroy() {
    delete currentBar; // the destructor clears the reference
}

NavigationBar *NavigationBar::Current() {
    return currentBar;
}

NavigationBar::NavigationBar(QWidget *parent) : QFrame(parent) {
    setObjectName(QStringLiteral("form_showNavBar"));
    // A window of its own, above the session widget's; the bar paints every pixel.
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setBackgroundRole(QPalette::Button);
    // The strip's parts fill their background with the window colour: the desktop's,
    // not the session window's, which in a seamless session is the key colour and
    // would show as such on the local screen.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QApplication::palette(this).color(QPalette::Button));
    setPalette(colours);
    scale_ = std::max(1.0, logicalDpiY() / 96.0);
    hide();

    Panel_HideShow = new QFrame(this);
    Panel_HideShow->setObjectName(QStringLiteral("Panel_HideShow"));
    Bevel2 = Bevel(Panel_HideShow, "Bevel2");
    st_Caption = new ClickableImage(caption_, Panel_HideShow);
    st_Caption->setObjectName(QStringLiteral("st_Caption"));
    st_Caption->setTextFormat(Qt::PlainText); // the user and host names of the session
    st_Caption->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    st_Caption->setAutoFillBackground(true);
    st_Caption->setBackgroundRole(QPalette::ToolTipBase);
    st_Caption->setForegroundRole(QPalette::ToolTipText);
    st_Caption->setAlignment(Qt::AlignCenter);
    st_Caption->setToolTip(tr("The connection. Click to fold the bar away."));
    QFont captionFont = st_Caption->font();
    captionFont.setPixelSize(Scaled(11));
    st_Caption->setFont(captionFont);
    Bevel1 = Bevel(Panel_HideShow, "Bevel1");
    image_Minimize = Image(Panel_HideShow, "image_Minimize", tr("Minimise the program"));
    image_Close = Image(Panel_HideShow, "image_Close", tr("End the program"));
    Bevel3 = Bevel(Panel_HideShow, "Bevel3");
    icon_ShowNavBar = Image(this, "icon_ShowNavBar", tr("Show or hide the connection bar"));
    const int icon = Scaled(IconSize);
    image_Minimize->setPixmap(
        ThemePicture("window-minimize", "minimize").pixmap(QSize(icon, icon), devicePixelRatioF()));
    image_Close->setPixmap(
        ThemePicture("window-close", "close").pixmap(QSize(icon, icon), devicePixelRatioF()));
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);

    minimizeApplication = [] {
        for (QWidget *window : QApplication::topLevelWidgets())
            if (window->isVisible()) window->showMinimized();
    };
    terminateApplication = [] { QCoreApplication::quit(); };

    connect(icon_ShowNavBar, &ClickableImage::clicked, this, [this] { icon_ShowNavBarClick(); });
    connect(st_Caption, &ClickableImage::clicked, this, [this] { icon_ShowNavBarClick(); });
    connect(image_Minimize, &ClickableImage::clicked, this, [this] { image_MinimizeClick(); });
    connect(image_Close, &ClickableImage::clicked, this, [this] { image_CloseClick(); });
    FormCreate();
}

NavigationBar::~NavigationBar() {
    if (currentBar == this) currentBar = nullptr;
}

int NavigationBar::Scaled(int size96) const {
    return static_cast<int>(std::lround(size96 * scale_));
}

void NavigationBar::FormCreate() {
    move(0, 0);
    Collapse();
}

void NavigationBar::SetBrandingImage(const QPixmap &image) {
    branding_ = image;
    ShowToggleIcon();
    Repaint();
}

void NavigationBar::ShowToggleIcon() {
    const int icon = Scaled(IconSize);
    if (!branding_.isNull()) {
        icon_ShowNavBar->setPixmap(branding_.scaled(QSize(icon, icon) * devicePixelRatioF(),
                                                    Qt::KeepAspectRatio, Qt::SmoothTransformation));
        return;
    }
    // The strip opens to the left of the icon, and folds back to the right.
    const bool open = Panel_HideShow->isVisibleTo(this);
    const QIcon arrow = open ? ThemePicture("go-next", "collapse") : ThemePicture("go-previous", "expand");
    icon_ShowNavBar->setPixmap(arrow.pixmap(QSize(icon, icon), devicePixelRatioF()));
}

// The strip and the bar are exactly as wide as what they show; with a parent, the
// caption is shortened so that the bar stays inside it with its margin on the right.
void NavigationBar::LayOut() {
    const int height = Scaled(BarHeight);
    const int icon = Scaled(IconSize);
    const int bevel = Scaled(BevelWidth);
    for (QFrame *line : {Bevel2, Bevel1, Bevel3})
        line->setFixedSize(bevel, height);
    for (ClickableImage *image : {image_Minimize, image_Close, icon_ShowNavBar})
        image->setFixedSize(icon, height);

    const QString line = OneLine(caption_);
    const int padding = 2 * st_Caption->frameWidth() + Scaled(4);
    const int naturalWidth = st_Caption->fontMetrics().horizontalAdvance(line) + padding;
    int captionWidth = naturalWidth;
    if (parentWidget()) {
        const int room = PlacementArea().width() - RightMargin - icon - 3 * bevel - 2 * icon;
        captionWidth = std::clamp(captionWidth, 0, std::max(0, room));
    }
    st_Caption->setText(
        captionWidth < naturalWidth
            ? st_Caption->fontMetrics().elidedText(line, Qt::ElideRight, std::max(0, captionWidth - padding))
            : line);
    st_Caption->setFixedSize(captionWidth, height);

    int x = 0;
    for (QWidget *part : {static_cast<QWidget *>(Bevel2), static_cast<QWidget *>(st_Caption),
                          static_cast<QWidget *>(Bevel1), static_cast<QWidget *>(image_Minimize),
                          static_cast<QWidget *>(image_Close), static_cast<QWidget *>(Bevel3)}) {
        part->move(x, 0);
        x += part->width();
    }
    Panel_HideShow->setGeometry(0, 0, x, height);
    const int stripWidth = Panel_HideShow->isVisibleTo(this) ? x : 0;
    icon_ShowNavBar->move(stripWidth, 0);
    setFixedSize(stripWidth + icon, height);
    ShowToggleIcon();
}

void NavigationBar::Collapse() {
    Panel_HideShow->hide();
    LayOut();
    show();
    if (parentWidget()) {
        const QRect area = PlacementArea();
        move(std::max(area.left(), area.right() + 1 - icon_ShowNavBar->width() - RightMargin), area.top());
    }
    raise();
    Repaint();
    emit placed();
}

void NavigationBar::ExpandWithCaption(const QString &caption) {
    hide();
    move(0, y());
    caption_ = caption;
    st_Caption->setText(caption);
    QWidget *parent = parentWidget();
    if (!parent) return;
    Panel_HideShow->show();
    LayOut();
    const QRect area = PlacementArea();
    move(std::max(area.left(),
                  area.right() + 1 - Panel_HideShow->width() - icon_ShowNavBar->width() - RightMargin),
         area.top());
    show();
    Panel_HideShow->move(0, 0);
    raise();
    Repaint();
    emit placed();
}

void NavigationBar::SetHomeArea(const QRect &area) {
    homeArea_ = area;
    if (isVisible()) Replace();
}

QRect NavigationBar::PlacementArea() const {
    const QWidget *parent = parentWidget();
    if (!parent) return {};
    return homeArea_.isNull() ? parent->rect() : homeArea_;
}

void NavigationBar::icon_ShowNavBarClick() {
    if (Panel_HideShow->isVisibleTo(this))
        Collapse();
    else
        ExpandWithCaption(caption_);
}

void NavigationBar::Replace() {
    if (Panel_HideShow->isVisibleTo(this))
        ExpandWithCaption(caption_);
    else
        Collapse();
}

void NavigationBar::image_MinimizeClick() {
    minimizeApplication();
}

void NavigationBar::image_CloseClick() {
    terminateApplication();
}

// --- painting ------------------------------------------------------------------------

void NavigationBar::Repaint() {
    for (QWidget *child : findChildren<QWidget *>())
        child->update();
    update();
}

QPaintEngine *NavigationBar::paintEngine() const {
    return nullptr; // painted through the toolkit's backing store, or by PaintOnScreen
}

// Whether the session window paints on screen, so this bar must do so too.
bool NavigationBar::PaintsOnScreen() {
    if (!window()->testAttribute(Qt::WA_PaintOnScreen) || !testAttribute(Qt::WA_WState_Created)) return false;
    if (!triedPainter_) {
        triedPainter_ = true;
        painter_ = X11WindowPainter::Create();
    }
    return painter_ && painter_->CanDraw(*this);
}

void NavigationBar::paintEvent(QPaintEvent *event) {
    // grab() and render() redirect the painting to an image: the toolkit's way then.
    if (!redirected(nullptr) && PaintsOnScreen()) {
        PaintOnScreen();
        return;
    }
    QPainter(this).fillRect(event->rect(), palette().color(QPalette::Button));
}

// The toolkit draws the bar's widgets into a picture; X puts the picture on screen.
void NavigationBar::PaintOnScreen() {
    QImage picture(size(), QImage::Format_RGB32);
    picture.fill(palette().color(QPalette::Button));
    {
        QPainter painter(&picture);
        for (QWidget *part :
             {static_cast<QWidget *>(Panel_HideShow), static_cast<QWidget *>(icon_ShowNavBar)})
            if (part->isVisibleTo(this))
                part->render(&painter, part->pos(), QRegion(),
                             QWidget::DrawWindowBackground | QWidget::DrawChildren);
    }
    painter_->PutImage(winId(), picture.constBits(), picture.width(), picture.height(),
                       static_cast<int>(picture.bytesPerLine()), QRegion(rect()));
    painter_->Flush();
}

// On a window that paints on screen the toolkit asks each child to paint itself on
// screen, which it cannot: the bar paints them all instead.
bool NavigationBar::eventFilter(QObject *watched, QEvent *event) {
    if (watched != this && event->type() == QEvent::UpdateRequest && PaintsOnScreen()) {
        update();
        return true;
    }
    return QFrame::eventFilter(watched, event);
}

} // namespace tsc
