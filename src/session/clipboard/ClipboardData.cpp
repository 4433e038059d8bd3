#include "ClipboardData.h"

#include <QBuffer>
#include <QImage>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <string_view>

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
    case FormatDib:
        return QStringLiteral("CF_DIB");
    case FormatDibV5:
        return QStringLiteral("CF_DIBV5");
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

const WireFormat *FindNamed(const std::vector<WireFormat> &formats, const char *name) {
    const auto found = std::find_if(formats.begin(), formats.end(),
                                    [name](const WireFormat &format) { return format.name == name; });
    return found == formats.end() ? nullptr : &*found;
}

// The value of "Key:" in the header of "HTML Format": a decimal offset, -1 when the
// key is missing or its value is no offset.
long long HeaderOffset(std::string_view header, std::string_view key) {
    std::size_t at = 0;
    while ((at = header.find(key, at)) != std::string_view::npos) {
        if (at == 0 || header[at - 1] == '\n' || header[at - 1] == '\r') break;
        ++at;
    }
    if (at == std::string_view::npos || at + key.size() >= header.size() || header[at + key.size()] != ':')
        return -1;
    long long value = 0;
    std::size_t digits = 0;
    for (std::size_t index = at + key.size() + 1; index < header.size() && digits < 12; ++index, ++digits) {
        const char character = header[index];
        if (character < '0' || character > '9') break;
        value = value * 10 + (character - '0');
    }
    return digits == 0 ? -1 : value;
}

std::uint32_t Read32(const std::uint8_t *data) {
    return qFromLittleEndian<quint32>(data);
}

std::uint16_t Read16(const std::uint8_t *data) {
    return qFromLittleEndian<quint16>(data);
}

// The size of the header, colours and masks before a bitmap's rows, or 0 when the
// header is not one this client reads or the rows do not fit in `size`.
std::size_t DibPixelOffset(const std::uint8_t *data, std::size_t size) {
    if (!data || size < 40) return 0;
    const std::uint32_t headerSize = Read32(data);
    if ((headerSize != 40 && headerSize != 108 && headerSize != 124) || headerSize > size) return 0;
    const auto width = static_cast<std::int32_t>(Read32(data + 4));
    const auto signedHeight = static_cast<std::int32_t>(Read32(data + 8));
    const std::int64_t height = signedHeight < 0 ? -std::int64_t{signedHeight} : signedHeight;
    const std::uint16_t planes = Read16(data + 12);
    const std::uint16_t bits = Read16(data + 14);
    const std::uint32_t compression = Read32(data + 16);
    const std::uint32_t coloursUsed = Read32(data + 32);
    if (width <= 0 || height <= 0 || std::int64_t{width} * height > MaximumPicturePixels || planes != 1)
        return 0;
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32) return 0;
    constexpr std::uint32_t Rgb = 0;
    constexpr std::uint32_t BitFields = 3;
    if (compression != Rgb && !(compression == BitFields && (bits == 16 || bits == 32))) return 0;
    std::uint64_t colours = coloursUsed;
    if (bits <= 8) {
        if (colours == 0) colours = 1u << bits;
        if (colours > (1u << bits)) return 0;
    } else if (colours > 256) {
        return 0;
    }
    std::uint64_t offset = headerSize + colours * 4;
    if (compression == BitFields && headerSize == 40) offset += 12;
    const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bits + 31) / 32 * 4;
    if (offset + stride * static_cast<std::uint64_t>(height) > size) return 0;
    return static_cast<std::size_t>(offset);
}

// The bytes of a code point in UTF-8, and the code point written there.
std::size_t Utf8Length(char32_t point) {
    return point < 0x80 ? 1 : point < 0x800 ? 2 : point < 0x10000 ? 3 : 4;
}

char *WriteUtf8(char32_t point, char *out) {
    const auto byte = [](char32_t value) { return static_cast<char>(static_cast<unsigned char>(value)); };
    if (point < 0x80) {
        *out++ = byte(point);
    } else if (point < 0x800) {
        *out++ = byte(0xC0 | (point >> 6));
        *out++ = byte(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        *out++ = byte(0xE0 | (point >> 12));
        *out++ = byte(0x80 | ((point >> 6) & 0x3F));
        *out++ = byte(0x80 | (point & 0x3F));
    } else {
        *out++ = byte(0xF0 | (point >> 18));
        *out++ = byte(0x80 | ((point >> 12) & 0x3F));
        *out++ = byte(0x80 | ((point >> 6) & 0x3F));
        *out++ = byte(0x80 | (point & 0x3F));
    }
    return out;
}

// UTF-8 of the code points `walk` gives to the function it is called with: counted
// first, then written in a second walk into a buffer of exactly that size.
template <typename Walk> QByteArray Utf8Of(const Walk &walk) {
    std::size_t length = 0;
    walk([&length](char32_t point) { length += Utf8Length(point); });
    QByteArray utf8(static_cast<qsizetype>(length), Qt::Uninitialized);
    char *out = utf8.data();
    walk([&out](char32_t point) { out = WriteUtf8(point, out); });
    return utf8;
}

struct DecodedUtf8 {
    char32_t point = 0;
    std::size_t length = 1;
};

// The code point of UTF-8 at `at` (before `end`) and its bytes. Bytes that do not
// begin a well-formed sequence (overlong, a surrogate, past U+10FFFF, cut short) are
// one U+FFFD for their longest well-formed beginning, at least one byte.
DecodedUtf8 DecodeUtf8(const unsigned char *at, const unsigned char *end) {
    const unsigned char lead = *at;
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t point = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;  // no overlong forms
        if (lead == 0xED) high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07;
        if (lead == 0xF0) low = 0x90;  // no overlong forms
        if (lead == 0xF4) high = 0x8F; // nothing past U+10FFFF
    } else {
        return {0xFFFD, 1};
    }
    for (std::size_t index = 1; index < length; ++index) {
        if (at + index == end || at[index] < low || at[index] > high) return {0xFFFD, index};
        point = (point << 6) | (at[index] & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {point, length};
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
    if (const WireFormat *html = FindNamed(formats, HtmlFormatName))
        reading.offered.push_back({QString::fromLatin1(ClipboardMime::Html), html->id});
    // A picture: as PNG when the server has it so, else from its bitmap. The plain
    // bitmap comes first: every server that lists a picture answers for it (xrdp lists
    // CF_DIBV5 as well but refuses to send it).
    if (const WireFormat *png = FindNamed(formats, PngFormatName))
        reading.offered.push_back({QString::fromLatin1(ClipboardMime::Png), png->id});
    else if (Find(formats, FormatDib))
        reading.offered.push_back({QString::fromLatin1(ClipboardMime::Png), FormatDib});
    else if (Find(formats, FormatDibV5))
        reading.offered.push_back({QString::fromLatin1(ClipboardMime::Png), FormatDibV5});
    if (const WireFormat *files = FindNamed(formats, FileGroupDescriptorName))
        reading.offered.push_back({QString::fromLatin1(ClipboardMime::FileList), files->id});
    return reading;
}

std::uint32_t LocalFormatIdFor(const QString &mime) {
    if (mime == QLatin1String(ClipboardMime::Text)) return FormatUnicodeText;
    if (mime == QLatin1String(ClipboardMime::Html)) return LocalHtmlFormatId;
    if (mime == QLatin1String(ClipboardMime::Bmp)) return FormatDib;
    if (mime == QLatin1String(ClipboardMime::FileList)) return LocalFileGroupDescriptorId;
    return 0;
}

const char *LocalFormatNameFor(std::uint32_t formatId) {
    if (formatId == LocalHtmlFormatId) return HtmlFormatName;
    if (formatId == LocalFileGroupDescriptorId) return FileGroupDescriptorName;
    return nullptr;
}

QString LocalMimeFor(std::uint32_t formatId) {
    if (formatId == FormatUnicodeText) return QString::fromLatin1(ClipboardMime::Text);
    if (formatId == LocalHtmlFormatId) return QString::fromLatin1(ClipboardMime::Html);
    if (formatId == FormatDib) return QString::fromLatin1(ClipboardMime::Bmp);
    if (formatId == LocalFileGroupDescriptorId) return QString::fromLatin1(ClipboardMime::FileList);
    return {};
}

QByteArray UnicodeTextToUtf8(const std::uint8_t *data, std::size_t size) {
    if (!data) return {};
    const std::size_t units = std::min(size, MaximumPayloadBytes) / 2; // an odd last byte is dropped
    const auto unitAt = [data](std::size_t index) -> char16_t {
        return qFromLittleEndian<quint16>(data + index * 2);
    };
    const auto walk = [&](auto &&put) {
        for (std::size_t index = 0; index < units; ++index) {
            const char16_t unit = unitAt(index);
            if (unit == 0) break;
            if (unit == u'\r' && index + 1 < units && unitAt(index + 1) == u'\n')
                continue; // "\r\n": the "\n"
            char32_t point = unit;
            if (QChar::isHighSurrogate(unit) && index + 1 < units && QChar::isLowSurrogate(unitAt(index + 1)))
                point = QChar::surrogateToUcs4(unit, unitAt(++index));
            else if (QChar::isSurrogate(unit))
                point = 0xFFFD;
            put(point);
        }
    };
    return Utf8Of(walk);
}

QByteArray AnsiTextToUtf8(const std::uint8_t *data, std::size_t size) {
    if (!data) return {};
    size = std::min(size, MaximumPayloadBytes);
    const std::size_t end = static_cast<std::size_t>(std::find(data, data + size, 0) - data);
    const auto walk = [&](auto &&put) {
        for (std::size_t index = 0; index < end; ++index)
            if (data[index] != '\r' || index + 1 == end || data[index + 1] != '\n')
                put(char32_t{data[index]});
    };
    return Utf8Of(walk);
}

QByteArray Utf8ToUnicodeText(const QByteArray &utf8) {
    const auto *begin = reinterpret_cast<const unsigned char *>(utf8.constData());
    const auto *end = begin + utf8.size();
    // Counted first, then written into a buffer of exactly that size: the text is held
    // once here, whatever its line ends and characters.
    const auto walk = [&](auto &&put) {
        for (const unsigned char *at = begin; at < end;) {
            const DecodedUtf8 decoded = DecodeUtf8(at, end);
            at += decoded.length;
            const char32_t point = decoded.point;
            if (point == 0) break; // text stops at its first NUL on the other side as well
            if (point == U'\r' || point == U'\n') {
                if (point == U'\r' && at < end && *at == '\n') ++at;
                put(u'\r');
                put(u'\n');
            } else if (point > 0xFFFF) {
                put(QChar::highSurrogate(point));
                put(QChar::lowSurrogate(point));
            } else {
                put(static_cast<char16_t>(point));
            }
        }
    };
    std::size_t units = 1; // the closing NUL
    walk([&units](char16_t) { ++units; });
    QByteArray wire(static_cast<qsizetype>(units * 2), Qt::Uninitialized);
    auto *out = reinterpret_cast<std::uint8_t *>(wire.data());
    walk([&out](char16_t unit) {
        qToLittleEndian<quint16>(unit, out);
        out += 2;
    });
    out[0] = 0;
    out[1] = 0;
    return wire;
}

QByteArray Utf8OfText(QStringView text) {
    const auto walk = [&](auto &&put) {
        for (qsizetype index = 0; index < text.size(); ++index) {
            const char16_t unit = text[index].unicode();
            char32_t point = unit;
            if (QChar::isHighSurrogate(unit) && index + 1 < text.size() && text[index + 1].isLowSurrogate())
                point = QChar::surrogateToUcs4(unit, text[++index].unicode());
            else if (QChar::isSurrogate(unit))
                point = 0xFFFD;
            put(point);
        }
    };
    return Utf8Of(walk);
}

QByteArray HtmlFromHtmlFormat(const std::uint8_t *data, std::size_t size) {
    if (!data) return {};
    size = std::min(size, MaximumPayloadBytes);
    const auto *bytes = reinterpret_cast<const char *>(data);
    size = static_cast<std::size_t>(std::find(bytes, bytes + size, '\0') - bytes); // ends at a NUL
    const std::string_view text(bytes, size);
    const std::string_view header = text.substr(0, std::min<std::size_t>(size, 512));
    const auto inside = [size](long long start, long long end) {
        return start >= 0 && end >= start && static_cast<unsigned long long>(end) <= size;
    };
    long long start = HeaderOffset(header, "StartHTML");
    long long end = HeaderOffset(header, "EndHTML");
    if (!inside(start, end)) {
        start = HeaderOffset(header, "StartFragment");
        end = HeaderOffset(header, "EndFragment");
        if (!inside(start, end)) return {};
    }
    return QByteArray(bytes + start, static_cast<qsizetype>(end - start));
}

QByteArray HtmlFormatFromHtml(const QByteArray &html) {
    static constexpr char Prefix[] = "<html><body>\r\n<!--StartFragment-->";
    static constexpr char Suffix[] = "<!--EndFragment-->\r\n</body></html>";
    const auto number = [](qsizetype value) { return QByteArray::number(value).rightJustified(10, '0'); };
    const qsizetype headerSize = QByteArray("Version:0.9\r\nStartHTML:0000000000\r\nEndHTML:0000000000\r\n"
                                            "StartFragment:0000000000\r\nEndFragment:0000000000\r\n")
                                     .size();
    const qsizetype startHtml = headerSize;
    const qsizetype startFragment = startHtml + static_cast<qsizetype>(sizeof(Prefix) - 1);
    const qsizetype endFragment = startFragment + html.size();
    const qsizetype endHtml = endFragment + static_cast<qsizetype>(sizeof(Suffix) - 1);
    QByteArray out;
    out.reserve(endHtml + 1);
    out += "Version:0.9\r\nStartHTML:" + number(startHtml) + "\r\nEndHTML:" + number(endHtml) +
           "\r\nStartFragment:" + number(startFragment) + "\r\nEndFragment:" + number(endFragment) + "\r\n";
    out += Prefix;
    out += html;
    out += Suffix;
    out += '\0';
    return out;
}

namespace {

// A BMP file read by the picture decoder: the file header made here, then the bitmap
// read where it lies, so a large bitmap is not copied once more before decoding.
class BmpFileDevice final : public QIODevice {
  public:
    BmpFileDevice(const std::uint8_t *dib, std::size_t size, std::size_t pixelOffset)
        : dib_(reinterpret_cast<const char *>(dib)), size_(static_cast<qint64>(size)) {
        header_[0] = 'B';
        header_[1] = 'M';
        qToLittleEndian<quint32>(static_cast<quint32>(14 + size), header_ + 2);
        qToLittleEndian<quint32>(static_cast<quint32>(14 + pixelOffset), header_ + 10);
    }
    qint64 size() const override { return HeaderSize + size_; }

  protected:
    qint64 readData(char *data, qint64 maximum) override {
        qint64 done = 0;
        for (qint64 at = pos(); done < maximum && at < size(); at = pos() + done) {
            const bool inHeader = at < HeaderSize;
            const char *from = inHeader ? header_ + at : dib_ + (at - HeaderSize);
            const qint64 left = inHeader ? HeaderSize - at : size() - at;
            const qint64 count = std::min(left, maximum - done);
            std::memcpy(data + done, from, static_cast<std::size_t>(count));
            done += count;
        }
        return done;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

  private:
    static constexpr qint64 HeaderSize = 14;
    char header_[HeaderSize] = {};
    const char *dib_;
    qint64 size_;
};

} // namespace

QByteArray PngFromDib(const std::uint8_t *data, std::size_t size) {
    const std::size_t pixelOffset = DibPixelOffset(data, size);
    if (pixelOffset == 0) return {};
    // A BMP file is the bitmap behind a file header that says where the rows begin.
    BmpFileDevice file(data, size, pixelOffset);
    file.open(QIODevice::ReadOnly);
    QImage image;
    if (!image.load(&file, "BMP") || image.isNull()) return {};
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) return {};
    return png;
}

qsizetype DibOffsetInBmpFile(const QByteArray &bmp) {
    if (bmp.size() <= 14 || bmp.at(0) != 'B' || bmp.at(1) != 'M') return 0;
    const auto *dib = reinterpret_cast<const std::uint8_t *>(bmp.constData()) + 14;
    const auto size = static_cast<std::size_t>(bmp.size() - 14);
    const std::size_t pixelOffset = DibPixelOffset(dib, size);
    // The rows must follow the header directly, as CF_DIB has them.
    if (pixelOffset == 0 || qFromLittleEndian<quint32>(bmp.constData() + 10) != 14 + pixelOffset) return 0;
    return 14;
}

QByteArray DibFromBmpFile(const QByteArray &bmp) {
    const qsizetype offset = DibOffsetInBmpFile(bmp);
    return offset > 0 ? bmp.mid(offset) : QByteArray();
}

} // namespace tsc::clipboard
