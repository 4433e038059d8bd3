#include "ClipboardData.h"

#include <QtEndian>

#include <algorithm>

namespace tsc::clipboard {

namespace {

constexpr std::size_t LoggedNameLimit = 40;
constexpr std::size_t LoggedFormatLimit = 24;

QString StandardName(std::uint32_t id) {
    switch (id) {
    case FormatText:
        return QStringLiteral("CF_TEXT");
    case FormatOemText:
        return QStringLiteral("CF_OEMTEXT");
    case FormatUnicodeText:
        return QStringLiteral("CF_UNICODETEXT");
    default:
        return {};
    }
}

// A server's format name as the log shows it: printable ASCII, short.
QString LoggableName(const std::string &name) {
    QString text;
    for (const char character : name) {
        if (static_cast<std::size_t>(text.size()) == LoggedNameLimit) {
            text += QStringLiteral("...");
            break;
        }
        const auto byte = static_cast<unsigned char>(character);
        text += byte >= 0x20 && byte < 0x7F ? QChar(byte) : QChar('?');
    }
    return text;
}

QString LogTextOf(const std::vector<WireFormat> &formats) {
    QStringList parts;
    for (const WireFormat &format : formats) {
        if (static_cast<std::size_t>(parts.size()) == LoggedFormatLimit) {
            parts << QStringLiteral("and %1 more").arg(formats.size() - LoggedFormatLimit);
            break;
        }
        QString name = format.name.empty() ? StandardName(format.id) : LoggableName(format.name);
        parts << (name.isEmpty() ? QString::number(format.id)
                                 : QStringLiteral("%1 \"%2\"").arg(format.id).arg(name));
    }
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

const WireFormat *Find(const std::vector<WireFormat> &formats, std::uint32_t id) {
    const auto found = std::find_if(formats.begin(), formats.end(),
                                    [id](const WireFormat &format) { return format.id == id; });
    return found == formats.end() ? nullptr : &*found;
}

} // namespace

FormatListReading ReadServerFormatList(const std::vector<WireFormat> &formats) {
    FormatListReading reading;
    if (formats.size() > MaximumFormatCount) {
        reading.refused = true;
        reading.logText = QStringLiteral("%1 formats").arg(formats.size());
        return reading;
    }
    reading.logText = LogTextOf(formats);
    // Text: Unicode when the server has it; the ANSI text of older servers otherwise.
    if (Find(formats, FormatUnicodeText))
        reading.offered.push_back({QString::fromLatin1(ClipboardMime::Text), FormatUnicodeText});
    else if (Find(formats, FormatText))
        reading.offered.push_back({QString::fromLatin1(ClipboardMime::Text), FormatText});
    return reading;
}

std::uint32_t LocalFormatIdFor(const QString &mime) {
    if (mime == QLatin1String(ClipboardMime::Text)) return FormatUnicodeText;
    return 0;
}

QString LocalMimeFor(std::uint32_t formatId) {
    if (formatId == FormatUnicodeText) return QString::fromLatin1(ClipboardMime::Text);
    return {};
}

QByteArray UnicodeTextToUtf8(const std::uint8_t *data, std::size_t size) {
    if (!data) return {};
    size = std::min(size, MaximumPayloadBytes);
    std::u16string units;
    units.reserve(size / 2);
    for (std::size_t offset = 0; offset + 1 < size; offset += 2) {
        const char16_t unit = qFromLittleEndian<quint16>(data + offset);
        if (unit == 0) break;
        units.push_back(unit);
    }
    for (std::size_t index = 0; index < units.size(); ++index) {
        const bool high = QChar::isHighSurrogate(units[index]);
        const bool low = QChar::isLowSurrogate(units[index]);
        if (high && index + 1 < units.size() && QChar::isLowSurrogate(units[index + 1]))
            ++index; // a pair
        else if (high || low)
            units[index] = 0xFFFD;
    }
    QString text = QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text.toUtf8();
}

QByteArray AnsiTextToUtf8(const std::uint8_t *data, std::size_t size) {
    if (!data) return {};
    size = std::min(size, MaximumPayloadBytes);
    const auto *bytes = reinterpret_cast<const char *>(data);
    const std::size_t length = std::find(bytes, bytes + size, '\0') - bytes;
    QString text = QString::fromLatin1(bytes, static_cast<qsizetype>(length));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text.toUtf8();
}

QByteArray Utf8ToUnicodeText(const QByteArray &utf8) {
    QString text = QString::fromUtf8(utf8);
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    // Text stops at its first NUL on the other side as well.
    const qsizetype nul = text.indexOf(QChar(0));
    if (nul >= 0) text.truncate(nul);
    QByteArray bytes(static_cast<qsizetype>((text.size() + 1) * 2), '\0');
    auto *out = reinterpret_cast<std::uint8_t *>(bytes.data());
    for (qsizetype index = 0; index < text.size(); ++index)
        qToLittleEndian<quint16>(text.at(index).unicode(), out + index * 2);
    return bytes;
}

} // namespace tsc::clipboard
