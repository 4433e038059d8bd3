#include "ProtectionService.h"

#include "PrivateFiles.h"
#include "SystemInfo.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc::profiles {

namespace {

struct CipherContextDeleter {
    void operator()(EVP_CIPHER_CTX *context) const { EVP_CIPHER_CTX_free(context); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextDeleter>;

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    [[nodiscard]] int get() const { return fd_; }

  private:
    int fd_;
};

bool ReadExactly(int fd, std::uint8_t *buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, buffer + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        done += static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteExactly(int fd, const std::uint8_t *buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, buffer + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace

ProtectionService::ProtectionService(std::string keyFile) : keyFile_(std::move(keyFile)) {}

ProtectionService::~ProtectionService() {
    Close();
}

std::string ProtectionService::DefaultKeyFile() {
    std::string folder;
    if (const char *config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        folder = config;
    } else if (const char *home = std::getenv("HOME"); home && *home) {
        folder = std::string(home) + "/.config";
    } else {
        folder = "/tmp";
    }
    return folder + "/TerminalServerClient/protection.key";
}

int ProtectionService::Open() {
    if (open_) return 0;
    int result = LoadKey();
    if (result == ENOENT) {
        result = CreateKey();
        if (result == EEXIST) result = 0; // another process created it first
        if (result == 0) result = LoadKey();
    }
    open_ = result == 0;
    return result;
}

void ProtectionService::Close() {
    OPENSSL_cleanse(key_, sizeof key_);
    open_ = false;
}

int ProtectionService::LoadKey() {
    // In a folder others could change, the key could be swapped or deleted.
    const std::string folder = detail::FolderOfPath(keyFile_);
    if (!detail::UsableFolder(folder, detail::FolderUse::Private, false))
        return FolderExists(folder) ? EPERM : ENOENT;
    FileDescriptor file(detail::OpenPrivateFile(keyFile_, O_RDONLY));
    if (file.get() < 0) return errno;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return errno;
    if (info.st_size != static_cast<off_t>(KeySize)) return EINVAL;
    // Nobody but the user may read the key.
    if ((info.st_mode & 077) != 0 && ::fchmod(file.get(), 0600) != 0) return errno;
    if (!ReadExactly(file.get(), key_, KeySize)) return EIO;
    return 0;
}

// The key is written whole into a private temporary file and then linked under its
// name: link() fails when the name exists, so two processes starting together
// never see a half-written key and the loser simply loads the winner's key.
int ProtectionService::CreateKey() {
    if (!detail::UsableFolder(detail::FolderOfPath(keyFile_), detail::FolderUse::Private, true)) return EPERM;
    std::uint8_t fresh[KeySize];
    if (RAND_bytes(fresh, sizeof fresh) != 1) return EIO;
    std::string pattern;
    const int fd = detail::CreateTemporaryFile(keyFile_, pattern);
    if (fd < 0) return errno;
    FileDescriptor file(fd);
    int result = 0;
    errno = 0;
    if (::fchmod(fd, 0600) != 0 || !WriteExactly(fd, fresh, sizeof fresh) || ::fsync(fd) != 0) {
        result = errno ? errno : EIO;
    } else if (::link(pattern.c_str(), keyFile_.c_str()) != 0) {
        result = errno;
    }
    OPENSSL_cleanse(fresh, sizeof fresh);
    ::unlink(pattern.c_str());
    return result;
}

int ProtectionService::Protect(const Bytes &plain, Bytes &blob) {
    blob.clear();
    if (!open_) {
        if (const int opened = Open(); opened != 0) return opened;
    }
    Bytes out(1 + NonceSize + plain.size() + TagSize);
    out[0] = FormatByte;
    std::uint8_t *nonce = out.data() + 1;
    std::uint8_t *cipher = nonce + NonceSize;
    if (RAND_bytes(nonce, NonceSize) != 1) return EIO;
    CipherContext context(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!context || EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key_, nonce) != 1 ||
        EVP_EncryptUpdate(context.get(), nullptr, &length, out.data(), 1) != 1 ||
        (!plain.empty() && EVP_EncryptUpdate(context.get(), cipher, &length, plain.data(),
                                             static_cast<int>(plain.size())) != 1) ||
        EVP_EncryptFinal_ex(context.get(), cipher + plain.size(), &length) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, TagSize, cipher + plain.size()) != 1) {
        return EIO;
    }
    blob = std::move(out);
    return 0;
}

int ProtectionService::Unprotect(const Bytes &blob, Bytes &plain) {
    plain.clear();
    if (!open_) {
        if (const int opened = Open(); opened != 0) return opened;
    }
    if (blob.size() < 1 + NonceSize + TagSize || blob[0] != FormatByte) return EBADMSG;
    const std::uint8_t *nonce = blob.data() + 1;
    const std::uint8_t *cipher = nonce + NonceSize;
    const std::size_t cipherSize = blob.size() - 1 - NonceSize - TagSize;
    Bytes tag(cipher + cipherSize, cipher + cipherSize + TagSize);
    Bytes out(cipherSize);
    CipherContext context(EVP_CIPHER_CTX_new());
    int length = 0;
    if (!context || EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr, key_, nonce) != 1 ||
        EVP_DecryptUpdate(context.get(), nullptr, &length, blob.data(), 1) != 1 ||
        (cipherSize > 0 &&
         EVP_DecryptUpdate(context.get(), out.data(), &length, cipher, static_cast<int>(cipherSize)) != 1) ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, TagSize, tag.data()) != 1) {
        return EIO;
    }
    if (EVP_DecryptFinal_ex(context.get(), out.data() + cipherSize, &length) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return EBADMSG;
    }
    plain = std::move(out);
    return 0;
}

} // namespace tsc::profiles
