#include "BuildConfig.h"

#include <cstdio>

// Until the main window exists the program reports its version.
int main() {
    std::printf("Terminal Server Client %s\n", tsc::build::DottedVersion);
    return 0;
}
