#include "SystemInfo.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tsc {

namespace {

constexpr char RunningImage[] = "/proc/self/exe";

class Descriptor {
  public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    [[nodiscard]] int Get() const { return descriptor_; }
    [[nodiscard]] int Release() { return std::exchange(descriptor_, -1); }

  private:
    int descriptor_;
};

int CopyPart(int input, std::uint64_t offset, std::uint64_t size, int output) {
    std::vector<char> buffer(1 << 20);
    while (size > 0) {
        const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, buffer.size()));
        const ssize_t got = ::pread(input, buffer.data(), wanted, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got < 0 ? errno : EIO;
        for (ssize_t written = 0; written < got;) {
            const ssize_t put =
                ::write(output, buffer.data() + written, static_cast<std::size_t>(got - written));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return put < 0 ? errno : EIO;
            written += put;
        }
        offset += static_cast<std::uint64_t>(got);
        size -= static_cast<std::uint64_t>(got);
    }
    return 0;
}

} // namespace

int OwnSectionAsMemoryFile(std::string_view name, std::uint64_t maximumSize) {
    const auto section = FindElfSection(RunningImage, name);
    if (!section || section->size == 0) {
        errno = ENOENT;
        return -1;
    }
    if (section->size > maximumSize) {
        errno = EFBIG;
        return -1;
    }
    const Descriptor input(::open(RunningImage, O_RDONLY | O_CLOEXEC));
    if (input.Get() < 0) return -1;
    Descriptor memory(::memfd_create(std::string(name).c_str(), MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (memory.Get() < 0) return -1;
    if (const int code = CopyPart(input.Get(), section->offset, section->size, memory.Get()); code != 0) {
        errno = code;
        return -1;
    }
    // Sealed: nothing can change the content between the copy and its use.
    if (::fcntl(memory.Get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return -1;
    return memory.Release();
}

} // namespace tsc
