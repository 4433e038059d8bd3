#pragma once

// Which control of the main window holds each value of a connection's settings,
// for both directions, in one place. The values no control holds (the typed desktop
// size, the command-line and read-only state, the chosen farm server) stay with the
// application core.

#include "ProfileSettings.h"

namespace tsc::shell {

class MainWindow;

// The core's settings with what the controls hold now.
[[nodiscard]] profiles::ProfileSettings CollectProfileSettings(const MainWindow &window);

// Puts the core's settings into the controls, together with what reading a profile
// does to the window: the RDP+ controls and page, the settings panels of a read-only
// profile, the pages hidden by HideSettings, the load-balancing controls, and the
// desktop size handling run once.
void ShowProfileSettings(MainWindow &window, const profiles::ProfileSettings &settings);

// What writing a profile does to the window: "Other Farm" shown exactly while load
// balancing is on, the first-time farm prompt hidden while it is off.
void ShowLoadBalancingControls(MainWindow &window);

} // namespace tsc::shell
