#pragma once

// The captions of the main window that the language table may replace: which
// control (by object name) shows which text of the table, and the built-in text.
// Plain data: the window applies it to its controls (CaptionApplier.h does so by
// object name).

#include "RdpClientDetection.h"

#include <array>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tsc::language {

struct CaptionRow {
    const char *prefix;
    const char *identifier;
    const char *objectName;  // the control, or an item name for texts without a control
    const char *defaultText; // the built-in caption
};

inline constexpr const char *CaptionPrefix = "004";
inline constexpr const char *SupportPrefix = "002";

// Controls whose caption comes from the table, in the order they are applied.
[[nodiscard]] std::span<const CaptionRow> CaptionRows();
// The five headings of the server grid, column 0 to 4.
[[nodiscard]] std::span<const CaptionRow> ServerGridHeadings();
// The text of the Support page: its lines joined by CR LF are the default of one
// table entry.
inline constexpr CaptionRow SupportText{"002", "00000056", "reZip", ""};
[[nodiscard]] std::span<const char *const> SupportTextLines();
[[nodiscard]] std::string SupportTextDefault(); // the lines joined by CR LF
// Splits a looked-up Support text into its lines again (CR LF, LF or CR).
[[nodiscard]] std::vector<std::string> SplitLines(std::string_view text);

// The status texts of the engine page, looked up when the status is shown.
inline constexpr CaptionRow StatusRegisterMissing{CaptionPrefix, RdpStatusRegisterMissing.identifier,
                                                  "label_Status", RdpStatusRegisterMissing.text};
inline constexpr CaptionRow StatusEngineMissing{CaptionPrefix, RdpStatusEngineMissing.identifier,
                                                "label_Status", RdpStatusEngineMissing.text};
inline constexpr CaptionRow StatusOk{CaptionPrefix, RdpStatusOk.identifier, "label_Status", RdpStatusOk.text};

// The advice of the connect failure message, after "An error occured: " + message +
// CR CR: the sessions run in the FreeRDP engine, so that is what to reinstall.
inline constexpr const char *EngineReinstallAdvice =
    "You can try to solve this by (re)installing\rthe FreeRDP 2 package (libfreerdp-client2-2)\rand the "
    "client's RDP engine module,\rsee the status on the FreeRDP page";

// The built-in text of a control of the table; empty when it has none.
[[nodiscard]] std::string_view CaptionDefault(std::string_view objectName);

// Every key of the table with its built-in text, for the language tool's templates
// and for checking translations: rows, grid headings, the Support text, the status
// texts (the item lists of the Settings page are the settings rules' own).
struct KeyText {
    std::string key; // prefix + "-" + identifier
    std::string text;
    std::string what; // the control or item
};
[[nodiscard]] std::vector<KeyText> AllCaptionKeys();

// The text of every control of the table: lookup(prefix, identifier, current text),
// where current text is what the control shows now. The pure heart of ApplyCaptions.
using LookupFunction = std::function<std::string(std::string_view, std::string_view, std::string_view)>;
struct ResolvedCaption {
    std::string objectName;
    std::string text;
};
[[nodiscard]] std::vector<ResolvedCaption>
ResolveCaptions(const std::function<std::string(std::string_view objectName)> &currentText,
                const LookupFunction &lookup);

} // namespace tsc::language
