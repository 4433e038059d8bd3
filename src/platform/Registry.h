#pragma once

// The registry: two hives, each one REGEDIT4 text file an administrator can read
// and edit. HKEY_CURRENT_USER lives under $XDG_CONFIG_HOME, HKEY_LOCAL_MACHINE under
// the first entry of $XDG_CONFIG_DIRS. Key paths use "\" as in Windows
// ("SOFTWARE\TerminalServer") and are matched without regard to case.
// Every write re-reads the file under an advisory lock and replaces it atomically.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tsc {

enum class Hive { CurrentUser, LocalMachine };

enum class RegistryType : std::uint32_t { String = 1, Binary = 3, Dword = 4, MultiString = 7 };

struct RegistryValue {
    RegistryType type = RegistryType::String;
    std::vector<std::uint8_t> data; // Windows' layout: REG_SZ counts its terminating zero
};

namespace Registry {
// Path of the file behind a hive.
[[nodiscard]] std::string HiveFile(Hive hive);

[[nodiscard]] std::optional<RegistryValue> Read(Hive hive, std::string_view key, std::string_view name);
// Typed reads: empty when missing or of another type (or, for Dword, not 4 bytes).
[[nodiscard]] std::optional<std::string> ReadString(Hive hive, std::string_view key, std::string_view name);
[[nodiscard]] std::optional<std::uint32_t> ReadDword(Hive hive, std::string_view key, std::string_view name);
[[nodiscard]] std::optional<std::vector<std::string>> ReadMultiString(Hive hive, std::string_view key,
                                                                      std::string_view name);

// Writes return false when the hive cannot be written (no rights, no space).
[[nodiscard]] bool Write(Hive hive, std::string_view key, std::string_view name, const RegistryValue &value);
[[nodiscard]] bool WriteString(Hive hive, std::string_view key, std::string_view name, std::string_view text);
[[nodiscard]] bool WriteDword(Hive hive, std::string_view key, std::string_view name, std::uint32_t value);
[[nodiscard]] bool DeleteValue(Hive hive, std::string_view key, std::string_view name);

// Every key of a hive in file order with its values, from one read of the file:
// for walks over many keys, where a read per key would parse the file each time.
struct RegistryKey {
    std::string path; // below the hive root, "\"-separated
    std::vector<std::pair<std::string, RegistryValue>> values;
};
[[nodiscard]] std::vector<RegistryKey> AllKeys(Hive hive);

// Enumeration in file order.
[[nodiscard]] std::vector<std::string> Subkeys(Hive hive, std::string_view key);
[[nodiscard]] std::vector<std::string> ValueNames(Hive hive, std::string_view key);
} // namespace Registry

} // namespace tsc
