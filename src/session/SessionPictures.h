#pragma once

// Pictures of the session windows: from the desktop's icon theme where it has them,
// else our own, compiled in (pictures/, a Qt resource) for machines without a theme.

#include <QIcon>

namespace tsc {

// The theme's icon `themeName`, else our picture `ownName` (pictures/<ownName>-<size>.png).
[[nodiscard]] QIcon ThemePicture(const char *themeName, const char *ownName);

// The icon of a session window: the application's when it has one, else a remote
// desktop icon of the theme or our own. The shell may give it to the whole
// application (QApplication::setWindowIcon).
[[nodiscard]] QIcon SessionWindowIcon();

} // namespace tsc
