// A server's FileGroupDescriptorW data, read the way the clipboard channel reads it
// before any name reaches the file system.

#include "FileDescriptors.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tsc::clipboard;
    const FileListReading reading = ReadFileGroupDescriptor(data, size);
    if (reading.files.size() > MaximumFileCount) __builtin_trap();
    for (const FileDescriptor &file : reading.files) {
        // A name taken stays below the folder: relative, no "." or ".." parts, no
        // drive or device, no control characters.
        if (!RemoteNameProblem(file.name).isEmpty()) __builtin_trap();
        if (file.name.startsWith(QLatin1Char('/')) || file.name.contains(QLatin1Char('\\'))) __builtin_trap();
        for (const QString &part : file.name.split(QLatin1Char('/')))
            if (part.isEmpty() || part == QLatin1String("..") || part == QLatin1String(".")) __builtin_trap();
    }
    // What is read back builds into a list that reads the same.
    const QByteArray built = BuildFileGroupDescriptor(reading.files);
    const FileListReading again =
        ReadFileGroupDescriptor(reinterpret_cast<const std::uint8_t *>(built.constData()), built.size());
    if (again.files.size() != reading.files.size() || !again.refusals.isEmpty()) __builtin_trap();
    for (std::size_t index = 0; index < again.files.size(); ++index)
        if (again.files[index].name != reading.files[index].name ||
            again.files[index].directory != reading.files[index].directory)
            __builtin_trap();
    return 0;
}
