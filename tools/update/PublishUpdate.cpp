// The publisher's tool: puts a build of the client on an update host's web folder.
// Writes, into the folder,
//   <prefix><stem>            the executable
//   <prefix><stem>.version    its version and update signature, two lines
//   <prefix><stem>.sig        its Ed25519 signature (with --private-key)
// and prints the public key that clients need to verify the signature.
//
//   tsc_publish_update <executable> <web folder> [--private-key key.pem]
//                      [--key-table table.txt] [--prefix tsv]
//
// A key is made with: openssl genpkey -algorithm ed25519 -out key.pem

#include "FileOperations.h"
#include "Identity.h"
#include "PublisherSignature.h"
#include "SystemInfo.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace {

std::optional<std::string> ReadText(const std::string &path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

bool WriteText(const std::string &path, const std::string &text) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << text;
    return static_cast<bool>(stream);
}

int Usage(const char *program) {
    std::fprintf(stderr,
                 "usage: %s <executable> <web folder> [--private-key key.pem] [--key-table table.txt] "
                 "[--prefix tsv]\n",
                 program);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) return Usage(argv[0]);
    const std::string executable = argv[1];
    const std::string folder = argv[2];
    std::string privateKeyPath, keyTablePath;
    for (int index = 3; index < argc; ++index) {
        const std::string option = argv[index];
        if (index + 1 >= argc) return Usage(argv[0]);
        const std::string value = argv[++index];
        if (option == "--private-key")
            privateKeyPath = value;
        else if (option == "--key-table")
            keyTablePath = value;
        else if (option == "--prefix")
            tsc::Identity::SetAppPrefix(value);
        else
            return Usage(argv[0]);
    }

    tsc::update::SignatureKeyTable table = tsc::update::ProjectSignatureKeyTable();
    if (!keyTablePath.empty()) {
        const auto text = ReadText(keyTablePath);
        const auto parsed = text ? tsc::update::ParseSignatureKeyTable(*text) : std::nullopt;
        if (!parsed) {
            std::fprintf(stderr, "%s: not a key table of 16 permutations of 0-9a-f\n", keyTablePath.c_str());
            return 1;
        }
        table = *parsed;
    }
    const std::string version = tsc::FileVersionText(executable);
    if (!tsc::update::IsPublishableVersion(version)) {
        std::fprintf(stderr, "%s: no version of four numbers (%s)\n", executable.c_str(), version.c_str());
        return 1;
    }
    const tsc::MappedFile content(executable, tsc::update::MaximumExecutableSize);
    if (!content.IsMapped()) {
        std::fprintf(stderr, "%s: cannot read it, or it is larger than %llu bytes\n", executable.c_str(),
                     static_cast<unsigned long long>(tsc::update::MaximumExecutableSize));
        return 1;
    }
    const std::string signature = tsc::update::UpdateSignature(executable, table);
    const std::string published = folder + "/" + tsc::update::PublishedExecutableName();

    std::optional<tsc::update::Signature> publisherSignature;
    if (!privateKeyPath.empty()) {
        const auto pem = ReadText(privateKeyPath);
        if (pem) publisherSignature = tsc::update::SignWithPrivateKey(*pem, content.Data(), content.Size());
        const auto publicKey = pem ? tsc::update::PublicKeyOfPrivateKey(*pem) : std::nullopt;
        if (!publisherSignature || !publicKey) {
            std::fprintf(stderr, "%s: not an Ed25519 private key in PEM form\n", privateKeyPath.c_str());
            return 1;
        }
        std::printf("publisher key: %s\n",
                    tsc::update::HexText(publicKey->data(), publicKey->size()).c_str());
    }
    // The executable first and the version file last: a client that reads the new
    // version file finds the new executable.
    if (tsc::ReplaceFileWithCopy(executable, published) != 0 ||
        (publisherSignature && !WriteText(folder + "/" + tsc::update::PublishedSignatureName(),
                                          tsc::update::SignatureText(*publisherSignature) + "\n")) ||
        !WriteText(folder + "/" + tsc::update::PublishedVersionFileName(),
                   version + "\r\n" + signature + "\r\n")) {
        std::fprintf(stderr, "%s: cannot write the published files\n", folder.c_str());
        return 1;
    }
    std::printf("published %s: version %s, signature %s\n", published.c_str(), version.c_str(),
                signature.c_str());
    return 0;
}
