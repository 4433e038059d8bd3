// The version file's acceptance rules, the version key, the update signature and the
// names of the published and kept files.

#include "VersionFile.h"
#include "PublisherSignature.h"
#include "UpdateNames.h"
#include "UpdateSignature.h"

#include "UpdateTestSupport.h"

#include <gtest/gtest.h>

using namespace tsc::update;

namespace {

TEST(VersionFile, BodyNeedsExactlyTwoLines) {
    struct Case {
        const char *body;
        bool accepted;
        const char *version;
        const char *signature;
    };
    const Case cases[] = {
        {"4.0.66.1\r\n6118616E95EF06D3B44DD84FD29A9651\r\n", true, "4.0.66.1",
         "6118616E95EF06D3B44DD84FD29A9651"},
        {"4.0.66.1\n6118\n", true, "4.0.66.1", "6118"},
        {"4.0.66.1\r6118\r", true, "4.0.66.1", "6118"},
        {"4.0.66.1\r\n6118", true, "4.0.66.1", "6118"},
        {" 4.0.66.1 \r\n 6118 \r\n", true, " 4.0.66.1 ", " 6118 "}, // never trimmed
        {"4.0.66.1\n\r6118", false},                                // LF then CR: two breaks, an empty line
        {"4.0.66.1\r\n6118\r\n\r\n", false},                        // a further empty line counts
        {"4.0.66.1\r\n\r\n6118\r\n", false},
        {"4.0.66.1\r\n", false},
        {"", false},
        {"\r\n", false},
        {"a\r\nb\r\nc", false},
    };
    for (const Case &test : cases) {
        const auto parsed = ParseVersionBody(test.body);
        ASSERT_EQ(parsed.has_value(), test.accepted) << test.body;
        if (!parsed) continue;
        EXPECT_EQ(parsed->version, test.version);
        EXPECT_EQ(parsed->signature, test.signature);
    }
}

TEST(VersionFile, OnlyPlainTextWithoutParameterPasses) {
    struct Case {
        const char *line;
        bool plain;
    };
    const Case cases[] = {
        {"Content-type: text/plain", true},
        {"Content-Type: TEXT/PLAIN\r\n", true},
        {"\t content-type: text/plain  ", true},
        {"Content-Type: text/plain; charset=utf-8", false},
        {"Content-Type: text/plain;", false},
        {"Content-Type:text/plain", false},
        {"Content-Type: text/html", false},
        {"X-Content-Type: text/plain", false},
        {"", false},
    };
    for (const Case &test : cases)
        EXPECT_EQ(DeclaresPlainText(test.line), test.plain) << test.line;
}

TEST(VersionFile, VersionKeyIsReleaseAndBuild) {
    EXPECT_EQ(VersionKey("4.0.66.1"), "66.1");
    EXPECT_EQ(VersionKey("10.2.66.1"), "66.1"); // so 10.2.66.1 counts as 4.0.66.1
    EXPECT_EQ(VersionKey("4.0.65.9"), "65.9");
    EXPECT_EQ(VersionKey("4.0."), "");
    EXPECT_EQ(VersionKey("4.0"), "");
    EXPECT_EQ(VersionKey(""), "");
    EXPECT_EQ(VersionKey(".No FileInfo in file"), "");
    EXPECT_EQ(VersionKey("a.b.c.d.e"), "c.d.e");
}

TEST(UpdateSignature, DigestThroughTheKeyTable) {
    // MD5 of "" and "abc" (RFC 1321), passed through the project's table.
    const unsigned char abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(Md5Hex(abc, 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex(abc, 3), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(KeyedSignature("d41d8cd98f00b204e9800998ecf8427e", ProjectSignatureKeyTable()),
              "6118616e95ef06d3b44dd84fd29a9651");
    EXPECT_EQ(KeyedSignature("900150983CD24FB0D6963F7D28E17F72", ProjectSignatureKeyTable()),
              "4b2bfb4f120093bd67d387a06321635f");

    // Rows rotated by their number: position i (from 1) moves each digit by 15 - 2(i mod 16).
    SignatureKeyTable rotated;
    for (int row = 0; row < 16; ++row) {
        const std::string digits = "0123456789abcdef";
        rotated[row] = digits.substr(row) + digits.substr(0, row);
    }
    const std::string digest = "0123456789abcdef0123456789abcdeg";
    const std::string keyed = KeyedSignature(digest, rotated);
    for (std::size_t index = 0; index + 1 < digest.size(); ++index) {
        const int value = static_cast<int>(std::string("0123456789abcdef").find(digest[index]));
        const int shift = 15 - 2 * static_cast<int>((index + 1) % 16);
        EXPECT_EQ(keyed[index], "0123456789abcdef"[((value + shift) % 16 + 16) % 16]) << index;
    }
    EXPECT_EQ(keyed.back(), 'g'); // not in the table: stays
}

TEST(UpdateSignature, FilesAndComparison) {
    const std::string folder = ::testing::TempDir() + "/update-signature";
    update_test::WriteBytes(folder + "/abc", "abc");
    update_test::WriteBytes(folder + "/empty", "");
    EXPECT_EQ(UpdateSignature(folder + "/abc"), "4b2bfb4f120093bd67d387a06321635f");
    EXPECT_EQ(UpdateSignature(folder + "/empty"), "6118616e95ef06d3b44dd84fd29a9651");
    EXPECT_EQ(UpdateSignature(folder + "/missing"), "6118616e95ef06d3b44dd84fd29a9651");
    EXPECT_EQ(UpdateSignature(folder), "6118616e95ef06d3b44dd84fd29a9651");
    EXPECT_TRUE(SignaturesEqual("4B2BFB4F120093BD67D387A06321635F", "4b2bfb4f120093bd67d387a06321635f"));
    EXPECT_FALSE(SignaturesEqual("4b2bfb4f120093bd67d387a06321635", "4b2bfb4f120093bd67d387a06321635f"));
    std::filesystem::remove_all(folder);
}

TEST(UpdateSignature, KeyTableText) {
    std::string text = "# the publisher's table\n";
    for (const std::string &row : ProjectSignatureKeyTable())
        text += row + "\n\n";
    const auto parsed = ParseSignatureKeyTable(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, ProjectSignatureKeyTable());
    EXPECT_FALSE(ParseSignatureKeyTable(text + "0123456789abcdef\n"));        // 17 rows
    EXPECT_FALSE(ParseSignatureKeyTable(text.substr(0, text.rfind("320e")))); // 15 rows
    std::string repeated = text;
    repeated.replace(repeated.find("46d780faecb35291"), 16, "46d780faecb35290"); // '0' twice, no '1'
    EXPECT_FALSE(ParseSignatureKeyTable(repeated));
}

TEST(UpdateNames, PublishedAndKeptFiles) {
    const std::string stem = ClientStem();
    EXPECT_EQ(PublishedExecutableName(), "tsv" + stem);
    EXPECT_EQ(PublishedVersionFileName(), "tsv" + stem + ".version");
    EXPECT_EQ(PublishedSignatureName(), "tsv" + stem + ".sig");
    EXPECT_EQ(VersionedCopyName("6118", "4.0.66.2"), "tsv.6118.4.0.66.2." + stem);

    struct Case {
        std::string name;
        bool copy;
        bool belongs;
    };
    const Case cases[] = {
        {"tsv.6118.4.0.66.2." + stem, true, true},
        {"TSV.6118.4.0.66.2." + stem, true, true},
        {"tsv.." + stem, true, true},
        {"tsv." + stem, false, false},
        {"tsv" + stem, false, false},
        {"tsv.6118.4.0.66.2." + stem + ".sig", false, true},
        {"tsv.6118.4.0.66.2." + stem + ".download", false, true},
        {"tsv.6118.4.0.66.2." + stem + ".sig.download", false, true},
        {"tsv.6118.4.0.66.2." + stem + ".old", false, false},
        {"tsv_farm.rdp", false, false},
    };
    for (const Case &test : cases) {
        EXPECT_EQ(MatchesVersionedCopyPattern(test.name), test.copy) << test.name;
        EXPECT_EQ(BelongsToVersionedCopy(test.name), test.belongs) << test.name;
    }
    EXPECT_EQ(SignatureFromCopyName("tsv.6118.4.0.66.2." + stem), "6118");
    EXPECT_EQ(SignatureFromCopyName("tsv..4.0.66.2." + stem), "");
    EXPECT_FALSE(SignatureFromCopyName("tsv.6118"));
}

TEST(UpdateNames, OnlyPublishedFormsNameFiles) {
    for (const char *version : {"4.0.66.1", "0.0.0.0", "65535.1.2.3"})
        EXPECT_TRUE(IsPublishableVersion(version));
    for (const char *version : {"4.0.66", "4.0.66.1.", ".4.0.66", "4..66.1", "4.0.66.1/../x", "../../.bashrc",
                                "4.0.66.1 ", "", "123456.0.0.0"})
        EXPECT_FALSE(IsPublishableVersion(version)) << version;
    EXPECT_TRUE(IsPublishableSignature("6118616E95ef06d3b44dd84fd29a9651"));
    for (const char *signature : {"6118616e95ef06d3b44dd84fd29a965", "6118616e95ef06d3b44dd84fd29a9651a",
                                  "6118616e95ef06d3b44dd84fd29a965/", ""})
        EXPECT_FALSE(IsPublishableSignature(signature)) << signature;
}

TEST(PublisherSignature, SignsAndVerifiesTheWholeFile) {
    const std::string pem = update_test::ReadBytes(update_test::FixturePath("publisher-test-key.pem"));
    const auto publicKey = PublicKeyOfPrivateKey(pem);
    ASSERT_TRUE(publicKey);
    EXPECT_EQ(HexText(publicKey->data(), publicKey->size()),
              "2a3d2273b397ab64e41f90db56c84ea8af100d831429d3c22841a500432ba7d7");
    std::string content(100000, 'x');
    const auto *bytes = reinterpret_cast<const unsigned char *>(content.data());
    const auto signature = SignWithPrivateKey(pem, bytes, content.size());
    ASSERT_TRUE(signature);
    EXPECT_TRUE(VerifyPublisherSignature(*publicKey, bytes, content.size(), *signature));
    const auto parsed = ParseSignatureText(" " + SignatureText(*signature) + "\r\n");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, *signature);

    content[50000] = 'y';
    EXPECT_FALSE(VerifyPublisherSignature(*publicKey, bytes, content.size(), *signature));
    content[50000] = 'x';
    EXPECT_FALSE(VerifyPublisherSignature(*publicKey, bytes, content.size() - 1, *signature));
    PublicKey otherKey = *publicKey;
    otherKey[0] ^= 1;
    EXPECT_FALSE(VerifyPublisherSignature(otherKey, bytes, content.size(), *signature));

    EXPECT_FALSE(ParseSignatureText(SignatureText(*signature).substr(2)));
    EXPECT_FALSE(SignWithPrivateKey("not a key", bytes, 1));
}

TEST(PublisherSignature, KeyText) {
    const std::string hex = "2a3d2273b397ab64e41f90db56c84ea8af100d831429d3c22841a500432ba7d7";
    EXPECT_EQ(PublisherKeyFromText(" " + hex + "\n", "build").state, PublisherKey::State::Valid);
    EXPECT_EQ(PublisherKeyFromText(hex.substr(1), "build").state, PublisherKey::State::Invalid);
    EXPECT_EQ(PublisherKeyFromText(hex.substr(0, 63) + "g", "build").state, PublisherKey::State::Invalid);
}

} // namespace
