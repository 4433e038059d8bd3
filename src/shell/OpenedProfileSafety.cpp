#include "OpenedProfileSafety.h"

#include "ProfileSettings.h"
#include "Registry.h"
#include "SystemInfo.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cctype>

namespace tsc::shell {

OpenedProfilePlan PlanOpenedProfile(const OpenedProfileFacts &facts) {
    OpenedProfilePlan plan;
    // A profile the user chose in a folder others can write (a team share) is as
    // much from elsewhere as one named on the command line.
    plan.fromElsewhere = (facts.fromCommandLine || !facts.onlyUserCanChange) &&
                         !(facts.onlyUserCanChange && (facts.insideOwnFolders || facts.writtenByClient));
    // A file that names nothing to connect to (empty, too large, no address) shares
    // nothing: the connect procedure says there is no host.
    plan.ask = plan.fromElsewhere && facts.hasTarget && !facts.userSaidDontAsk && !facts.questionSwitchedOff;
    // A saved password only ever goes to a host this client has connected to: a file
    // from elsewhere cannot carry it to a server of the sender's choosing.
    plan.keepSavedPassword = !plan.fromElsewhere || facts.hostKnown;
    return plan;
}

std::vector<std::string> SharedResources(const profiles::ProfileSettings &settings, bool passwordKept) {
    std::vector<std::string> shared;
    if (settings.connectDiskDrives)
        shared.emplace_back("your drives (every local file you can read and write)");
    if (settings.connectPrinters) shared.emplace_back("your printers");
    if (settings.commPorts) shared.emplace_back("your serial ports");
    if (settings.smartCards) shared.emplace_back("your smart cards");
    if (settings.soundIndex == 0) shared.emplace_back("sound (played on this computer)");
    if (passwordKept && settings.saveMyPassword && !settings.password.empty())
        shared.emplace_back("your saved password");
    return shared;
}

namespace {

// A name from the file as the question shows it: bounded, and on one line.
std::string Shown(const std::string &name) {
    constexpr std::size_t Limit = 200;
    std::string shown = name.size() > Limit ? name.substr(0, Limit) + "..." : name;
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return shown;
}

} // namespace

std::string QuestionText(const OpenedProfileQuestion &question) {
    std::string text = "The file " + Shown(question.file) + " comes from outside this program's folders.\n\n";
    text +=
        "It connects to: " + (question.host.empty() ? std::string("(no host)") : Shown(question.host)) + "\n";
    text += question.hostKnown ? "You have connected to this host before.\n"
                               : "You have NEVER connected to this host before.\n";
    text += "\n";
    if (question.sharedResources.empty()) {
        text += "It shares no local resources.\n";
    } else {
        text += "It shares with that host:\n";
        for (const std::string &resource : question.sharedResources)
            text += "  - " + resource + "\n";
    }
    if (question.savedPasswordDropped)
        text += "\nThe saved password in this file is not used for a host never connected to.\n";
    text += "\nConnect only if you trust the sender of this file.";
    return text;
}

std::string ProfileContentHash(const std::string &path) {
    QFile file(QString::fromStdString(path));
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly)) return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const QByteArray head = file.read(static_cast<qint64>(HashedBytesLimit));
    hash.addData(head);
    // The size tells apart files that agree in their first bytes.
    hash.addData(QByteArray::number(file.size()));
    return hash.result().toHex().toStdString();
}

bool IsInsideFolder(const std::string &path, const std::string &folder) {
    if (path.empty() || folder.empty()) return false;
    const QString file = QFileInfo(QString::fromStdString(path)).canonicalFilePath();
    const QString dir = QFileInfo(QString::fromStdString(folder)).canonicalFilePath();
    if (file.isEmpty() || dir.isEmpty()) return false;
    const QString prefix = dir.endsWith(QLatin1Char('/')) ? dir : dir + QLatin1Char('/');
    return file.startsWith(prefix);
}

std::string KnownHostKey(const std::string &host, int port) {
    std::string key = host;
    for (char &c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key + ":" + std::to_string(port);
}

namespace OpenedFileRecords {
namespace {

std::string RecordsKey() {
    return ApplicationKeyPath() + "\\OpenedFiles";
}

std::vector<std::string> List(const char *name) {
    return Registry::ReadMultiString(Hive::CurrentUser, RecordsKey(), name)
        .value_or(std::vector<std::string>{});
}

bool Holds(const char *name, const std::string &entry) {
    if (entry.empty()) return false;
    const std::vector<std::string> list = List(name);
    return std::find(list.begin(), list.end(), entry) != list.end();
}

void Add(const char *name, const std::string &entry) {
    if (entry.empty() || entry.find('\0') != std::string::npos) return;
    const std::vector<std::string> list = WithEntry(List(name), entry);
    // The hive's multi-string layout: each string ended by a zero, and a final zero.
    RegistryValue value{RegistryType::MultiString, {}};
    for (const std::string &item : list) {
        value.data.insert(value.data.end(), item.begin(), item.end());
        value.data.push_back(0);
    }
    value.data.push_back(0);
    // A record that cannot be kept only means the question comes again next time.
    (void)Registry::Write(Hive::CurrentUser, RecordsKey(), name, value);
}

} // namespace

std::vector<std::string> WithEntry(std::vector<std::string> list, const std::string &entry,
                                   std::size_t limit) {
    list.erase(std::remove(list.begin(), list.end(), entry), list.end());
    list.push_back(entry);
    if (list.size() > limit) list.erase(list.begin(), list.end() - static_cast<std::ptrdiff_t>(limit));
    return list;
}

bool WrittenByClient(const std::string &hash) {
    return Holds("WrittenProfiles", hash);
}
void RecordWritten(const std::string &hash) {
    Add("WrittenProfiles", hash);
}
bool UserSaidDontAsk(const std::string &hash) {
    return Holds("DontAskFiles", hash);
}
void RecordDontAsk(const std::string &hash) {
    Add("DontAskFiles", hash);
}
bool HostKnown(const std::string &host) {
    return Holds("ConnectedHosts", host);
}
void RecordHost(const std::string &host) {
    Add("ConnectedHosts", host);
}

bool QuestionSwitchedOff() {
    return Registry::ReadDword(Hive::LocalMachine, ApplicationKeyPath(), "AskBeforeOpenedFiles") == 0u;
}

} // namespace OpenedFileRecords

} // namespace tsc::shell
