#include "Application.h"
#include "BuildConfig.h"
#include "CommandLine.h"
#include "DesktopIntegration.h"
#include "Language.h"
#include "MainWindow.h"
#include "PrivateFiles.h"
#include "ProcessState.h"
#include "SystemInfo.h"
#include "TerminationSignals.h"
#include "UpdateNames.h"
#include "VersionedCopies.h"

#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <memory>

namespace {

using namespace tsc::shell;

// A versioned copy runs from the data folder, so nothing beside it is a file of the
// installed program. Its name carries the update signature between its first two dots.
bool RunningAsVersionedCopy(const std::string &executable) {
    const auto signature = tsc::update::SignatureFromCopyName(
        QFileInfo(QString::fromStdString(executable)).fileName().toStdString());
    return signature && tsc::update::IsPublishableSignature(*signature);
}

// A language file beside the executable is taken when no table is loaded yet; only
// the first one the folder listing returns. A versioned copy takes none, and a folder
// that others than the user or root can change is not read.
void LoadLanguageBesideExecutable() {
    if (LoadLanguage("")) return;
    const std::string executable = tsc::ExecutablePath();
    if (RunningAsVersionedCopy(executable)) return;
    const QString folder = QString::fromStdString(tsc::WithoutTrailingSeparator(
        QFileInfo(QString::fromStdString(executable)).absolutePath().toStdString()));
    if (!tsc::detail::FolderProblem(folder.toStdString(), tsc::detail::FolderUse::Shared, false).empty())
        return;
    const QStringList found =
        QDir(folder).entryList({"*.lang"}, QDir::Files | QDir::Hidden | QDir::System, QDir::Unsorted);
    if (found.isEmpty()) return;
    const std::string path = (folder + "/" + found.front()).toStdString();
    if (LoadLanguage(path)) RegisterLanguage(path);
}

} // namespace

int main(int argc, char **argv) {
    tsc::HardenProcess();
    std::vector<std::string> parameters(argv + 1, argv + argc);
    switch (CommandLine::RequestOf(parameters)) {
    case CommandLine::Request::Help:
        std::fputs(CommandLine::HelpText(argv[0]).c_str(), stdout);
        return 0;
    case CommandLine::Request::Version:
        std::printf("Terminal Server Client %s\n", tsc::build::DottedVersion);
        return 0;
    case CommandLine::Request::Run:
        break;
    }
    CommandLine::SetParameters(std::move(parameters));

    PrepareDesktopIntegration();

    // Qt sees only the program name: every argument is a positional parameter of the
    // client, never a toolkit option.
    int applicationArgc = 1;
    Application application(applicationArgc, argv);
    FinishDesktopIntegration();
    (void)tsc::RemoveOwnStaleTemporaryFiles();
    LoadLanguageBesideExecutable();
    {
        auto window = std::make_unique<MainWindow>();
        application.SetExceptionHandler(
            [&window](const std::string &message) { window->Core().ApplicationEvents1Exception(message); });
        auto termination = std::make_unique<TerminationSignals>();
        QObject::connect(termination.get(), &TerminationSignals::terminationRequested, window.get(),
                         [&window](int signalNumber) {
                             window->Core().CloseOnSignal(TerminationSignals::Name(signalNumber));
                         });
        if (ProcessState::PendingStartPath().empty()) window->show();
        application.exec();
        termination.reset();
        application.SetExceptionHandler({});
        window.reset(); // runs the core's FormDestroy
    }
    ReleaseLanguage();
    // A verified newer copy found at start-up takes over with this process's parameters.
    return tsc::update::StartPendingCopy(ProcessState::PendingStartPath(), CommandLine::Parameters());
}
