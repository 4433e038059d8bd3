// The reference: a minimal Qt Widgets program showing an empty window.
#include "FirstPaint.h"

#include <QApplication>

int main(int argc, char **argv) {
    QApplication application(argc, argv);
    FirstPaintProbe probe;
    QWidget window;
    window.resize(452, 583);
    window.installEventFilter(&probe);
    window.show();
    return application.exec();
}
