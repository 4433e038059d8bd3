#pragma once

// An initialisation file in the Windows INI format ("[Section]", "key=value").
// Sections and keys are matched without regard to case; writes replace the file
// atomically. A file that cannot be read as text (binary, too big, no rights) is
// treated as empty, and Save keeps it beside under a ".damaged-" name before writing.

#include "IniFormat.h"

#include <string>
#include <string_view>
#include <vector>

namespace tsc {

class IniFile {
  public:
    explicit IniFile(std::string path); // reads the file when it exists

    [[nodiscard]] std::string ReadString(std::string_view section, std::string_view key,
                                         std::string_view fallback) const;
    [[nodiscard]] int ReadInteger(std::string_view section, std::string_view key, int fallback) const;
    void WriteString(std::string_view section, std::string_view key, std::string_view value);
    void WriteInteger(std::string_view section, std::string_view key, int value);
    [[nodiscard]] bool Save() const; // atomic replace; false when it could not be written
    [[nodiscard]] const std::string &Path() const { return path_; }

  private:
    std::string path_;
    std::vector<detail::IniSection> sections_;
    mutable bool damaged_ = false; // the file on disk could not be read; Save keeps it aside
};

} // namespace tsc
