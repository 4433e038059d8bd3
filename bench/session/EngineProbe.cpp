// tsc-engine-probe: one RDP session through the engine, shown 1:1 in a borderless
// window at the top-left of the screen, for measurements against other clients.
//
//   tsc-engine-probe HOST PORT [COLOR_DEPTH] [--seamless]
//
// User "test", password "test". Ends when the session ends.

#include "LogSink.h"
#include "RdpEngineLibrary.h"
#include "RdpSessionWidget.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStringList>

#include <cstdio>
#include <memory>
#include <utility>

namespace {

// Milliseconds since the probe started, in front of every line it prints.
QElapsedTimer &Clock() {
    static QElapsedTimer clock;
    return clock;
}

class StderrLog : public tsc::LogSink {
  public:
    void LogInfo(std::string_view message) override { Print("I", message); }
    void LogWarning(std::string_view message) override { Print("W", message); }
    void LogError(std::string_view message) override { Print("E", message); }

  private:
    static void Print(const char *level, std::string_view message) {
        std::fprintf(stderr, "%6lld %s %.*s\n", static_cast<long long>(Clock().elapsed()), level,
                     static_cast<int>(message.size()), message.data());
    }
};

class QuitOnDisconnect : public tsc::RdpControlEvents {
  public:
    void OnDisconnected(int reason) override {
        std::fprintf(stderr, "disconnected: %d\n", reason);
        QApplication::exit(reason == 1 ? 0 : 1);
    }
};

} // namespace

int main(int argc, char **argv) {
    Clock().start();
    QApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 3) {
        std::fprintf(stderr, "usage: tsc-engine-probe HOST PORT [COLOR_DEPTH] [--seamless]\n");
        return 2;
    }
    QString error;
    std::unique_ptr<tsc::RdpControl> control = tsc::RdpEngineLibrary::Instance().CreateControl(&error);
    if (!control) {
        std::fprintf(stderr, "no engine: %s\n", qPrintable(error));
        return 1;
    }
    StderrLog log;
    QuitOnDisconnect events;
    tsc::RdpSessionWidget widget(std::move(control));
    tsc::RdpControl &session = widget.Control();
    session.SetLogSink(&log);
    session.SetEventHandler(&events);
    tsc::ConnectionSettings settings;
    settings.server = arguments[1].toStdString();
    settings.port = arguments[2].toInt();
    settings.userName = "test";
    settings.password = "test";
    settings.audioMode = tsc::AudioMode::DoNotPlay;
    settings.colorDepth =
        arguments.size() > 3 && !arguments[3].startsWith(QLatin1String("--")) ? arguments[3].toInt() : 24;
    if (arguments.contains(QStringLiteral("--seamless"))) settings.workDir = tsc::SeamlessWorkDir;
    const QSize size(1024, 768);
    settings.desktopWidth = size.width();
    settings.desktopHeight = size.height();
    bool firstFrame = true;
    QObject::connect(&widget, &tsc::RdpSessionWidget::frameUpdated, [&] {
        if (std::exchange(firstFrame, false)) log.LogInfo("first frame update");
    });
    // The engine connects on its own thread while the window is made and mapped;
    // the widget paints the whole frame buffer when it is first exposed.
    log.LogInfo("connect");
    if (!session.Connect(settings))
        std::fprintf(stderr, "settings refused (colour depth %d?)\n", settings.colorDepth);
    widget.setWindowFlag(Qt::FramelessWindowHint);
    widget.setGeometry(QRect(QPoint(0, 0), size));
    widget.show();
    log.LogInfo("shown");
    const int status = application.exec();
    session.SetEventHandler(nullptr);
    session.SetLogSink(nullptr);
    return status;
}
