// The client's start-up up to its first paint, as the client's own entry runs it.
#include "Application.h"
#include "FirstPaint.h"
#include "MainWindow.h"

int main(int argc, char **argv) {
    if (!qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING")) qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    FirstPaintProbe probe;
    tsc::shell::MainWindow window;
    window.installEventFilter(&probe);
    window.show();
    application.exec();
    (void)argc;
    return 0;
}
