// What a hostile or slow Farm does to the client's window, measured:
//   1. a server name that is markup (an image read from /dev/zero): first a bare
//      QLabel in rich-text mode as the window once showed it (in a child process with
//      a memory cap), then the client's main window with that name in its stored list;
//   2. a stored list of 59 rows that all point at a tarpit (an endpoint that accepts
//      and never answers): the refresh's length, the servers asked, Close, and how
//      soon Connect goes ahead with the preferred server already known.
// For each: resident memory before, at its peak and after, and the longest gap
// between two turns of the event loop (a 10 ms timer).
//
// farm_hostile_bench [tarpit-seconds]   (default 75: the refresh bound is 60 s)

#include "Application.h"
#include "FakeRdpControl.h"
#include "MainWindow.h"
#include "Preferences.h"
#include "SystemInfo.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using namespace tsc;
using namespace tsc::shell;

// The name as a Farm could send it: a tab is no field separator.
const char *const HostileName = "<img\tsrc=/dev/zero>";

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Resident memory and the longest event-loop gap while it runs.
class Probe {
  public:
    Probe() {
        before_ = peak_ = ResidentKiB();
        turn_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&turn_, &QTimer::timeout, [this] {
            longestMs_ = std::max(longestMs_, clock_.nsecsElapsed() / 1e6);
            clock_.restart();
            peak_ = std::max(peak_, ResidentKiB());
            if (onTurn) onTurn();
        });
        clock_.start();
        turn_.start(10);
    }
    void Print(const char *what) const {
        std::printf("%s: resident %.1f MiB before, %.1f MiB at peak, %.1f MiB after; longest event-loop "
                    "gap %.1f ms (timer 10 ms)\n",
                    what, before_ / 1024.0, peak_ / 1024.0, ResidentKiB() / 1024.0, longestMs_);
    }
    std::function<void()> onTurn;

  private:
    QTimer turn_;
    QElapsedTimer clock_;
    long before_ = 0, peak_ = 0;
    double longestMs_ = 0;
};

void RunFor(int ms, const std::function<bool()> &done = {}) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms && !(done && done()))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

class QuietDialogs final : public UserDialogs {
  public:
    Answer ShowMessage(const std::string &, const std::string &, Buttons) override { return Answer::Ok; }
    std::string SelectFolder(const std::string &, const std::string &) override { return {}; }
};

std::unique_ptr<MainWindow> MakeWindow(testing::FakeRdpControl::Record &record) {
    MainWindowServices services;
    services.printers = [] { return PrinterList{}; };
    services.terminateProcess = [] {};
    services.dialogs = std::make_unique<QuietDialogs>();
    services.detectRdpClient = [](LogSink &) { return RdpClientDetectionResult{"2.11.7.0", true, false}; };
    services.createRdpControl = [&record](QString *) -> std::unique_ptr<RdpControl> {
        return std::make_unique<testing::FakeRdpControl>(record);
    };
    auto window = std::make_unique<MainWindow>(std::move(services));
    window->show();
    return window;
}

void WriteFile(const std::string &path, const std::string &bytes) {
    QDir().mkpath(QFileInfo(QString::fromStdString(path)).path());
    std::ofstream(path, std::ios::binary) << bytes;
}

void WriteProfile() {
    WriteFile(ApplicationDataFolder() + "/tsv_farm.rdp",
              "username:s:anna\r\ntsv_doloadbalancing:s:yes\r\ntsv_doaskloadbalancinghostname:s:yes\r\n");
}

// The label in rich-text mode, as the window once showed the name, in a child
// process: a second thread reports its memory, since the event loop does not come
// back, and ends it before it takes more than 1 GiB.
int RichLabelChild() {
    const long before = ResidentKiB();
    std::thread([before] {
        long peak = before;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 3000 && peak < (1L << 20)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            peak = std::max(peak, ResidentKiB());
        }
        std::printf(
            "rich-text label: resident %.1f MiB before, %.1f MiB after %.1f s; the event loop did not "
            "turn once meanwhile\n",
            before / 1024.0, peak / 1024.0, clock.elapsed() / 1000.0);
        std::fflush(stdout);
        _exit(0);
    }).detach();
    QLabel label;
    label.setText(QString::fromLatin1(HostileName)); // AutoText: taken for markup
    label.show();
    QTimer::singleShot(0, [] {
        std::printf("rich-text label: the event loop turned\n");
        std::fflush(stdout);
    });
    return QApplication::exec();
}

void MeasureHostileName(testing::FakeRdpControl::Record &record) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(), {"--rich-label"});
    child.waitForFinished(20'000);
    if (child.exitStatus() != QProcess::NormalExit)
        std::printf("rich-text label: the child ended abnormally (memory cap reached?)\n");

    WriteProfile();
    WriteFile(ApplicationDataFolder() + "/tsv_farm_v001c003.txt",
              std::string("127.26.0.9 3399 3391 ") + HostileName + " DOMK\r\n127.26.0.9 3389 3391 3390 " +
                  HostileName + "\r\n127.26.0.10 3389 3391 3390 ts2\r\nEOF\r\n");
    auto window = MakeWindow(record);
    Probe probe;
    RunFor(3000);
    probe.Print("client with the name in its stored list, 3 s");
    std::printf("  preferred server label \"%s\", grid rows %d\n",
                qPrintable(window->label_PreferredServer1->text()),
                window->StringGrid_Servers->rowCount() - 1);
}

quint16 StartTarpit(QProcess &process) {
    process.start(TSC_FARM_ENDPOINT, {"--listen", "127.26.0.5", "--mode", "silent", "--server",
                                      "127.26.0.9 3399 3391 3390 ts-known"});
    process.waitForReadyRead(5000);
    const auto match =
        QRegularExpression(":(\\d+) ").match(QString::fromUtf8(process.readAllStandardOutput()));
    return static_cast<quint16>(match.captured(1).toUInt());
}

void MeasureTarpit(testing::FakeRdpControl::Record &record, int seconds) {
    QProcess tarpit;
    const quint16 port = StartTarpit(tarpit);
    if (port == 0) {
        std::printf("tarpit: farm-endpoint did not start\n");
        return;
    }
    std::string list = "127.26.0.9 3399 3391 ts-known DOMK\r\n";
    for (int row = 0; row < 59; ++row)
        list += "127.26.0.5 3389 3391 " + std::to_string(port) + " ts" + std::to_string(row) + "\r\n";
    WriteProfile();
    WriteFile(ApplicationDataFolder() + "/tsv_farm_v001c003.txt", list + "EOF\r\n");

    auto window = MakeWindow(record);
    Probe probe;
    farm::ServerListController &farm = window->Core().Farm();
    int closeDisabled = 0, turns = 0;
    probe.onTurn = [&] {
        ++turns;
        if (!window->bn_Close->isEnabled()) ++closeDisabled;
    };
    QElapsedTimer clock;
    clock.start();
    if (!farm.RefreshBusy()) window->bn_GetList->click();
    RunFor(5000, [&] { return farm.RefreshBusy(); });
    const qint64 refreshStart = clock.elapsed();

    // Connect while the refresh waits: the preferred server of the stored list.
    RunFor(2000);
    const qint64 clicked = clock.elapsed();
    window->bn_Connect->click();
    RunFor(15'000, [&] { return record.connects > 0; });
    const qint64 connected = clock.elapsed();

    RunFor(seconds * 1000, [&] { return !farm.RefreshBusy(); });
    const qint64 refreshEnd = clock.elapsed();
    probe.Print("client against 59 tarpit rows");
    std::printf(
        "  refresh: %s after %.1f s; Connect went ahead after %.2f s to %s:%d; Close disabled in %d of %d "
        "turns\n",
        farm.RefreshBusy() ? "still running" : "ended", (refreshEnd - refreshStart) / 1000.0,
        (connected - clicked) / 1000.0, record.connects > 0 ? "127.26.0.9" : "(nowhere)", 3399, closeDisabled,
        turns);
    tarpit.kill();
    tarpit.waitForFinished();
}

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (argc > 1 && std::string_view(argv[1]) == "--rich-label") {
        QApplication application(argc, argv);
        return RichLabelChild();
    }
    QTemporaryDir root;
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CONFIG_DIRS"})
        qputenv(name, (root.path() + "/" + name).toLocal8Bit());
    qputenv("TMPDIR", root.path().toLocal8Bit());
    qputenv("HOME", root.path().toLocal8Bit());
    int applicationArgc = 1;
    Application application(applicationArgc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 75;
    testing::FakeRdpControl::Record hostile, tarpit;
    MeasureHostileName(hostile);
    MeasureTarpit(tarpit, seconds);
    return 0;
}
