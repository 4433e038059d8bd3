// Figures of the Farm client, measured in one run:
//   1. how soon an exchange ends after the end marker, once the 500 ms minimum is over;
//   2. the longest gap between two event-loop turns while a silent endpoint is waited for;
//   3. resident memory growth while an endpoint floods the client for 30 s;
//   4. filling the server grid (QTableWidget, offscreen) with 10,000 servers, selection kept.
// farm_bench [seconds]   (default 30: the silent wait and the flood last that long)

#include "FarmExchange.h"
#include "LogSink.h"
#include "ServerListText.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHeaderView>
#include <QProcess>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <unistd.h>
#include <vector>

using namespace tsc::farm;

namespace {

class QuietLog : public tsc::LogSink {
  public:
    void LogInfo(std::string_view) override {}
    void LogWarning(std::string_view) override {}
    void LogError(std::string_view) override {}
};

void RunUntil(const std::function<bool()> &done) {
    while (!done())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The project's endpoint program in the given mode; returns its port.
quint16 StartEndpoint(QProcess &process, const char *mode) {
    process.start(TSC_FARM_ENDPOINT, {"--mode", mode, "--server", "127.0.0.2 3389 3391 3390 ts1"});
    process.waitForReadyRead(5000);
    const auto match =
        QRegularExpression(":(\\d+) ").match(QString::fromUtf8(process.readAllStandardOutput()));
    return static_cast<quint16>(match.captured(1).toUInt());
}

double EndMarkerLatency(QuietLog &log, int replyDelayMs) {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    QElapsedTimer clock;
    qint64 sentAt = -1;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        QTcpSocket *socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [&, socket] {
            socket->readAll();
            QTimer::singleShot(replyDelayMs, socket, [&, socket] {
                socket->write("127.0.0.2 3389 3391 ts1 D\r\n127.0.0.2 3389 3391 3390 ts1\r\nEOF\r\n");
                socket->flush();
                sentAt = clock.nsecsElapsed();
            });
        });
    });
    FarmExchange exchange(log);
    qint64 finishedAt = -1;
    QObject::connect(&exchange, &FarmExchange::finished, [&] { finishedAt = clock.nsecsElapsed(); });
    clock.start();
    (void)exchange.Start("127.0.0.1", server.serverPort(), CurrentTag, "bench", "");
    RunUntil([&] { return finishedAt >= 0; });
    return replyDelayMs >= 500 ? (finishedAt - sentAt) / 1e6 : finishedAt / 1e6;
}

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    QuietLog log;

    // 1. End marker after the minimum (reply 600 ms late), and before it (reply at once).
    std::vector<double> late;
    for (int i = 0; i < 5; ++i)
        late.push_back(EndMarkerLatency(log, 600));
    std::sort(late.begin(), late.end());
    std::printf(
        "end marker -> exchange over, marker after 500 ms: median %.3f ms, worst %.3f ms (bound 20 ms)\n",
        late[late.size() / 2], late.back());
    std::printf("reply at once: exchange over after %.1f ms (minimum 500 ms)\n", EndMarkerLatency(log, 0));

    // 2. Event-loop gaps while a silent endpoint is waited for.
    {
        QProcess endpoint;
        const quint16 port = StartEndpoint(endpoint, "silent");
        FarmExchange exchange(log);
        exchange.SetLimits({500, seconds * 1000, MaximumReplyBytes, MaximumReplyLines});
        bool finished = false;
        QObject::connect(&exchange, &FarmExchange::finished, [&] { finished = true; });
        QElapsedTimer clock, total;
        qint64 longest = 0;
        QTimer turn;
        turn.setTimerType(Qt::PreciseTimer);
        QObject::connect(&turn, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.nsecsElapsed());
            clock.restart();
        });
        turn.start(1);
        clock.start();
        total.start();
        (void)exchange.Start("127.0.0.1", port, CurrentTag, "bench", "");
        RunUntil([&] { return finished; });
        std::printf("silent endpoint for %.1f s: longest event-loop gap %.2f ms (bound 50 ms)\n",
                    total.elapsed() / 1000.0, longest / 1e6);
        endpoint.kill();
        endpoint.waitForFinished();
    }

    // 3. Resident memory under a flood: exchange after exchange for the whole time.
    {
        QProcess endpoint;
        const quint16 port = StartEndpoint(endpoint, "flood");
        const QString folder = QDir::tempPath() + "/farm_bench_flood";
        QDir(folder).removeRecursively();
        QDir().mkpath(folder);
        const std::string record = (folder + "/list.txt").toStdString();
        qint64 largestFile = 0;
        FarmExchange exchange(log);
        const long before = ResidentKiB();
        long peak = before;
        QElapsedTimer total;
        total.start();
        int exchanges = 0;
        QTimer sample;
        QObject::connect(&sample, &QTimer::timeout, [&] {
            peak = std::max(peak, ResidentKiB());
            // The list is recorded into an unnamed temporary file (O_TMPFILE), so look
            // at the open files rather than at the folder.
            for (const QString &fd : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System)) {
                const QFileInfo file("/proc/self/fd/" + fd);
                if (file.isFile()) largestFile = std::max(largestFile, file.size());
            }
        });
        sample.start(10);
        while (total.elapsed() < seconds * 1000) {
            bool finished = false;
            auto link = QObject::connect(&exchange, &FarmExchange::finished, [&] { finished = true; });
            (void)exchange.Start("127.0.0.1", port, CurrentTag, "bench", record);
            RunUntil([&] { return finished; });
            QObject::disconnect(link);
            ++exchanges;
        }
        std::printf("flood for %.1f s (%d exchanges, each cut at %zu bytes): resident memory +%.1f MB "
                    "(bound %.1f MB), largest file seen %.2f MB, list file %s\n",
                    total.elapsed() / 1000.0, exchanges, MaximumReplyBytes, (peak - before) / 1024.0,
                    MaximumReplyBytes / 1048576.0 + 5, largestFile / 1048576.0,
                    QFile::exists(QString::fromStdString(record)) ? "written"
                                                                  : "not written (no end marker)");
        endpoint.kill();
        endpoint.waitForFinished();
        QDir(folder).removeRecursively();
    }

    // 4. The grid with 10,000 servers, the selected server kept.
    {
        std::vector<std::string> lines = {"10.0.0.1 3389 3391 ts00001 FARM"};
        for (int i = 0; i < 10'000; ++i) {
            char line[96];
            std::snprintf(line, sizeof line, "10.%d.%d.%d 3389 3391 3390 ts%05d", i / 65536, (i / 256) % 256,
                          i % 256, i);
            lines.emplace_back(line);
        }
        lines.emplace_back("EOF");
        QTableWidget grid(2, 5);
        grid.verticalHeader()->hide();
        grid.resize(600, 400);
        grid.show();
        std::vector<double> times, cpuTimes;
        for (int run = 0; run < 5; ++run) {
            // Each new list has the servers in another order: the selection must follow the name.
            std::rotate(lines.begin() + 1, lines.begin() + 1 + 1'000, lines.end() - 1);
            grid.setCurrentCell(1 + 7'777 - run, 0);
            QElapsedTimer clock;
            clock.start();
            const std::clock_t cpuStart = std::clock();
            const QTableWidgetItem *selected =
                grid.currentRow() >= 1 ? grid.item(grid.currentRow(), 0) : nullptr;
            std::optional<std::string> remembered;
            if (selected) remembered = selected->text().toStdString();
            const ServerList list = BuildServerList(lines, CurrentTag);
            grid.setUpdatesEnabled(false);
            grid.setRowCount(1 + static_cast<int>(std::max<std::size_t>(1, list.rows.size())));
            for (std::size_t r = 0; r < list.rows.size(); ++r) {
                const ServerRow &row = list.rows[r];
                int column = 0;
                for (const std::string *cell :
                     {&row.name, &row.address, &row.rdpPort, &row.rdpPlusPort, &row.loadBalancingPort}) {
                    auto *item = grid.item(static_cast<int>(r) + 1, column);
                    if (item)
                        item->setText(QString::fromStdString(*cell));
                    else
                        grid.setItem(static_cast<int>(r) + 1, column,
                                     new QTableWidgetItem(QString::fromStdString(*cell)));
                    ++column;
                }
            }
            grid.setCurrentCell(1 + static_cast<int>(RowToSelect(remembered, list.rows)), 0);
            grid.setUpdatesEnabled(true);
            QCoreApplication::processEvents();
            times.push_back(clock.nsecsElapsed() / 1e6);
            cpuTimes.push_back(1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC);
            if (remembered && grid.item(grid.currentRow(), 0)->text().toStdString() != *remembered)
                std::printf("selection lost!\n");
        }
        const auto median = [](std::vector<double> t) {
            std::sort(t.begin() + 1, t.end());
            return t[1 + (t.size() - 1) / 2];
        };
        std::printf("grid of 10,000 servers filled, selection kept: first %.1f ms (%.1f ms CPU), then median "
                    "%.1f ms (%.1f ms CPU) (bound 100 ms)\n",
                    times[0], cpuTimes[0], median(times), median(cpuTimes));
    }
    return 0;
}
