#pragma once

// The saved password of a profile: protected for the current user and written as
// upper-case hexadecimal text ("password 51:b:" + text), and back.

#include "ProtectionService.h"

#include <string>
#include <string_view>

namespace tsc {
class LogSink;
}

namespace tsc::profiles {

inline constexpr unsigned ProtectUiForbidden = 1; // the only flag value the profile passes

// The password (UTF-8) as UTF-16 LE plus one zero byte, protected, as hex text.
// Empty on any failure (and for passwords of fewer than two characters). The log,
// when given, receives the "CPWR" lines; it never receives the password.
[[nodiscard]] std::string ProtectPassword(ProtectionService &service, std::string_view password,
                                          unsigned flags, LogSink *log);

// Hex text back to the password, trimmed of codes 0-32 at both ends. Empty on any
// failure. wide: the protected bytes are UTF-16 (the profile reader's case);
// callerNumber only goes into the log.
[[nodiscard]] std::string UnprotectPassword(ProtectionService &service, std::string_view hexText, bool wide,
                                            LogSink *log, int callerNumber);

[[nodiscard]] std::string HexText(const Bytes &bytes);
// Pairs from the left, an odd last digit ignored; only "0123456789ABCDEF" give a
// value, so a lower-case or damaged text yields a blob that does not unprotect.
[[nodiscard]] Bytes BytesFromHexText(std::string_view text);

} // namespace tsc::profiles
