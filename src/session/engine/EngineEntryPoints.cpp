// The two symbols the client resolves after loading the engine library.

#include "FreeRdpControl.h"

#include <freerdp/freerdp.h>

#include <new>
#include <string>

extern "C" __attribute__((visibility("default"))) tsc::RdpControl *tsc_rdpengine_create_control() {
    return new (std::nothrow) tsc::engine::FreeRdpControl();
}

// The protocol library's version as four numbers, the last always 0.
extern "C" __attribute__((visibility("default"))) const char *tsc_rdpengine_version() {
    static const std::string version = [] {
        int major = 0;
        int minor = 0;
        int revision = 0;
        freerdp_get_version(&major, &minor, &revision);
        return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(revision) + ".0";
    }();
    return version.c_str();
}
