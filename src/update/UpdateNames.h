#pragma once

// Names of the files the self-update publishes and keeps. This build's system and
// processor take the place of "Win32" and there is no ".exe":
//   published:      tsvLinux-x86_64client, tsvLinux-x86_64client.version,
//                   tsvLinux-x86_64client.sig (the publisher's signature)
//   versioned copy: tsv.<signature>.<version>.Linux-x86_64client (+ ".sig" beside it)

#include <optional>
#include <string>
#include <string_view>

namespace tsc::update {

[[nodiscard]] std::string ClientStem();               // "Linux-x86_64client"
[[nodiscard]] std::string PublishedExecutableName();  // AppPrefix + stem
[[nodiscard]] std::string PublishedVersionFileName(); // AppPrefix + stem + ".version"
[[nodiscard]] std::string PublishedSignatureName();   // AppPrefix + stem + ".sig"
[[nodiscard]] std::string VersionedCopyName(std::string_view signature, std::string_view version);
// The publisher's signature kept beside a versioned copy.
[[nodiscard]] std::string PublisherSignaturePath(std::string_view copyPath);
// Where a download is written until it has passed every check.
[[nodiscard]] std::string DownloadPath(std::string_view copyPath);

// Whether a folder entry matches AppPrefix + ".*." + stem (case ignored, as the
// directory search always did).
[[nodiscard]] bool MatchesVersionedCopyPattern(std::string_view name);
// Whether an entry is a file that belongs to a versioned copy: the copy, its
// signature, or an unfinished download of either.
[[nodiscard]] bool BelongsToVersionedCopy(std::string_view name);
// The text between the first and the second "." of an entry name; empty when either
// "." is missing.
[[nodiscard]] std::optional<std::string> SignatureFromCopyName(std::string_view name);

// A version text of four decimal numbers and a signature of 32 hexadecimal digits:
// the only texts from a host that may become part of a file name.
[[nodiscard]] bool IsPublishableVersion(std::string_view version);
[[nodiscard]] bool IsPublishableSignature(std::string_view signature);

} // namespace tsc::update
