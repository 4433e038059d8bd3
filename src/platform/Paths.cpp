#include "SystemInfo.h"

#include <cerrno>
#include <sys/stat.h>

namespace tsc {

std::string WithTrailingSeparator(std::string_view path) {
    std::string result(path);
    if (!result.empty() && result.back() != '/') result += '/';
    return result;
}

std::string WithoutTrailingSeparator(std::string_view path) {
    std::string result(path);
    if (!result.empty() && (result.back() == '/' || result.back() == '\\')) result.pop_back();
    return result;
}

bool FolderExists(std::string_view path) {
    struct stat info {};
    return !path.empty() && ::stat(std::string(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool EnsureFolder(std::string_view path) {
    if (path.empty()) return false; // "Unable to create directory"
    std::string folder = WithoutTrailingSeparator(path);
    if (folder.size() < 3 && !folder.empty() && folder != "/" ) {
        // very short relative names ("a", "..") count as present, like a drive root
        return true;
    }
    if (folder.empty() || FolderExists(folder)) return true;
    const auto cut = folder.find_last_of("/\\");
    if (cut != std::string::npos && cut > 0) {
        const std::string parent = folder.substr(0, cut);
        if (parent != folder && !EnsureFolder(parent)) return false;
    }
    return ::mkdir(folder.c_str(), 0700) == 0 || (errno == EEXIST && FolderExists(folder));
}

} // namespace tsc
