#include "UpdateTrust.h"

#include "FileOperations.h"
#include "PrivateFiles.h"

#include <cerrno>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc::update {

namespace {

// A package file list of a few thousand lines is far below this.
constexpr std::size_t MaximumPackageListLines = 100000;

bool ListedByPackage(const std::string &path, const std::string &packageFileList) {
    std::ifstream list(packageFileList);
    std::string line;
    for (std::size_t count = 0; count < MaximumPackageListLines && std::getline(list, line); ++count) {
        if (line == path) return true;
    }
    return false;
}

} // namespace

std::optional<VersionNumbers> ParseVersionNumbers(std::string_view text) {
    VersionNumbers numbers{};
    std::size_t part = 0;
    std::size_t digits = 0;
    std::uint32_t value = 0;
    for (const char character : text) {
        if (character == '.') {
            if (digits == 0 || part == 3) return std::nullopt;
            numbers[part++] = value;
            value = 0;
            digits = 0;
        } else if (character >= '0' && character <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(character - '0');
            if (++digits > 5 || value > 0xFFFF) return std::nullopt;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0 || part != 3) return std::nullopt;
    numbers[3] = value;
    return numbers;
}

bool IsNewerVersion(std::string_view candidate, std::string_view current) {
    const auto newer = ParseVersionNumbers(candidate);
    const auto running = ParseVersionNumbers(current);
    return newer && running && *newer > *running;
}

std::string InstalledByPackageReason(const std::string &installedExecutable,
                                     const std::string &packageFileList) {
    if (ListedByPackage(installedExecutable, packageFileList))
        return installedExecutable + " belongs to the package";
    const std::string folder = detail::FolderOfPath(installedExecutable);
    if (::access(folder.c_str(), W_OK) != 0)
        return "the folder of " + installedExecutable + " is not writable by this user";
    const FileFacts facts = FileFactsOf(installedExecutable);
    if (facts.exists && !facts.ownedByUser) return installedExecutable + " is not owned by this user";
    return {};
}

std::string UpdateRefusalLine(const PublisherKey &key, const std::string &installedByPackage) {
    if (!installedByPackage.empty())
        return "Updates come with the package (" + installedByPackage +
               "): no build is downloaded or started";
    switch (key.state) {
    case PublisherKey::State::None:
        return std::string("Updates need a publisher key (\"") + PublisherKeyValueName +
               "\" under HKEY_LOCAL_MACHINE\\" + TrustKeyPath + "): no build is downloaded or started";
    case PublisherKey::State::Invalid:
        return std::string("Update publisher key in the ") + key.source +
               " is not 64 hexadecimal digits: no build is downloaded or started";
    case PublisherKey::State::Valid:
        break;
    }
    return {};
}

} // namespace tsc::update
