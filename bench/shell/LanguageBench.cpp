// The language table: loading it from the shared block as a later client does,
// against reading and inflating the file as the first client does; the lookup of
// the last key of a table holding the whole caption table (a linear scan); and
// applying every caption to a window of named controls.
#include "CaptionApplier.h"
#include "CaptionTable.h"
#include "Language.h"

#include <QApplication>
#include <QLabel>
#include <QSharedMemory>
#include <QTabWidget>
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

using namespace tsc;

namespace {

// A table with every key of the client and a last key after them.
std::string CaptionTableText() {
    std::string text = "// every caption\n";
    for (const auto &key : language::AllCaptionKeys())
        text += key.key + ":" + key.text + " (translated)\n";
    text += "004-00099999:the last key\n";
    return text;
}

struct Environment {
    std::string root, languageFile;
    Environment() {
        char pattern[] = "/tmp/tsc-language-bench-XXXXXX";
        root = ::mkdtemp(pattern);
        for (const char *folder : {"/tmp", "/config", "/home/user"})
            std::filesystem::create_directories(root + folder);
        ::setenv("TMPDIR", (root + "/tmp").c_str(), 1);
        ::setenv("XDG_CONFIG_DIRS", (root + "/config").c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root + "/home/user/.config").c_str(), 1);
        ::setenv("HOME", (root + "/home/user").c_str(), 1);
        language::FileContents contents;
        contents.text = CaptionTableText();
        contents.firstImage.assign(8000, 0x5A);
        contents.secondImage.assign(16000, 0xA5);
        const auto bytes = language::BuildFile(contents);
        languageFile = root + "/client.lang";
        std::ofstream(languageFile, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes->data()),
                   static_cast<std::streamsize>(bytes->size()));
        (void)shell::RegisterLanguage(languageFile);
    }
    ~Environment() { std::filesystem::remove_all(root); }
};

Environment &TheEnvironment() {
    static Environment environment;
    return environment;
}

void LoadLanguageFromFile(benchmark::State &state) {
    const std::string path = TheEnvironment().languageFile;
    for (auto _ : state) {
        benchmark::DoNotOptimize(shell::LoadLanguage(path));
        shell::ReleaseLanguage();
    }
    state.SetLabel("read, inflate, digest, publish");
}
BENCHMARK(LoadLanguageFromFile)->Unit(benchmark::kMicrosecond);

void LoadLanguageFromSharedMemory(benchmark::State &state) {
    (void)shell::LoadLanguage(TheEnvironment().languageFile);
    QSharedMemory firstClient; // keeps the block alive like the first client does
    firstClient.setNativeKey(QString::fromStdString(shell::SharedBlockKey()));
    if (!firstClient.attach(QSharedMemory::ReadOnly)) state.SkipWithError("no shared block");
    shell::ReleaseLanguage();
    for (auto _ : state) {
        if (!shell::LoadLanguage("") ||
            shell::CurrentLanguageOrigin() != shell::LanguageOrigin::SharedMemory) {
            std::string why = "not from shared memory:";
            for (const auto &line : shell::TakeLanguageLogLines())
                why += " " + line;
            state.SkipWithError(why.c_str());
            break;
        }
        shell::ReleaseLanguage();
    }
    (void)shell::TakeLanguageLogLines();
    state.SetLabel("map, copy, digest, compare with the registered file's header");
}
BENCHMARK(LoadLanguageFromSharedMemory)->Unit(benchmark::kMicrosecond);

void LookupTextOfTheLastKey(benchmark::State &state) {
    (void)shell::LoadLanguage(TheEnvironment().languageFile);
    for (auto _ : state)
        benchmark::DoNotOptimize(shell::LookupText("004", "00099999", "default"));
    state.SetLabel(std::to_string(language::AllCaptionKeys().size() + 1) + " keys");
    shell::ReleaseLanguage();
}
BENCHMARK(LookupTextOfTheLastKey);

void ApplyCaptions(benchmark::State &state) {
    (void)shell::LoadLanguage(TheEnvironment().languageFile);
    QWidget window;
    auto *tabs = new QTabWidget(&window);
    for (const auto &row : language::CaptionRows()) {
        QWidget *control = nullptr;
        if (std::string_view(row.objectName).starts_with("TabSheet_")) {
            control = new QWidget;
            tabs->addTab(control, row.defaultText);
        } else {
            control = new QLabel(row.defaultText, &window);
        }
        control->setObjectName(row.objectName);
    }
    for (auto _ : state)
        language::ApplyCaptionRows(&window, [](std::string_view p, std::string_view i, std::string_view d) {
            return shell::LookupText(p, i, d);
        });
    state.SetLabel(std::to_string(language::CaptionRows().size()) + " controls");
    shell::ReleaseLanguage();
}
BENCHMARK(ApplyCaptions)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    TheEnvironment();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
