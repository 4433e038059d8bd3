#include "Language.h"

namespace tsc::shell {

bool LoadLanguage(const std::string &) {
    // Comes with the language table: shared memory first, then the language file.
    return false;
}

void RegisterLanguage(const std::string &) {
    // Comes with the language table: remembers the language file for later starts.
}

void ReleaseLanguage() {
    // Comes with the language table: detaches from the shared table.
}

std::string LookupText(std::string_view, std::string_view, std::string_view fallback) {
    return std::string(fallback);
}

} // namespace tsc::shell
