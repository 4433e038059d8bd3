#pragma once

// Finding the RDP engine at start-up: which version is installed, whether its
// control can be created, one silent registration attempt, and the status text of
// the "Microsoft" page. Runs on the user-interface thread.

#include <functional>
#include <string>
#include <string_view>

namespace tsc {

class LogSink;

inline constexpr char NoRdpClientVersion[] = "0.0.0.0";

// The control variant (and with it the session window) a version uses.
enum class RdpControlVariant { Unsupported, WXP51, WXP60, Win7_61 };
[[nodiscard]] RdpControlVariant VariantForVersion(std::string_view rdpClientVersion);

// `RdpClientVersion`: the engine's protocol library version, or "0.0.0.0" with the
// error line "Can not find: " + path when the engine library is missing.
[[nodiscard]] std::string DetectRdpClientVersion(LogSink &log);

// Creates and frees one control of the variant the version asks for.
[[nodiscard]] bool TestRdpControl(std::string_view rdpClientVersion, LogSink &log);

// Registration here means refreshing the dynamic linker's cache for the engine's
// folder; started without waiting. `systemErrorText` explains a failure code.
inline constexpr char LinkerCacheTool[] = "/sbin/ldconfig";
void RegisterMSTSCAX(LogSink &log, const std::function<std::string(int)> &systemErrorText,
                     std::string_view tool = LinkerCacheTool);

// The status text for label_Status. `lookupText(identifier, defaultText)` reads the
// language table (prefix "004") and falls back to the default.
using RdpStatusTextLookup =
    std::function<std::string(std::string_view identifier, std::string_view defaultText)>;
// The status texts of the engine page: their language-table identifier (prefix
// "004") and the built-in text. They speak of what runs the sessions here: the
// FreeRDP engine library.
struct RdpStatusText {
    const char *identifier;
    const char *text;
};
inline constexpr RdpStatusText RdpStatusRegisterMissing{
    "00000088", "This PC seems to have the correct version of the FreeRDP engine library, but it is not yet "
                "registered with the dynamic linker.\r\rPlease contact your Administrator."};
inline constexpr RdpStatusText RdpStatusEngineMissing{
    "00000089", "This PC seems not to have the correct version of the FreeRDP engine library: it needs the "
                "client's engine module and the FreeRDP 2 package (libfreerdp-client2-2).\r\rPlease contact "
                "your Administrator."};
inline constexpr RdpStatusText RdpStatusOk{"00000090", "Everything seems to be OK"};
[[nodiscard]] std::string RdpClientStatusText(bool rdpControlUsable, std::string_view rdpClientVersion,
                                              const RdpStatusTextLookup &lookupText);

// What the detection sequence needs from the rest of the program; a test replaces any.
struct RdpClientDetectionEnvironment {
    std::function<std::string(LogSink &)> detectVersion;          // DetectRdpClientVersion
    std::function<bool(std::string_view, LogSink &)> testControl; // TestRdpControl
    std::function<void(LogSink &)> registerControl;               // RegisterMSTSCAX
    std::function<bool()> isNtFamily;                             // true on this platform
    std::function<bool()> isAdministrator;
    std::function<void(int milliseconds)> wait; // keeps the user interface alive
};

// The environment of a real start: the functions above, with the platform's
// administrator test and system error text passed in.
[[nodiscard]] RdpClientDetectionEnvironment
DefaultRdpClientDetectionEnvironment(std::function<bool()> isAdministrator,
                                     std::function<std::string(int)> systemErrorText);

struct RdpClientDetectionResult {
    std::string rdpClientVersion;
    bool rdpControlUsable = false;
    bool showStatusPage =
        false; // make the "Microsoft" page's tab visible and active, then ShowRdpClientStatus
};

// The start-up sequence: detect, test, register once and retest up to 4 times.
[[nodiscard]] RdpClientDetectionResult RunRdpClientDetection(const RdpClientDetectionEnvironment &environment,
                                                             LogSink &log);

} // namespace tsc
