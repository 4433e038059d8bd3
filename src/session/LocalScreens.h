#pragma once

// The local screens as the connect procedure sees them, the window manager's
// full screen over several monitors, and the watch that notes a change of the
// monitors while a session keeps the layout it connected with.

#include "MonitorLayout.h"

#include <QObject>
#include <QWindow>

#include <functional>
#include <string>
#include <vector>

class QScreen;

namespace tsc {

// The screens now, in the desktop's order (the ids of "selectedmonitors"), in the
// screen's own pixels: the toolkit keeps a screen's top-left in device pixels and
// scales only its size.
[[nodiscard]] std::vector<LocalScreen> CurrentLocalScreens();

// Full screen over the monitors of `layout` as the window manager knows it: on X11
// _NET_WM_FULLSCREEN_MONITORS (the edges taken from the monitors' indexes, which are
// the ids) followed by _NET_WM_STATE_FULLSCREEN. False, and nothing asked, where the
// window manager does not support it (or there is none); the window's geometry then
// stands alone.
bool AskFullScreenOverMonitors(QWindow *window, const MonitorLayout &layout);

// Reports once per session, through `report`, that the local monitors changed
// (added, removed, moved or resized) after the session connected.
class MonitorChangeWatch : public QObject {
    Q_OBJECT
  public:
    MonitorChangeWatch(std::function<void(const std::string &)> report, QObject *parent);

  private:
    void Watch(QScreen *screen);
    void Changed();

    std::function<void(const std::string &)> report_;
    bool reported_ = false;
};

} // namespace tsc
