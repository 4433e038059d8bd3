// The process-wide table: loading from a file, publishing and mapping the shared
// block, refusing blocks that are damaged, foreign or of the wrong size, the
// identity values, and the shipped translations.

#include "CaptionApplier.h"
#include "CaptionTable.h"
#include "Identity.h"
#include "Language.h"
#include "Registry.h"
#include "SharedMemoryAccess.h"
#include "TestEnvironment.h"

#include <QApplication>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSharedMemory>
#include <QTabWidget>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tsc;
using namespace tsc::shell;
using tsc::language::FileContents;

namespace {

std::string WriteLanguageFile(const std::string &path, const FileContents &contents) {
    const auto bytes = language::BuildFile(contents);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
    return path;
}

FileContents Branded() {
    FileContents contents;
    contents.text =
        "000-00000002:Northwind Remote\n000-00000003:NorthwindRemote\n000-00000004:nwr\n"
        "000-00000005:%cAppName%Support.zip\n004-00000201:Verbinden\n004-00000041:%cAppTitle% options\n";
    contents.firstImage = {1, 2, 3};
    contents.font.name = "DejaVu Sans";
    contents.font.pointSize = 9;
    return contents;
}

bool Logged(const std::vector<std::string> &lines, std::string_view part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(part) != l.npos; });
}

class LanguageTable : public IsolatedTest {
  protected:
    void TearDown() override {
        ReleaseLanguage();
        (void)TakeLanguageLogLines();
        IsolatedTest::TearDown();
    }
    std::string File(const FileContents &contents, const std::string &name = "client.lang") {
        return WriteLanguageFile(Root() + "/" + name, contents);
    }
    // Another client's view of the block: attached while the test's "first client"
    // releases its own table.
    std::unique_ptr<QSharedMemory> HoldBlock() {
        auto holder = std::make_unique<QSharedMemory>();
        holder->setNativeKey(QString::fromStdString(SharedBlockKey()));
        EXPECT_TRUE(holder->attach(QSharedMemory::ReadOnly));
        return holder;
    }
};

} // namespace

TEST_F(LanguageTable, WithoutTableEveryLookupGivesItsDefaultUnexpanded) {
    EXPECT_FALSE(LoadLanguage(""));
    EXPECT_FALSE(HasLanguageTable());
    EXPECT_EQ(LookupText("004", "00000201", "Connect %cAppTitle%"), "Connect %cAppTitle%");
    EXPECT_FALSE(LanguageFont());
    EXPECT_TRUE(LanguageFirstImage().empty());
}

TEST_F(LanguageTable, FileTableTakesIdentityAndIsPublishedReadOnlyForOthers) {
    const std::string path = File(Branded());
    ASSERT_TRUE(LoadLanguage(path));
    EXPECT_EQ(CurrentLanguageOrigin(), LanguageOrigin::File);
    EXPECT_EQ(Identity::AppTitle(), "Northwind Remote");
    EXPECT_EQ(Identity::AppName(), "NorthwindRemote");
    EXPECT_EQ(Identity::AppPrefix(), "nwr");
    EXPECT_EQ(Identity::DesktopFilename(), "NorthwindRemoteSupport.zip");
    EXPECT_EQ(LookupText("004", "00000041", "Options"), "Northwind Remote options");
    EXPECT_EQ(LanguageFont()->name, "DejaVu Sans");
    EXPECT_EQ(LanguageFirstImage().size(), 3u);
    EXPECT_TRUE(LanguageSecondImage().empty());

    const auto facts = SharedBlockFactsOf(SharedBlockKey());
    ASSERT_TRUE(facts);
    EXPECT_EQ(facts->mode, 0644u) << "other users may read the block, never write it";
    EXPECT_EQ(facts->size, language::TableSize(static_cast<std::uint32_t>(Branded().text.size())));
}

// Another user's client may map the block read-only but never write it.
TEST_F(LanguageTable, AnotherUserCanReadTheBlockButNotWriteIt) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ASSERT_TRUE(LoadLanguage(File(Branded())));
    // The key file must be reachable for the other user: open up the test's own
    // folders, and nothing above them.
    for (const std::string &folder : {Root(), Root() + "/tmp"})
        ::chmod(folder.c_str(), 0755);
    const auto attachAs = [](QSharedMemory::AccessMode mode) {
        const pid_t child = ::fork();
        if (child == 0) {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
            QSharedMemory block;
            block.setNativeKey(QString::fromStdString(SharedBlockKey()));
            ::_exit(block.attach(mode) ? 0 : 1);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_EQ(attachAs(QSharedMemory::ReadOnly), 0);
    EXPECT_EQ(attachAs(QSharedMemory::ReadWrite), 1);
}

TEST_F(LanguageTable, LaterClientMapsTheBlockOfTheRegisteredFile) {
    const std::string path = File(Branded());
    ASSERT_TRUE(LoadLanguage(path));
    EXPECT_EQ(RegisterLanguage(path), 0);
    EXPECT_EQ(Registry::ReadString(Hive::LocalMachine, TerminalServerKey, LanguageValueName), path);
    EXPECT_EQ(Registry::ReadString(Hive::LocalMachine, "SOFTWARE\\NorthwindRemote", AppNameValueName),
              "NorthwindRemote");
    const auto holder = HoldBlock();
    ReleaseLanguage();
    Identity::ResetToDefaults();
    (void)TakeLanguageLogLines();

    // Only the file's header is left: the table can come from the block alone.
    std::filesystem::resize_file(path, language::HeaderSize);
    ASSERT_TRUE(LoadLanguage(""));
    EXPECT_EQ(CurrentLanguageOrigin(), LanguageOrigin::SharedMemory);
    EXPECT_EQ(Identity::AppName(), "NorthwindRemote");
    EXPECT_EQ(LookupText("004", "00000201", "Connect"), "Verbinden");
    EXPECT_TRUE(Logged(TakeLanguageLogLines(), "table from shared memory"));
}

TEST_F(LanguageTable, BlocksThatAreDamagedForeignOrOfAnotherSizeAreNotTrusted) {
    const std::string path = File(Branded());
    ASSERT_EQ(RegisterLanguage(path), 0);
    FileContents other = Branded();
    other.text = "000-00000002:Someone Else\n000-00000003:Else\n000-00000004:abc\n000-00000005:x\n";
    const auto otherTable = [&] {
        std::vector<std::uint8_t> table(language::TableSize(static_cast<std::uint32_t>(other.text.size())));
        const auto file = *language::BuildFile(other);
        language::Header header;
        EXPECT_EQ(language::CheckFileHeader(file, file.size(), header), language::Verdict::Accepted);
        EXPECT_EQ(language::UnpackFile(file, header, table), language::Verdict::Accepted);
        return table;
    }();
    struct Case {
        const char *what;
        std::vector<std::uint8_t> block;
        const char *logged;
    };
    auto damaged = otherTable;
    damaged.back() ^= 1;
    damaged[language::HeaderSize + language::TextOffset] ^= 1;
    const Case cases[] = {
        {"stale block of another size", std::vector<std::uint8_t>(5000, 0x41), "shared table ignored"},
        {"damaged block", damaged, "digest differs"},
        {"sound block of another table", otherTable, "not the table of the registered language file"},
    };
    for (const Case &c : cases) {
        QSharedMemory foreign;
        foreign.setNativeKey(QString::fromStdString(SharedBlockKey()));
        ASSERT_TRUE(foreign.create(static_cast<qsizetype>(c.block.size()))) << c.what;
        std::memcpy(foreign.data(), c.block.data(), c.block.size());

        ASSERT_TRUE(LoadLanguage("")) << c.what;
        EXPECT_EQ(CurrentLanguageOrigin(), LanguageOrigin::File) << c.what;
        EXPECT_EQ(Identity::AppTitle(), "Northwind Remote") << c.what;
        const auto lines = TakeLanguageLogLines();
        EXPECT_TRUE(Logged(lines, c.logged)) << c.what;
        ReleaseLanguage();
        Identity::ResetToDefaults();
    }
}

TEST_F(LanguageTable, BadFileGivesNoTableAndALogLine) {
    const std::string path = Root() + "/bad.lang";
    std::ofstream(path) << std::string(400, 'x');
    EXPECT_FALSE(LoadLanguage(path));
    EXPECT_FALSE(HasLanguageTable());
    EXPECT_TRUE(Logged(TakeLanguageLogLines(), "bad.lang refused"));
    EXPECT_EQ(Identity::AppName(), "TerminalServer");
}

TEST_F(LanguageTable, FourCharacterPrefixIsResetByTheNextExpansion) {
    FileContents contents;
    contents.text = "000-00000004:abcd\n000-00000005:support.zip\n";
    ASSERT_TRUE(LoadLanguage(File(contents)));
    EXPECT_EQ(Identity::AppPrefix(), "tsv");
}

// Every caption of the client is in the shipped German and Dutch files.
TEST_F(LanguageTable, ShippedTranslationsCoverEveryCaption) {
    for (const char *name : {"de.lang", "nl.lang"}) {
        ASSERT_TRUE(LoadLanguage(std::string(TSC_LANGUAGES_DIR) + "/" + name)) << name;
        for (const auto &row : language::CaptionRows())
            EXPECT_TRUE(LookupTextFound(row.prefix, row.identifier, "").found)
                << name << " " << row.objectName;
        for (const auto &row : language::ServerGridHeadings())
            EXPECT_TRUE(LookupTextFound(row.prefix, row.identifier, "").found)
                << name << " " << row.objectName;
        const auto support = LookupTextFound("002", "00000056", "");
        EXPECT_TRUE(support.found);
        EXPECT_NE(support.text.find("Terminal Server"), std::string::npos)
            << "the title placeholder is expanded";
        ReleaseLanguage();
    }
}

TEST_F(LanguageTable, CaptionsApplyToControlsByObjectName) {
    ASSERT_TRUE(LoadLanguage(std::string(TSC_LANGUAGES_DIR) + "/de.lang"));
    QWidget window;
    auto *tabs = new QTabWidget(&window);
    auto *page = new QWidget;
    page->setObjectName("TabSheet_Support");
    tabs->addTab(page, "Support");
    auto *connect = new QPushButton("Connect", &window);
    connect->setObjectName("bn_Connect");
    auto *unknown = new QLabel("stays", &window);
    unknown->setObjectName("Label_NotInTheTable");
    auto *label = new QLabel("Username:", &window);
    label->setObjectName("Label_userName");
    language::ApplyCaptionRows(&window, [](std::string_view p, std::string_view i, std::string_view d) {
        return LookupText(p, i, d);
    });
    EXPECT_EQ(connect->text(), "Verbinden");
    EXPECT_EQ(label->text(), "Benutzername:");
    EXPECT_EQ(tabs->tabText(0), "Support");
    EXPECT_EQ(unknown->text(), "stays");

    language::ApplyFont(&window, {"DejaVu Sans", 0x000000FF, 0, 1});
    EXPECT_EQ(window.font().family(), "DejaVu Sans");
    EXPECT_TRUE(window.font().bold());
    EXPECT_GT(window.font().pointSize(), 0) << "a size of 0 is ignored";
    EXPECT_EQ(window.palette().color(QPalette::WindowText), QColor(255, 0, 0));
}

TEST_F(LanguageTable, ImagesThatAreNoImageLeaveTheGraphicAsItWas) {
    QPixmap pixmap(4, 4);
    const std::vector<std::uint8_t> junk(100, 0x42);
    EXPECT_FALSE(language::LoadImage(junk, pixmap));
    EXPECT_FALSE(language::LoadImage({}, pixmap));
    EXPECT_EQ(pixmap.size(), QSize(4, 4));
    std::ifstream file(std::string(TSC_LANGUAGES_SOURCE_DIR) + "/branded/logo.png", std::ios::binary);
    const std::vector<std::uint8_t> logo{std::istreambuf_iterator<char>(file), {}};
    EXPECT_TRUE(language::LoadImage(logo, pixmap));
    EXPECT_EQ(pixmap.size(), QSize(300, 60));
}

int main(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
