#include "UpdateSignature.h"

#include "FileOperations.h"

#include <openssl/evp.h>

#include <algorithm>

namespace tsc::update {

namespace {

constexpr char Digits[] = "0123456789abcdef";

char LowerAscii(char character) {
    return character >= 'A' && character <= 'Z' ? character + ('a' - 'A') : character;
}

bool IsDigitPermutation(const std::string &row) {
    if (row.size() != 16) return false;
    std::string sorted = row;
    std::sort(sorted.begin(), sorted.end());
    return sorted == Digits;
}

} // namespace

const SignatureKeyTable &ProjectSignatureKeyTable() {
    static const SignatureKeyTable table = {
        "46d780faecb35291", "70146ecb925da8f3", "3df25b0c1ae94687", "47596f32bd0c18ea",
        "30f4782db91e6ca5", "0f754d9a18eb2c63", "572b619df4ce8a30", "d7032bac61e4f958",
        "6adf0c1b379284e5", "0d4a238e7619cf5b", "daefb0749613c258", "ad145ce89fb03267",
        "9ead70c63f2b1458", "c265a0bfd934178e", "e1732b894a56dc0f", "320e8d5614ba7f9c",
    };
    return table;
}

std::optional<SignatureKeyTable> ParseSignatureKeyTable(std::string_view text) {
    SignatureKeyTable table;
    std::size_t rows = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(start, end - start));
        while (!line.empty() && static_cast<unsigned char>(line.back()) <= ' ')
            line.pop_back();
        while (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ')
            line.erase(0, 1);
        start = end + 1;
        if (line.empty() || line.front() == '#') continue;
        std::transform(line.begin(), line.end(), line.begin(), LowerAscii);
        if (rows == table.size() || !IsDigitPermutation(line)) return std::nullopt;
        table[rows++] = line;
    }
    if (rows != table.size()) return std::nullopt;
    return table;
}

std::string Md5Hex(const unsigned char *data, std::size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE] = {};
    unsigned int digestLength = 0;
    EVP_Digest(data, length, digest, &digestLength, EVP_md5(), nullptr);
    std::string text;
    for (unsigned int i = 0; i < digestLength; ++i) {
        text += Digits[digest[i] >> 4];
        text += Digits[digest[i] & 0x0F];
    }
    return text;
}

std::string KeyedSignature(std::string_view digestHex, const SignatureKeyTable &table) {
    std::string result(digestHex);
    std::transform(result.begin(), result.end(), result.begin(), LowerAscii);
    for (std::size_t index = 0; index < result.size(); ++index) {
        const std::size_t row = (index + 1) % 16;
        const auto position = table[row].find(result[index]);
        if (position != std::string::npos) result[index] = table[15 - row][position];
    }
    return result;
}

std::string UpdateSignature(std::string_view file, const SignatureKeyTable &table) {
    const MappedFile mapped(file, MaximumExecutableSize);
    static const unsigned char nothing = 0;
    return KeyedSignature(mapped.IsMapped() ? Md5Hex(mapped.Data(), mapped.Size()) : Md5Hex(&nothing, 0),
                          table);
}

bool SignaturesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

} // namespace tsc::update
