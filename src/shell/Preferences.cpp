#include "Preferences.h"

#include "Identity.h"
#include "IniFile.h"
#include "LogSink.h"
#include "SystemInfo.h"

#include <charconv>
#include <stdexcept>

namespace tsc::shell {

ConnectionUsage ReadConnectionUsage() {
    const std::string key = ApplicationKeyPath();
    ConnectionUsage usage;
    const auto flag = AcceptStoredString(Registry::Read(Hive::CurrentUser, key, ValueMultipleConnections), 3);
    usage.multiple = flag && *flag == "yes";
    if (usage.multiple) {
        const auto folder =
            AcceptStoredString(Registry::Read(Hive::CurrentUser, key, ValueMultipleConnectionsFolder), 3);
        usage.folder = folder.value_or("");
    }
    return usage;
}

void WriteConnectionUsage(bool multiple, std::string_view folder) {
    const std::string key = ApplicationKeyPath();
    // Failures are silent: the preference is only a convenience.
    (void)Registry::WriteString(Hive::CurrentUser, key, ValueMultipleConnections, YesNoText(multiple));
    if (multiple) (void)Registry::WriteString(Hive::CurrentUser, key, ValueMultipleConnectionsFolder, folder);
}

std::string ReadConnectionFolder() {
    const auto folder = AcceptStoredString(
        Registry::Read(Hive::CurrentUser, ApplicationKeyPath(), ValueMultipleConnectionsFolder), 3);
    return folder.value_or("");
}

std::string ReadLastConnection() {
    const auto name =
        AcceptStoredString(Registry::Read(Hive::CurrentUser, ApplicationKeyPath(), ValueLastConnection), 2);
    return name.value_or(NoLastConnection);
}

void WriteLastConnection(std::string_view name) {
    (void)Registry::WriteString(Hive::CurrentUser, ApplicationKeyPath(), ValueLastConnection, name);
}

std::string IniFilePath() {
    return ApplicationDataFile(Identity::IniFileName());
}

namespace {
int ParseWidth(const std::string &text) {
    int number = 0;
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc{} || stop != end)
        throw std::invalid_argument("'" + text + "' is not a valid integer value");
    return number;
}
} // namespace

std::vector<std::optional<int>> ReadColumnWidths(const std::string &path, int columnCount, LogSink &log) {
    const std::string shownPath = path.substr(0, 255);
    log.LogInfo("Begin ReadAllIniValues: " + shownPath);
    std::vector<std::optional<int>> widths(static_cast<std::size_t>(columnCount));
    try {
        const IniFile file(shownPath);
        for (int column = 0; column < columnCount; ++column) {
            const std::string text =
                file.ReadString(ColumnWidthSection, ColumnWidthKey(ServerGridName, column), "");
            if (text.empty()) continue;
            const int width = ParseWidth(text);
            if (AcceptColumnWidth(width)) widths[static_cast<std::size_t>(column)] = width;
        }
    } catch (...) {
        // A value that is no number ends the reading; the columns read so far stand.
        log.LogError("Exception 1 ReadAllIniValues");
    }
    log.LogInfo("End ReadAllIniValues");
    return widths;
}

bool WriteColumnWidths(const std::string &path, const std::vector<int> &widths, LogSink &log) {
    log.LogInfo("Begin WriteAllIniValues: " + path);
    bool saved = false;
    try {
        IniFile file(path);
        for (std::size_t column = 0; column < widths.size(); ++column)
            file.WriteInteger(ColumnWidthSection, ColumnWidthKey(ServerGridName, static_cast<int>(column)),
                              widths[column]);
        saved = file.Save();
        if (!saved) log.LogError("Exception 1 WriteAllIniValues");
    } catch (...) {
        log.LogError("Exception 1 WriteAllIniValues");
    }
    log.LogInfo("End WriteAllIniValues");
    return saved;
}

} // namespace tsc::shell
