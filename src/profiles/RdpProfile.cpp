#include "RdpProfile.h"

#include "LogSink.h"
#include "PasswordProtection.h"
#include "ProfileText.h"
#include "SystemInfo.h"

#include <openssl/crypto.h>

#include <array>
#include <cerrno>
#include <optional>
#include <utility>

namespace tsc::profiles {

namespace {

constexpr std::array<const char *, 4> SessionBpp = {"8", "15", "16", "24"};

const char *YesNo(bool flag) {
    return flag ? "yes" : "no";
}
const char *OneZero(bool flag) {
    return flag ? "1" : "0";
}

bool HasFolder(std::string_view name) {
    return name.find_first_of("\\/") != std::string_view::npos;
}

// No folder gives no path: a bare name would land in the working folder.
std::string InFolder(const std::string &folder, std::string_view name) {
    if (folder.empty()) return {};
    std::string path = folder;
    if (!path.empty() && path.back() != '/') path += '/';
    return path + std::string(name);
}

std::string FileNamePart(std::string_view name) {
    const auto cut = name.find_last_of("\\/");
    return std::string(cut == std::string_view::npos ? name : name.substr(cut + 1));
}

std::string Expanded(const ProfileEnvironment &environment, std::string_view text) {
    return environment.expandText ? environment.expandText(text) : std::string(text);
}

// The profile's lines and the key lookup of the format: a key matches any line that
// begins with it, whatever the letter case and whatever follows; the value starts at
// the fourth character after the key (the type letter is never checked); the last
// matching line wins.
class ProfileLookup {
  public:
    explicit ProfileLookup(std::string_view text) : lines_(SplitProfileLines(text)) {}

    [[nodiscard]] std::optional<std::string> Value(std::string_view key) const {
        std::optional<std::string> value;
        for (const std::string &line : lines_) {
            if (!StartsWithIgnoringCase(line, key)) continue;
            const std::size_t start = key.size() + 3;
            value = start < line.size() ? line.substr(start) : std::string();
        }
        return value;
    }

  private:
    std::vector<std::string> lines_;
};

std::uint16_t DesktopDimension(const std::optional<std::string> &value, std::uint16_t fallback) {
    if (!value) return fallback;
    const auto truncated = static_cast<std::uint16_t>(RuntimeIntegerValue(*value));
    return truncated == 0 || truncated > DesktopSizeLimit ? fallback : truncated;
}

// "1" checks, "0" unchecks, anything else leaves the box as it was.
void ReadFlag(const ProfileLookup &lookup, std::string_view key, bool &box, bool inverted = false) {
    const auto value = lookup.Value(key);
    if (value == "1") box = !inverted;
    if (value == "0") box = inverted;
}

// "0", "1", "2" select that item; anything else leaves the list as it was.
void ReadIndex(const ProfileLookup &lookup, std::string_view key, int &index) {
    const auto value = lookup.Value(key);
    if (value == "0" || value == "1" || value == "2") index = (*value)[0] - '0';
}

void ReadYesAnyCase(const ProfileLookup &lookup, std::string_view key, bool &box) {
    if (const auto value = lookup.Value(key)) box = LowerAscii(*value) == "yes";
}

// With load balancing the farm's chosen server is the address. Before the farm has
// named one, a bare ":" would replace the host the user typed, so the host stays.
std::string WrittenAddress(const ProfileSettings &settings) {
    if (settings.doLoadBalancing && !settings.selectedServerHost.empty()) {
        return settings.selectedServerHost + ":" + settings.selectedServerPort;
    }
    return settings.host;
}

void LogBegin(LogSink &log, const std::string &prefix, const std::string &name) {
    log.LogInfo("Begin Read_" + prefix + "_RDP_file: " + name);
}

std::string ResolveProfileName(const std::string &name, const ProfileEnvironment &environment) {
    if (HasFolder(name)) return name;
    const std::string inApplicationData = InFolder(environment.applicationDataFolder, name);
    if (ProfileFileExists(inApplicationData)) return inApplicationData;
    const std::string inLocalSettings = InFolder(environment.localSettingsFolder, name);
    if (ProfileFileExists(inLocalSettings)) return inLocalSettings;
    return inApplicationData;
}

// One command-line parameter: the profile it names when that is a regular file
// (links followed). Anything else there is logged and not read.
std::optional<std::string> CommandLineProfile(const ProfileEnvironment &environment,
                                              const std::string &parameter, LogSink &log,
                                              std::string &userMessage) {
    std::string path = Expanded(environment, parameter);
    if (path.empty() && !parameter.empty()) {
        log.LogWarning("Profile " + parameter + " is not used: expanded, it leads out of its folder");
        return std::nullopt;
    }
    if (ProfileFileExists(path)) return path;
    if (AnythingExists(path)) {
        log.LogWarning("Profile " + path + " is no regular file; it is not read");
        if (userMessage.empty()) userMessage = "The profile " + path + " is not a file and was not read.";
    }
    return std::nullopt;
}

// Command-line parameter 1 (connect at once) or 3 (no connect) names the profile
// when it names an existing regular file. True when one of them does.
bool ApplyCommandLine(std::string &path, ProfileSettings &settings, const ProfileEnvironment &environment,
                      LogSink &log, std::string &userMessage) {
    const auto &parameters = environment.parameters;
    log.LogInfo("ParamCount: " + std::to_string(parameters.size()));
    if (parameters.empty()) return false;
    log.LogInfo("PRM 1: " + parameters[0]);
    if (auto first = CommandLineProfile(environment, parameters[0], log, userMessage)) {
        path = std::move(*first);
        settings.autoConnect = true;
        return true;
    }
    if (parameters.size() >= 3) {
        log.LogInfo("PRM 3: " + parameters[2]);
        if (auto third = CommandLineProfile(environment, parameters[2], log, userMessage)) {
            path = std::move(*third);
            settings.autoConnect = false;
            return true;
        }
    }
    return false;
}

bool IsBlank(std::string_view line) {
    return TrimControls(line).empty();
}

// The lines of the profile a write goes back to, when it is a regular file of this
// user (not a link) that the reader can read: the lines that are not blank, in
// file order. Nothing of another user's file is copied into the new one.
std::vector<std::string> OriginalProfileLines(const std::string &path) {
    std::vector<std::string> lines;
    std::string bytes;
    std::size_t size = 0;
    if (!WriteBackRefusal(path, ProfileSizeLimit).empty() || !ProfileFileExists(path) ||
        ReadSmallFile(path, ProfileSizeLimit - 1, bytes, size) != 0)
        return lines;
    for (std::string &line : SplitProfileLines(DecodeProfileBytes(bytes).text))
        if (!IsBlank(line)) lines.push_back(std::move(line));
    return lines;
}

// The value the reader would take for key: the last line beginning with it.
std::optional<std::string> LookUp(const std::vector<std::string> &lines, std::string_view key) {
    std::optional<std::string> value;
    for (const std::string &line : lines)
        if (StartsWithIgnoringCase(line, key))
            value = key.size() + 3 < line.size() ? line.substr(key.size() + 3) : "";
    return value;
}

bool Decryptable(const ProfileEnvironment &environment, std::string_view hexText) {
    if (environment.protection == nullptr) return false;
    Bytes plain;
    const bool decrypted = environment.protection->Unprotect(BytesFromHexText(hexText), plain) == 0;
    if (!plain.empty()) OPENSSL_cleanse(plain.data(), plain.size());
    return decrypted;
}

// Keys the reader takes from a profile: their lines in an old file are replaced by
// the lines written now, never kept beside them.
std::vector<std::string> KeysOfTheProgram(const std::vector<std::string> &written,
                                          const std::string &prefix) {
    std::vector<std::string> keys = {
        "desktopwidth", "desktopheight", "screen mode id", "session bpp", "keyboardhook", "audiomode",
        "redirectdrives", "redirectprinters", "redirectcomports", "redirectsmartcards",
        "displayconnectionbar", "disable wallpaper", "disable full window drag", "disable menu anims",
        "disable themes", "bitmapcachepersistenable", "username", "savemypassword", "password 51",
        "full address", "domain", prefix + "_doloadbalancing", prefix + "_doaskloadbalancinghostname",
        prefix + "_doseamless", prefix + "_sharptext", prefix + "_rdpplusport", prefix + "_hidesettings",
        // A signature no longer holds once the file changed.
        "signature", "signscope"};
    for (const std::string &line : written)
        keys.push_back(line.substr(0, line.find(':')));
    return keys;
}

} // namespace

bool IsProfileLine(std::string_view line) {
    const auto colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos || colon + 2 >= line.size() || line[colon + 2] != ':')
        return false;
    const char type = static_cast<char>(line[colon + 1] | 0x20);
    return type == 'i' || type == 's' || type == 'b';
}

std::string LoggableProfileText(std::string_view text, std::size_t *stopped) {
    std::string loggable;
    if (stopped) *stopped = 0;
    std::size_t number = 0;
    for (const std::string &line : SplitProfileLines(text)) {
        ++number;
        // A file that is not a profile (a link to a system file, say) is not copied
        // into the log.
        if (!IsBlank(line) && !IsProfileLine(line)) {
            if (stopped) *stopped = number;
            break;
        }
        // Any letter case: a "Password 51" line matches the key just the same. A
        // plain "password:s:" line of other clients is left out as well.
        const std::string lower = LowerAscii(line);
        if (lower.find("password 51") != std::string::npos || lower.rfind("password", 0) == 0) continue;
        if (!loggable.empty()) loggable += '\n';
        loggable += line;
    }
    return loggable;
}

void ApplyProfileText(std::string_view text, ProfileSettings &settings, const ProfileEnvironment &environment,
                      bool *passwordUnusable) {
    const ProfileLookup lookup(text);
    const std::string &prefix = environment.appPrefix;

    settings.desktopWidth = DesktopDimension(lookup.Value("desktopwidth"), 800);
    settings.desktopHeight = DesktopDimension(lookup.Value("desktopheight"), 600);
    settings.desktopSizeIndex = DesktopSizeWidthHeight;
    for (int index = 0; index < static_cast<int>(FixedDesktopSizes.size()); ++index) {
        const DesktopSize size = FixedDesktopSizes[static_cast<std::size_t>(index)];
        if (size.width == settings.desktopWidth && size.height == settings.desktopHeight)
            settings.desktopSizeIndex = index;
    }
    if (const auto mode = lookup.Value("screen mode id")) {
        if (*mode == "2") settings.desktopSizeIndex = DesktopSizeFullScreen;
        if (*mode == "3") settings.desktopSizeIndex = DesktopSizeFullScreenTaskbar;
    }
    if (const auto bpp = lookup.Value("session bpp")) {
        for (int index = 0; index < static_cast<int>(SessionBpp.size()); ++index) {
            if (*bpp == SessionBpp[static_cast<std::size_t>(index)]) settings.colorsIndex = index;
        }
        // The common client saves its true-colour default as 32 bits; this client's
        // deepest choice is the same true colour (written back as 24).
        if (*bpp == "32") settings.colorsIndex = ColorsHighest24;
    }
    ReadIndex(lookup, "keyboardhook", settings.windowsKeysIndex);
    ReadIndex(lookup, "audiomode", settings.soundIndex);
    ReadFlag(lookup, "redirectdrives", settings.connectDiskDrives);
    ReadFlag(lookup, "redirectprinters", settings.connectPrinters);
    ReadFlag(lookup, "redirectcomports", settings.commPorts);
    ReadFlag(lookup, "redirectsmartcards", settings.smartCards);
    // On unless this profile says "0": a value from an earlier profile does not stay.
    settings.redirectClipboard = lookup.Value("redirectclipboard") != "0";
    settings.smartSizing = lookup.Value("smart sizing") == "1";
    settings.useMultimon = lookup.Value("use multimon") == "1";
    settings.selectedMonitors = lookup.Value("selectedmonitors").value_or("");
    ReadFlag(lookup, "displayconnectionbar", settings.displayConnectionBar);
    // "Show Desktop background" is kept the other way round than the other three
    // performance boxes; files of this client read back as they were written.
    ReadFlag(lookup, "disable wallpaper", settings.background);
    ReadFlag(lookup, "disable full window drag", settings.windowDragging, true);
    ReadFlag(lookup, "disable menu anims", settings.animation, true);
    ReadFlag(lookup, "disable themes", settings.themes, true);
    ReadFlag(lookup, "bitmapcachepersistenable", settings.bitmapCaching);
    if (auto user = lookup.Value("username")) {
        if (!user->empty() && user->front() == '<')
            *user = user->size() >= 2 ? user->substr(1, user->size() - 2) : "";
        settings.userName = std::move(*user);
    }
    if (const auto save = lookup.Value("savemypassword")) settings.saveMyPassword = *save == "yes";
    if (const auto hex = lookup.Value("password 51");
        hex && settings.saveMyPassword && environment.protection) {
        settings.password =
            UnprotectPassword(*environment.protection, *hex, true, environment.passwordLog, 8);
        if (passwordUnusable && settings.password.empty() && hex->size() >= 2 &&
            !Decryptable(environment, *hex))
            *passwordUnusable = true;
    }

    // RDP+ and the SSL gateway are switched off by every profile, whatever it holds.
    settings.doRdpPlus = false;
    settings.doSslGateway = false;
    settings.rdpPlusControlsEnabled = false;
    settings.rdpPlusPageVisible = false;

    ReadYesAnyCase(lookup, prefix + "_doloadbalancing", settings.doLoadBalancing);
    ReadYesAnyCase(lookup, prefix + "_doaskloadbalancinghostname", settings.doAskLoadBalancingHostname);
    ReadYesAnyCase(lookup, prefix + "_doseamless", settings.doSeamless);
    ReadYesAnyCase(lookup, prefix + "_sharptext", settings.sharpText);
    if (auto host = lookup.Value("full address")) settings.host = std::move(*host);
    settings.rdpPlusPort = lookup.Value(prefix + "_rdpplusport").value_or(DefaultRdpPlusPort);
    ReadYesAnyCase(lookup, prefix + "_hidesettings", settings.hideSettings);
    if (auto domain = lookup.Value("domain"))
        settings.domain = *domain == "..." ? std::string() : std::move(*domain);
}

ReadProfileResult ReadProfile(const std::string &name, ProfileSettings &settings,
                              const ProfileEnvironment &environment, LogSink &log) {
    const std::string &prefix = environment.appPrefix;
    ReadProfileResult result;
    LogBegin(log, prefix, name);
    settings.saveMyPassword = false;

    std::string path = ResolveProfileName(name, environment);
    const bool fromCommandLine = ApplyCommandLine(path, settings, environment, log, result.userMessage);
    result.path = path;

    if (!ProfileFileExists(path)) {
        log.LogWarning("Can not find file: " + path);
    } else {
        log.LogInfo(prefix + "_RDP_file: " + path + ": autoconnect: " + YesNo(settings.autoConnect));
        std::string bytes;
        std::size_t size = 0;
        if (const int code = ReadSmallFile(path, ProfileSizeLimit - 1, bytes, size); code != 0) {
            log.LogError("Excp 1");
            log.LogError(SystemErrorText(code));
            if (fromCommandLine)
                result.userMessage =
                    "The profile " + path + " could not be read (" + SystemErrorText(code) + ").";
        } else {
            if (size >= ProfileSizeLimit) {
                // Never parsed, and so never written back over either.
                log.LogWarning("Profile " + path + " is not read: " + std::to_string(size) + " bytes, " +
                               std::to_string(ProfileSizeLimit) + " or more");
                if (fromCommandLine)
                    result.userMessage = "The profile " + path + " is too big (" + std::to_string(size) +
                                         " bytes) and was not read; it will not be changed.";
            }
            if (size >= 1 && size < ProfileSizeLimit) {
                const DecodedProfile decoded = DecodeProfileBytes(bytes);
                log.LogInfo(prefix + EncodingLogTag(decoded.encoding));
                std::size_t stopped = 0;
                const std::string loggable = LoggableProfileText(decoded.text, &stopped);
                if (!loggable.empty() || stopped == 0) log.LogInfo(loggable);
                if (stopped != 0)
                    log.LogWarning("Line " + std::to_string(stopped) +
                                   " is not key:type:value; the rest of the file is not logged");
                ApplyProfileText(decoded.text, settings, environment, &result.passwordUnusable);
                result.read = true;
                if (result.passwordUnusable) {
                    log.LogWarning("The saved password of " + path +
                                   " cannot be decrypted; it is kept as it is");
                    if (result.userMessage.empty())
                        result.userMessage =
                            "The saved password in " + path +
                            " could not be used. Please type the password; the saved one is kept.";
                }
            }
            settings.profileReadOnly = IsReadOnlyFile(path);
            if (settings.hideSettings) log.LogInfo("Show no settings");
        }
    }
    log.LogInfo("End Read_" + prefix + "_RDP_file");
    return result;
}

std::vector<std::string> ProfileLines(const ProfileSettings &settings, const ProfileEnvironment &environment,
                                      LogSink *passwordLog) {
    const std::string &prefix = environment.appPrefix;
    std::vector<std::string> lines;
    const auto add = [&lines](std::string line) { lines.push_back(std::move(line)); };

    const int size = settings.desktopSizeIndex;
    add(std::string("screen mode id:i:") + (size == DesktopSizeFullScreenTaskbar ? "3"
                                            : size == DesktopSizeFullScreen      ? "2"
                                                                                 : "1"));
    std::uint16_t width = settings.desktopWidth;
    std::uint16_t height = settings.desktopHeight;
    if (const auto fixed = FixedDesktopSizeOf(size)) width = fixed->width, height = fixed->height;
    add("desktopwidth:i:" + std::to_string(width));
    add("desktopheight:i:" + std::to_string(height));
    if (settings.colorsIndex >= 0 && settings.colorsIndex < static_cast<int>(SessionBpp.size())) {
        add(std::string("session bpp:i:") + SessionBpp[static_cast<std::size_t>(settings.colorsIndex)]);
    }
    add("keyboardhook:i:" + std::to_string(settings.windowsKeysIndex));
    add("audiomode:i:" + std::to_string(settings.soundIndex));
    add(std::string("displayconnectionbar:i:") + OneZero(settings.displayConnectionBar));
    add(std::string("redirectdrives:i:") + OneZero(settings.connectDiskDrives));
    add(std::string("redirectprinters:i:") + OneZero(settings.connectPrinters));
    add(std::string("redirectcomports:i:") + OneZero(settings.commPorts));
    add(std::string("redirectsmartcards:i:") + OneZero(settings.smartCards));
    add(std::string("bitmapcachepersistenable:i:") + OneZero(settings.bitmapCaching));
    add(std::string("disable themes:i:") + OneZero(!settings.themes));
    add(std::string("disable menu anims:i:") + OneZero(!settings.animation));
    add(std::string("disable full window drag:i:") + OneZero(!settings.windowDragging));
    add(std::string("disable wallpaper:i:") + OneZero(settings.background));
    add("full address:s:" + WrittenAddress(settings));
    add(prefix + "_rdpplusport:i:" + settings.rdpPlusPort);
    add("autoreconnection enabled:i:0");
    add("auto connect:i:1");
    add("username:s:" + settings.userName);
    add("domain:s:" + DomainInUse(settings));
    add(std::string("savemypassword:s:") + YesNo(settings.saveMyPassword));
    // Without "Save my password" the file keeps no password at all, not even a
    // protected one.
    std::string protectedPassword;
    if (settings.saveMyPassword && environment.protection) {
        protectedPassword =
            ProtectPassword(*environment.protection, settings.password, ProtectUiForbidden, passwordLog);
    }
    add("password 51:b:" + protectedPassword);
    add(prefix + "_hidesettings:s:" + YesNo(settings.hideSettings));
    add(prefix + "_doloadbalancing:s:" + YesNo(settings.doLoadBalancing));
    add(prefix + "_doaskloadbalancinghostname:s:" + YesNo(settings.doAskLoadBalancingHostname));
    add(prefix + "_doseamless:s:" + YesNo(settings.doSeamless));
    if (settings.sharpText) add(prefix + "_sharptext:s:yes");
    return lines;
}

WriteProfileResult WriteProfile(const std::string &name, std::string_view tag,
                                const ProfileSettings &settings, const ProfileEnvironment &environment,
                                LogSink &log) {
    const std::string &prefix = environment.appPrefix;
    WriteProfileResult result;
    log.LogInfo("Begin Write_" + prefix + "_RDP_file[" + std::string(tag) + "]: " + name);
    std::string original; // the profile these settings go back to
    if (!environment.parameters.empty()) {
        result.path = original = Expanded(environment, environment.parameters[0]);
        log.LogInfo("Write FileName (commandline parameter 1): " + result.path);
    } else if (settings.profileReadOnly) {
        original = HasFolder(name) ? name : InFolder(environment.applicationDataFolder, name);
        result.path = InFolder(environment.tempFolder, FileNamePart(name));
        log.LogInfo("Write temporary FileName: " + result.path);
        log.LogInfo("File: " + name + " is read only");
    } else {
        result.path = original = HasFolder(name) ? name : InFolder(environment.applicationDataFolder, name);
        log.LogInfo("Write FileName: " + result.path);
    }

    const std::vector<std::string> oldLines = OriginalProfileLines(original);
    if (result.path == original) {
        std::string refusal = WriteBackRefusal(original, ProfileSizeLimit);
        if (refusal.empty() && AnythingExists(original) && IsReadOnlyFile(original))
            refusal = "it is read only";
        if (!refusal.empty()) {
            result.path = InFolder(environment.tempFolder, FileNamePart(original));
            log.LogWarning("File: " + original + " is not written back: " + refusal);
            log.LogInfo("Write temporary FileName: " + result.path);
        }
    }

    if (result.path.empty()) {
        // No data folder, no private temporary folder, or a refused parameter:
        // nothing is written anywhere else instead.
        log.LogWarning("Profile not written: there is no safe folder for it");
        log.LogInfo("End Write_" + prefix + "_RDP_file");
        return result;
    }

    std::vector<std::string> lines = ProfileLines(settings, environment, environment.passwordLog);
    // A saved password that cannot be decrypted (the key is gone or not usable) is
    // kept as it was read rather than replaced by nothing.
    if (settings.saveMyPassword) {
        const auto oldPassword = LookUp(oldLines, "password 51");
        for (std::string &line : lines)
            if (line == "password 51:b:" && oldPassword && oldPassword->size() >= 2 &&
                !Decryptable(environment, *oldPassword))
                line += *oldPassword;
    }
    const std::size_t ownLineCount = lines.size();
    const std::vector<std::string> ownKeys = KeysOfTheProgram(lines, prefix);
    for (const std::string &line : oldLines) {
        bool own = false;
        for (const std::string &key : ownKeys)
            own = own || StartsWithIgnoringCase(line, key);
        if (!own) lines.push_back(line);
    }

    std::string content = EncodeProfileLines(lines);
    // Written as UTF-16, an 8-bit file grows: a profile the reader would refuse next
    // time keeps only this client's lines.
    if (content.size() >= ProfileSizeLimit && lines.size() > ownLineCount) {
        log.LogWarning("The other lines of " + original + " are not kept: the profile would be " +
                       std::to_string(content.size()) + " bytes");
        lines.resize(ownLineCount);
        content = EncodeProfileLines(lines);
    }
    if (const int code = ReplaceFileAtomically(result.path, content, environment.beforeReplace); code == 0) {
        result.written = true;
    } else {
        log.LogError("Excp 2");
        log.LogError(SystemErrorText(code));
        result.userMessage =
            "The profile " + result.path + " could not be saved (" + SystemErrorText(code) + ").";
    }
    log.LogInfo("End Write_" + prefix + "_RDP_file");
    return result;
}

std::string DomainInUse(const ProfileSettings &settings) {
    if (settings.doLoadBalancing && !settings.farmServerDomain.empty() &&
        settings.farmServerDomain != "...") {
        return settings.farmServerDomain;
    }
    return settings.domain;
}

} // namespace tsc::profiles
