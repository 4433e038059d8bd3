// The support archive over a profiles folder of 2,000 home folders with 50 files
// each (two of them collected): the walk alone, the whole archive, and how long the
// user-interface thread's event loop is kept from running meanwhile (the archive is
// built by the worker on its own thread, so the longest gap between two 10 ms timer
// ticks is what a user would feel).
//
//   bench_support_walk [folders] [files per folder]
#include "SupportArchive.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace tsc;
namespace fs = std::filesystem;

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    const int folders = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int filesPerFolder = argc > 2 ? std::atoi(argv[2]) : 50;
    char pattern[] = "/tmp/tsc-support-bench-XXXXXX";
    const std::string root = ::mkdtemp(pattern);
    const std::string profiles = root + "/home/";
    for (int f = 0; f < folders; ++f) {
        const std::string home = profiles + "user" + std::to_string(f) + "/.local/share/TerminalServer/";
        fs::create_directories(home);
        std::ofstream(home + "TerminalServer_FarmClient.log") << "a log line of user " << f << "\n";
        std::ofstream(home + "tsv_farm_v001c003.txt") << "server list\n";
        for (int i = 2; i < filesPerFolder; ++i)
            std::ofstream(home + "other" + std::to_string(i) + ".txt") << i;
    }
    fs::create_directories(root + "/Desktop");
    SupportArchiveRequest request;
    request.profilesRoot = profiles;
    request.desktopFolder = root + "/Desktop";
    request.archiveName = "Client_TerminalServerSupport.zip";
    request.fileNames = {
        "clientsetup.log",       "TerminalServer_FarmClient.log", "tsv_farm_v001c001.txt",
        "tsv_farm_v001c003.txt", "TerminalServer_SSLGateway.log", "TerminalServer_RDPPLus.log"};

    QElapsedTimer clock;
    clock.start();
    std::vector<SupportArchiveLine> lines;
    const auto files = CollectSupportFiles(request, {}, lines);
    const double walkMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;

    // The whole archive on the worker thread while the event loop ticks.
    QThread thread;
    auto *worker = new SupportArchiveWorker(request);
    worker->moveToThread(&thread);
    qint64 longestGap = 0, lastTick = 0, ticks = 0, foldersSeen = 0;
    QElapsedTimer loopClock;
    QTimer tick;
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = loopClock.elapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
        ++ticks;
    });
    QObject::connect(worker, &SupportArchiveWorker::folderEntered, &application,
                     [&](const QString &) { ++foldersSeen; });
    SupportArchiveResult result;
    QObject::connect(worker, &SupportArchiveWorker::finished, &application,
                     [&](const SupportArchiveResult &r) {
                         result = r;
                         application.quit();
                     });
    QObject::connect(&thread, &QThread::started, worker, &SupportArchiveWorker::run);
    loopClock.start();
    tick.start();
    clock.restart();
    thread.start();
    application.exec();
    const double archiveMs = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    thread.quit();
    thread.wait();
    delete worker;

    std::printf("tree: %d home folders x %d files (%zu collected)\n", folders, filesPerFolder, files.size());
    std::printf("walk only:        %8.1f ms\n", walkMs);
    std::printf("whole archive:    %8.1f ms (%zu files, written: %s, %lld folder signals shown)\n", archiveMs,
                result.fileCount, result.written ? "yes" : "no", static_cast<long long>(foldersSeen));
    std::printf("event loop: %lld ticks of 10 ms, longest gap %lld ms\n", static_cast<long long>(ticks),
                static_cast<long long>(longestGap));
    fs::remove_all(root);
    return result.written ? 0 : 1;
}
