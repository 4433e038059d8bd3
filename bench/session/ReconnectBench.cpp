// tsc-reconnect-bench: how fast a session comes back after the network let it down,
// this engine beside xfreerdp +auto-reconnect, through the same fault proxy to the
// same freerdp-shadow-cli in one run; and the longest pause of the user-interface
// thread's event loop while the engine makes its twenty failed attempts.
//
//   tsc-reconnect-bench [--runs N] [--skip-xfreerdp] [--skip-gap]
//
// Each figure: the time from the proxy's recovery (the reset itself; the end of a
// refusal) to the first picture of the new connection, seen as a colour the server
// painted during the outage. Prints one JSON line per measurement.

#include "FaultProxy.h"
#include "RdpEngineLibrary.h"
#include "ShadowServer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tsc::tools::FaultProxy;

constexpr std::uint32_t Colours[] = {0x3366CC, 0x22AA44, 0xCC6633, 0x8844AA};

bool Near(std::uint32_t pixel, std::uint32_t rgb) {
    for (int shift : {0, 8, 16})
        if (std::abs(int((pixel >> shift) & 0xFF) - int((rgb >> shift) & 0xFF)) > 16) return false;
    return true;
}

// A client to measure: shows whether its picture has the colour now.
class Client {
  public:
    virtual ~Client() = default;
    virtual bool Start(quint16 port) = 0;
    virtual bool Shows(std::uint32_t rgb) = 0;
    virtual bool Ended() = 0;
};

class OurEngine final : public Client, public tsc::RdpControlEvents {
  public:
    bool Start(quint16 port) override {
        QString error;
        control_ = tsc::RdpEngineLibrary::Instance().CreateControl(&error);
        if (!control_) {
            std::fprintf(stderr, "engine: %s\n", qPrintable(error));
            return false;
        }
        control_->SetEventHandler(this);
        tsc::ConnectionSettings settings;
        settings.server = "127.27.0.12";
        settings.port = port;
        settings.userName = "test";
        settings.password = "test";
        settings.colorDepth = 24;
        settings.audioMode = tsc::AudioMode::DoNotPlay;
        return control_->Connect(settings);
    }
    bool Shows(std::uint32_t rgb) override {
        std::lock_guard lock(control_->FrameLock());
        const tsc::RdpFrame frame = control_->Frame();
        if (!frame.data) return false;
        const auto *row =
            reinterpret_cast<const std::uint32_t *>(frame.data + (frame.height / 2) * frame.stride);
        return Near(row[frame.width / 2], rgb);
    }
    bool Ended() override { return ended_; }
    void OnAutoReconnecting(int, int attempt) override { attempts = attempt; }
    void OnDisconnected(int) override { ended_ = true; }
    ~OurEngine() override {
        if (control_) {
            control_->Disconnect();
            control_->SetEventHandler(nullptr);
        }
    }
    int attempts = 0;

  private:
    std::unique_ptr<tsc::RdpControl> control_;
    bool ended_ = false;
};

// xfreerdp full screen on a display of its own; its picture read back from the X server.
class XFreeRdp final : public Client {
  public:
    explicit XFreeRdp(QString display) : display_(std::move(display)) {}
    bool Start(quint16 port) override {
        x_ = XOpenDisplay(display_.toLatin1().constData());
        if (!x_) return false;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display_);
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.setStandardOutputFile(QStringLiteral("/tmp/tsc-reconnect-bench-xfreerdp.log"),
                                       QIODevice::Append);
        process_.start(QStringLiteral("xfreerdp"),
                       {QStringLiteral("/v:127.27.0.12:%1").arg(port), QStringLiteral("/u:test"),
                        QStringLiteral("/p:test"), QStringLiteral("/cert:ignore"), QStringLiteral("/f"),
                        QStringLiteral("+auto-reconnect"), QStringLiteral("/auto-reconnect-max-retries:20"),
                        QStringLiteral("/audio-mode:2")});
        return process_.waitForStarted(5000);
    }
    bool Shows(std::uint32_t rgb) override {
        XImage *image = XGetImage(x_, DefaultRootWindow(x_), 512, 384, 1, 1, AllPlanes, ZPixmap);
        if (!image) return false;
        const unsigned long pixel = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        return Near(static_cast<std::uint32_t>(pixel & 0xFFFFFF), rgb);
    }
    bool Ended() override { return process_.state() == QProcess::NotRunning; }
    ~XFreeRdp() override {
        process_.terminate();
        if (!process_.waitForFinished(3000)) process_.kill();
        process_.waitForFinished(3000);
        if (x_) XCloseDisplay(x_);
    }

  private:
    QString display_;
    QProcess process_;
    Display *x_ = nullptr;
};

// Runs the event loop until `done` or `limit`; returns whether `done` held.
bool Until(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        QThread::msleep(2);
    }
    return true;
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// One outage: the server paints a new colour meanwhile; the figure is the time from
// the proxy's recovery to that colour on the client.
void Outage(const char *clientName, Client &client, FaultProxy &proxy, tsc::test::ShadowServer &server,
            const char *fault, std::chrono::milliseconds refuse, int &colourIndex, int run) {
    const std::uint32_t before = Colours[colourIndex % 4];
    const std::uint32_t after = Colours[(colourIndex + 1) % 4];
    ++colourIndex;
    if (!Until([&] { return client.Shows(before); }, 30s)) {
        std::printf("{\"client\":\"%s\",\"fault\":\"%s\",\"run\":%d,\"error\":\"no picture before\"}\n",
                    clientName, fault, run);
        return;
    }
    Until([] { return false; }, 1500ms); // settled
    Clock::time_point recovered;
    if (refuse.count() == 0) {
        proxy.Reset();
        recovered = Clock::now();
    } else {
        proxy.Refuse(refuse);
    }
    server.PaintRectangle(0, 0, 1024, 768, after);
    if (refuse.count() != 0) {
        Until([&] { return proxy.RecoveredAt().time_since_epoch().count() != 0; }, refuse + 5s);
        recovered = proxy.RecoveredAt();
    }
    const bool back = Until([&] { return client.Shows(after) || client.Ended(); }, 150s) && !client.Ended();
    if (back)
        std::printf("{\"client\":\"%s\",\"fault\":\"%s\",\"run\":%d,\"recovery_to_picture_s\":%.3f}\n",
                    clientName, fault, run, Seconds(Clock::now() - recovered));
    else
        std::printf("{\"client\":\"%s\",\"fault\":\"%s\",\"run\":%d,\"error\":\"%s\"}\n", clientName, fault,
                    run, client.Ended() ? "session ended" : "no new picture in 150 s");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    int runs = 1;
    bool xfreerdp = true;
    bool gap = true;
    for (int index = 1; index < argc; ++index) {
        const QString argument = QString::fromLocal8Bit(argv[index]);
        if (argument == QStringLiteral("--runs") && index + 1 < argc) runs = std::atoi(argv[++index]);
        if (argument == QStringLiteral("--skip-xfreerdp")) xfreerdp = false;
        if (argument == QStringLiteral("--skip-gap")) gap = false;
    }
    QTemporaryDir folder;
    tsc::test::ShadowServer server(folder.path(), QStringLiteral("#3366CC"));
    server.SetAddress(QStringLiteral("127.27.0.11"));
    if (!server.Start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.Error()));
        return 1;
    }
    server.PaintRectangle(0, 0, 1024, 768, Colours[0]);
    // xfreerdp's own display: a second Xvfb whose shadow server is stopped at once.
    QTemporaryDir clientFolder;
    tsc::test::ShadowServer clientDisplay(clientFolder.path(), QStringLiteral("#000000"));
    clientDisplay.SetAddress(QStringLiteral("127.27.0.13"));
    if (xfreerdp && !clientDisplay.Start()) {
        std::fprintf(stderr, "client display: %s\n", qPrintable(clientDisplay.Error()));
        return 1;
    }
    clientDisplay.StopServer();

    const struct {
        const char *name;
        std::chrono::milliseconds refuse;
    } faults[] = {{"reset", 0ms}, {"refuse-10s", 10s}, {"refuse-60s", 60s}};
    int colourIndex = 0;
    for (int run = 1; run <= runs; ++run) {
        for (const auto &fault : faults) {
            for (int which = 0; which < (xfreerdp ? 2 : 1); ++which) {
                FaultProxy proxy("127.27.0.12", "127.27.0.11", server.Port());
                if (!proxy.Start()) return 1;
                std::unique_ptr<Client> client;
                if (which == 0)
                    client = std::make_unique<OurEngine>();
                else
                    client = std::make_unique<XFreeRdp>(clientDisplay.Display());
                if (!client->Start(proxy.Port())) return 1;
                server.PaintRectangle(0, 0, 1024, 768, Colours[colourIndex % 4]);
                Outage(which == 0 ? "ours" : "xfreerdp", *client, proxy, server, fault.name, fault.refuse,
                       colourIndex, run);
            }
        }
    }

    if (gap) {
        // Twenty failed attempts against a proxy that accepts and drops every
        // connection; a 5 ms timer on the user-interface thread records its longest pause.
        FaultProxy proxy("127.27.0.12", "127.27.0.11", server.Port());
        if (!proxy.Start()) return 1;
        OurEngine client;
        if (!client.Start(proxy.Port())) return 1;
        Until([&] { return client.Shows(Colours[colourIndex % 4]); }, 30s);
        Until([] { return false; }, 1000ms);
        qint64 longest = 0;
        QElapsedTimer sinceTick;
        QTimer tick;
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
        proxy.DropAccepted(true);
        proxy.Reset();
        const auto start = Clock::now();
        sinceTick.start();
        tick.start();
        const bool ended = Until([&] { return client.Ended(); }, 200s);
        tick.stop();
        std::printf(
            "{\"client\":\"ours\",\"fault\":\"drop-every-connection\",\"attempts\":%d,\"ended\":%s,"
            "\"seconds_to_end\":%.1f,\"connections_accepted\":%d,\"longest_event_loop_gap_ms\":%lld}\n",
            client.attempts, ended ? "true" : "false", Seconds(Clock::now() - start), proxy.Accepted(),
            static_cast<long long>(longest));
    }
    return 0;
}
