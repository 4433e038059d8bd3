// A connection folder of 5,000 profiles: listing the folder and filling the list on
// the Connections page and the drop-down, as a folder change or a rename does.
#include "Application.h"
#include "MainWindow.h"
#include "Preferences.h"

#include <QComboBox>
#include <QListWidget>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr int Profiles = 5000;

tsc::shell::MainWindow *window = nullptr;

void FillConnectionListsOf5000Profiles(benchmark::State &state) {
    for (auto _ : state)
        window->Core().FillConnectionLists("");
    if (window->listbox_FolderMultipleConnectionsRDPFiles->count() != Profiles ||
        window->cmbx_FolderMultipleConnectionsRDPFiles->count() != Profiles)
        state.SkipWithError("the lists do not hold every profile");
    state.SetLabel("5000 profiles, both lists filled");
}
BENCHMARK(FillConnectionListsOf5000Profiles)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QTemporaryDir root;
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CONFIG_DIRS"})
        ::setenv(name, (root.path() + "/" + name).toLocal8Bit().constData(), 1);
    ::setenv("HOME", root.path().toLocal8Bit().constData(), 1);
    ::setenv("TMPDIR", root.path().toLocal8Bit().constData(), 1);
    const std::string folder = (root.path() + "/connections").toStdString();
    std::filesystem::create_directories(folder);
    for (int n = 0; n < Profiles; ++n) {
        const std::string name = folder + "/Connection " + std::to_string(n * 7919 % Profiles);
        std::ofstream(name + ".rdp") << "full address:s:127.0.0.1\r\n";
        std::ofstream(name + ".tsv_farm_v001c003.txt") << "x";
    }
    tsc::shell::WriteConnectionUsage(true, folder);
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    tsc::shell::MainWindow main;
    window = &main;
    main.show();
    ::benchmark::Initialize(&argc, argv);
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
