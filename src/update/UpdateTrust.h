#pragma once

// What decides whether this client may take a build from an update host at all, read
// from places that no language file, identity value or host moves:
//  - the publisher's key (PublisherSignature.h): without one, no build is downloaded,
//    kept or started, since nothing else proves where a build comes from;
//  - the installed executable: one that this user cannot replace, or that a package
//    manager owns, is updated by its package, never by the client;
//  - the version: only a strictly newer build is taken, so a signed old build with
//    known faults cannot be pushed back.

#include "PublisherSignature.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tsc::update {

// The Debian package's file list, which names every file the package manager owns.
inline constexpr char PackageFileList[] = "/var/lib/dpkg/info/terminal-server-client.list";

using VersionNumbers = std::array<std::uint32_t, 4>;
// A version text of exactly four decimal numbers, each below 65536; nothing else.
[[nodiscard]] std::optional<VersionNumbers> ParseVersionNumbers(std::string_view text);
// Whether candidate is a strictly higher version than current, the four numbers
// compared in order; false when either is no version of four numbers.
[[nodiscard]] bool IsNewerVersion(std::string_view candidate, std::string_view current);

// Why the installed executable is no file the client may replace; empty when it may.
// packageFileList is the package manager's list of owned files (read when present).
[[nodiscard]] std::string InstalledByPackageReason(const std::string &installedExecutable,
                                                   const std::string &packageFileList = PackageFileList);

// The one line a check or a start logs when no build may be taken; empty when builds
// may be taken (a valid publisher key, an executable the client may replace).
[[nodiscard]] std::string UpdateRefusalLine(const PublisherKey &key, const std::string &installedByPackage);

} // namespace tsc::update
