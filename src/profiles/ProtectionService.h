#pragma once

// Per-user data protection: this platform's stand-in for the system service that
// protects a saved password for the current user. Bytes in, opaque bytes out,
// failure as an errno-style code.
//
// The protection key is 32 random bytes in a file of mode 0600 under the user's
// configuration folder, created on first use. The key is not tied to AppName, so a
// language file that renames the application does not orphan saved passwords.
// Blob: format byte 0x01, 12-byte nonce, ciphertext, 16-byte tag (AES-256-GCM, the
// format byte authenticated as associated data).

#include <cstdint>
#include <string>
#include <vector>

namespace tsc::profiles {

using Bytes = std::vector<std::uint8_t>;

class ProtectionService {
  public:
    // keyFile: the path of the per-user key; DefaultKeyFile() in the program.
    explicit ProtectionService(std::string keyFile);
    ~ProtectionService();
    ProtectionService(const ProtectionService &) = delete;
    ProtectionService &operator=(const ProtectionService &) = delete;

    // $XDG_CONFIG_HOME (else $HOME/.config) + "/TerminalServerClient/protection.key".
    [[nodiscard]] static std::string DefaultKeyFile();

    // Loads the key, creating it first when there is none. 0 or an errno value.
    [[nodiscard]] int Open();
    // Forgets the key; the next call opens the service again.
    void Close();
    [[nodiscard]] bool IsOpen() const { return open_; }

    // 0 on success, else an errno value (EBADMSG: the blob is not ours or damaged).
    [[nodiscard]] int Protect(const Bytes &plain, Bytes &blob);
    [[nodiscard]] int Unprotect(const Bytes &blob, Bytes &plain);

    static constexpr std::uint8_t FormatByte = 0x01;
    static constexpr std::size_t KeySize = 32;
    static constexpr std::size_t NonceSize = 12;
    static constexpr std::size_t TagSize = 16;

  private:
    [[nodiscard]] int LoadKey();
    [[nodiscard]] int CreateKey();

    std::string keyFile_;
    std::uint8_t key_[KeySize] = {};
    bool open_ = false;
};

} // namespace tsc::profiles
