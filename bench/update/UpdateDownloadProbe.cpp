// What an update download costs the client: a published client of 50 MB on lighttpd
// (port 80 of 127.7.1.1), fetched by the update check while a Qt event loop runs on
// this thread with the 1000 ms drain timer writing the lines into a real log file.
// Prints the download's duration, its packets and the longest gap between two turns
// of the event loop, for the given pause after each packet and receive buffer size.
//
//   update_download_probe <pause ms> <receive buffer bytes, 0 = library default> [megabytes]
//
// With 0 megabytes the loop runs 30 s without any check: the gaps the machine's
// scheduler alone causes, to hold the figures against.

#include "LogFile.h"
#include "Logger.h"
#include "SystemInfo.h"
#include "UpdateCheck.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <pause ms> <receive buffer bytes> [megabytes]\n", argv[0]);
        return 2;
    }
    const int pause = std::atoi(argv[1]);
    const long buffer = std::atol(argv[2]);
    const int megabytes = argc > 3 ? std::atoi(argv[3]) : 50;
    char pattern[] = "/tmp/tsc-update-probe-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    ::setenv("XDG_CONFIG_DIRS", (root + "/config-dirs").c_str(), 1);
    const std::string web = root + "/www";
    std::filesystem::create_directories(web);

    // The published client: this program, another version, padded to the size wanted.
    const std::string published = web + "/" + tsc::update::PublishedExecutableName();
    std::filesystem::copy_file(tsc::ExecutablePath(), published);
    const std::string versionCommand = std::string(TSC_SET_FILE_VERSION) + " " + published + " 4.0.67.1";
    if (std::system(versionCommand.c_str()) != 0) return 1;
    {
        std::ofstream padding(published, std::ios::app | std::ios::binary);
        const auto size = std::filesystem::file_size(published);
        if (megabytes > 0) padding << std::string(static_cast<std::size_t>(megabytes) * 1000000 - size, 'p');
    }
    std::ofstream(web + "/" + tsc::update::PublishedVersionFileName())
        << "4.0.67.1\r\n"
        << tsc::update::UpdateSignature(published) << "\r\n";
    std::string configuration = root + "/lighttpd.conf";
    std::ofstream(configuration) << "server.document-root = \"" << web << "\"\nserver.bind = \"127.7.1.1\"\n"
                                 << "server.port = 80\nmimetype.assign = (\".version\" => \"text/plain\")\n";
    std::string program = "/usr/sbin/lighttpd", foreground = "-D", file = "-f";
    char *serverArguments[] = {program.data(), foreground.data(), file.data(), configuration.data(), nullptr};
    pid_t server = 0;
    if (::posix_spawn(&server, program.c_str(), nullptr, nullptr, serverArguments, environ) != 0) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    int applicationArgc = 1;
    QCoreApplication application(applicationArgc, argv);
    tsc::Logger log(std::make_unique<tsc::LogFile>(root + "/client.log", 200));
    tsc::update::UpdateService service([] { return false; });
    tsc::update::UpdateCheckSettings settings = tsc::update::UpdateCheckSettings::Current();
    settings.ownExecutable = tsc::ExecutablePath();
    settings.packetPause = std::chrono::milliseconds(pause);
    settings.receiveBufferSize = buffer;

    QElapsedTimer clock, sinceTurn;
    qint64 longestGap = 0, longestDrain = 0, longestBusy = 0;
    // This thread's processor time between two turns: what the loop itself spent,
    // apart from waiting for a processor on a busy machine.
    const auto threadTime = [] {
        timespec now{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return static_cast<qint64>(now.tv_sec) * 1000000000 + now.tv_nsec;
    };
    qint64 lastTurnCpu = -1;
    qint64 downloadMs = 0;
    QTimer turn;
    turn.setInterval(0);
    QObject::connect(&turn, &QTimer::timeout, [&] {
        // The first turn comes after the start-up, which is no gap of the loop.
        const qint64 cpu = threadTime();
        if (sinceTurn.isValid()) {
            longestGap = std::max(longestGap, sinceTurn.nsecsElapsed());
            longestBusy = std::max(longestBusy, cpu - lastTurnCpu);
        }
        lastTurnCpu = cpu;
        sinceTurn.restart();
        if (downloadMs == 0 && !service.CheckRunning()) downloadMs = std::max<qint64>(1, clock.elapsed());
    });
    std::size_t lines = 0, packets = 0;
    struct CountingLog : tsc::LogSink {
        tsc::Logger &inner;
        std::size_t &lines, &packets;
        CountingLog(tsc::Logger &l, std::size_t &n, std::size_t &p) : inner(l), lines(n), packets(p) {}
        void LogInfo(std::string_view message) override {
            ++lines;
            if (message.find("vl: received:") != std::string_view::npos) ++packets;
            inner.LogInfo(message);
        }
        void LogWarning(std::string_view message) override { inner.LogWarning(message); }
        void LogError(std::string_view message) override { inner.LogError(message); }
    } counting(log, lines, packets);
    QTimer drain;
    drain.setInterval(1000);
    QObject::connect(&drain, &QTimer::timeout, [&] {
        QElapsedTimer drainClock;
        drainClock.start();
        service.DrainUpdateLogList(counting, true);
        longestDrain = std::max(longestDrain, drainClock.nsecsElapsed());
        if (downloadMs != 0 && service.Status() == tsc::update::ThreadStatus::Idle) application.quit();
    });
    clock.start();
    turn.start();
    drain.start();
    if (megabytes == 0) {
        QTimer::singleShot(30000, &application, &QCoreApplication::quit);
        application.exec();
        std::printf("idle event loop for 30 s: longest gap %.1f ms (processor time %.1f ms)\n",
                    longestGap / 1e6, longestBusy / 1e6);
        ::kill(server, SIGTERM);
        ::waitpid(server, nullptr, 0);
        std::filesystem::remove_all(root);
        return 0;
    }
    service.StartUpdateCheck(log, "127.7.1.1", settings);
    application.exec();

    const bool kept = std::filesystem::exists(
        settings.dataFolder + "/" +
        tsc::update::VersionedCopyName(tsc::update::UpdateSignature(published), "4.0.67.1"));
    std::printf("pause %d ms, buffer %ld: %d MB in %.2f s, %zu packets, %zu log lines, "
                "longest event-loop gap %.1f ms (processor time %.1f ms, longest drain %.1f ms), "
                "kept %s\n",
                pause, buffer, megabytes, downloadMs / 1000.0, packets, lines, longestGap / 1e6,
                longestBusy / 1e6, longestDrain / 1e6, kept ? "yes" : "no");
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    if (!std::getenv("TSC_PROBE_KEEP")) std::filesystem::remove_all(root);
    return kept ? 0 : 1;
}
