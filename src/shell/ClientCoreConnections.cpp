// The application core's connection usages: the single default profile, or a folder
// of connections with one of them current. The file work is ConnectionFolder's;
// here are the procedures around it and what the view is told.

#include "ClientCore.h"

#include "Identity.h"
#include "Preferences.h"
#include "PrivateFiles.h"
#include "SystemInfo.h"
#include "UserDialogs.h"

#include <algorithm>

namespace tsc::shell {

namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

profiles::ConnectionFolderNames FolderNames() {
    return profiles::FolderNamesFor(Identity::AppPrefix());
}

} // namespace

bool ClientCore::ValidConnectionIndex(int index) const {
    return index >= 0 && index < static_cast<int>(sortedConnections_.size());
}

bool ClientCore::ValidListRow(int row) const {
    return row >= 0 && row < static_cast<int>(listedConnections_.size());
}

std::string ClientCore::ConnectionPath(const profiles::Connection &connection) const {
    return WithTrailingSeparator(connectionFolder_) + connection.fileName;
}

void ClientCore::SetListSelection(int row) {
    listSelection_ = ValidListRow(row) ? row : -1;
    selectedListName_ =
        ValidListRow(row) ? listedConnections_[static_cast<std::size_t>(row)].name : std::string();
}

void ClientCore::SetPreviousConnectionIndex(int index) {
    // A list the Farm is being asked for belongs to the connection shown until now.
    farm_->ConnectionChanged();
    previousConnectionIndex_ = index;
    const bool valid = ValidConnectionIndex(index);
    currentConnection_ = valid ? sortedConnections_[static_cast<std::size_t>(index)].name : std::string();
    currentConnectionFile_ =
        valid ? sortedConnections_[static_cast<std::size_t>(index)].fileName : std::string();
    emit currentConnectionChanged(index);
}

// The settings on screen go back to their profile before anything else is loaded:
// a rename, a copy or a move works on the connection as the user sees it, and no
// edit is lost to the reload that follows.
void ClientCore::WriteBackShownSettings() {
    if (!multipleConnections_)
        WriteProfile(ApplicationDataFile(Identity::SingleConnectionProfileName()), "6");
    else if (ValidConnectionIndex(previousConnectionIndex_))
        WriteProfile(ConnectionPath(sortedConnections_[static_cast<std::size_t>(previousConnectionIndex_)]),
                     "6");
}

void ClientCore::SetConnectionUsage(bool multiple) {
    multipleConnections_ = multiple;
    emit connectionUsageChanged(multiple);
}

// The stored folder, or the default connection folder when none is stored or the
// stored one is gone.
std::string ClientCore::UsableConnectionFolder(const std::string &stored) {
    if (stored.empty()) return UserAppDataFolder();
    if (FolderExists(stored)) return stored;
    LogError("Directory for RDP files does not exist: " + stored);
    return UserAppDataFolder();
}

void ClientCore::LoadConnection(const profiles::Connection &connection) {
    const std::string profile = ConnectionPath(connection);
    ReadProfile(profile);
    Read_V001C003_file(profiles::ServerListPathOf(profile, FolderNames()));
}

void ClientCore::LoadFirstConnection() {
    SetPreviousConnectionIndex(sortedConnections_.empty() ? -1 : 0);
    if (ValidConnectionIndex(0)) LoadConnection(sortedConnections_.front());
}

// Start-up in multiple usage: the connection chosen last time, else the first.
void ClientCore::LoadLastConnection() {
    // A stored folder that is gone would leave nothing to choose and nowhere to
    // write: this run uses the default folder, the stored one stays for later.
    const std::string folder = UsableConnectionFolder(connectionFolder_);
    if (folder != connectionFolder_) {
        connectionFolder_ = folder;
        emit connectionFolderChanged(Q(folder));
    }
    SetConnectionUsage(true);
    FillConnectionLists("");
    const std::string last = ReadLastConnection();
    LogPlatformDiagnostics();
    const auto found = std::find_if(sortedConnections_.begin(), sortedConnections_.end(),
                                    [&](const profiles::Connection &c) { return c.name == last; });
    const int index =
        found == sortedConnections_.end() ? 0 : static_cast<int>(found - sortedConnections_.begin());
    if (!ValidConnectionIndex(index)) {
        SetPreviousConnectionIndex(-1);
        return;
    }
    LoadConnection(sortedConnections_[static_cast<std::size_t>(index)]);
    SetPreviousConnectionIndex(index);
}

void ClientCore::FillConnectionLists(const std::string &nameToSelect) {
    const std::string select = nameToSelect.empty() ? selectedListName_ : nameToSelect;
    sortedConnections_.clear();
    listedConnections_.clear();
    LogInfo("Read all RDP files from: " + connectionFolder_);
    (void)RemoveStaleTemporaryFiles(connectionFolder_); // copies a killed client left behind
    profiles::FolderListing listing = profiles::ListConnections(connectionFolder_, FolderNames());
    if (listing.error) {
        // A folder that cannot be read gets no first connection either: writing
        // into it would fail the same way, or hide the files that are there.
        LogError("Can not read folder: " + connectionFolder_);
        LogError(SystemErrorText(listing.error));
    } else if (listing.connections.empty()) {
        CreateFirstConnection();
        listing = profiles::ListConnections(connectionFolder_, FolderNames());
    }
    listedConnections_ = std::move(listing.connections);
    sortedConnections_ = profiles::SortedConnections(listedConnections_);
    const auto found =
        std::find_if(listedConnections_.begin(), listedConnections_.end(),
                     [&](const profiles::Connection &c) { return !select.empty() && c.name == select; });
    SetListSelection(
        found == listedConnections_.end() ? -1 : static_cast<int>(found - listedConnections_.begin()));
    // The drop-down keeps showing the connection whose settings are on screen, at
    // its new place, or nothing when it is gone.
    const auto current = std::find_if(
        sortedConnections_.begin(), sortedConnections_.end(), [&](const profiles::Connection &c) {
            return !currentConnectionFile_.empty() && c.fileName == currentConnectionFile_;
        });
    previousConnectionIndex_ =
        current == sortedConnections_.end() ? -1 : static_cast<int>(current - sortedConnections_.begin());
    if (previousConnectionIndex_ < 0) {
        currentConnection_.clear();
        currentConnectionFile_.clear();
    }
    emit connectionListsChanged();
}

void ClientCore::CreateFirstConnection() {
    CloseServerListFile();
    LogInfo("Create first connection");
    const profiles::ConnectionFolderNames names = FolderNames();
    const std::string profile = WithTrailingSeparator(connectionFolder_) +
                                profiles::ConnectionFileName(Identity::AppName() + " connection");
    WriteProfile(profile, "5");
    const std::string source = ApplicationDataFile(names.serverList);
    const std::string target = profiles::ServerListPathOf(profile, names);
    const int error = profiles::CopyFileReplacing(source, target);
    const auto write = error ? &ClientCore::LogError : &ClientCore::LogInfo;
    (this->*write)((error ? "Can not copy " : "Copy ") + names.serverList + " file: ");
    (this->*write)(" from: " + source);
    (this->*write)("   to: " + target);
    if (error) LogError(SystemErrorText(error));
}

void ClientCore::CloseServerListFile() {
    // Comes with the server list files: closes the open server list file, if any.
}

void ClientCore::rb_SingleConnectionUsageClick() {
    WriteBackShownSettings();
    SetConnectionUsage(false);
    WriteConnectionUsage(false, "");
    sortedConnections_.clear();
    SetPreviousConnectionIndex(-1);
    emit connectionListsChanged();
    ReadProfile(ApplicationDataFile(Identity::SingleConnectionProfileName()));
    Read_V001C003_file("");
}

void ClientCore::rb_MultipleConnectionUsageClick() {
    WriteBackShownSettings();
    SetConnectionUsage(true);
    connectionFolder_ = UsableConnectionFolder(ReadConnectionFolder());
    emit connectionFolderChanged(Q(connectionFolder_));
    WriteConnectionUsage(true, connectionFolder_);
    FillConnectionLists("");
    LoadFirstConnection();
}

void ClientCore::bn_FolderMultipleConnectionsRDPFilesClick() {
    const std::string start = UsableConnectionFolder(ReadConnectionFolder());
    const std::string chosen = dialogs_.SelectFolder(title_, start);
    if (chosen.empty()) return;
    if (!FolderExists(chosen)) {
        LogError("Selected Folder does not exist" + chosen);
        return;
    }
    WriteBackShownSettings();
    // The same folder under another spelling (a link, a final "/") moves nothing.
    if (FolderExists(connectionFolder_) && !profiles::SameFolder(connectionFolder_, chosen))
        profiles::MoveAllRdpFiles(connectionFolder_, chosen, FolderNames(), *this);
    connectionFolder_ = chosen;
    emit connectionFolderChanged(Q(chosen));
    WriteConnectionUsage(true, chosen);
    FillConnectionLists("");
    LoadFirstConnection();
}

void ClientCore::cmbx_FolderMultipleConnectionsRDPFilesChange(int index) {
    LogInfo("Begin select other connection");
    LogInfo("Previous connection: " + std::to_string(previousConnectionIndex_));
    if (ValidConnectionIndex(previousConnectionIndex_)) {
        const profiles::Connection &previous =
            sortedConnections_[static_cast<std::size_t>(previousConnectionIndex_)];
        LogInfo("Previous connection: " + previous.fileName);
        WriteProfile(ConnectionPath(previous), "6");
    }
    CloseServerListFile();
    LogInfo("Selected connection: " + std::to_string(index));
    if (index != previousConnectionIndex_) {
        SetPreviousConnectionIndex(index);
        if (ValidConnectionIndex(index)) {
            const profiles::Connection &selected = sortedConnections_[static_cast<std::size_t>(index)];
            LogInfo("Selected connection: " + ConnectionPath(selected));
            LoadConnection(selected);
            WriteLastConnection(selected.name);
        }
    }
    LogInfo("End select other connection");
}

void ClientCore::bn_OKRenameRDPConnectionClick(int row, const std::string &typedName) {
    if (!ValidListRow(row)) return;
    const profiles::Connection old = listedConnections_[static_cast<std::size_t>(row)];
    const std::string name = profiles::ConnectionDisplayName(profiles::MakeSafeConnectionName(typedName));
    if (const auto problem = profiles::CheckConnectionName(name, FolderNames());
        problem != profiles::NameProblem::None) {
        const std::string text = profiles::NameProblemText(problem, name);
        LogError("Can not rename file: " + ConnectionPath(old));
        LogError(text);
        dialogs_.ShowMessage(Identity::AppName(), text, UserDialogs::Buttons::Ok, UserDialogs::Icon::Error);
        return;
    }
    WriteBackShownSettings();
    if (!profiles::RenameConnection(connectionFolder_, old, name, FolderNames(), *this)) return;
    FillConnectionLists(name);
    LoadFirstConnection();
}

void ClientCore::bn_MultipleConnectionsRDPFiles_DeleteClick(int row) {
    if (!ValidListRow(row)) return;
    const profiles::Connection connection = listedConnections_[static_cast<std::size_t>(row)];
    const std::string question = "Delete: " + connection.fileName + "\r\n\r\nAre you sure?";
    if (dialogs_.ShowMessage(Identity::AppName(), question, UserDialogs::Buttons::YesNo,
                             UserDialogs::Icon::Question) != UserDialogs::Answer::Yes)
        return;
    WriteBackShownSettings();
    profiles::DeleteConnection(connectionFolder_, connection, FolderNames(), *this);
    FillConnectionLists("");
    LoadFirstConnection();
}

void ClientCore::bn_MultipleConnectionsRDPFiles_DuplicateClick(int row) {
    if (!ValidListRow(row)) return;
    const profiles::Connection source = listedConnections_[static_cast<std::size_t>(row)];
    const std::string path = ConnectionPath(source);
    if (!profiles::FileExists(path)) return;
    if (!profiles::FreeCopyName(connectionFolder_, source.name)) {
        LogError("No free name for a copy of: " + path);
        dialogs_.ShowMessage(Identity::AppName(),
                             "\"" + source.name + "\" can not be duplicated: the names \"" + source.name +
                                 " Copy 1\" to \"" + source.name + " Copy " +
                                 std::to_string(profiles::MaximumCopyNumber) + "\" are all taken.",
                             UserDialogs::Buttons::Ok, UserDialogs::Icon::Error);
        return;
    }
    WriteBackShownSettings();
    (void)profiles::DuplicateConnection(connectionFolder_, source, FolderNames(), *this);
    FillConnectionLists("");
    LoadFirstConnection();
}

} // namespace tsc::shell
