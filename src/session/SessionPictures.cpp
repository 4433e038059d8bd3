#include "SessionPictures.h"

#include <QFile>
#include <QGuiApplication>

namespace tsc {

QIcon ThemePicture(const char *themeName, const char *ownName) {
    QIcon own;
    for (const int size : {16, 32, 48}) {
        const QString file =
            QStringLiteral(":/sessionpictures/%1-%2.png").arg(QLatin1String(ownName)).arg(size);
        if (QFile::exists(file)) own.addFile(file, QSize(size, size));
    }
    return QIcon::fromTheme(QLatin1String(themeName), own);
}

QIcon SessionWindowIcon() {
    const QIcon application = QGuiApplication::windowIcon();
    if (!application.isNull()) return application;
    return ThemePicture("preferences-desktop-remote-desktop", "session");
}

} // namespace tsc
