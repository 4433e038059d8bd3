#include "PasswordProtection.h"

#include "LogSink.h"
#include "ProfileText.h"
#include "SystemInfo.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>

namespace tsc::profiles {

namespace {

constexpr std::string_view HexDigits = "0123456789ABCDEF";

std::string TwoDigits(long long number) {
    char text[24];
    std::snprintf(text, sizeof text, "%02lld", number);
    return text;
}

// Overwrites a buffer that held a password before it is released.
struct ScrubbedBytes {
    Bytes bytes;
    ~ScrubbedBytes() {
        if (!bytes.empty()) OPENSSL_cleanse(bytes.data(), bytes.size());
    }
};

// The same for a text; OPENSSL_cleanse cannot be optimised away like a plain fill.
template <typename Text> struct ScrubbedText {
    Text text;
    ~ScrubbedText() {
        if (!text.empty()) OPENSSL_cleanse(text.data(), text.size() * sizeof(typename Text::value_type));
    }
};

void Info(LogSink *log, std::string_view text) {
    if (log) log->LogInfo(text);
}
void Warning(LogSink *log, std::string_view text) {
    if (log) log->LogWarning(text);
}
void Error(LogSink *log, std::string_view text) {
    if (log) log->LogError(text);
}

// One call, and on failure the same call once more after the service was opened
// afresh, like a library that is reloaded before the second try.
template <typename Call>
int CallWithRetry(ProtectionService &service, LogSink *log, const std::string &failureText, Call call) {
    int code = call();
    if (code == 0) return 0;
    Warning(log, failureText + TwoDigits(code));
    service.Close();
    (void)service.Open(); // a failure here shows in the second call's code
    code = call();
    if (code != 0) {
        Error(log, failureText + TwoDigits(code));
        Error(log, SystemErrorText(code));
    }
    return code;
}

} // namespace

std::string HexText(const Bytes &bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        text += HexDigits[byte >> 4];
        text += HexDigits[byte & 0x0F];
    }
    return text;
}

Bytes BytesFromHexText(std::string_view text) {
    // A character outside the table gives no value of its own (0), so a lower-case
    // or damaged text decodes to bytes that fail the service's authentication.
    const auto nibble = [](char digit) -> std::uint8_t {
        const auto at = HexDigits.find(digit);
        return at == std::string_view::npos ? std::uint8_t{0} : static_cast<std::uint8_t>(at);
    };
    Bytes bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>((nibble(text[2 * i]) << 4) | nibble(text[2 * i + 1]));
    }
    return bytes;
}

std::string ProtectPassword(ProtectionService &service, std::string_view password, unsigned flags,
                            LogSink *log) {
    (void)flags; // the service never prompts; the value is kept for the call shape
    std::string result;
    int code = 0;
    Info(log, "Begin CPWR");
    try {
        ScrubbedText<std::u16string> wide{Utf8ToUtf16(password)};
        const std::u16string &units = wide.text;
        if (static_cast<std::uint16_t>(units.size()) < 2) {
            Error(log, "Err CPWR:1");
        } else {
            ScrubbedBytes input;
            input.bytes.assign(units.size() * 2 + 1, 0);
            for (std::size_t i = 0; i < units.size(); ++i) {
                input.bytes[2 * i] = static_cast<std::uint8_t>(units[i] & 0xFF);
                input.bytes[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
            }
            Bytes blob;
            code =
                CallWithRetry(service, log, "Err CPWR:2", [&] { return service.Protect(input.bytes, blob); });
            if (code == 0) {
                Info(log, "OK CPWR:2");
                if (!blob.empty()) {
                    result = HexText(blob);
                } else {
                    Error(log, "Err CPWR:3" + TwoDigits(code));
                    Error(log, SystemErrorText(code));
                }
            }
        }
    } catch (const std::exception &) {
        code = errno ? errno : ENOMEM;
        Error(log, "Err CPWR:4:" + TwoDigits(code));
        Error(log, SystemErrorText(code));
    }
    Info(log, "End CPWR");
    return result;
}

std::string UnprotectPassword(ProtectionService &service, std::string_view hexText, bool wide, LogSink *log,
                              int callerNumber) {
    std::string result;
    int code = 0;
    Info(log, "Begin UCPWR:" + TwoDigits(static_cast<long long>(hexText.size())) + ":" +
                  (wide ? "yes" : "no") + ":f " + std::to_string(callerNumber));
    try {
        if (hexText.size() < 2) {
            Error(log, "Err UCPWR:1");
        } else {
            const Bytes blob = BytesFromHexText(hexText);
            ScrubbedBytes plain;
            code = CallWithRetry(service, log,
                                 "Err UCPWR:2:", [&] { return service.Unprotect(blob, plain.bytes); });
            if (code == 0) {
                Info(log, "OK UCPWR:2");
                if (!plain.bytes.empty()) {
                    if (wide) {
                        ScrubbedText<std::u16string> units{std::u16string(plain.bytes.size() / 2, u'\0')};
                        for (std::size_t i = 0; i < units.text.size(); ++i) {
                            units.text[i] =
                                static_cast<char16_t>(plain.bytes[2 * i] | (plain.bytes[2 * i + 1] << 8));
                        }
                        ScrubbedText<std::string> utf8{Utf16ToUtf8(units.text)};
                        result = TrimControls(utf8.text);
                    } else {
                        const auto *start = reinterpret_cast<const char *>(plain.bytes.data());
                        const std::string_view text(start, plain.bytes.size() - 1);
                        result = TrimControls(text.substr(0, text.find('\0')));
                    }
                } else {
                    Error(log, "Err UCPWR:3" + TwoDigits(code));
                    Error(log, SystemErrorText(code));
                }
            }
        }
    } catch (const std::exception &) {
        code = errno ? errno : ENOMEM;
        Error(log, "Err UCPWR:4:" + TwoDigits(code));
        Error(log, SystemErrorText(code));
    }
    Info(log, "End UCPWR");
    return result;
}

} // namespace tsc::profiles
