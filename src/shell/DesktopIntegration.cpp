#include "DesktopIntegration.h"

#include "BuildConfig.h"

#include <QGuiApplication>
#include <QString>

#include <utility>

namespace tsc::shell {

namespace {

std::vector<DesktopLogLine> pendingLines;
bool platformChosenHere = false;

std::string Variable(const char *name) {
    return qEnvironmentVariable(name).toStdString();
}

} // namespace

ToolkitPlatformChoice ChooseToolkitPlatform(std::string_view chosenPlatform, std::string_view waylandDisplay,
                                            std::string_view sessionType, std::string_view x11Display) {
    if (!chosenPlatform.empty()) return {};
    if (waylandDisplay.empty() && sessionType != "wayland") return {};
    if (x11Display.empty())
        return {{},
                "Wayland session without an X display: the client runs on Wayland; seamless display and the "
                "placement of the session windows need Xwayland",
                true};
    return {"xcb", "Wayland session: the client runs on Xwayland (QT_QPA_PLATFORM chooses otherwise)", false};
}

void PrepareDesktopIntegration() {
    const ToolkitPlatformChoice choice =
        ChooseToolkitPlatform(Variable("QT_QPA_PLATFORM"), Variable("WAYLAND_DISPLAY"),
                              Variable("XDG_SESSION_TYPE"), Variable("DISPLAY"));
    if (!choice.platform.empty()) {
        qputenv("QT_QPA_PLATFORM", QByteArray::fromStdString(choice.platform));
        platformChosenHere = true;
    }
    if (!choice.logLine.empty()) pendingLines.push_back({choice.logLine, choice.warning});

    // Up to 1.75 times 96 pixels per inch the windows count in the screen's pixels,
    // as the page height rule does: the fonts follow the resolution, the window's
    // design does not need to. From 1.75 on the toolkit scales everything (spacing,
    // check boxes, pictures) by a whole factor, so a 2x screen shows the pages as a
    // 1x screen does, twice as large; the session still gets the screen's pixels.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::RoundPreferFloor);
}

void FinishDesktopIntegration() {
    // The application id of a Wayland window, and the desktop file properties of an
    // X11 one: the desktop finds the entry's icon and groups the windows with it.
    QGuiApplication::setDesktopFileName(QString::fromLatin1(build::AppId));
    if (platformChosenHere) qunsetenv("QT_QPA_PLATFORM");
}

std::vector<DesktopLogLine> TakeDesktopLogLines() {
    return std::exchange(pendingLines, {});
}

} // namespace tsc::shell
