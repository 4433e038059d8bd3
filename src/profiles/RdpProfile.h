#pragma once

// ReadProfile and WriteProfile: a connection profile file (".rdp", the key:type:value
// line format of the common Remote Desktop clients, plus this client's own keys)
// read into and written from a ProfileSettings.
//
// The main window collects a ProfileSettings from its controls, calls one of these
// functions, and applies the result back:
//   ReadProfile:  settings.rdpPlusControlsEnabled / rdpPlusPageVisible for the RDP+
//                 controls and tab; profileReadOnly disables Panel_Settings1..3;
//                 hideSettings hides the six tabs (the reader logs "Show no settings");
//                 bn_OtherFarm shown exactly when doLoadBalancing; panel_AskFirstTime
//                 hidden; the size handling of cb_Desktopsize runs once.
//   WriteProfile: bn_OtherFarm shown exactly when doLoadBalancing, panel_AskFirstTime
//                 hidden when it is off.
// Both then close the server list file when it is open.

#include "ProfileFiles.h"
#include "ProfileSettings.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc {
class LogSink;
}

namespace tsc::profiles {

class ProtectionService;

inline constexpr std::size_t ProfileSizeLimit = 10000; // files of this size or more are not parsed

// Where the profile functions find the program's folders, command line and
// services; the main window fills it once from the platform and identity modules:
// Identity::AppPrefix(), ApplicationDataFolder(), LocalSettingsFolder(),
// PrivateTemporaryFolder(), the arguments after the program name, tsc::ExpandFileName, one
// ProtectionService(ProtectionService::DefaultKeyFile()) it owns for the process,
// and the log file object (not the Logging page) for the password lines.
struct ProfileEnvironment {
    std::string appPrefix = "tsv";       // AppPrefix: begins the client's own keys
    std::string applicationDataFolder;   // ApplicationDataFolder; empty: none
    std::string localSettingsFolder;     // LocalSettingsFolder
    std::string tempFolder;              // where a profile that cannot be written back goes;
                                         // empty: nowhere
    std::vector<std::string> parameters; // command-line parameters, program name excluded
    std::function<std::string(std::string_view)> expandText; // ExpandFileName; as-is when empty
    ProtectionService *protection = nullptr;                 // no saved passwords without it
    LogSink *passwordLog = nullptr;                          // the log file itself, for the CPWR/UCPWR lines
    BeforeReplaceHook beforeReplace; // tests only: interrupts a write before its rename
};

struct ReadProfileResult {
    std::string path;              // the file read (or looked for)
    bool read = false;             // its lines were applied
    bool passwordUnusable = false; // a saved password is there but could not be decrypted; it is kept
    // What the window tells the user once (empty: nothing): a profile named on the
    // command line that could not be read, a saved password that could not be used.
    std::string userMessage;
};

// Fills settings from the file (resolved like the program's profile names; command-
// line parameter 1, else 3, takes its place when it names an existing regular file,
// links followed). Keys the file does not hold keep what settings held. The file's
// lines are logged while they have the key:type:value form (passwords left out).
ReadProfileResult ReadProfile(const std::string &name, ProfileSettings &settings,
                              const ProfileEnvironment &environment, LogSink &log);

struct WriteProfileResult {
    std::string path;        // the path actually chosen (temporary folder, parameter 1, ...)
    bool written = false;    // false: "Excp 2" was logged and the old file is untouched
    std::string userMessage; // when not written: what the window tells the user
};

// Writes settings as a UTF-16 profile. tag only goes into the log. An existing file
// is replaced only when it is a regular file of this user, not a link, that the
// reader could read; otherwise the profile goes to tempFolder (logged). Without a
// folder for it (no data folder, no tempFolder) nothing is written (logged).
// After the program's own lines come the other lines of the profile being written
// back (keys of other clients), in their order, except the lines of the keys the
// program reads or writes and "signature"/"signscope". A saved password that cannot
// be decrypted stays in the file as it was read.
WriteProfileResult WriteProfile(const std::string &name, std::string_view tag,
                                const ProfileSettings &settings, const ProfileEnvironment &environment,
                                LogSink &log);

// The lines WriteProfile writes, in file order (without encoding). The password line
// carries the protected password only while saveMyPassword is set.
[[nodiscard]] std::vector<std::string>
ProfileLines(const ProfileSettings &settings, const ProfileEnvironment &environment, LogSink *passwordLog);

// Applies decoded profile text to settings in the key table's lookup order.
// passwordUnusable, when given, is set when the file holds a saved password that
// could not be decrypted.
void ApplyProfileText(std::string_view text, ProfileSettings &settings, const ProfileEnvironment &environment,
                      bool *passwordUnusable = nullptr);

// The domain a connection uses and its profile records: with load balancing the
// domain the Farm names with its preferred server, when it names one; otherwise the
// domain field's.
[[nodiscard]] std::string DomainInUse(const ProfileSettings &settings);

// A line of the form key:type:value, type one of the letters i, s, b.
[[nodiscard]] bool IsProfileLine(std::string_view line);

// The decoded text as it may be logged: lines that could carry a password left out,
// and nothing from the first line that is not key:type:value on (stopped is then set
// to that line's number, counting from 1, else 0).
[[nodiscard]] std::string LoggableProfileText(std::string_view text, std::size_t *stopped = nullptr);

} // namespace tsc::profiles
