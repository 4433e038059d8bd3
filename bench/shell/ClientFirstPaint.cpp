// The client's start-up up to its first paint, as the client's own entry runs it.
#include "Application.h"
#include "DesktopIntegration.h"
#include "FirstPaint.h"
#include "MainWindow.h"

int main(int argc, char **argv) {
    tsc::shell::PrepareDesktopIntegration();
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    tsc::shell::FinishDesktopIntegration();
    FirstPaintProbe probe;
    tsc::shell::MainWindow window;
    window.installEventFilter(&probe);
    window.show();
    application.exec();
    (void)argc;
    return 0;
}
