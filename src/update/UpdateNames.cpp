#include "UpdateNames.h"

#include "BuildConfig.h"
#include "Identity.h"

#include <algorithm>

namespace tsc::update {

namespace {

char LowerAscii(char character) {
    return character >= 'A' && character <= 'Z' ? character + ('a' - 'A') : character;
}

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool IsDigit(char character) {
    return character >= '0' && character <= '9';
}
bool IsHexDigit(char character) {
    return IsDigit(character) || (character >= 'a' && character <= 'f') ||
           (character >= 'A' && character <= 'F');
}

} // namespace

std::string ClientStem() {
    return std::string(build::PlatformStem) + "client";
}
std::string PublishedExecutableName() {
    return Identity::AppPrefix() + ClientStem();
}
std::string PublishedVersionFileName() {
    return PublishedExecutableName() + ".version";
}
std::string PublishedSignatureName() {
    return PublishedExecutableName() + ".sig";
}

std::string VersionedCopyName(std::string_view signature, std::string_view version) {
    return Identity::AppPrefix() + "." + std::string(signature) + "." + std::string(version) + "." +
           ClientStem();
}

std::string PublisherSignaturePath(std::string_view copyPath) {
    return std::string(copyPath) + ".sig";
}
std::string DownloadPath(std::string_view copyPath) {
    return std::string(copyPath) + ".download";
}

bool MatchesVersionedCopyPattern(std::string_view name) {
    const std::string head = Identity::AppPrefix() + ".";
    const std::string tail = "." + ClientStem();
    // The dot after the prefix and the one before the stem are two dots.
    if (name.size() < head.size() + tail.size()) return false;
    return EqualIgnoringCase(name.substr(0, head.size()), head) &&
           EqualIgnoringCase(name.substr(name.size() - tail.size()), tail);
}

bool BelongsToVersionedCopy(std::string_view name) {
    for (const std::string_view suffix : {".sig.download", ".download", ".sig"}) {
        if (name.size() > suffix.size() &&
            EqualIgnoringCase(name.substr(name.size() - suffix.size()), suffix) &&
            MatchesVersionedCopyPattern(name.substr(0, name.size() - suffix.size())))
            return true;
    }
    return MatchesVersionedCopyPattern(name);
}

std::optional<std::string> SignatureFromCopyName(std::string_view name) {
    const auto first = name.find('.');
    if (first == std::string_view::npos) return std::nullopt;
    const auto second = name.find('.', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    return std::string(name.substr(first + 1, second - first - 1));
}

bool IsPublishableVersion(std::string_view version) {
    int numbers = 0;
    std::size_t digits = 0;
    for (const char character : version) {
        if (IsDigit(character)) {
            if (++digits > 5) return false;
        } else if (character == '.' && digits > 0) {
            ++numbers;
            digits = 0;
        } else {
            return false;
        }
    }
    return digits > 0 && numbers == 3;
}

bool IsPublishableSignature(std::string_view signature) {
    return signature.size() == 32 && std::all_of(signature.begin(), signature.end(), IsHexDigit);
}

} // namespace tsc::update
