#include "SystemInfo.h"

#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

// The version of a file is the fixed-file-info block (the 52-byte VS_FIXEDFILEINFO
// layout, little-endian) that tsc_embed_version() puts into the ELF section
// ".tsc_fileinfo". Everything read from the file is checked against its size.

namespace tsc {

namespace {

constexpr char SectionName[] = ".tsc_fileinfo";
constexpr std::size_t FixedFileInfoSize = 52;
constexpr std::uint32_t FixedFileInfoSignature = 0xFEEF04BD;
constexpr std::uint32_t SectionTypeNoBits = 8;
constexpr std::uint64_t MaximumSectionCount = 1u << 20;

enum class FileInfoStatus { Found, NoFileInfo, ReadError, NoValidFixedFileInfo };

struct FileInfo {
    FileInfoStatus status = FileInfoStatus::NoFileInfo;
    std::uint32_t versionMostSignificant = 0;
    std::uint32_t versionLeastSignificant = 0;
    std::uint64_t offset = 0; // of the block in the file
};

class BoundedFile {
  public:
    explicit BoundedFile(const std::string &path) : descriptor_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
        struct stat info {};
        if (descriptor_ >= 0 && ::fstat(descriptor_, &info) == 0 && S_ISREG(info.st_mode))
            size_ = static_cast<std::uint64_t>(info.st_size);
    }
    ~BoundedFile() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    BoundedFile(const BoundedFile &) = delete;
    BoundedFile &operator=(const BoundedFile &) = delete;

    [[nodiscard]] bool ReadAt(std::uint64_t offset, void *out, std::size_t length) const {
        if (descriptor_ < 0 || offset > size_ || length > size_ - offset) return false;
        auto *bytes = static_cast<unsigned char *>(out);
        std::size_t done = 0;
        while (done < length) {
            const ssize_t got =
                ::pread(descriptor_, bytes + done, length - done, static_cast<off_t>(offset + done));
            if (got <= 0) return false;
            done += static_cast<std::size_t>(got);
        }
        return true;
    }

    [[nodiscard]] bool Contains(std::uint64_t offset, std::uint64_t length) const {
        return descriptor_ >= 0 && offset <= size_ && length <= size_ - offset;
    }

  private:
    int descriptor_ = -1;
    std::uint64_t size_ = 0;
};

// Reads unsigned fields of the file's byte order.
struct Fields {
    bool bigEndian = false;
    [[nodiscard]] std::uint64_t At(const unsigned char *bytes, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t index = bigEndian ? i : width - 1 - i;
            value = (value << 8) | bytes[index];
        }
        return value;
    }
};

struct SectionHeader {
    std::uint32_t name = 0, type = 0, link = 0;
    std::uint64_t offset = 0, size = 0;
};

struct ElfLayout {
    bool is64 = false;
    Fields fields;
    std::uint64_t sectionTableOffset = 0;
    std::uint64_t sectionEntrySize = 0;
};

bool ReadSectionHeader(const BoundedFile &file, const ElfLayout &layout, std::uint64_t index,
                       SectionHeader &out) {
    unsigned char bytes[64] = {};
    const std::size_t needed = layout.is64 ? 64 : 40;
    if (index > MaximumSectionCount) return false;
    if (!file.ReadAt(layout.sectionTableOffset + index * layout.sectionEntrySize, bytes, needed))
        return false;
    const Fields &f = layout.fields;
    out.name = static_cast<std::uint32_t>(f.At(bytes, 4));
    out.type = static_cast<std::uint32_t>(f.At(bytes + 4, 4));
    if (layout.is64) {
        out.offset = f.At(bytes + 0x18, 8);
        out.size = f.At(bytes + 0x20, 8);
        out.link = static_cast<std::uint32_t>(f.At(bytes + 0x28, 4));
    } else {
        out.offset = f.At(bytes + 0x10, 4);
        out.size = f.At(bytes + 0x14, 4);
        out.link = static_cast<std::uint32_t>(f.At(bytes + 0x18, 4));
    }
    return true;
}

// Whether the name at nameOffset is `wanted`, its terminating zero included.
bool HasName(const BoundedFile &file, const SectionHeader &names, std::uint32_t nameOffset,
             std::string_view wanted) {
    std::string text(wanted.size() + 1, '\0');
    if (nameOffset > names.size || text.size() > names.size - nameOffset) return false;
    return file.ReadAt(names.offset + nameOffset, text.data(), text.size()) &&
           std::string_view(text.data(), wanted.size()) == wanted && text.back() == '\0';
}

std::uint32_t LittleEndianWord(const unsigned char *bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

enum class SectionSearch { Found, NotFound, NoElf };

// Looks up the section called name; every offset and size read is checked against
// the file's size before it is used.
SectionSearch FindSection(const BoundedFile &file, std::string_view name, SectionHeader &found) {
    unsigned char header[64] = {};
    if (!file.ReadAt(0, header, 52) || std::memcmp(header,
                                                   "\x7f"
                                                   "ELF",
                                                   4) != 0)
        return SectionSearch::NoElf;
    ElfLayout layout;
    if (header[4] != 1 && header[4] != 2) return SectionSearch::NoElf;
    if (header[5] != 1 && header[5] != 2) return SectionSearch::NoElf;
    layout.is64 = header[4] == 2;
    layout.fields.bigEndian = header[5] == 2;
    if (layout.is64 && !file.ReadAt(0, header, 64)) return SectionSearch::NoElf;
    const Fields &f = layout.fields;
    std::uint64_t sectionCount = 0, namesIndex = 0;
    if (layout.is64) {
        layout.sectionTableOffset = f.At(header + 0x28, 8);
        layout.sectionEntrySize = f.At(header + 0x3A, 2);
        sectionCount = f.At(header + 0x3C, 2);
        namesIndex = f.At(header + 0x3E, 2);
    } else {
        layout.sectionTableOffset = f.At(header + 0x20, 4);
        layout.sectionEntrySize = f.At(header + 0x2E, 2);
        sectionCount = f.At(header + 0x30, 2);
        namesIndex = f.At(header + 0x32, 2);
    }
    if (layout.sectionTableOffset == 0 || layout.sectionEntrySize < (layout.is64 ? 64u : 40u))
        return SectionSearch::NotFound;
    SectionHeader first;
    if (!ReadSectionHeader(file, layout, 0, first)) return SectionSearch::NotFound;
    if (sectionCount == 0) sectionCount = first.size;  // more sections than the header field holds
    if (namesIndex == 0xFFFF) namesIndex = first.link; // SHN_XINDEX
    if (sectionCount > MaximumSectionCount || namesIndex >= sectionCount) return SectionSearch::NotFound;
    SectionHeader names;
    if (!ReadSectionHeader(file, layout, namesIndex, names)) return SectionSearch::NotFound;

    for (std::uint64_t index = 1; index < sectionCount; ++index) {
        if (!ReadSectionHeader(file, layout, index, found)) return SectionSearch::NotFound;
        if (HasName(file, names, found.name, name)) return SectionSearch::Found;
    }
    return SectionSearch::NotFound;
}

FileInfo ReadFileInfo(const std::string &path) {
    const BoundedFile file(path);
    SectionHeader section;
    if (FindSection(file, SectionName, section) != SectionSearch::Found) return {};
    unsigned char block[FixedFileInfoSize] = {};
    if (section.type == SectionTypeNoBits) return {FileInfoStatus::ReadError};
    if (section.size != FixedFileInfoSize) return {FileInfoStatus::NoValidFixedFileInfo};
    if (!file.ReadAt(section.offset, block, sizeof block)) return {FileInfoStatus::ReadError};
    if (LittleEndianWord(block) != FixedFileInfoSignature) return {FileInfoStatus::NoValidFixedFileInfo};
    return {FileInfoStatus::Found, LittleEndianWord(block + 8), LittleEndianWord(block + 12), section.offset};
}

} // namespace

FileVersion FileVersionNumbers(std::string_view file) {
    try {
        const FileInfo info = ReadFileInfo(std::string(file));
        if (info.status != FileInfoStatus::Found) return {0, 0, 0, 0};
        return {static_cast<std::uint16_t>(info.versionMostSignificant >> 16),
                static_cast<std::uint16_t>(info.versionMostSignificant & 0xFFFF),
                static_cast<std::uint16_t>(info.versionLeastSignificant >> 16),
                static_cast<std::uint16_t>(info.versionLeastSignificant & 0xFFFF)};
    } catch (...) {
        return {0, 0, 0, 0};
    }
}

std::optional<ElfSection> FindElfSection(std::string_view file, std::string_view name) {
    try {
        const BoundedFile bounded{std::string(file)};
        SectionHeader section;
        if (FindSection(bounded, name, section) != SectionSearch::Found || section.type == SectionTypeNoBits)
            return std::nullopt;
        // The whole section must lie inside the file.
        if (!bounded.Contains(section.offset, section.size)) return std::nullopt;
        return ElfSection{section.offset, section.size};
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::uint64_t> FixedFileInfoOffset(std::string_view file) {
    try {
        const FileInfo info = ReadFileInfo(std::string(file));
        if (info.status != FileInfoStatus::Found) return std::nullopt;
        return info.offset;
    } catch (...) {
        return std::nullopt;
    }
}

std::string FileVersionText(std::string_view file) {
    try {
        const FileInfo info = ReadFileInfo(std::string(file));
        switch (info.status) {
        case FileInfoStatus::NoFileInfo:
            return ".No FileInfo in file";
        case FileInfoStatus::ReadError:
            return ".Error getting FileInfo";
        case FileInfoStatus::NoValidFixedFileInfo:
            return ".No valid FixedFileInfo information in FileInfoRecord";
        case FileInfoStatus::Found:
            break;
        }
        return std::to_string(info.versionMostSignificant >> 16) + "." +
               std::to_string(info.versionMostSignificant & 0xFFFF) + "." +
               std::to_string(info.versionLeastSignificant >> 16) + "." +
               std::to_string(info.versionLeastSignificant & 0xFFFF);
    } catch (...) {
        return ".Exception while obtaining FileInfo";
    }
}

} // namespace tsc
