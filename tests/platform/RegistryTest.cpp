#include "Registry.h"
#include "PlatformDiagnostics.h"
#include "RegistryFormat.h"
#include "TestEnvironment.h"

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using tsc::Hive;
namespace Registry = tsc::Registry;
constexpr const char Key[] = "SOFTWARE\\TerminalServer";

class RegistryStore : public IsolatedTest {};

TEST_F(RegistryStore, HiveFilesLiveInAnAppNameIndependentFolder) {
    EXPECT_EQ(Registry::HiveFile(Hive::CurrentUser),
              Root() + "/home/user/.config/TerminalServerClient/HKEY_CURRENT_USER.reg");
    EXPECT_EQ(Registry::HiveFile(Hive::LocalMachine),
              Root() + "/config-dirs/TerminalServerClient/HKEY_LOCAL_MACHINE.reg");
}

TEST_F(RegistryStore, TypedValuesRoundTripWithWindowsSizesAndFileOrder) {
    ASSERT_TRUE(Registry::WriteString(Hive::CurrentUser, Key, "Path File for Client", "C:\\x \"q\""));
    ASSERT_TRUE(Registry::WriteDword(Hive::CurrentUser, Key, "Count", 42));
    ASSERT_TRUE(Registry::Write(Hive::CurrentUser, Key, "Blob", {tsc::RegistryType::Binary, {0, 1, 0xFF}}));
    const std::vector<std::uint8_t> multi = {'a', 0, 'b', 'c', 0, 0};
    ASSERT_TRUE(Registry::Write(Hive::CurrentUser, Key, "List", {tsc::RegistryType::MultiString, multi}));
    ASSERT_TRUE(Registry::WriteString(Hive::CurrentUser, Key, "", "default"));
    ASSERT_TRUE(Registry::WriteString(Hive::CurrentUser, Key, "Lines", "one\ntwo"));
    ASSERT_TRUE(Registry::WriteString(Hive::CurrentUser, std::string(Key) + "\\Connections\\B", "x", "1"));
    ASSERT_TRUE(Registry::WriteString(Hive::CurrentUser, std::string(Key) + "\\Connections\\A", "x", "2"));
    ASSERT_TRUE(Registry::WriteDword(Hive::CurrentUser, Key, "count", 43)); // same value, other case

    const auto text = Registry::Read(Hive::CurrentUser, "software\\terminalserver\\", "PATH FILE FOR CLIENT");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->data.size(), std::string("C:\\x \"q\"").size() + 1); // REG_SZ counts its zero
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, Key, "Path File for Client"), "C:\\x \"q\"");
    EXPECT_EQ(Registry::ReadDword(Hive::CurrentUser, Key, "Count"), 43u);
    EXPECT_EQ(Registry::Read(Hive::CurrentUser, Key, "Blob")->data, (std::vector<std::uint8_t>{0, 1, 0xFF}));
    EXPECT_EQ(Registry::Read(Hive::CurrentUser, Key, "List")->data, multi);
    EXPECT_EQ(Registry::ReadMultiString(Hive::CurrentUser, Key, "List"),
              (std::vector<std::string>{"a", "bc"}));
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, Key, ""), "default");
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, Key, "Lines"), "one\ntwo");
    EXPECT_FALSE(Registry::ReadDword(Hive::CurrentUser, Key, "Path File for Client")); // other type
    EXPECT_FALSE(Registry::ReadString(Hive::LocalMachine, Key, "Count"));              // other hive

    EXPECT_EQ(Registry::ValueNames(Hive::CurrentUser, Key),
              (std::vector<std::string>{"Path File for Client", "Count", "Blob", "List", "", "Lines"}));
    EXPECT_EQ(Registry::Subkeys(Hive::CurrentUser, Key + std::string("\\Connections")),
              (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(Registry::Subkeys(Hive::CurrentUser, "SOFTWARE"), (std::vector<std::string>{"TerminalServer"}));

    EXPECT_TRUE(Registry::DeleteValue(Hive::CurrentUser, Key, "BLOB"));
    EXPECT_FALSE(Registry::Read(Hive::CurrentUser, Key, "Blob"));

    const std::string file = ReadFile(Registry::HiveFile(Hive::CurrentUser));
    EXPECT_EQ(file.substr(0, 9), "REGEDIT4\n");
    EXPECT_NE(file.find("[HKEY_CURRENT_USER\\SOFTWARE\\TerminalServer]\n"
                        "\"Path File for Client\"=\"C:\\\\x \\\"q\\\"\"\n\"Count\"=dword:0000002b\n"
                        "\"List\"=hex(7):61,00,62,63,00,00\n@=\"default\"\n\"Lines\"=hex(1):"),
              std::string::npos)
        << file;
    // Replaced by rename: no temporary file stays behind.
    for (const auto &entry :
         std::filesystem::directory_iterator(Root() + "/home/user/.config/TerminalServerClient"))
        EXPECT_TRUE(entry.path().extension() == ".reg" || entry.path().extension() == ".lock")
            << entry.path();
}

TEST_F(RegistryStore, ReadsWhatAnAdministratorWrote) {
    WriteFile(Registry::HiveFile(Hive::LocalMachine),
              "REGEDIT4\r\n\r\n; edited by hand\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\TerminalServer]\r\n"
              "\"Transparancy color\" = dword:FF\r\n\"Long\"=hex:01,02,\\\r\n  03,04\r\n");
    EXPECT_EQ(Registry::ReadDword(Hive::LocalMachine, Key, "Transparancy color"), 0xFFu);
    EXPECT_EQ(Registry::Read(Hive::LocalMachine, Key, "Long")->data, (std::vector<std::uint8_t>{1, 2, 3, 4}));
}

TEST_F(RegistryStore, DamagedHiveIsKeptAsideAndReported) {
    const std::string hive = Registry::HiveFile(Hive::CurrentUser);
    const std::string damaged = "REGEDIT4\n[HKEY_CURRENT_USER\\SOFTWARE\\TerminalServer]\n\"a\"=dword:zz\n";
    WriteFile(hive, damaged);
    (void)tsc::TakePlatformDiagnostics();
    EXPECT_FALSE(Registry::ReadDword(Hive::CurrentUser, Key, "a"));
    EXPECT_FALSE(Registry::ReadDword(Hive::CurrentUser, Key, "a"));
    EXPECT_EQ(tsc::TakePlatformDiagnostics().size(), 1u); // reported once, not per read
    EXPECT_EQ(ReadFile(hive), damaged);                   // reading leaves it alone

    ASSERT_TRUE(Registry::WriteDword(Hive::CurrentUser, Key, "b", 1));
    EXPECT_EQ(Registry::ReadDword(Hive::CurrentUser, Key, "b"), 1u);
    const auto lines = tsc::TakePlatformDiagnostics();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("kept as"), std::string::npos);
    int keptFiles = 0;
    for (const auto &entry : std::filesystem::directory_iterator(std::filesystem::path(hive).parent_path()))
        if (entry.path().filename().string().find(".damaged-") != std::string::npos) {
            ++keptFiles;
            EXPECT_EQ(ReadFile(entry.path()), damaged);
        }
    EXPECT_EQ(keptFiles, 1);
}

TEST(RegistryFormat, RejectsWhatIsNotAHiveOfThisRoot) {
    using namespace std::string_literals;
    const std::string bad[] = {
        "REGEDIT5\n",
        "REGEDIT4\n\"a\"=\"outside a key\"\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n",
        "REGEDIT4\n[HKEY_CURRENT_USERX]\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"unterminated\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"a\"=dword:123456789\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"a\"=hex:1,2\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"\\n\"\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\X]\n\"a\"=\"\0\"\n"s,
    };
    for (const auto &text : bad)
        EXPECT_FALSE(tsc::detail::ParseRegistryText(text, "HKEY_CURRENT_USER")) << text;
    EXPECT_FALSE(tsc::detail::ParseRegistryText(std::string(tsc::detail::MaximumHiveFileSize + 1, '\n'),
                                                "HKEY_CURRENT_USER"));
    EXPECT_TRUE(tsc::detail::ParseRegistryText("", "HKEY_CURRENT_USER"));
}

TEST_F(RegistryStore, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int ValuesPerProcess = 40;
    std::vector<pid_t> children;
    for (int process = 0; process < 2; ++process) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool ok = true;
            for (int index = 0; index < ValuesPerProcess; ++index)
                ok = Registry::WriteDword(Hive::CurrentUser, Key,
                                          "p" + std::to_string(process) + "_" + std::to_string(index),
                                          static_cast<std::uint32_t>(index)) &&
                     ok;
            ::_exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(Registry::ValueNames(Hive::CurrentUser, Key).size(), 2u * ValuesPerProcess);
    EXPECT_EQ(Registry::ReadDword(Hive::CurrentUser, Key, "p1_39"), 39u);
}

TEST_F(RegistryStore, UnwritableHiveOrUnstorableNameFailsTheWrite) {
    EXPECT_FALSE(Registry::WriteString(Hive::CurrentUser, Key, "bad\nname", "x"));
    EXPECT_FALSE(Registry::WriteString(Hive::CurrentUser, "SOFTWARE\\\\Empty", "x", "x"));
    SetVariable("XDG_CONFIG_DIRS", "/proc/tsc-not-writable"); // not writable even for root
    EXPECT_FALSE(Registry::WriteDword(Hive::LocalMachine, Key, "x", 1));
}

} // namespace

namespace {

// Keys and values named again (in any letter case) merge into the first one, the
// later value winning, in file order; hex lists continue over many lines.
TEST(RegistryFormat, RepeatedNamesMergeInFileOrder) {
    std::string text = "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"x\"=\"1\"\n[HKEY_CURRENT_USER\\B]\n\"y\"=\"2\"\n"
                       "[hkey_current_user\\a]\n\"X\"=\"3\"\n\"z\"=hex:01,\\\n";
    for (int line = 0; line < 1000; ++line)
        text += "  02,\\\n";
    text += "  03\n";
    const auto hive = tsc::detail::ParseRegistryText(text, "HKEY_CURRENT_USER");
    ASSERT_TRUE(hive);
    ASSERT_EQ(hive->keys.size(), 2u);
    EXPECT_EQ(hive->keys[0].path, "A");
    ASSERT_EQ(hive->keys[0].values.size(), 2u);
    EXPECT_EQ(hive->keys[0].values[0].first, "x");
    EXPECT_EQ(hive->keys[0].values[0].second.data, (std::vector<std::uint8_t>{'3', 0}));
    EXPECT_EQ(hive->keys[0].values[1].second.data.size(), 1002u);
    EXPECT_EQ(hive->keys[1].path, "B");
}

// The parsed hive is reused while the file stays as it is, and a change made by
// another process or by hand is seen at the next read.
TEST_F(RegistryStore, ReadsSeeEveryChangeOfTheFile) {
    ASSERT_TRUE(Registry::WriteString(Hive::CurrentUser, Key, "v", "1"));
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, Key, "v"), "1");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(Registry::WriteString(Hive::CurrentUser, Key, "v", "2") ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, Key, "v"), "2");
    // Edited in place, same size.
    const std::string hive = Registry::HiveFile(Hive::CurrentUser);
    std::string text = ReadFile(hive);
    text.replace(text.find("\"v\"=\"2\""), 7, "\"v\"=\"3\"");
    WriteFile(hive, text);
    EXPECT_EQ(Registry::ReadString(Hive::CurrentUser, Key, "v"), "3");
    std::filesystem::remove(hive);
    EXPECT_FALSE(Registry::ReadString(Hive::CurrentUser, Key, "v"));
}

} // namespace
