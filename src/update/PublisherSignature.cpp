#include "PublisherSignature.h"

#include "FileOperations.h"
#include "Registry.h"
#include "SystemInfo.h"
#include "UpdateSignature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

#ifndef TSC_UPDATE_PUBLISHER_KEY
#define TSC_UPDATE_PUBLISHER_KEY ""
#endif

namespace tsc::update {

namespace {

int HexValue(char character) {
    if (character >= '0' && character <= '9') return character - '0';
    if (character >= 'a' && character <= 'f') return character - 'a' + 10;
    if (character >= 'A' && character <= 'F') return character - 'A' + 10;
    return -1;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ')
        text.remove_prefix(1);
    while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ')
        text.remove_suffix(1);
    return text;
}

template <std::size_t Size> std::optional<std::array<std::uint8_t, Size>> FromHex(std::string_view text) {
    text = Trimmed(text);
    if (text.size() != Size * 2) return std::nullopt;
    std::array<std::uint8_t, Size> bytes{};
    for (std::size_t i = 0; i < Size; ++i) {
        const int high = HexValue(text[2 * i]);
        const int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return bytes;
}

struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextFree {
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using KeyPointer = std::unique_ptr<EVP_PKEY, KeyFree>;
using ContextPointer = std::unique_ptr<EVP_MD_CTX, ContextFree>;

KeyPointer ReadPrivateKey(std::string_view pem) {
    BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) return {};
    KeyPointer key(PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) return {};
    return key;
}

} // namespace

PublisherKey PublisherKeyFromText(std::string_view text, std::string source) {
    PublisherKey result;
    result.source = std::move(source);
    const auto bytes = FromHex<32>(text);
    result.state = bytes ? PublisherKey::State::Valid : PublisherKey::State::Invalid;
    if (bytes) result.key = *bytes;
    return result;
}

PublisherKey ConfiguredPublisherKey() {
    const auto machine = Registry::ReadString(Hive::LocalMachine, TrustKeyPath, PublisherKeyValueName);
    if (machine && !Trimmed(*machine).empty()) return PublisherKeyFromText(*machine, "machine hive");
    const std::string_view built = TSC_UPDATE_PUBLISHER_KEY;
    if (!Trimmed(built).empty()) return PublisherKeyFromText(built, "build");
    return {};
}

std::optional<Signature> ParseSignatureText(std::string_view text) {
    return FromHex<64>(text);
}

std::string HexText(const std::uint8_t *bytes, std::size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::string SignatureText(const Signature &signature) {
    return HexText(signature.data(), signature.size());
}

bool VerifyPublisherSignature(const PublicKey &key, const unsigned char *data, std::size_t length,
                              const Signature &signature) {
    const KeyPointer publicKey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    const ContextPointer context(EVP_MD_CTX_new());
    if (!publicKey || !context) return false;
    if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, publicKey.get()) != 1) return false;
    return EVP_DigestVerify(context.get(), signature.data(), signature.size(), data, length) == 1;
}

bool VerifyPublisherSignatureOfFile(const PublicKey &key, std::string_view file,
                                    std::string_view signatureFile) {
    const FileFacts facts = FileFactsOf(signatureFile);
    if (!facts.regular || facts.size > MaximumSignatureFile) return false;
    const MappedFile signatureText(signatureFile, MaximumSignatureFile);
    if (!signatureText.IsMapped()) return false;
    const auto signature = ParseSignatureText(
        std::string_view(reinterpret_cast<const char *>(signatureText.Data()), signatureText.Size()));
    if (!signature) return false;
    const MappedFile content(file, MaximumExecutableSize);
    if (!content.IsMapped()) return false;
    return VerifyPublisherSignature(key, content.Data(), content.Size(), *signature);
}

std::optional<Signature> SignWithPrivateKey(std::string_view privateKeyPem, const unsigned char *data,
                                            std::size_t length) {
    const KeyPointer key = ReadPrivateKey(privateKeyPem);
    const ContextPointer context(EVP_MD_CTX_new());
    if (!key || !context) return std::nullopt;
    if (EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1) return std::nullopt;
    Signature signature{};
    std::size_t signatureLength = signature.size();
    if (EVP_DigestSign(context.get(), signature.data(), &signatureLength, data, length) != 1 ||
        signatureLength != signature.size())
        return std::nullopt;
    return signature;
}

std::optional<PublicKey> PublicKeyOfPrivateKey(std::string_view privateKeyPem) {
    const KeyPointer key = ReadPrivateKey(privateKeyPem);
    if (!key) return std::nullopt;
    PublicKey publicKey{};
    std::size_t length = publicKey.size();
    if (EVP_PKEY_get_raw_public_key(key.get(), publicKey.data(), &length) != 1 || length != publicKey.size())
        return std::nullopt;
    return publicKey;
}

} // namespace tsc::update
