#pragma once

// The session window: hosts one RDP control for one connection, reacts to its
// events, reports the end of the session to the main window and carries out the
// seamless display. One class serves the three control variants; the variant gives
// the window its class name, its profile tag and its size fall-backs.
//
// Seamless display: the window is frameless and its pixels in the key colour are cut
// out with a shape mask, so of the remote desktop only what is not painted in the key
// colour shows on the local screen. The window starts off screen and comes on screen
// once the key colour is seen at (right - 5, 40), or unlayered after a timeout.

#include "ConnectPlan.h"
#include "RdpControl.h"
#include "SeamlessMask.h"
#include "SessionClipboard.h"
#include "SmartSizing.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

class QScrollBar;
class QTimer;

namespace tsc {

class RdpSessionWidget;
class ReconnectOverlay;
class X11WindowPainter;
class SessionHost;

class SessionWindow : public QWidget, public RdpControlEvents {
    Q_OBJECT
  public:
    // Posted to the window to have its caption read again from the control.
    static constexpr QEvent::Type CaptionUpdateEvent = static_cast<QEvent::Type>(QEvent::User + 201);
    static constexpr int OverlayTicks = 30;
    static constexpr int SlowConnectOverlayTicks = 60;
    static constexpr int SlowConnectMilliseconds = 1000;
    static constexpr int SampleInsetFromRight = 5;
    static constexpr int SampleTop = 40;

    // Runs FormCreate. The window stays hidden until the connect procedure shows it.
    SessionWindow(RdpControlVariant variant, std::unique_ptr<RdpControl> control, SessionHost &host);
    ~SessionWindow() override; // FormDestroy

    [[nodiscard]] const SessionVariantTraits &Traits() const { return traits_; }
    [[nodiscard]] RdpControl &Control();
    [[nodiscard]] RdpSessionWidget *MsRdpClient() const { return msRdpClient_; }
    // Shown over the session while its connection is lost.
    [[nodiscard]] ReconnectOverlay *ConnectionLostOverlay() const { return reconnectOverlay_; }

    // Per variant, process-wide: the seamless overlay has been seen in this session.
    [[nodiscard]] static bool OverlayFound(RdpControlVariant variant);

    void SetWindowColour(std::uint32_t rgb);
    // Under a window manager a geometry asked of a shown window takes effect only when
    // the manager has answered; until then size() is the old one. Waits for the window
    // to have `requested` (handling events, 20 ms apart, at most `milliseconds`) and
    // says whether it has. The connect procedure calls it before it sizes the control.
    bool WaitForGeometry(const QRect &requested, int milliseconds = 500);
    // A windowed session: smart sizing as the profile asks (`on`), switchable with
    // Ctrl+Alt+Shift+S for the rest of the session; without it, scroll bars where the
    // remote screen is larger than the window. Call after Connect. Smart-sized, a
    // desktop larger than `workArea` opens in a window that fits, of its shape.
    void OfferSmartSizing(bool on, const QRect &workArea);
    // The remote screen stretched over the client area, following every resize.
    void SetSmartSizing(bool on);
    [[nodiscard]] bool SmartSizing() const;
    // Files the session copied go into a folder the user picks: Ctrl+Alt+Shift+F in
    // the session while there are such files (in every display mode). `choose` stands
    // in for the folder dialog (empty: the dialog).
    void PasteFilesFromSession();
    void SetFolderChooser(std::function<QString()> choose) { chooseFolder_ = std::move(choose); }
    // How far left of its place the connect procedure put a seamless window.
    void SetSeamlessShift(int pixels) { seamlessShift_ = pixels; }

    // Handlers.
    void FormShow();
    void Timer_ConnectedTimer();
    void CaptionUpdate();

    // State the overlay search keeps.
    [[nodiscard]] bool MovedOnScreen() const { return movedOnScreen_; }
    [[nodiscard]] bool Layered() const { return layered_; }
    [[nodiscard]] int OverlayTickLimit() const { return overlayTickLimit_; }
    [[nodiscard]] int OverlayTickCount() const { return tickCount_; }
    [[nodiscard]] QTimer *Timer_Connected() const { return timerConnected_; }
    [[nodiscard]] const QRegion &VisibleRegion() const { return mask_.Visible(); }

    // Control events.
    void OnConnecting() override;
    void OnConnected() override;
    void OnLoginComplete() override;
    void OnDisconnected(int reason) override;
    void OnFatalError(int errorCode) override;
    void OnWarning(int warningCode) override;
    void OnAutoReconnecting(int reason, int attemptCount) override;
    void OnAutoReconnected() override;
    void OnConnectionStalled(bool stalled) override;
    void OnRemoteDesktopSizeChange(int width, int height) override;
    void OnReceivedTSPublicKey(const QString &key) override;
    void OnEnterFullScreenMode() override;
    void OnLeaveFullScreenMode() override;
    void OnRequestGoFullScreen() override;
    void OnRequestLeaveFullScreen() override;
    void OnRequestContainerMinimize() override;
    void OnIdleTimeoutNotification() override;
    void OnConfirmClose() override;
    void OnEnter() override;
    void OnExit() override;

  signals:
    // After the overlay search ended: found, or timed out and shown unlayered.
    void overlaySearchEnded(bool found);

  protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    [[nodiscard]] QPaintEngine *paintEngine() const override;

  private:
    void FormCreate();
    [[nodiscard]] bool Acting() const;
    void LogEventIfActing(std::string_view line);
    void ApplyColourKey();
    void RemoveLayering();
    void RunOverlayCheck();
    void BringOnScreen();
    [[nodiscard]] std::optional<std::uint32_t> SampleShownPixel();
    [[nodiscard]] QPoint SamplePoint();
    void OnFrameUpdated(const QRegion &damage);
    void OnFrameResized();
    void ApplyMask();
    void OnNavigationBarPlaced();
    void ShowConnectionLost(int attempt); // 0: stalled, no attempt yet
    void OnConnectionLostShown(bool shown);
    void PlaceSessionWidget();
    void ShowScrollBars(const ScrollBars &bars);
    [[nodiscard]] QPoint ScrolledOrigin() const;
    void ChoosePaintRoute();

    RdpControlVariant variant_;
    const SessionVariantTraits &traits_;
    SessionHost &host_;
    RdpSessionWidget *msRdpClient_ = nullptr;
    bool windowed_ = false; // a windowed session (smart sizing or scroll bars)
    QScrollBar *horizontalBar_ = nullptr;
    QScrollBar *verticalBar_ = nullptr;
    QWidget *scrollCorner_ = nullptr;
    ReconnectOverlay *reconnectOverlay_ = nullptr;
    bool reconnecting_ = false; // between OnAutoReconnecting and the session's return or end
    // Set when the session widget draws into its own X11 window: this window then
    // fills its background the same way and the toolkit keeps no backing store.
    std::unique_ptr<X11WindowPainter> painter_;
    std::unique_ptr<SessionClipboard> clipboard_; // the desktop's clipboard shared with the session
    std::function<QString()> chooseFolder_;
    QTimer *timerConnected_ = nullptr;
    std::uint32_t colourKey_ = 0xFF00FF;
    bool seamlessSetup_ = false; // the colour key can be applied (seamless at creation)
    bool layered_ = false;       // the key colour is cut out now
    SeamlessMask mask_;
    bool movedOnScreen_ = false;
    bool inOverlayCheck_ = false;
    int overlayTickLimit_ = OverlayTicks;
    bool slowConnection_ = false; // this session's connect took longer than SlowConnectMilliseconds
    int tickCount_ = 0;
    int seamlessShift_ = 0;
    QElapsedTimer connectStartTick_;
};

} // namespace tsc
