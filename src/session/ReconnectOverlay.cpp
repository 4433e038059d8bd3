#include "ReconnectOverlay.h"

#include "X11WindowPainter.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace tsc {

namespace {

constexpr QRgb Surround = 0xFF303030; // where the picture does not reach

} // namespace

ReconnectOverlay::ReconnectOverlay(QWidget *parent) : QWidget(parent) {
    setObjectName(QStringLiteral("ReconnectOverlay"));
    // A window of its own, so it lies above the session widget's window.
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::StrongFocus);
    hide();

    panel_ = new QFrame(this);
    panel_->setObjectName(QStringLiteral("Panel_Reconnecting"));
    panel_->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel_->setAutoFillBackground(true);
    panel_->setBackgroundRole(QPalette::Window);
    message_ = new QLabel(panel_);
    message_->setObjectName(QStringLiteral("st_Reconnecting"));
    message_->setTextFormat(Qt::PlainText);
    cancel_ = new QPushButton(tr("Cancel"), panel_);
    cancel_->setObjectName(QStringLiteral("bn_ReconnectCancel"));
    auto *layout = new QHBoxLayout(panel_);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->setSpacing(16);
    layout->addWidget(message_);
    layout->addWidget(cancel_);
    connect(cancel_, &QPushButton::clicked, this, &ReconnectOverlay::cancelRequested);
    for (QWidget *child : findChildren<QWidget *>())
        child->installEventFilter(this);
}

ReconnectOverlay::~ReconnectOverlay() = default;

QString ReconnectOverlay::ReconnectingText(int attempt, int attempts) {
    return QStringLiteral("Connection lost. Reconnecting (%1 of %2)...").arg(attempt).arg(attempts);
}

QString ReconnectOverlay::StalledText() {
    return QStringLiteral("Connection lost. Waiting for the server...");
}

QImage ReconnectOverlay::GreyedPicture(const RdpFrame &frame) {
    if (!frame.data || frame.width <= 0 || frame.height <= 0) return {};
    QImage grey(frame.width, frame.height, QImage::Format_RGB32);
    for (int y = 0; y < frame.height; ++y) {
        const auto *from = reinterpret_cast<const QRgb *>(frame.data + std::ptrdiff_t(y) * frame.stride);
        auto *to = reinterpret_cast<QRgb *>(grey.scanLine(y));
        for (int x = 0; x < frame.width; ++x) {
            // Luminance, then halved towards a middle grey: readable, plainly inactive.
            const int luminance = (qRed(from[x]) * 77 + qGreen(from[x]) * 150 + qBlue(from[x]) * 29) >> 8;
            const int level = 48 + luminance / 2;
            to[x] = qRgb(level, level, level);
        }
    }
    return grey;
}

void ReconnectOverlay::ShowReconnecting(const QImage &picture, QPoint pictureOffset, int attempt,
                                        int attempts) {
    Present(picture, pictureOffset, ReconnectingText(attempt, attempts));
}

void ReconnectOverlay::ShowStalled(const QImage &picture, QPoint pictureOffset) {
    Present(picture, pictureOffset, StalledText());
}

void ReconnectOverlay::Present(const QImage &picture, QPoint pictureOffset, const QString &text) {
    // The picture of the moment the connection was lost stays for the whole outage.
    if (!isVisible() || picture_.isNull()) {
        picture_ = picture;
        pictureOffset_ = pictureOffset;
    }
    message_->setText(text);
    const bool wasVisible = isVisible();
    if (parentWidget()) setGeometry(parentWidget()->rect());
    PlacePanel();
    show();
    raise();
    cancel_->setFocus();
    update();
    if (!wasVisible) emit shownChanged(true);
}

void ReconnectOverlay::Dismiss() {
    if (!isVisible()) return;
    hide();
    picture_ = QImage();
    emit shownChanged(false);
}

QString ReconnectOverlay::Message() const {
    return message_->text();
}

QRect ReconnectOverlay::PanelGeometry() const {
    return panel_->geometry();
}

void ReconnectOverlay::PlacePanel() {
    panel_->adjustSize();
    QRect placed(QPoint(0, 0), panel_->sizeHint());
    placed.moveCenter(rect().center());
    panel_->setGeometry(placed);
}

void ReconnectOverlay::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    PlacePanel();
}

QPaintEngine *ReconnectOverlay::paintEngine() const {
    return nullptr; // painted through the toolkit's backing store, or by PaintOnScreen
}

bool ReconnectOverlay::PaintsOnScreen() {
    if (!window()->testAttribute(Qt::WA_PaintOnScreen) || !testAttribute(Qt::WA_WState_Created)) return false;
    if (!triedPainter_) {
        triedPainter_ = true;
        painter_ = X11WindowPainter::Create();
    }
    return painter_ && painter_->CanDraw(*this);
}

// On a window that paints on screen the toolkit asks each child to paint itself on
// screen, which it cannot: the overlay paints them all instead.
bool ReconnectOverlay::eventFilter(QObject *watched, QEvent *event) {
    if (watched != this && event->type() == QEvent::UpdateRequest && PaintsOnScreen()) {
        update();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void ReconnectOverlay::PaintOnScreen() {
    QImage picture(size(), QImage::Format_RGB32);
    {
        QPainter painter(&picture);
        PaintPicture(painter, QRegion(rect()));
        panel_->render(&painter, panel_->pos(), QRegion(),
                       QWidget::DrawWindowBackground | QWidget::DrawChildren);
    }
    painter_->PutImage(winId(), picture.constBits(), picture.width(), picture.height(),
                       static_cast<int>(picture.bytesPerLine()), QRegion(rect()));
    painter_->Flush();
}

void ReconnectOverlay::paintEvent(QPaintEvent *event) {
    // grab() and render() redirect the painting to an image: the toolkit's way then.
    if (!redirected(nullptr) && PaintsOnScreen()) {
        PaintOnScreen();
        return;
    }
    QPainter painter(this);
    PaintPicture(painter, event->region());
}

void ReconnectOverlay::PaintPicture(QPainter &painter, const QRegion &region) {
    QRegion surround = region;
    if (!picture_.isNull()) {
        const QRect placed(pictureOffset_, picture_.size());
        for (const QRect &rect : region &placed)
            painter.drawImage(rect.topLeft(), picture_, rect.translated(-pictureOffset_));
        surround -= placed;
    }
    for (const QRect &rect : surround)
        painter.fillRect(rect, QColor::fromRgb(Surround));
}

} // namespace tsc
