// Stands in for the client where a test starts a versioned copy: writes the path it
// runs from and its arguments, one per line, to the file named by
// TSC_FAKE_CLIENT_RECORD. Carries the version block like the client.

#include "SystemInfo.h"

#include <cstdlib>
#include <fstream>

int main(int argc, char **argv) {
    const char *record = std::getenv("TSC_FAKE_CLIENT_RECORD");
    if (!record) return 1;
    std::ofstream stream(std::string(record) + ".part");
    stream << tsc::ExecutablePath() << '\n';
    for (int index = 1; index < argc; ++index)
        stream << argv[index] << '\n';
    stream.close();
    std::rename((std::string(record) + ".part").c_str(), record);
    return 0;
}
