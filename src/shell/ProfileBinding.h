#pragma once

// Which control or field of the main window holds each value of a connection
// profile. The profile code works on a ProfileSettings; these functions move one
// between the window and the profile, in one place.

#include "ProfileSettings.h"

namespace tsc::shell {

class Tform_Win32RDPClient;

// What the settings controls and the window's fields hold now.
[[nodiscard]] profiles::ProfileSettings CollectProfileSettings(const Tform_Win32RDPClient &window);

// Puts what ReadProfile left in settings into the controls and fields, together with
// what reading a profile does to the window: the RDP+ controls and page, the
// settings panels of a read-only profile, the pages hidden by HideSettings, the
// load-balancing controls, and the desktop size handling run once.
void ApplyReadProfileSettings(Tform_Win32RDPClient &window, const profiles::ProfileSettings &settings);

// What writing a profile does to the window: "Other Farm" shown exactly while load
// balancing is on, the first-time farm prompt hidden while it is off.
void ShowLoadBalancingControls(Tform_Win32RDPClient &window);

} // namespace tsc::shell
