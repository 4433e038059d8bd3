#pragma once

// How the client fits into the desktop session it is started in: the toolkit
// platform it runs on, its application id, and the scaling of its windows. Applied
// by main() around the creation of the application object; the lines it has to say
// reach the log once the log is open (TakeDesktopLogLines).

#include <string>
#include <string_view>
#include <vector>

namespace tsc::shell {

// The seamless colour key, the self-placed session windows and the navigation bar
// are X11 designs: on a Wayland desktop the client runs through Xwayland unless the
// user chose a platform (QT_QPA_PLATFORM) or there is no X display to run on.
struct ToolkitPlatformChoice {
    std::string platform; // the platform to ask the toolkit for; empty: the toolkit's own choice
    std::string logLine;  // empty: nothing to say
    bool warning = false;
};
[[nodiscard]] ToolkitPlatformChoice ChooseToolkitPlatform(std::string_view chosenPlatform,
                                                          std::string_view waylandDisplay,
                                                          std::string_view sessionType,
                                                          std::string_view x11Display);

// Before the application object exists: the platform, and the toolkit's scaling.
void PrepareDesktopIntegration();
// Once the application object exists: the application id (the desktop entry's name),
// and the environment as the user left it, for the processes the client starts.
void FinishDesktopIntegration();

struct DesktopLogLine {
    std::string text;
    bool warning = false;
};
// What the preparation has to say, once.
[[nodiscard]] std::vector<DesktopLogLine> TakeDesktopLogLines();

} // namespace tsc::shell
