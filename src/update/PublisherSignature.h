#pragma once

// The publisher's signature: an Ed25519 signature of the whole executable, published
// beside it as one line of 128 hexadecimal digits. A client that knows the
// publisher's public key takes no executable without it. The key comes from the
// machine hive (an administrator's value, REG_SZ of 64 hexadecimal digits) or, when
// that value is absent, from the build. The key's place is fixed: a language file that
// renames the client (its AppName) does not move it.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tsc::update {

// Value under HKEY_LOCAL_MACHINE\SOFTWARE\TerminalServer, whatever the AppName.
inline constexpr char TrustKeyPath[] = "SOFTWARE\\TerminalServer";
inline constexpr char PublisherKeyValueName[] = "Update Publisher Key";
// A signature file is one line; anything longer is no signature.
inline constexpr std::size_t MaximumSignatureFile = 4096;

using PublicKey = std::array<std::uint8_t, 32>;
using Signature = std::array<std::uint8_t, 64>;

struct PublisherKey {
    enum class State { None, Valid, Invalid };
    State state = State::None;
    PublicKey key{};
    std::string source; // "machine hive" or "build"
};

// The key in force: the machine hive's value when present, else the build's.
[[nodiscard]] PublisherKey ConfiguredPublisherKey();
// A key from its 64 hexadecimal digits (blanks around them ignored).
[[nodiscard]] PublisherKey PublisherKeyFromText(std::string_view text, std::string source);

// The signature of a signature file's text: 128 hexadecimal digits, blanks and line
// breaks around them ignored.
[[nodiscard]] std::optional<Signature> ParseSignatureText(std::string_view text);
[[nodiscard]] std::string SignatureText(const Signature &signature);

[[nodiscard]] bool VerifyPublisherSignature(const PublicKey &key, const unsigned char *data,
                                            std::size_t length, const Signature &signature);
// Verifies a file against the signature file beside it; false when either cannot be read.
[[nodiscard]] bool VerifyPublisherSignatureOfFile(const PublicKey &key, std::string_view file,
                                                  std::string_view signatureFile);

// For the publisher's tool: signs with a PEM private key; empty on failure.
[[nodiscard]] std::optional<Signature> SignWithPrivateKey(std::string_view privateKeyPem,
                                                          const unsigned char *data, std::size_t length);
// The raw public key belonging to a PEM private key.
[[nodiscard]] std::optional<PublicKey> PublicKeyOfPrivateKey(std::string_view privateKeyPem);
[[nodiscard]] std::string HexText(const std::uint8_t *bytes, std::size_t length);

} // namespace tsc::update
