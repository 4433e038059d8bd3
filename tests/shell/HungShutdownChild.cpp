// A client whose shutdown never finishes: after the close request it stays in a
// wait loop that keeps handling window messages, like a wait for the network.
// Only Timer_AutoClose can end it.

#include "Application.h"
#include "MainWindow.h"

#include <QThread>
#include <QTimer>

int main(int, char **argv) {
    int applicationArgc = 1;
    tsc::shell::Application application(applicationArgc, argv);
    tsc::shell::MainWindow window;
    window.show();
    QTimer::singleShot(0, &window, [&window] {
        window.close();
        window.Core().StartAutoClose();
        for (;;) {
            QCoreApplication::processEvents();
            QThread::msleep(20);
        }
    });
    application.exec();
    return 3; // never reached while the wait loop holds
}
