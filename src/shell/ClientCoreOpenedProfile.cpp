// The core's review of a profile read that comes from elsewhere (named on the
// command line, or lying where others can change it): what it may not do, and the
// question before it connects.

#include "ClientCore.h"

#include "CommandLine.h"
#include "ConnectPlan.h"
#include "OpenedProfileSafety.h"
#include "PrivateFiles.h"
#include "SystemInfo.h"
#include "UserDialogs.h"

namespace tsc::shell {

void ClientCore::ReviewOpenedProfile(const std::string &path) {
    openedProfileQuestion_.reset();
    openedProfileHash_ = ProfileContentHash(path);
    // The host and port the connect procedure will use for this host field.
    const ConnectTarget target = TargetFromHostField(settings_.host);
    OpenedProfileFacts facts;
    facts.fromCommandLine = settings_.autoConnect;
    facts.insideOwnFolders = IsInsideFolder(path, ApplicationDataFolder()) ||
                             (multipleConnections_ && IsInsideFolder(path, connectionFolder_));
    facts.onlyUserCanChange = detail::OnlyUserCanChange(path);
    facts.writtenByClient = OpenedFileRecords::WrittenByClient(openedProfileHash_);
    facts.userSaidDontAsk = OpenedFileRecords::UserSaidDontAsk(openedProfileHash_);
    facts.questionSwitchedOff = OpenedFileRecords::QuestionSwitchedOff();
    facts.hostKnown =
        !target.host.empty() && OpenedFileRecords::HostKnown(KnownHostKey(target.host, target.port));
    facts.hasTarget = !target.host.empty() || settings_.doLoadBalancing;
    const OpenedProfilePlan plan = PlanOpenedProfile(facts);
    if (!plan.fromElsewhere) return;

    LogInfo(facts.onlyUserCanChange ? "Profile from outside the client's folders: " + path
                                    : "Profile in a place others can change: " + path);
    if (settings_.hideSettings) LogInfo("Its settings page hiding is ignored");
    settings_.hideSettings = false;
    const bool hadPassword = settings_.saveMyPassword && !settings_.password.empty();
    if (!plan.keepSavedPassword && hadPassword) {
        LogWarning("Its saved password is not used for a host never connected to");
        settings_.password.clear();
        settings_.saveMyPassword = false;
    }
    if (!plan.ask) return;
    OpenedProfileQuestion question;
    question.file = path;
    question.host = settings_.host;
    question.hostKnown = facts.hostKnown;
    question.sharedResources = SharedResources(settings_, plan.keepSavedPassword);
    question.savedPasswordDropped = !plan.keepSavedPassword && hadPassword;
    openedProfileQuestion_ = std::move(question);
}

bool ClientCore::ConfirmOpenedProfile() {
    if (!openedProfileQuestion_) return true;
    const OpenedProfileQuestion question = *std::exchange(openedProfileQuestion_, std::nullopt);
    LogInfo("Ask before connecting to " + question.host);
    const OpenedProfileAnswer answer = dialogs_.AskOpenedProfile(title_, question);
    if (!answer.connect) {
        LogInfo("Connect cancelled by the user: " + question.file);
        openedProfileDeclined_ = true;
        if (settings_.autoConnect) {
            LogInfo("AutoClose client...");
            CloseAfterAutoConnect();
        }
        return false;
    }
    LogInfo(answer.dontAskAgain ? "Connect confirmed; not asked again for this file" : "Connect confirmed");
    if (answer.dontAskAgain) OpenedFileRecords::RecordDontAsk(openedProfileHash_);
    return true;
}

void ClientCore::RecordWrittenProfile(const std::string &path) {
    OpenedFileRecords::RecordWritten(ProfileContentHash(path));
}

void ClientCore::RecordConnectedHost(const std::string &host, int port) {
    if (!host.empty()) OpenedFileRecords::RecordHost(KnownHostKey(host, port));
}

} // namespace tsc::shell
