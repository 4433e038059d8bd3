#include "FileDescriptors.h"

#include <QRegularExpression>
#include <QtEndian>

#include <algorithm>
#include <array>

namespace tsc::clipboard {

namespace {

// Descriptor flags and attributes of the protocol (those of the Windows shell).
constexpr std::uint32_t HasAttributes = 0x00000004;
constexpr std::uint32_t HasWriteTime = 0x00000020;
constexpr std::uint32_t HasFileSize = 0x00000040;
constexpr std::uint32_t ShowProgress = 0x00004000;
constexpr std::uint32_t AttributeDirectory = 0x00000010;
constexpr std::uint32_t AttributeNormal = 0x00000080;

// Where the fields lie in a descriptor.
constexpr std::size_t FlagsAt = 0;
constexpr std::size_t AttributesAt = 36;
constexpr std::size_t WriteTimeAt = 56;
constexpr std::size_t SizeHighAt = 64;
constexpr std::size_t SizeLowAt = 68;
constexpr std::size_t NameAt = 72;
constexpr std::size_t NameUnits = 260;

// 100-nanosecond steps from 1601-01-01 to 1970-01-01.
constexpr std::int64_t EpochDifference = 116444736000000000LL;
constexpr std::size_t PartBytesLimit = 255; // a name part as the file system takes it

bool IsDeviceName(const QString &part) {
    static const std::array<QString, 4> Plain = {QStringLiteral("CON"), QStringLiteral("PRN"),
                                                 QStringLiteral("AUX"), QStringLiteral("NUL")};
    // A device keeps its meaning with an extension ("nul.txt") and trailing blanks.
    QString base = part.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    if (std::find(Plain.begin(), Plain.end(), base) != Plain.end()) return true;
    if (base == QLatin1String("CONIN$") || base == QLatin1String("CONOUT$")) return true;
    if (base.size() == 4 && (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))))
        return base.at(3) >= QLatin1Char('0') && base.at(3) <= QLatin1Char('9');
    return false;
}

} // namespace

QString RemoteNameProblem(const QString &name) {
    if (name.isEmpty()) return QStringLiteral("an empty name");
    for (qsizetype index = 0; index < name.size(); ++index) {
        const char16_t unit = name.at(index).unicode();
        if (unit < 0x20 || (unit >= 0x7F && unit < 0xA0)) return QStringLiteral("a control character");
        if (QChar::isHighSurrogate(unit) && index + 1 < name.size() &&
            QChar::isLowSurrogate(name.at(index + 1).unicode())) {
            ++index;
            continue;
        }
        if (QChar::isSurrogate(unit)) return QStringLiteral("broken UTF-16");
    }
    if (name.startsWith(QLatin1Char('\\')) || name.startsWith(QLatin1Char('/')))
        return QStringLiteral("an absolute name");
    if (name.contains(QLatin1Char(':'))) return QStringLiteral("a drive letter or stream name");
    const QStringList parts = name.split(QRegularExpression(QStringLiteral("[\\\\/]")));
    if (parts.size() > MaximumFolderDepth) return QStringLiteral("too many folders");
    for (const QString &part : parts) {
        if (part.isEmpty()) return QStringLiteral("an empty part");
        if (part == QLatin1String(".") || part == QLatin1String(".."))
            return QStringLiteral("a part that leaves the folder");
        if (IsDeviceName(part)) return QStringLiteral("a device name");
        if (static_cast<std::size_t>(part.toUtf8().size()) > PartBytesLimit)
            return QStringLiteral("a part too long");
    }
    return {};
}

FileListReading ReadFileGroupDescriptor(const std::uint8_t *data, std::size_t size) {
    FileListReading reading;
    if (!data || size < 4) {
        reading.problem = QStringLiteral("no count");
        return reading;
    }
    const std::uint32_t count = qFromLittleEndian<quint32>(data);
    if (count > MaximumFileCount) {
        reading.problem = QStringLiteral("%1 entries, more than %2").arg(count).arg(MaximumFileCount);
        return reading;
    }
    if ((size - 4) / FileDescriptorBytes < count) {
        reading.problem = QStringLiteral("%1 entries in %2 bytes").arg(count).arg(size);
        return reading;
    }
    for (std::uint32_t index = 0; index < count; ++index) {
        const std::uint8_t *entry = data + 4 + std::size_t{index} * FileDescriptorBytes;
        std::u16string units;
        bool closed = false;
        for (std::size_t unit = 0; unit < NameUnits; ++unit) {
            const char16_t value = qFromLittleEndian<quint16>(entry + NameAt + 2 * unit);
            if (value == 0) {
                closed = true;
                break;
            }
            units.push_back(value);
        }
        const QString name = QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
        const QString problem = closed ? RemoteNameProblem(name) : QStringLiteral("a name without its end");
        if (!problem.isEmpty()) {
            reading.refusals
                << QStringLiteral("entry %1 of %2 refused: %3").arg(index + 1).arg(count).arg(problem);
            continue;
        }
        const std::uint32_t flags = qFromLittleEndian<quint32>(entry + FlagsAt);
        FileDescriptor file;
        file.listIndex = index;
        file.name = name;
        file.name.replace(QLatin1Char('\\'), QLatin1Char('/'));
        file.directory = (flags & HasAttributes) &&
                         (qFromLittleEndian<quint32>(entry + AttributesAt) & AttributeDirectory);
        if (flags & HasFileSize)
            file.size = (std::uint64_t{qFromLittleEndian<quint32>(entry + SizeHighAt)} << 32) |
                        qFromLittleEndian<quint32>(entry + SizeLowAt);
        const auto ticks = static_cast<std::int64_t>(qFromLittleEndian<quint64>(entry + WriteTimeAt));
        if ((flags & HasWriteTime) && ticks >= EpochDifference)
            file.writeTimeMs = (ticks - EpochDifference) / 10000;
        reading.files.push_back(std::move(file));
    }
    return reading;
}

QByteArray BuildFileGroupDescriptor(const std::vector<FileDescriptor> &files) {
    QByteArray out(4, '\0');
    std::uint32_t count = 0;
    for (const FileDescriptor &file : files) {
        QString name = file.name;
        name.replace(QLatin1Char('/'), QLatin1Char('\\'));
        if (name.isEmpty() || name.size() >= static_cast<qsizetype>(NameUnits) || count == MaximumFileCount)
            continue;
        QByteArray entry(static_cast<qsizetype>(FileDescriptorBytes), '\0');
        auto *bytes = reinterpret_cast<std::uint8_t *>(entry.data());
        std::uint32_t flags = HasAttributes | ShowProgress;
        qToLittleEndian<quint32>(file.directory ? AttributeDirectory : AttributeNormal, bytes + AttributesAt);
        if (file.size && !file.directory) {
            flags |= HasFileSize;
            qToLittleEndian<quint32>(static_cast<quint32>(*file.size >> 32), bytes + SizeHighAt);
            qToLittleEndian<quint32>(static_cast<quint32>(*file.size), bytes + SizeLowAt);
        }
        if (file.writeTimeMs && *file.writeTimeMs >= 0) {
            flags |= HasWriteTime;
            qToLittleEndian<quint64>(static_cast<quint64>(*file.writeTimeMs * 10000 + EpochDifference),
                                     bytes + WriteTimeAt);
        }
        qToLittleEndian<quint32>(flags, bytes + FlagsAt);
        for (qsizetype unit = 0; unit < name.size(); ++unit)
            qToLittleEndian<quint16>(name.at(unit).unicode(), bytes + NameAt + 2 * unit);
        out += entry;
        ++count;
    }
    qToLittleEndian<quint32>(count, reinterpret_cast<std::uint8_t *>(out.data()));
    return out;
}

} // namespace tsc::clipboard
