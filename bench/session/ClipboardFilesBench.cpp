// tsc-clipboard-files-bench: the client's memory while a large file crosses the shared
// clipboard each way through xrdp (Debian's, on loopback, for the xrdp test user):
// the session's file pasted into a local folder, and a local file read in the session
// through xrdp's file system of clipboard files.
//
//   tsc-clipboard-files-bench [--megabytes N]     (needs root, xrdp, xorgxrdp, xclip
//                                                  and an X display for the client)
//
// For each direction, the peak resident set (VmHWM, its mark reset before the copy)
// and the peak of the process's private memory (Private_Clean + Private_Dirty of
// /proc/self/smaps_rollup, sampled every 20 ms), beside the same figures of the idle
// connected client just before. Prints one JSON line per direction.

#include "RdpEngineLibrary.h"
#include "Recorders.h"
#include "SessionClipboard.h"
#include "ShadowServer.h"
#include "XrdpServer.h"

#include <QApplication>
#include <QClipboard>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMimeData>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

namespace {

using tsc::test::WaitFor;
using tsc::test::XrdpServer;

constexpr char Address[] = "127.28.1.1";
constexpr quint16 Port = 33981;

// A field of a /proc/self file, in kB.
qint64 ProcField(const char *file, const QByteArray &name) {
    QFile status(QString::fromLatin1(file));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong();
    return -1;
}

qint64 PrivateKb() {
    return ProcField("/proc/self/smaps_rollup", "Private_Clean") +
           ProcField("/proc/self/smaps_rollup", "Private_Dirty");
}

// Peak memory while `work` runs (it handles events itself).
struct Peak {
    qint64 hwmKb = 0;
    qint64 privateKb = 0;
    qint64 idleRssKb = 0;
    qint64 idlePrivateKb = 0;
    qint64 ms = 0;
};

Peak Measure(const std::function<bool()> &work, bool &ok) {
    Peak peak;
    peak.idleRssKb = ProcField("/proc/self/status", "VmRSS");
    peak.idlePrivateKb = PrivateKb();
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly)) clear.write("5"); // resets VmHWM to the current RSS
    clear.close();
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout,
                     [&] { peak.privateKb = std::max(peak.privateKb, PrivateKb()); });
    sampler.start(20);
    QElapsedTimer clock;
    clock.start();
    ok = work();
    peak.ms = clock.elapsed();
    sampler.stop();
    peak.privateKb = std::max(peak.privateKb, PrivateKb());
    peak.hwmKb = ProcField("/proc/self/status", "VmHWM");
    return peak;
}

void Print(const char *direction, qint64 bytes, const Peak &peak, bool ok) {
    std::printf("{\"direction\":\"%s\",\"bytes\":%lld,\"ok\":%s,\"ms\":%lld,\"idle_rss_kb\":%lld,"
                "\"peak_vmhwm_kb\":%lld,\"idle_private_kb\":%lld,\"peak_private_kb\":%lld}\n",
                direction, static_cast<long long>(bytes), ok ? "true" : "false",
                static_cast<long long>(peak.ms), static_cast<long long>(peak.idleRssKb),
                static_cast<long long>(peak.hwmKb), static_cast<long long>(peak.idlePrivateKb),
                static_cast<long long>(peak.privateKb));
    std::fflush(stdout);
}

QByteArray RandomFile(const QString &path, qint64 bytes) {
    QFile random(QStringLiteral("/dev/urandom"));
    QFile out(path);
    if (!random.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly)) return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (qint64 left = bytes; left > 0;) {
        const QByteArray block = random.read(std::min<qint64>(left, 1 << 20));
        out.write(block);
        hash.addData(block);
        left -= block.size();
    }
    return hash.result().toHex();
}

QByteArray HashOf(const QString &path) {
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result().toHex() : QByteArray();
}

class Events final : public tsc::RdpControlEvents {
  public:
    bool connected = false;
    void OnConnected() override { connected = true; }
    void OnDisconnected(int) override { connected = false; }
};

int Run(qint64 bytes) {
    if (const QString why = XrdpServer::Unavailable(); !why.isEmpty()) {
        std::fprintf(stderr, "xrdp cannot run: %s\n", qPrintable(why));
        return 2;
    }
    XrdpServer server(QString::fromLatin1(Address), Port);
    if (!server.Start()) {
        std::fprintf(stderr, "xrdp: %s\n", qPrintable(server.Error()));
        return 2;
    }
    QString error;
    std::unique_ptr<tsc::RdpControl> control = tsc::RdpEngineLibrary::Instance().CreateControl(&error);
    if (!control) {
        std::fprintf(stderr, "engine: %s\n", qPrintable(error));
        return 2;
    }
    Events events;
    control->SetEventHandler(&events);
    tsc::test::LogRecorder log;
    control->SetLogSink(&log);
    auto clipboard = std::make_unique<tsc::SessionClipboard>(*control, QGuiApplication::clipboard());
    tsc::ConnectionSettings settings;
    settings.server = Address;
    settings.port = Port;
    settings.userName = XrdpServer::UserName().toStdString();
    settings.password = XrdpServer::Password().toStdString();
    settings.desktopWidth = 1024;
    settings.desktopHeight = 768;
    settings.colorDepth = 24;
    settings.audioMode = tsc::AudioMode::DoNotPlay;
    settings.redirectClipboard = true;
    if (!control->Connect(settings) || !WaitFor([&] { return events.connected; }, 30000) ||
        !WaitFor([&] { return !server.SessionDisplay().isEmpty(); }, 30000)) {
        std::fprintf(stderr, "no session (connected: %d, display: %s)\n%s", events.connected ? 1 : 0,
                     qPrintable(server.SessionDisplay()), log.All().c_str());
        return 2;
    }
    WaitFor([] { return false; }, 3000); // the session's clipboard bridge comes up

    // The session's file into a local folder.
    const QString remoteFolder = XrdpServer::UserHome() + QStringLiteral("/tsc-bench-files");
    QDir(remoteFolder).removeRecursively();
    QDir().mkpath(remoteFolder);
    const QByteArray remoteHash = RandomFile(remoteFolder + QStringLiteral("/big.bin"), bytes);
    const QByteArray uri = "file://" + remoteFolder.toUtf8() + "/big.bin\n";
    WaitFor(
        [&] {
            if (!server.CopyInSession(uri, QStringLiteral("text/uri-list"))) return false;
            return WaitFor([&] { return clipboard->RemoteFilesOffered(); }, 1500);
        },
        20000);
    QTemporaryDir into; // in TMPDIR: give the bench a folder on disk, not a memory file system
    bool ok = false;
    const Peak in = Measure(
        [&] {
            std::optional<bool> done;
            if (clipboard->PasteRemoteFiles(into.path(), [&](int, bool success) { done = success; }) == 0)
                return false;
            return WaitFor([&] { return done.has_value(); }, 600000) && *done &&
                   HashOf(into.path() + QStringLiteral("/big.bin")) == remoteHash;
        },
        ok);
    Print("session-to-local", bytes, in, ok);
    QDir(remoteFolder).removeRecursively();

    // A local file read in the session.
    QTemporaryDir local;
    const QByteArray localHash = RandomFile(local.filePath(QStringLiteral("big.bin")), bytes);
    auto *data = new QMimeData;
    data->setUrls({QUrl::fromLocalFile(local.filePath(QStringLiteral("big.bin")))});
    QGuiApplication::clipboard()->setMimeData(data);
    WaitFor([] { return false; }, 1000);
    const Peak out = Measure(
        [&] {
            QByteArray list;
            WaitFor(
                [&] {
                    list = server
                               .RunInSession(QStringLiteral("xclip"),
                                             {"-selection", "clipboard", "-o", "-t", "text/uri-list"}, 8000)
                               .value_or(QByteArray());
                    return list.contains("big.bin");
                },
                20000);
            const QString path = QUrl::fromEncoded(list.split('\n').first().trimmed()).toLocalFile();
            const std::optional<QByteArray> sum =
                server.RunInSession(QStringLiteral("sha256sum"), {path}, 600000);
            return sum && sum->startsWith(localHash);
        },
        ok);
    Print("local-to-session", bytes, out, ok);

    control->Disconnect();
    WaitFor([&] { return !events.connected; }, 10000);
    clipboard.reset();
    control->SetEventHandler(nullptr);
    control->SetLogSink(nullptr);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    qint64 megabytes = 50;
    for (int index = 1; index + 1 < argc; ++index)
        if (QByteArray(argv[index]) == "--megabytes") megabytes = QByteArray(argv[index + 1]).toLongLong();
    QApplication application(argc, argv);
    return Run(megabytes * 1024 * 1024);
}
