#include "ShadowServer.h"

#include <QHostAddress>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>

#include <X11/Xlib.h>

namespace tsc::test {

namespace {

void Stop(std::unique_ptr<QProcess> &process) {
    if (!process) return;
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    process.reset();
}

bool Listening(const QString &address, quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(address), port);
    const bool connected = socket.waitForConnected(200);
    socket.abort();
    return connected;
}

} // namespace

quint16 FreeLoopbackPort() {
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
    return probe.serverPort();
}

ShadowServer::ShadowServer(const QString &configHome, const QString &rootColour)
    : configHome_(configHome), rootColour_(rootColour) {}

ShadowServer::~ShadowServer() {
    if (xDisplay_) XCloseDisplay(static_cast<::Display *>(xDisplay_));
    Stop(server_);
    Stop(xvfb_);
}

bool ShadowServer::Start(quint16 port) {
    return StartDisplay() && StartServer(port);
}

bool ShadowServer::StartDisplay() {
    xvfb_ = std::make_unique<QProcess>();
    // -displayfd picks a free display number and reports it on standard output.
    xvfb_->start(QStringLiteral("Xvfb"),
                 {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                  QStringLiteral("0"), screenSize_, QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                  QStringLiteral("-noreset")});
    if (!xvfb_->waitForStarted(5000)) {
        error_ = QStringLiteral("Xvfb did not start");
        return false;
    }
    if (!WaitFor([&] { return xvfb_->canReadLine() || xvfb_->state() == QProcess::NotRunning; }, 10000) ||
        !xvfb_->canReadLine()) {
        error_ = QStringLiteral("Xvfb reported no display");
        return false;
    }
    display_ = QStringLiteral(":") + QString::fromLatin1(xvfb_->readLine()).trimmed();
    QProcess setRoot;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display_);
    setRoot.setProcessEnvironment(environment);
    setRoot.start(QStringLiteral("xsetroot"), {QStringLiteral("-solid"), rootColour_});
    if (!setRoot.waitForFinished(5000) || setRoot.exitCode() != 0) {
        error_ = QStringLiteral("xsetroot failed");
        return false;
    }
    xDisplay_ = XOpenDisplay(display_.toLatin1().constData());
    return xDisplay_ != nullptr;
}

bool ShadowServer::StartServer(quint16 port) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = port != 0 ? port : FreeLoopbackPort();
        server_ = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display_);
        environment.insert(QStringLiteral("HOME"), configHome_);
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome_);
        server_->setProcessEnvironment(environment);
        server_->setProcessChannelMode(QProcess::MergedChannels);
        server_->setStandardOutputFile(configHome_ + QStringLiteral("/shadow.log"), QIODevice::Append);
        server_->start(QStringLiteral("freerdp-shadow-cli"),
                       {QStringLiteral("/bind-address:") + address_, QStringLiteral("/port:%1").arg(port_),
                        QStringLiteral("-auth")});
        if (WaitFor([&] { return server_->state() == QProcess::NotRunning || Listening(address_, port_); },
                    10000) &&
            server_->state() == QProcess::Running)
            return true;
        Stop(server_);
        if (port != 0) QThread::msleep(200); // the fixed port may still be held by the last server
    }
    error_ = QStringLiteral("freerdp-shadow-cli did not listen");
    return false;
}

void ShadowServer::PaintRectangle(int x, int y, int width, int height, std::uint32_t rgb) {
    auto *display = static_cast<::Display *>(xDisplay_);
    if (!display) return;
    const Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    XSetForeground(display, gc, rgb); // the display is 24-bit TrueColor: the pixel is 0xRRGGBB
    XFillRectangle(display, root, gc, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFreeGC(display, gc);
    XFlush(display);
}

void ShadowServer::ClearScreen() {
    auto *display = static_cast<::Display *>(xDisplay_);
    if (!display) return;
    XClearWindow(display, DefaultRootWindow(display));
    XFlush(display);
}

void ShadowServer::StopServer() {
    Stop(server_);
}

bool ShadowServer::RestartServer(const QString &configHome) {
    StopServer();
    configHome_ = configHome;
    return StartServer(port_);
}

namespace {

struct PointerState {
    int x = -1;
    int y = -1;
    unsigned int mask = 0;
};

PointerState QueryPointer(::Display *display) {
    PointerState state;
    Window root = 0;
    Window child = 0;
    int windowX = 0;
    int windowY = 0;
    XQueryPointer(display, DefaultRootWindow(display), &root, &child, &state.x, &state.y, &windowX, &windowY,
                  &state.mask);
    return state;
}

} // namespace

bool ShadowServer::PointerAt(int x, int y) const {
    const PointerState pointer = QueryPointer(static_cast<::Display *>(xDisplay_));
    return pointer.x == x && pointer.y == y;
}

bool ShadowServer::ButtonDown(int button) const {
    const PointerState pointer = QueryPointer(static_cast<::Display *>(xDisplay_));
    return (pointer.mask & (Button1Mask << (button - 1))) != 0;
}

bool ShadowServer::KeyDown(int keyCode) const {
    char keys[32] = {};
    XQueryKeymap(static_cast<::Display *>(xDisplay_), keys);
    return (keys[keyCode / 8] & (1 << (keyCode % 8))) != 0;
}

} // namespace tsc::test
