// What a server puts on the shared clipboard: its format lists (ids and names) and
// its data responses (text, "HTML Format", bitmaps), read the way the clipboard
// channel reads them.

#include "ClipboardData.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    using namespace tsc::clipboard;
    // Text responses as they come.
    const QByteArray unicode = UnicodeTextToUtf8(data, size);
    const QByteArray ansi = AnsiTextToUtf8(data, size);
    // Back the other way: what the client sends stays closed by one NUL.
    const QByteArray wire = Utf8ToUnicodeText(unicode);
    if (wire.size() < 2 || wire.at(wire.size() - 1) != 0 || wire.at(wire.size() - 2) != 0) __builtin_trap();
    (void)ansi;
    // A local copy that is not UTF-8 is sent as text all the same, and the session's
    // text read back and sent again is the same text.
    const QByteArray local =
        Utf8ToUnicodeText(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    if (local.size() < 2 || local.size() % 2 != 0 || local.at(local.size() - 1) != 0) __builtin_trap();
    const QByteArray back = UnicodeTextToUtf8(reinterpret_cast<const std::uint8_t *>(local.constData()),
                                              static_cast<std::size_t>(local.size()));
    if (Utf8ToUnicodeText(back) != local) __builtin_trap();
    // HTML comes from inside the data, and a bitmap only as a readable PNG.
    if (HtmlFromHtmlFormat(data, size).size() > static_cast<qsizetype>(size)) __builtin_trap();
    const QByteArray png = PngFromDib(data, size);
    if (!png.isEmpty() && !png.startsWith("\x89PNG")) __builtin_trap();

    // A format list: records of a 4-byte id, a 1-byte name length and the name.
    std::vector<WireFormat> formats;
    std::size_t offset = 0;
    while (offset + 5 <= size) {
        WireFormat format;
        std::memcpy(&format.id, data + offset, 4);
        const std::size_t length = data[offset + 4];
        offset += 5;
        const std::size_t taken = length < size - offset ? length : size - offset;
        format.name.assign(reinterpret_cast<const char *>(data + offset), taken);
        offset += taken;
        formats.push_back(std::move(format));
    }
    const FormatListReading reading = ReadServerFormatList(formats);
    for (const QChar character : reading.logText)
        if (character.unicode() < 0x20 || character.unicode() >= 0x7F) __builtin_trap();
    return 0;
}
