#pragma once

// Applies the caption table to a window whose controls carry the table's object
// names: labels, buttons and check boxes get their text, a tab page its tab's
// caption. The default of each lookup is what the control shows now.

#include "CaptionTable.h"
#include "LanguageFormat.h"

#include <cstdint>
#include <span>

class QPixmap;
class QWidget;

namespace tsc::language {

// The current caption of the control `objectName` below `window`; empty when there
// is no such control.
[[nodiscard]] std::string CurrentCaption(QWidget *window, std::string_view objectName);
// Sets the caption of the control; false when there is no such control.
bool SetCaption(QWidget *window, std::string_view objectName, std::string_view text);

// Every row of the caption table, in table order.
void ApplyCaptionRows(QWidget *window, const LookupFunction &lookup);

// The table's font on `window`: its name, and its size (1 to 100 points), style bits
// and colour (0x00BBGGRR) where they are set. A font of another size is ignored.
void ApplyFont(QWidget *window, const FontFace &font);

// Reads an image of the table; false, with `pixmap` as it was, when the bytes are no
// image Qt can read.
bool LoadImage(std::span<const std::uint8_t> bytes, QPixmap &pixmap);

} // namespace tsc::language
