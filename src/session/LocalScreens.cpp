#include "LocalScreens.h"

#include <QGuiApplication>
#include <QScreen>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace tsc {

namespace {

xcb_connection_t *ApplicationConnection() {
    auto *application = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return application ? application->connection() : nullptr;
}

xcb_atom_t Atom(xcb_connection_t *connection, const char *name) {
    const auto cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// Whether the window manager lists `atom` in _NET_SUPPORTED.
bool ManagerSupports(xcb_connection_t *connection, xcb_window_t root, xcb_atom_t atom) {
    const xcb_atom_t supported = Atom(connection, "_NET_SUPPORTED");
    if (supported == XCB_ATOM_NONE || atom == XCB_ATOM_NONE) return false;
    const auto cookie = xcb_get_property(connection, 0, root, supported, XCB_ATOM_ATOM, 0, 4096);
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
        xcb_get_property_reply(connection, cookie, nullptr), &std::free);
    if (!reply || reply->format != 32) return false;
    const auto *atoms = static_cast<const xcb_atom_t *>(xcb_get_property_value(reply.get()));
    const int count = xcb_get_property_value_length(reply.get()) / 4;
    return std::find(atoms, atoms + count, atom) != atoms + count;
}

void SendToManager(xcb_connection_t *connection, xcb_window_t root, xcb_window_t window, xcb_atom_t type,
                   const std::uint32_t (&data)[5]) {
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window;
    event.type = type;
    std::copy(std::begin(data), std::end(data), event.data.data32);
    xcb_send_event(connection, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                   reinterpret_cast<const char *>(&event));
}

} // namespace

std::vector<LocalScreen> CurrentLocalScreens() {
    std::vector<LocalScreen> screens;
    const QScreen *primary = QGuiApplication::primaryScreen();
    for (const QScreen *screen : QGuiApplication::screens()) {
        const qreal ratio = screen->devicePixelRatio();
        const QRect geometry = screen->geometry();
        const QRect work = screen->availableGeometry();
        const auto device = [&](const QRect &area) {
            return QRect(geometry.topLeft() + (area.topLeft() - geometry.topLeft()) * ratio,
                         (QSizeF(area.size()) * ratio).toSize());
        };
        LocalScreen local;
        local.geometry = device(geometry);
        local.workArea = device(work);
        local.primary = screen == primary;
        local.physicalMillimetres = screen->physicalSize().toSize();
        screens.push_back(local);
    }
    return screens;
}

bool AskFullScreenOverMonitors(QWindow *window, const MonitorLayout &layout) {
    xcb_connection_t *connection = ApplicationConnection();
    if (!window || !connection || layout.monitors.empty()) return false;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    const xcb_atom_t monitors = Atom(connection, "_NET_WM_FULLSCREEN_MONITORS");
    if (!ManagerSupports(connection, root, monitors)) return false;
    // The monitors that hold the top, bottom, left and right edges of the whole.
    const std::vector<QRect> areas = layout.LocalAreas();
    std::size_t top = 0, bottom = 0, left = 0, right = 0;
    for (std::size_t index = 1; index < areas.size(); ++index) {
        if (areas[index].top() < areas[top].top()) top = index;
        if (areas[index].bottom() > areas[bottom].bottom()) bottom = index;
        if (areas[index].left() < areas[left].left()) left = index;
        if (areas[index].right() > areas[right].right()) right = index;
    }
    const auto id = [&](std::size_t index) {
        return static_cast<std::uint32_t>(layout.monitors[index].screenIndex);
    };
    const auto handle = static_cast<xcb_window_t>(window->winId());
    SendToManager(connection, root, handle, monitors, {id(top), id(bottom), id(left), id(right), 1});
    constexpr std::uint32_t Add = 1;
    SendToManager(connection, root, handle, Atom(connection, "_NET_WM_STATE"),
                  {Add, Atom(connection, "_NET_WM_STATE_FULLSCREEN"), 0, 1, 0});
    xcb_flush(connection);
    return true;
}

MonitorChangeWatch::MonitorChangeWatch(std::function<void(const std::string &)> report, QObject *parent)
    : QObject(parent), report_(std::move(report)) {
    auto *application = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!application) return;
    connect(application, &QGuiApplication::screenAdded, this, [this](QScreen *screen) {
        Watch(screen);
        Changed();
    });
    connect(application, &QGuiApplication::screenRemoved, this, &MonitorChangeWatch::Changed);
    connect(application, &QGuiApplication::primaryScreenChanged, this, &MonitorChangeWatch::Changed);
    for (QScreen *screen : QGuiApplication::screens())
        Watch(screen);
}

void MonitorChangeWatch::Watch(QScreen *screen) {
    connect(screen, &QScreen::geometryChanged, this, &MonitorChangeWatch::Changed);
}

void MonitorChangeWatch::Changed() {
    if (reported_) return;
    reported_ = true;
    report_("The monitors changed; the session keeps the monitor layout it connected with until the next "
            "connect");
}

} // namespace tsc
