// The core's Support page procedure: the registry dump, then the support archive
// built on a thread of its own.

#include "ClientCore.h"

#include "RegistryDump.h"
#include "SupportArchive.h"

#include <QThread>

namespace tsc::shell {

void ClientCore::bn_ZipClick() {
    if (SupportArchiveRunning() || destroyed_) return;
    LogRegistryDump(*this);
    // The walk may cover thousands of home folders: it runs on a thread of its own
    // while the window stays responsive and shows the folder being searched.
    supportThread_ = new QThread(this);
    supportThread_->setObjectName(QStringLiteral("SupportArchive"));
    supportWorker_ = new SupportArchiveWorker(DefaultSupportArchiveRequest());
    supportWorker_->moveToThread(supportThread_);
    connect(supportThread_, &QThread::started, supportWorker_, &SupportArchiveWorker::run);
    connect(supportWorker_, &SupportArchiveWorker::folderEntered, this,
            &ClientCore::supportArchiveFolderEntered);
    connect(supportWorker_, &SupportArchiveWorker::finished, this,
            [this](const SupportArchiveResult &result) { SupportArchiveFinished(result); });
    emit supportArchiveBusyChanged(true);
    supportThread_->start();
}

bool ClientCore::SupportArchiveRunning() const {
    return supportThread_ != nullptr;
}

// Runs on the user-interface thread while the worker is busy inside run(): the flag
// is atomic, a queued call would wait for run() to end.
void ClientCore::CancelSupportArchive() {
    if (supportWorker_) supportWorker_->cancel();
}

void ClientCore::SupportArchiveFinished(const SupportArchiveResult &result) {
    for (const SupportArchiveLine &line : result.lines) {
        switch (line.level) {
        case SupportArchiveLine::Level::Info:
            LogInfo(line.text);
            break;
        case SupportArchiveLine::Level::Warning:
            LogWarning(line.text);
            break;
        case SupportArchiveLine::Level::Error:
            LogError(line.text);
            break;
        }
    }
    StopSupportArchive();
}

// Ends the worker's thread (cancelling a walk still under way) and frees both. The
// wait is short: the walk checks the flag at every folder.
void ClientCore::StopSupportArchive() {
    if (!supportThread_) return;
    supportWorker_->cancel();
    supportThread_->quit();
    supportThread_->wait();
    delete supportWorker_;
    delete supportThread_;
    supportWorker_ = nullptr;
    supportThread_ = nullptr;
    emit supportArchiveBusyChanged(false);
}

} // namespace tsc::shell
