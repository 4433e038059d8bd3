#include "SessionPictures.h"

#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QPixmap>

namespace tsc {

QIcon ThemePicture(const char *themeName, const char *ownName) {
    QIcon own;
    for (const int size : {16, 32, 48}) {
        const QString file =
            QStringLiteral(":/sessionpictures/%1-%2.png").arg(QLatin1String(ownName)).arg(size);
        // Not every picture comes in every size; a reader of a missing resource warns.
        if (!QFile::exists(file)) continue;
        // Read as PNG and nothing else: a reader left to find the format itself asks
        // every image plug-in installed, loading each into the process for good.
        QImageReader reader(file, "png");
        reader.setAutoDetectImageFormat(false);
        const QImage picture = reader.read();
        if (!picture.isNull()) own.addPixmap(QPixmap::fromImage(picture));
    }
    return QIcon::fromTheme(QLatin1String(themeName), own);
}

QIcon SessionWindowIcon() {
    const QIcon application = QGuiApplication::windowIcon();
    if (!application.isNull()) return application;
    return ThemePicture("preferences-desktop-remote-desktop", "session");
}

} // namespace tsc
