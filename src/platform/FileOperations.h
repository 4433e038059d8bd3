#pragma once

// File and process operations of the self-update: what a downloaded executable and
// its versioned copies need from the system. Each answers with a result value or the
// errno-style code of the failure (0 for success), never throws.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsc {

// What lstat tells about a path; a symbolic link is reported as itself.
struct FileFacts {
    bool exists = false;
    bool regular = false;
    bool symlink = false;
    bool directory = false;
    bool ownedByUser = false;      // owner is the effective user
    bool writableByOthers = false; // group or others may write it
    std::uint32_t mode = 0;        // permission bits
    std::uint64_t size = 0;
};
[[nodiscard]] FileFacts FileFactsOf(std::string_view path);

// Entry names of a folder in directory order, without "." and "..".
[[nodiscard]] std::vector<std::string> FolderEntries(std::string_view folder);

// Removes a file (never a folder); 0 or the error code.
[[nodiscard]] int DeleteFileCode(std::string_view path);
// Renames within one file system, replacing the target; 0 or the error code.
[[nodiscard]] int RenameFileCode(std::string_view from, std::string_view to);
// Bytes an unprivileged user may still write in the folder's file system.
[[nodiscard]] std::optional<std::uint64_t> FreeSpace(std::string_view folder);

// A new file, created exclusively (an existing file or link is an error), written in
// order and flushed to disk before Close() reports success.
class NewFile {
  public:
    NewFile() = default;
    ~NewFile();
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    // 0 or the error code.
    [[nodiscard]] int Create(std::string_view path, std::uint32_t mode);
    [[nodiscard]] int Write(const void *bytes, std::size_t length);
    // Flushes the content to disk and closes; 0 or the error code of the first failure.
    [[nodiscard]] int Close();
    [[nodiscard]] bool IsOpen() const { return descriptor_ >= 0; }

  private:
    int descriptor_ = -1;
    int firstError_ = 0;
};

// Replaces target by a copy of source: a temporary file beside target with target's
// permission bits (source's when target is missing), flushed to disk and renamed over
// target, so an interruption leaves the old or the new file, never a part.
// 0 or the error code.
[[nodiscard]] int ReplaceFileWithCopy(std::string_view source, std::string_view target);

// A whole file mapped read-only. Empty when the file cannot be opened or mapped,
// is not a regular file, is empty or is larger than maximumSize.
class MappedFile {
  public:
    MappedFile(std::string_view path, std::uint64_t maximumSize);
    ~MappedFile();
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    [[nodiscard]] bool IsMapped() const { return data_ != nullptr; }
    [[nodiscard]] const unsigned char *Data() const { return static_cast<const unsigned char *>(data_); }
    [[nodiscard]] std::size_t Size() const { return size_; }

  private:
    void *data_ = nullptr;
    std::size_t size_ = 0;
};

// Starts program with the arguments, each passed on as its own argument (argv[0] is
// the program path), in the client's environment and current folder, without waiting.
// 0 or the error code.
[[nodiscard]] int StartProgram(const std::string &program, const std::vector<std::string> &arguments);

} // namespace tsc
