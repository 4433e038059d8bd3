// The application core's opening of a session: the session window of the installed
// control variant, its display mode, monitors and place, the desktop size the control
// accepts, the control's properties, and the start of the connection.

#include "ClientCore.h"

#include "CaptionApplier.h"
#include "CaptionTable.h"
#include "DesktopIntegration.h"
#include "Language.h"
#include "LocalScreens.h"
#include "NavigationBar.h"
#include "RdpSessionWidget.h"
#include "SessionWindow.h"
#include "SystemInfo.h"
#include "UserDialogs.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QWindow>

#include <stdexcept>
#include <string>

namespace tsc::shell {

namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

// The session window, its display mode and place, the control's properties, and
// the start of the connection. Any failure shows the main window again and frees
// the session window.
void ClientCore::OpenSession(const ConnectTarget &target, const MonitorAreas &monitor) {
    const RdpControlVariant variant = VariantForVersion(rdpClientVersion_);
    try {
        if (variant == RdpControlVariant::Unsupported)
            throw std::runtime_error("no RDP control for version " + rdpClientVersion_);
        FreeSessionWindow(variant);
        QString error;
        std::unique_ptr<RdpControl> control = services_.createRdpControl(&error);
        if (!control) throw std::runtime_error(error.toStdString());
        auto *window = new SessionWindow(variant, std::move(control), *this);
        sessionWindows_[SessionVariantIndex(variant)] = window;
        const int sizeIndex = settings_.desktopSizeIndex;
        if (settings_.displayConnectionBar && profiles::IsFullScreenIndex(sizeIndex)) {
            NavigationBar *bar = NavigationBar::Create(window);
            // A language table's second image brands the bar in place of its toggle icon.
            if (QPixmap branding; bar && language::LoadImage(LanguageSecondImage(), branding))
                bar->SetBrandingImage(branding);
        } else
            NavigationBar::Destroy();

        const DisplayPlan display =
            PlanDisplay(DoSeamless(), sizeIndex, RgbFromColorRef(TransparencyColor()));
        LogInfo(display.logLine);
        window->SetWindowColour(display.windowColour);
        window->setWindowFlag(Qt::FramelessWindowHint, display.frameless);
        // Several monitors: the layout of the screens present now, kept for the session.
        const MonitorLayout layout = SpansMonitors(settings_.useMultimon, display.mode)
                                         ? PlanSessionMonitors(display.mode, sizeIndex)
                                         : MonitorLayout{};
        const bool spans = !layout.monitors.empty();
        const Placement placement =
            spans ? PlaceAcrossMonitors(display.mode, sizeIndex, ToolkitArea(layout.localBounds))
                  : tsc::PlaceSessionWindow(display.mode, sizeIndex, settings_.desktopWidth,
                                            settings_.desktopHeight, monitor.full, monitor.work);
        if (placement.wholeMonitor && !spans) AskForFullScreen(*window, placement.client);
        if (spans) window->setGeometry(placement.client);
        window->show();
        window->raise();
        window->activateWindow();
        if (spans && placement.wholeMonitor)
            LogInfo(AskFullScreenOverMonitors(window->windowHandle(), layout)
                        ? "Full screen over the monitors: asked the window manager"
                        : "Full screen over the monitors: the window manager does not offer it, placed by "
                          "geometry");

        const QSize planned = PlaceSessionWindow(*window, placement);

        NavigationBar *bar = NavigationBar::Current();
        if (spans && bar)
            bar->SetHomeArea(
                ToolkitArea(NavigationBarArea(monitor.full, layout)).translated(-placement.client.topLeft()));
        if (settings_.displayConnectionBar && bar)
            bar->ExpandWithCaption(QCoreApplication::applicationName());

        LogInfo("RDP object: set properties");
        const std::string caption = SessionCaption(settings_, target.host);
        SetTitles(caption);
        window->setWindowTitle(Q(caption));
        const QSize desktop = FitDesktopSize(*window, planned);
        ConnectionSettings connection =
            BuildConnectionSettings(SettingsToConnect(), target, display, desktop);
        connection.scalePercent = RemoteScalePercent(ScreenScale(*window));
        if (spans) {
            // A desktop the control lowered no longer holds the monitors: one monitor then.
            if (desktop == layout.DesktopSize() ||
                desktop == (QSizeF(planned) * window->devicePixelRatioF()).toSize()) {
                connection.desktopWidth = layout.DesktopSize().width();
                connection.desktopHeight = layout.DesktopSize().height();
                connection.monitors = MonitorDefinitionsOf(layout);
            } else
                LogWarning("The monitors do not fit the desktop size the control accepts; one monitor");
            new MonitorChangeWatch([this](const std::string &line) { LogInfo(line); }, window);
        }
        LogInfo("Colors: " + std::to_string(connection.colorDepth));
        LogInfo("RDP object: connect");
        window->Control().Connect(connection);
        if (display.mode == DisplayMode::Windowed)
            window->OfferSmartSizing(settings_.smartSizing, monitor.work);
        window->MsRdpClient()->SetKeyboardGrabWanted(
            GrabsKeyboard(display.mode, connection.keyboardHookMode));
        connection.WipePassword();
        RecordConnectedHost(target.host, target.port);
    } catch (const std::exception &failure) {
        ConnectFailed(failure.what(), variant);
    }
}

// The monitors a session spans, from the screens present now; logged with what was
// left out.
MonitorLayout ClientCore::PlanSessionMonitors(DisplayMode mode, int sizeIndex) {
    const MonitorLayout layout =
        PlanMonitorLayout(CurrentLocalScreens(), ParseSelectedMonitors(settings_.selectedMonitors),
                          MonitorsUseWorkArea(mode, sizeIndex));
    LogInfo("Use multimon: " + DescribeMonitorLayout(layout));
    for (const std::string &reason : layout.leftOut)
        LogWarning("Use multimon: left out " + reason);
    return layout;
}

// An area in the screen's pixels in the toolkit's coordinates: the top-left stays,
// the size is divided by the toolkit's scale.
QRect ClientCore::ToolkitArea(const QRect &devicePixels) {
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    return {devicePixels.topLeft(), (QSizeF(devicePixels.size()) / ratio).toSize()};
}

QSize ClientCore::PlaceSessionWindow(SessionWindow &window, const Placement &placement) {
    if (placement.usesClientOrigin) {
        window.setGeometry(placement.client);
        // A window manager applies a frameless full-screen geometry a moment later;
        // the remote desktop is sized from the window only once it has.
        window.WaitForGeometry(placement.client);
    } else {
        window.move(placement.client.topLeft());
        window.resize(placement.client.size());
    }
    if (placement.seamlessShift != 0) {
        window.move(window.x() - placement.seamlessShift, window.y());
        window.SetSeamlessShift(placement.seamlessShift);
    }
    QCoreApplication::processEvents();
    window.repaint();
    return placement.client.size();
}

// Full screen as the window manager knows it (_NET_WM_STATE_FULLSCREEN), on the
// planned monitor. Asked before the window is first shown: a manager reads the state
// when it maps the window, and some (weston's) size a window only on that request;
// it also keeps the window above the manager's panels. Without a manager the
// geometry set here and at placement stands.
void ClientCore::AskForFullScreen(SessionWindow &window, const QRect &monitor) {
    window.setGeometry(monitor);
    window.setWindowState(window.windowState() | Qt::WindowFullScreen);
}

// The remote desktop fills the planned client area; a size the control refuses is
// lowered to the variant's next fall-back (the window follows), and a refusal of the
// last one fails the connect.
// The desktop is asked for in the screen's pixels: on a screen the toolkit scales,
// the session window's size times the scale, so the remote picture is shown 1:1.
QSize ClientCore::FitDesktopSize(SessionWindow &window, QSize size) {
    const auto &fallbacks = window.Traits().sizeFallbacks;
    const qreal ratio = window.devicePixelRatioF();
    QSize desktop = (QSizeF(size) * ratio).toSize();
    for (std::size_t step = 0;; ++step) {
        window.MsRdpClient()->setGeometry(QRect(QPoint(0, 0), size));
        if (window.Control().AcceptsDesktopSize(desktop.width(), desktop.height())) break;
        const std::string sizeText =
            std::to_string(desktop.width()) + " x " + std::to_string(desktop.height());
        if (step == fallbacks.size())
            throw std::runtime_error("The RDP control refuses the desktop size " + sizeText);
        LogWarning("Can not do desired width x height: " + sizeText);
        desktop = FallbackSize(desktop, window.Traits(), step);
        size = (QSizeF(desktop) / ratio).toSize();
        window.resize(size);
    }
    const QRect placed = window.MsRdpClient()->geometry();
    LogInfo("left:   " + std::to_string(placed.left()));
    LogInfo("top:    " + std::to_string(placed.top()));
    LogInfo("width:  " + std::to_string(desktop.width()));
    LogInfo("height: " + std::to_string(desktop.height()));
    return desktop;
}

// The screen's pixels per inch over 96: the toolkit's scale times what it reports
// per scaled pixel.
double ClientCore::ScreenScale(const SessionWindow &window) {
    const QScreen *screen = window.screen();
    const double dotsPerInch = screen ? screen->logicalDotsPerInch() : 96.0;
    return window.devicePixelRatioF() * dotsPerInch / 96.0;
}

void ClientCore::ConnectFailed(const std::string &message, RdpControlVariant variant) {
    LogError("Exception RDP object: " + message);
    dialogs_.ShowMessage(title_, "An error occured: " + message + "\r\r" + language::EngineReinstallAdvice,
                         UserDialogs::Buttons::Ok, UserDialogs::Icon::Error);
    emit showMainWindowRequested();
    if (variant != RdpControlVariant::Unsupported) FreeSessionWindow(variant);
}

void ClientCore::FreeSessionWindow(RdpControlVariant variant) {
    delete sessionWindows_[SessionVariantIndex(variant)].data();
}

SessionWindow *ClientCore::SessionWindowOf(RdpControlVariant variant) const {
    return sessionWindows_[SessionVariantIndex(variant)].data();
}

} // namespace tsc::shell
