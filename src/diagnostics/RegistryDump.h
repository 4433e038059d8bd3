#pragma once

// The registry dump of the Support page: one or more log lines per value under
// HKEY_LOCAL_MACHINE, bounded like the fixed buffers of the original reader (500
// subkeys, 200 values per key, 1,023-character names, 10,240 data bytes).

#include "LogSink.h"
#include "Registry.h"

#include <string>
#include <string_view>
#include <vector>

namespace tsc {

inline constexpr std::size_t DumpMaximumSubkeys = 500;
inline constexpr std::size_t DumpMaximumValues = 200;
inline constexpr std::size_t DumpMaximumNameLength = 1023;
inline constexpr std::size_t DumpMaximumDataSize = 10'240;

// The lines of one value. `keyPrefix` (the key path and a blank, or empty) comes
// before the lines that name the value's data.
[[nodiscard]] std::vector<std::string> RegistryValueLines(std::string_view name, const RegistryValue &value,
                                                          std::string_view keyPrefix);

// With a filter: for every subkey of `path`, the values named `filter` (any case),
// each line after the subkey's path. Without: every value of `path` itself.
void DumpRegistryValues(std::string_view path, std::string_view filter, std::vector<std::string> &lines);

// The first two steps of the Support page's button: the "wez AppName" value of
// every vendor key, logged between "Begin RegDump" and "End RegDump".
void LogRegistryDump(LogSink &log);

} // namespace tsc
