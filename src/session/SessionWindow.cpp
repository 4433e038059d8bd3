#include "SessionWindow.h"

#include "Identity.h"
#include "NavigationBar.h"
#include "RdpSessionWidget.h"
#include "ReconnectOverlay.h"
#include "SessionHost.h"
#include "SessionPictures.h"
#include "SmartSizing.h"
#include "SystemInfo.h"
#include "X11WindowPainter.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QResizeEvent>
#include <QScrollBar>
#include <QShowEvent>
#include <QStandardPaths>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QTransform>

#include <algorithm>
#include <array>
#include <cstdio>

namespace tsc {

namespace {

std::array<bool, 3> overlayFound{};

bool &OverlayFoundFlag(RdpControlVariant variant) {
    return overlayFound[static_cast<std::size_t>(SessionVariantIndex(variant))];
}

// The sampled colour as the log has always shown it: the Windows colour value's high
// and low 16 bits; 0xFFFFFFFF when there is no valid colour.
std::string OverlayLine(std::optional<std::uint32_t> rgb) {
    const std::uint32_t value = rgb ? RgbFromColorRef(*rgb) : 0xFFFFFFFFu; // the swap is its own inverse
    char text[32];
    std::snprintf(text, sizeof text, "Set Overlay: %04X.%04X", value >> 16, value & 0xFFFFu);
    return text;
}

std::string Trimmed(const QString &text) {
    return text.trimmed().toStdString();
}

bool ContainsIgnoringCase(const std::string &text, const std::string &part) {
    return QString::fromStdString(text).contains(QString::fromStdString(part), Qt::CaseInsensitive);
}

} // namespace

SessionWindow::SessionWindow(RdpControlVariant variant, std::unique_ptr<RdpControl> control,
                             SessionHost &host)
    : QWidget(nullptr), variant_(variant), traits_(TraitsOf(variant)), host_(host) {
    setObjectName(QString::fromLatin1(traits_.windowClassName).mid(1)); // the instance: form_..._RDPObject
    setWindowTitle(QStringLiteral("Remote Desktop"));
    setWindowIcon(SessionWindowIcon());
    resize(392, 373);
    msRdpClient_ = new RdpSessionWidget(std::move(control), this);
    msRdpClient_->setObjectName(QStringLiteral("MsRdpClient"));
    msRdpClient_->setGeometry(0, 0, 40, 40);
    if (msRdpClient_->PaintsOnScreen()) painter_ = X11WindowPainter::Create();
    if (painter_) {
        setAttribute(Qt::WA_PaintOnScreen);
        setAttribute(Qt::WA_NoSystemBackground);
    }
    timerConnected_ = new QTimer(this);
    timerConnected_->setObjectName(QStringLiteral("Timer_Connected"));
    timerConnected_->setInterval(500);
    connect(timerConnected_, &QTimer::timeout, this, [this] { Timer_ConnectedTimer(); });
    connect(msRdpClient_, &RdpSessionWidget::frameUpdated, this,
            [this](const QRegion &damage) { OnFrameUpdated(damage); });
    connect(msRdpClient_, &RdpSessionWidget::frameResized, this, [this] { OnFrameResized(); });
    connect(msRdpClient_, &RdpSessionWidget::smartSizingKeyPressed, this,
            [this] { SetSmartSizing(!SmartSizing()); });
    connect(msRdpClient_, &RdpSessionWidget::paintRouteChanged, this, [this](bool) { ChoosePaintRoute(); });
    reconnectOverlay_ = new ReconnectOverlay(this);
    connect(reconnectOverlay_, &ReconnectOverlay::cancelRequested, this, [this] { Control().Disconnect(); });
    connect(reconnectOverlay_, &ReconnectOverlay::shownChanged, this,
            [this](bool shown) { OnConnectionLostShown(shown); });
    Control().SetEventHandler(this);
    Control().SetLogSink(&host_);
    clipboard_ = std::make_unique<SessionClipboard>(Control(), QGuiApplication::clipboard());
    clipboard_->SetRemoteFilesListener(
        [this](bool offered) { msRdpClient_->SetPasteFilesKeyEnabled(offered); });
    connect(msRdpClient_, &RdpSessionWidget::pasteFilesKeyPressed, this, [this] { PasteFilesFromSession(); });
    FormCreate();
}

SessionWindow::~SessionWindow() {
    try {
        Control().Disconnect();
    } catch (...) {
    }
    // A window freed before its session reported the end (a second connect of the
    // variant) takes its overlay with it; otherwise the next seamless window of the
    // variant would skip the search and stay off screen.
    OverlayFoundFlag(variant_) = false;
    Control().SetEventHandler(nullptr);
    Control().SetLogSink(nullptr);
}

RdpControl &SessionWindow::Control() {
    return msRdpClient_->Control();
}

bool SessionWindow::OverlayFound(RdpControlVariant variant) {
    return OverlayFoundFlag(variant);
}

bool SessionWindow::Acting() const {
    return !host_.ShuttingDown();
}

void SessionWindow::FormCreate() {
    colourKey_ = RgbFromColorRef(TransparencyColor());
    SetWindowColour(colourKey_);
    if (host_.DoSeamless() && Acting()) {
        seamlessSetup_ = true;
        ApplyColourKey();
    }
    setWindowTitle(QString::fromStdString(Identity::AppName()));
    inOverlayCheck_ = false;
    movedOnScreen_ = false;
}

void SessionWindow::SetWindowColour(std::uint32_t rgb) {
    QPalette colours = palette();
    colours.setColor(QPalette::Window, QColor::fromRgb(rgb));
    setPalette(colours);
    setAutoFillBackground(!painter_ || !testAttribute(Qt::WA_PaintOnScreen));
    update();
}

bool SessionWindow::WaitForGeometry(const QRect &requested, int milliseconds) {
    QElapsedTimer waited;
    waited.start();
    while (geometry() != requested) {
        if (waited.elapsed() >= milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

QPaintEngine *SessionWindow::paintEngine() const {
    return painter_ && testAttribute(Qt::WA_PaintOnScreen) ? nullptr : QWidget::paintEngine();
}

// The background, when this window paints on screen (the toolkit fills it otherwise).
void SessionWindow::paintEvent(QPaintEvent *event) {
    if (!painter_ || !testAttribute(Qt::WA_PaintOnScreen)) return;
    const QColor background = palette().color(QPalette::Window);
    if (redirected(nullptr)) { // grab() and render()
        QPainter(this).fillRect(event->rect(), background);
        return;
    }
    if (!painter_->CanDraw(*this)) {
        // A window of another depth, or scaled by the toolkit: let the toolkit paint it.
        painter_.reset();
        setAttribute(Qt::WA_PaintOnScreen, false);
        setAutoFillBackground(true);
        update();
        return;
    }
    painter_->Fill(winId(), event->region(), background.rgb());
    painter_->Flush();
}

// --- the session's files ----------------------------------------------------------

void SessionWindow::PasteFilesFromSession() {
    if (!clipboard_->RemoteFilesOffered()) return;
    // The dialog runs events: the session may end meanwhile.
    const QPointer<SessionWindow> self(this);
    // A full-screen session that holds the keyboard lets it go while the dialog is
    // open, so a path can be typed there, and takes it back after.
    const QPointer<RdpSessionWidget> session(msRdpClient_);
    const bool grabbing = msRdpClient_->KeyboardGrabWanted();
    msRdpClient_->SetKeyboardGrabWanted(false);
    const QString folder = chooseFolder_
                               ? chooseFolder_()
                               : QFileDialog::getExistingDirectory(
                                     this, QStringLiteral("Paste files from the session"),
                                     QStandardPaths::writableLocation(QStandardPaths::DownloadLocation));
    if (session && grabbing) session->SetKeyboardGrabWanted(true);
    if (!self || folder.isEmpty() || !clipboard_->RemoteFilesOffered()) return;
    // The engine says how it went (files written, or why not) in the log.
    (void)clipboard_->PasteRemoteFiles(folder);
}

// --- smart sizing -----------------------------------------------------------------

void SessionWindow::OfferSmartSizing(bool on, const QRect &workArea) {
    windowed_ = true;
    msRdpClient_->SetSmartSizingKeyEnabled(true);
    SetSmartSizing(on);
    if (on) {
        const ConnectionSettings &session = Control().Settings();
        const QSize desktop =
            (QSizeF(session.desktopWidth, session.desktopHeight) / devicePixelRatioF()).toSize();
        const QSize frameMargins = frameGeometry().size() - size();
        const QSize fitted = FitWithin(desktop, workArea.size() - frameMargins);
        if (fitted != desktop) resize(fitted);
    }
    PlaceSessionWidget();
}

void SessionWindow::SetSmartSizing(bool on) {
    if (on == SmartSizing()) return;
    if (Acting()) host_.LogInfo(on ? "Smart sizing on" : "Smart sizing off");
    msRdpClient_->SetSmartSizing(on);
    PlaceSessionWidget();
}

bool SessionWindow::SmartSizing() const {
    return msRdpClient_->SmartSizing();
}

// Smart-sized, the session widget covers the client area; otherwise it has the
// remote screen's size, and a windowed session shows scroll bars where that is
// larger than the window.
void SessionWindow::PlaceSessionWidget() {
    if (SmartSizing()) {
        msRdpClient_->setGeometry(rect());
        ShowScrollBars({});
        return;
    }
    QSize remote = msRdpClient_->FrameSize();
    if (remote.isEmpty())
        remote = QSize(Control().Settings().desktopWidth, Control().Settings().desktopHeight);
    remote = (QSizeF(remote) / devicePixelRatioF()).toSize();
    ScrollBars bars;
    if (windowed_) bars = PlanScrollBars(remote, size(), style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    ShowScrollBars(bars);
    msRdpClient_->setGeometry(QRect(ScrolledOrigin(), remote));
}

void SessionWindow::ShowScrollBars(const ScrollBars &bars) {
    if ((bars.horizontal || bars.vertical) && !horizontalBar_) {
        for (QScrollBar **bar : {&horizontalBar_, &verticalBar_}) {
            *bar = new QScrollBar(bar == &horizontalBar_ ? Qt::Horizontal : Qt::Vertical, this);
            // Above the session widget's own X11 window, so a window of their own too.
            (*bar)->setAttribute(Qt::WA_NativeWindow);
            (*bar)->setFocusPolicy(Qt::NoFocus);
            connect(*bar, &QScrollBar::valueChanged, this, [this] { msRdpClient_->move(ScrolledOrigin()); });
        }
        // The square between two bars, in the bars' colours rather than the session's.
        scrollCorner_ = new QWidget(this);
        scrollCorner_->setAttribute(Qt::WA_NativeWindow);
        scrollCorner_->setPalette(horizontalBar_->palette());
        scrollCorner_->setBackgroundRole(QPalette::Button);
        scrollCorner_->setAutoFillBackground(true);
    }
    if (!horizontalBar_) return;
    const int extent = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    horizontalBar_->setRange(0, bars.maximum.x());
    horizontalBar_->setPageStep(bars.visible.width());
    horizontalBar_->setGeometry(0, height() - extent, bars.visible.width(), extent);
    horizontalBar_->setVisible(bars.horizontal);
    verticalBar_->setRange(0, bars.maximum.y());
    verticalBar_->setPageStep(bars.visible.height());
    verticalBar_->setGeometry(width() - extent, 0, extent, bars.visible.height());
    verticalBar_->setVisible(bars.vertical);
    scrollCorner_->setGeometry(width() - extent, height() - extent, extent, extent);
    scrollCorner_->setVisible(bars.horizontal && bars.vertical);
    horizontalBar_->raise();
    verticalBar_->raise();
    scrollCorner_->raise();
    ChoosePaintRoute();
}

QPoint SessionWindow::ScrolledOrigin() const {
    if (!horizontalBar_) return {};
    return {horizontalBar_->isVisibleTo(this) ? -horizontalBar_->value() : 0,
            verticalBar_->isVisibleTo(this) ? -verticalBar_->value() : 0};
}

// This window paints its background on screen while the session widget does and no
// scroll bar shows: the toolkit paints every child of a window that paints on screen
// on screen too, which neither a scaled session widget nor a scroll bar can.
void SessionWindow::ChoosePaintRoute() {
    if (!painter_) return;
    const bool scrolling =
        horizontalBar_ && (horizontalBar_->isVisibleTo(this) || verticalBar_->isVisibleTo(this));
    const bool onScreen = msRdpClient_->testAttribute(Qt::WA_PaintOnScreen) && !scrolling;
    if (testAttribute(Qt::WA_PaintOnScreen) == onScreen) return;
    setAttribute(Qt::WA_PaintOnScreen, onScreen);
    setAutoFillBackground(!onScreen);
    update();
}

// --- the colour key ---------------------------------------------------------------

void SessionWindow::ApplyColourKey() {
    if (!seamlessSetup_) return;
    layered_ = true;
    {
        std::lock_guard lock(Control().FrameLock());
        const RdpFrame frame = Control().Frame();
        mask_.SetKey(colourKey_, frame);
        mask_.Reset(frame);
    }
    ApplyMask();
}

void SessionWindow::RemoveLayering() {
    layered_ = false;
    clearMask();
}

void SessionWindow::ApplyMask() {
    // The navigation bar stays whole whatever the remote screen shows under it.
    QRegion visible = mask_.Visible();
    if (const qreal ratio = devicePixelRatioF(); ratio != 1.0)
        visible = QTransform::fromScale(1 / ratio, 1 / ratio).map(visible);
    if (const NavigationBar *bar = NavigationBar::Current();
        bar && bar->parentWidget() == this && bar->isVisible())
        visible += bar->geometry();
    if (reconnectOverlay_->isVisible())
        visible += reconnectOverlay_->PanelGeometry().translated(reconnectOverlay_->pos());
    // An empty region would mean "no mask": a one-pixel region outside the window
    // hides everything instead.
    setMask(visible.isEmpty() ? QRegion(-1, -1, 1, 1) : visible);
}

void SessionWindow::OnNavigationBarPlaced() {
    if (layered_) ApplyMask();
}

void SessionWindow::OnFrameUpdated(const QRegion &damage) {
    if (!layered_) return;
    {
        std::lock_guard lock(Control().FrameLock());
        mask_.Update(Control().Frame(), damage);
    }
    ApplyMask();
}

void SessionWindow::OnFrameResized() {
    if (windowed_) PlaceSessionWidget();
    if (!layered_) return;
    {
        std::lock_guard lock(Control().FrameLock());
        mask_.Reset(Control().Frame());
    }
    ApplyMask();
}

// --- the overlay search -----------------------------------------------------------

void SessionWindow::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void SessionWindow::FormShow() {
    if (!Acting()) return;
    if (OverlayFoundFlag(variant_)) {
        ApplyColourKey();
        return;
    }
    tickCount_ = 0;
    // Login complete runs this again after a slow connect: the search it restarts
    // keeps the longer wait, or the slow connection would get the short one after all.
    overlayTickLimit_ = slowConnection_ ? SlowConnectOverlayTicks : OverlayTicks;
    connectStartTick_.start();
    if (host_.DoSeamless())
        timerConnected_->start();
    else
        timerConnected_->stop();
}

void SessionWindow::Timer_ConnectedTimer() {
    if (!inOverlayCheck_) {
        inOverlayCheck_ = true;
        try {
            RunOverlayCheck();
        } catch (...) {
        }
        inOverlayCheck_ = false;
    }
    ++tickCount_;
}

// What the window shows at a client position: the remote screen where it reaches,
// the window's own colour (the key colour) beyond it; nothing valid before the
// session has drawn anything.
std::optional<std::uint32_t> SessionWindow::SampleShownPixel() {
    const QPoint sample = SamplePoint();
    const int x = sample.x();
    const int y = sample.y();
    // The frame counts the screen's pixels, the window the toolkit's.
    const QPoint inControl =
        (QPointF(msRdpClient_->mapFrom(this, QPoint(x, y))) * devicePixelRatioF()).toPoint();
    std::lock_guard lock(Control().FrameLock());
    const RdpFrame frame = Control().Frame();
    if (!frame.data || x < 0 || y >= height()) return std::nullopt;
    if (!QRect(0, 0, frame.width, frame.height).contains(inControl) ||
        !msRdpClient_->geometry().contains(x, y))
        return palette().color(QPalette::Window).rgb() & 0xFFFFFFu;
    const auto *row = reinterpret_cast<const std::uint32_t *>(
        frame.data + static_cast<std::ptrdiff_t>(inControl.y()) * frame.stride);
    return row[inControl.x()] & 0xFFFFFFu;
}

// Near the top right of the window; of the primary monitor where the session spans
// several. Beside the rightmost monitor the point could lie where no monitor is (one
// lower than the others), which the server never paints in the key colour.
QPoint SessionWindow::SamplePoint() {
    const std::vector<MonitorDefinition> &monitors = Control().Settings().monitors;
    const QPoint corner(width() - SampleInsetFromRight, SampleTop);
    if (monitors.size() < 2) return corner;
    int left = 0;
    int top = 0;
    for (const MonitorDefinition &monitor : monitors) {
        left = std::min(left, monitor.x);
        top = std::min(top, monitor.y);
    }
    const auto primary = std::find_if(monitors.begin(), monitors.end(),
                                      [](const MonitorDefinition &monitor) { return monitor.primary; });
    const MonitorDefinition &main = primary == monitors.end() ? monitors.front() : *primary;
    // Monitors count the screen's pixels; the session widget's frame starts at their
    // bounding box's top left.
    const qreal ratio = devicePixelRatioF();
    const QPoint inWidget(qRound((main.x - left + main.width) / ratio) - SampleInsetFromRight,
                          qRound((main.y - top) / ratio) + SampleTop);
    return msRdpClient_->mapTo(this, inWidget);
}

void SessionWindow::RunOverlayCheck() {
    const std::optional<std::uint32_t> sample = SampleShownPixel();
    host_.LogInfo(OverlayLine(sample));
    if (!movedOnScreen_ && seamlessSetup_ && sample && layered_ && *sample != mask_.Key()) {
        {
            std::lock_guard lock(Control().FrameLock());
            mask_.SetKey(*sample, Control().Frame());
        }
        ApplyMask();
    }
    if (sample && *sample == colourKey_) {
        OverlayFoundFlag(variant_) = true;
        host_.LogInfo("Found Overlay");
        BringOnScreen();
        ApplyColourKey();
        emit overlaySearchEnded(true);
    } else if (tickCount_ >= overlayTickLimit_) {
        host_.LogWarning("timeout while waiting for Overlay");
        RemoveLayering();
        BringOnScreen();
        emit overlaySearchEnded(false);
    }
}

void SessionWindow::BringOnScreen() {
    timerConnected_->stop();
    if (movedOnScreen_) return;
    move(x() + seamlessShift_, y());
    host_.LogInfo("b-left: " + std::to_string(x()));
    movedOnScreen_ = true;
}

// --- window behaviour -------------------------------------------------------------

bool SessionWindow::event(QEvent *event) {
    if (event->type() == CaptionUpdateEvent) {
        CaptionUpdate();
        return true;
    }
    if (event->type() == QEvent::ChildPolished) {
        if (auto *bar = qobject_cast<NavigationBar *>(static_cast<QChildEvent *>(event)->child()))
            connect(bar, &NavigationBar::placed, this, &SessionWindow::OnNavigationBarPlaced,
                    Qt::UniqueConnection);
    }
    return QWidget::event(event);
}

void SessionWindow::resizeEvent(QResizeEvent *event) {
    QWidget::resizeEvent(event);
    try {
        Control().SetFullScreen(isMaximized());
    } catch (...) {
    }
    if (SmartSizing() || windowed_) PlaceSessionWidget();
    if (NavigationBar *bar = NavigationBar::Current(); bar && bar->parentWidget() == this) bar->Replace();
    if (reconnectOverlay_->isVisible()) reconnectOverlay_->setGeometry(rect());
}

// The session window never closes itself: closing it ends the program.
void SessionWindow::closeEvent(QCloseEvent *event) {
    event->ignore();
    host_.CloseMainWindow();
}

void SessionWindow::CaptionUpdate() {
    if (!Acting()) return;
    const ConnectionSettings &session = Control().Settings();
    const std::string *sources[] = {&session.server, &session.domain, &session.userName};
    const char *labels[] = {" Server:   ", " Domain:   ", " UserName: "};
    std::string values[3];
    for (int index = 0; index < 3; ++index) {
        values[index] = Trimmed(QString::fromStdString(*sources[index]));
        host_.LogInfo(labels[index] + values[index]);
    }
    const auto &[server, domain, user] = values;
    std::string caption;
    if (domain.empty())
        caption = user + " :: " + server;
    else if (!ContainsIgnoringCase(user, domain + "\\"))
        caption = domain + "\\" + user + " :: " + server;
    else
        caption = user + " :: " + server;
    host_.SetTitles(caption);
    setWindowTitle(QString::fromStdString(caption));
}

// --- control events ---------------------------------------------------------------

void SessionWindow::OnConnecting() {
    if (!Acting()) return;
    host_.LogInfo("MsRdpClientConnecting");
    connectStartTick_.start();
}

void SessionWindow::OnConnected() {
    if (!Acting()) return;
    host_.LogInfo("MsRdpClientConnected");
    if (connectStartTick_.isValid() && connectStartTick_.elapsed() > SlowConnectMilliseconds) {
        slowConnection_ = true;
        overlayTickLimit_ = SlowConnectOverlayTicks;
        host_.LogInfo("The connection seems to be a bit slow");
    }
    host_.StartUpdateCheck(Control().Settings().server);
}

void SessionWindow::OnLoginComplete() {
    if (!Acting()) return;
    host_.LogInfo("MsRdpClientLoginComplete");
    CaptionUpdate();
    FormShow();
}

void SessionWindow::OnDisconnected(int reason) {
    if (!Acting()) return;
    OverlayFoundFlag(variant_) = false;
    host_.LogInfo("MsRdpClientDisconnected: " + std::to_string(reason));
    timerConnected_->stop();
    hide();
    deleteLater();
    host_.ResetTitles();
    host_.SaveCurrentProfile(traits_.profileTag);
    if (host_.AutoConnected()) {
        host_.LogInfo("AutoClose client...");
        host_.CloseAfterAutoConnect();
    } else {
        host_.ShowMainWindow();
    }
}

void SessionWindow::OnFatalError(int errorCode) {
    if (!Acting()) return;
    host_.LogError("MsRdpClientFatalError: " + std::to_string(errorCode));
    host_.LogError(SystemErrorText(errorCode));
}

void SessionWindow::OnWarning(int warningCode) {
    if (!Acting()) return;
    host_.LogWarning("MsRdpClientWarning: " + std::to_string(warningCode));
    host_.LogWarning(SystemErrorText(warningCode));
}

void SessionWindow::OnAutoReconnecting(int reason, int attemptCount) {
    if (!Acting()) return;
    host_.LogInfo("MsRdpClientAutoReconnecting: " + std::to_string(reason) + " : " +
                  std::to_string(attemptCount));
    reconnecting_ = true;
    ShowConnectionLost(attemptCount);
}

void SessionWindow::OnAutoReconnected() {
    reconnecting_ = false;
    reconnectOverlay_->Dismiss();
}

void SessionWindow::OnConnectionStalled(bool stalled) {
    if (!Acting() || reconnecting_) return;
    if (stalled)
        ShowConnectionLost(0);
    else
        reconnectOverlay_->Dismiss();
}

// The last picture, greyed, in place: windowed, full screen and seamless alike (a
// seamless window's mask keeps the remote windows where they were, and the message).
void SessionWindow::ShowConnectionLost(int attempt) {
    QImage picture;
    {
        std::lock_guard lock(Control().FrameLock());
        picture = ReconnectOverlay::GreyedPicture(Control().Frame());
    }
    if (msRdpClient_->Scaled()) // as the window showed it
        picture = picture.scaled(msRdpClient_->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (attempt > 0)
        reconnectOverlay_->ShowReconnecting(picture, msRdpClient_->pos(), attempt,
                                            RdpControl::MaximumReconnectAttempts);
    else
        reconnectOverlay_->ShowStalled(picture, msRdpClient_->pos());
}

void SessionWindow::OnConnectionLostShown(bool shown) {
    // The navigation bar stays usable above the overlay.
    if (NavigationBar *bar = NavigationBar::Current(); bar && bar->parentWidget() == this && shown)
        bar->raise();
    if (!shown && isVisible()) msRdpClient_->setFocus();
    if (layered_) ApplyMask();
}

void SessionWindow::OnRemoteDesktopSizeChange(int width, int height) {
    if (Acting())
        host_.LogInfo("MsRdpClientRemoteDesktopSizeChange: " + std::to_string(width) + " x " +
                      std::to_string(height));
}

void SessionWindow::OnReceivedTSPublicKey(const QString &key) {
    if (Acting()) host_.LogInfo("MsRdpClientReceivedTSPublicKey: " + key.toStdString());
}

void SessionWindow::OnLeaveFullScreenMode() {
    if (!Acting()) return;
    host_.LogInfo("MsRdpClientLeaveFullScreenMode");
    msRdpClient_->SetKeyboardGrabWanted(false);
    showNormal();
    resize(
        (QSizeF(Control().Settings().desktopWidth, Control().Settings().desktopHeight) / devicePixelRatioF())
            .toSize());
}

// Events the window only reports.
void SessionWindow::LogEventIfActing(std::string_view line) {
    if (Acting()) host_.LogInfo(line);
}

void SessionWindow::OnEnterFullScreenMode() {
    LogEventIfActing("MsRdpClientEnterFullScreenMode");
}
void SessionWindow::OnConfirmClose() {
    LogEventIfActing("MsRdpClientConfirmClose");
}
void SessionWindow::OnIdleTimeoutNotification() {
    LogEventIfActing("MsRdpClientIdleTimeoutNotification");
}
void SessionWindow::OnRequestContainerMinimize() {
    LogEventIfActing("MsRdpClientRequestContainerMinimize");
}
void SessionWindow::OnRequestGoFullScreen() {
    LogEventIfActing("MsRdpClientRequestGoFullScreen");
}
void SessionWindow::OnEnter() {
    LogEventIfActing("MsRdpClientEnter");
}
void SessionWindow::OnExit() {
    LogEventIfActing("MsRdpClientExit");
}
void SessionWindow::OnRequestLeaveFullScreen() {
    LogEventIfActing("MsRdpClientRequestLeaveFullScreen(");
}

} // namespace tsc
