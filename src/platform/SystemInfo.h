#pragma once

// Small system-facing operations shared by the whole client. None of them shows a
// message or throws: each answers with a fixed fall-back value instead of failing.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tsc {

// Folders. Paths use "/" and carry no final separator unless stated.
[[nodiscard]] std::string TempFolder(); // $TMPDIR, else /tmp
[[nodiscard]] std::string SystemFolder();
// $XDG_DATA_HOME/AppName, created 0700. Empty when it cannot be used safely (another
// user could change it or a folder above it): the client then goes on without it.
[[nodiscard]] std::string ApplicationDataFolder();
// Why ApplicationDataFolder() is empty, as a sentence for the user; empty when it is not.
[[nodiscard]] std::string ApplicationDataFolderProblem();
// ApplicationDataFolder() + "/" + name; empty when there is no data folder.
[[nodiscard]] std::string ApplicationDataFile(std::string_view name);
// $XDG_RUNTIME_DIR/AppName (created 0700) when the runtime folder is the user's alone;
// else empty. For files that must not outlive the session: never a shared folder.
[[nodiscard]] std::string PrivateTemporaryFolder();
[[nodiscard]] std::string UserAppDataFolder(); // $XDG_DATA_HOME, created; else empty
// XDG_DESKTOP_DIR, else ~/Desktop, when no one else may write it; else ApplicationDataFolder().
[[nodiscard]] std::string DesktopFolder();
[[nodiscard]] std::string LocalSettingsFolder();
[[nodiscard]] std::string ProgramFilesFolder();
[[nodiscard]] std::string AllUsersProfileFolder();
[[nodiscard]] std::string ProfilesRootFolder(); // with a final "/"
[[nodiscard]] std::string LongPathName(std::string_view path);

[[nodiscard]] std::string WithTrailingSeparator(std::string_view path);
[[nodiscard]] std::string WithoutTrailingSeparator(std::string_view path);
[[nodiscard]] bool FolderExists(std::string_view path);
[[nodiscard]] bool EnsureFolder(std::string_view path);

// Registry facts.
[[nodiscard]] std::string ApplicationKeyPath();  // "SOFTWARE\" + AppName
[[nodiscard]] std::uint32_t TransparencyColor(); // 0x00BBGGRR, default 0x00FF00FF

// Versions and identity of the user.
using FileVersion = std::array<std::uint16_t, 4>;
[[nodiscard]] FileVersion FileVersionNumbers(std::string_view file);
[[nodiscard]] std::string FileVersionText(std::string_view file);
// Where the 52-byte fixed-file-info block of an executable starts; empty without one.
[[nodiscard]] std::optional<std::uint64_t> FixedFileInfoOffset(std::string_view file);

// Where a named section of an ELF file lies; empty when the file has no such section
// with content inside the file, or is no ELF file.
struct ElfSection {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};
[[nodiscard]] std::optional<ElfSection> FindElfSection(std::string_view file, std::string_view name);

// A sealed memory file (memfd) holding the named section of the running executable,
// read from the running image itself (/proc/self/exe), so what it holds is exactly
// what the executable carried when it was started. -1 when the executable has no
// such section, it is larger than maximumSize, or it cannot be copied (errno set).
[[nodiscard]] int OwnSectionAsMemoryFile(std::string_view name, std::uint64_t maximumSize);
[[nodiscard]] std::string ExecutablePath();
[[nodiscard]] std::uint32_t RealOSVersion(); // major << 16 | minor
[[nodiscard]] std::uint32_t OSVersion();     // major << 16 | minor
[[nodiscard]] bool IsWin64();                // always false here: native build
[[nodiscard]] std::string LogonUserName();
[[nodiscard]] bool IsAdministrator();

// Text conversions.
[[nodiscard]] std::string SystemErrorText(int code);
[[nodiscard]] std::string YesNoText(bool flag);
[[nodiscard]] std::string SafeFileName(std::string_view text);
[[nodiscard]] std::string ExpandText(std::string_view text);
// A file name from the command line: as given when anything exists under it (a file
// named "&2E&2E&2Fx.rdp" is that file), else its folder part expanded with the file
// part as given when that exists. Otherwise ExpandText of it, as long as the
// expanded file part stays one name in that folder, so that no escape or reference
// leads out of it ("../", "/"); empty when refused.
[[nodiscard]] std::string ExpandFileName(std::string_view given);
[[nodiscard]] std::uint32_t TickDifference(std::uint32_t a, std::uint32_t b);
[[nodiscard]] std::uint32_t TickCount(); // milliseconds, wraps like a 32-bit tick counter

} // namespace tsc
