#include "SystemInfo.h"
#include "TestEnvironment.h"

#include <filesystem>

namespace {

class FileVersion : public IsolatedTest {};

TEST_F(FileVersion, ThisTestProgramCarriesTheProjectVersion) {
    const std::string self = tsc::ExecutablePath();
    ASSERT_FALSE(self.empty());
    EXPECT_EQ(tsc::FileVersionText(self), "4.0.66.1");
    EXPECT_EQ(tsc::FileVersionNumbers(self), (tsc::FileVersion{4, 0, 66, 1}));
}

TEST_F(FileVersion, FilesWithoutTheBlockGiveTheErrorTexts) {
    EXPECT_EQ(tsc::FileVersionText("/bin/sh"), ".No FileInfo in file");
    EXPECT_EQ(tsc::FileVersionText(Root() + "/missing"), ".No FileInfo in file");
    EXPECT_EQ(tsc::FileVersionText(Root()), ".No FileInfo in file");
    EXPECT_EQ(tsc::FileVersionNumbers("/bin/sh"), (tsc::FileVersion{0, 0, 0, 0}));

    // A copy of this program with the block's signature broken, and one cut short.
    std::string image = ReadFile(tsc::ExecutablePath());
    // Signature, structure version and file version 4.0.66.1, assembled here so that the
    // pattern itself does not appear in this program's constant data.
    std::string signature;
    for (const int byte : {0xBD, 0x04, 0xEF, 0xFE, 0, 0, 1, 0, 0, 0, 4, 0, 1, 0, 66, 0})
        signature += static_cast<char>(byte);
    const auto at = image.find(signature);
    ASSERT_NE(at, std::string::npos);
    image[at] = 'X';
    WriteFile(Root() + "/broken", image);
    EXPECT_EQ(tsc::FileVersionText(Root() + "/broken"),
              ".No valid FixedFileInfo information in FileInfoRecord");
    EXPECT_EQ(tsc::FileVersionNumbers(Root() + "/broken"), (tsc::FileVersion{0, 0, 0, 0}));
    WriteFile(Root() + "/short", image.substr(0, image.size() / 2));
    EXPECT_EQ(tsc::FileVersionText(Root() + "/short"), ".No FileInfo in file");
}

} // namespace
