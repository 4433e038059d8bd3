#include "CaptionApplier.h"

#include <QAbstractButton>
#include <QLabel>
#include <QPixmap>
#include <QTabWidget>
#include <QWidget>

namespace tsc::language {

namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QWidget *Find(QWidget *window, std::string_view objectName) {
    const QString name = Q(objectName);
    if (window->objectName() == name) return window;
    return window->findChild<QWidget *>(name);
}

// A tab page's caption is its tab's text in the tab widget that holds it.
QTabWidget *TabWidgetOf(QWidget *page, int &index) {
    for (QWidget *parent = page->parentWidget(); parent; parent = parent->parentWidget()) {
        if (auto *tabs = qobject_cast<QTabWidget *>(parent)) {
            index = tabs->indexOf(page);
            return index >= 0 ? tabs : nullptr;
        }
    }
    return nullptr;
}

} // namespace

std::string CurrentCaption(QWidget *window, std::string_view objectName) {
    QWidget *control = Find(window, objectName);
    if (!control) return {};
    int index = -1;
    if (auto *label = qobject_cast<QLabel *>(control)) return label->text().toStdString();
    if (auto *button = qobject_cast<QAbstractButton *>(control)) return button->text().toStdString();
    if (QTabWidget *tabs = TabWidgetOf(control, index)) return tabs->tabText(index).toStdString();
    return control->windowTitle().toStdString();
}

bool SetCaption(QWidget *window, std::string_view objectName, std::string_view text) {
    QWidget *control = Find(window, objectName);
    if (!control) return false;
    int index = -1;
    if (auto *label = qobject_cast<QLabel *>(control))
        label->setText(Q(text));
    else if (auto *button = qobject_cast<QAbstractButton *>(control))
        button->setText(Q(text));
    else if (QTabWidget *tabs = TabWidgetOf(control, index))
        tabs->setTabText(index, Q(text));
    else
        control->setWindowTitle(Q(text));
    return true;
}

void ApplyCaptionRows(QWidget *window, const LookupFunction &lookup) {
    const auto captions = ResolveCaptions(
        [window](std::string_view objectName) { return CurrentCaption(window, objectName); }, lookup);
    for (const ResolvedCaption &caption : captions)
        SetCaption(window, caption.objectName, caption.text);
}

void ApplyFont(QWidget *window, const FontFace &font) {
    QFont windowFont = window->font();
    windowFont.setFamily(QString::fromLatin1(font.name.data(), static_cast<qsizetype>(font.name.size())));
    if (font.pointSize >= 1 && font.pointSize <= 100)
        windowFont.setPointSize(static_cast<int>(font.pointSize));
    windowFont.setBold(font.style & 1);
    windowFont.setItalic(font.style & 2);
    windowFont.setUnderline(font.style & 4);
    windowFont.setStrikeOut(font.style & 8);
    window->setFont(windowFont);
    QPalette palette = window->palette();
    palette.setColor(QPalette::WindowText,
                     QColor(static_cast<int>(font.colour & 0xFF), static_cast<int>((font.colour >> 8) & 0xFF),
                            static_cast<int>((font.colour >> 16) & 0xFF)));
    window->setPalette(palette);
}

bool LoadImage(std::span<const std::uint8_t> bytes, QPixmap &pixmap) {
    if (bytes.empty()) return false;
    QPixmap loaded;
    if (!loaded.loadFromData(bytes.data(), static_cast<uint>(bytes.size()))) return false;
    pixmap = loaded;
    return true;
}

} // namespace tsc::language
