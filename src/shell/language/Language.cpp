#include "Language.h"

#include "Identity.h"
#include "Registry.h"
#include "SharedMemoryAccess.h"
#include "SystemInfo.h"

#include <QFile>
#include <QSharedMemory>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace tsc::shell {

namespace {

using namespace tsc::language;

constexpr std::size_t MaximumRegisteredPathLength = 1023;

// The loaded table is always this process's own copy: a block another process can
// still write is copied before it is checked, so what was checked is what is used.
struct LanguageState {
    std::vector<std::uint8_t> table;
    LanguageOrigin origin = LanguageOrigin::None;
    std::unique_ptr<QSharedMemory> block; // kept attached so the block lives for later clients
    std::vector<std::string> logLines;
};

LanguageState &State() {
    static LanguageState state;
    return state;
}

void Note(std::string line) {
    State().logLines.push_back("Language: " + std::move(line));
}

std::span<const std::uint8_t> Bytes(const QByteArray &bytes) {
    return {reinterpret_cast<const std::uint8_t *>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())};
}

language::IdentityValues CurrentIdentity() {
    return {Identity::AppTitle(),        Identity::AppName(),       Identity::AppPrefix(),
            Identity::DesktopFilename(), Identity::DottedVersion(), Identity::UnderscoredVersion()};
}

std::optional<std::string> RegisteredLanguageFile() {
    auto path = Registry::ReadString(Hive::LocalMachine, TerminalServerKey, LanguageValueName);
    if (!path || path->empty() || path->size() > MaximumRegisteredPathLength) return std::nullopt;
    return path;
}

// The first bytes of a file, at most `count`.
QByteArray FileStart(const std::string &path, qint64 count) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.read(count);
}

// Looks the four identity texts up in the current table and takes the found ones.
void LookUpIdentity() {
    const std::pair<const char *, void (*)(std::string_view)> values[] = {
        {"00000002", &Identity::SetAppTitle},
        {"00000003", &Identity::SetAppName},
        {"00000004", &Identity::SetAppPrefix},
        {"00000005", &Identity::SetDesktopFilename},
    };
    const auto current = [](const char *identifier) -> std::string {
        if (std::strcmp(identifier, "00000002") == 0) return Identity::AppTitle();
        if (std::strcmp(identifier, "00000003") == 0) return Identity::AppName();
        if (std::strcmp(identifier, "00000004") == 0) return Identity::AppPrefix();
        return Identity::DesktopFilename();
    };
    for (const auto &[identifier, set] : values) {
        const LookupResult found = LookupTextFound("000", identifier, current(identifier));
        if (found.found) set(found.text);
    }
}

// Maps the shared block read-only and takes a copy of it when it is whole and is the
// table of the registered language file.
bool TakeSharedTable() {
    auto block = std::make_unique<QSharedMemory>();
    block->setNativeKey(QString::fromStdString(SharedBlockKey()));
    if (!block->attach(QSharedMemory::ReadOnly)) return false;
    const auto size = static_cast<std::size_t>(std::max<qsizetype>(0, block->size()));
    if (size < HeaderSize || size > TableSize(MaximumTextLength)) {
        Note("shared table ignored: " +
             std::string(VerdictText(size < HeaderSize ? Verdict::Truncated : Verdict::WrongSize)));
        return false;
    }
    std::vector<std::uint8_t> copy(size);
    std::memcpy(copy.data(), block->constData(), size);
    if (const Verdict verdict = CheckTable(copy); verdict != Verdict::Accepted) {
        Note("shared table ignored: " + std::string(VerdictText(verdict)));
        return false;
    }
    const auto registered = RegisteredLanguageFile();
    const QByteArray fileHeader = registered ? FileStart(*registered, HeaderSize) : QByteArray();
    if (fileHeader.size() != static_cast<qsizetype>(HeaderSize) ||
        std::memcmp(fileHeader.constData(), copy.data(), HeaderSize) != 0) {
        Note("shared table ignored: not the table of the registered language file");
        return false;
    }
    LanguageState &state = State();
    state.table = std::move(copy);
    state.origin = LanguageOrigin::SharedMemory;
    state.block = std::move(block);
    Note("table from shared memory");
    return true;
}

std::optional<std::vector<std::uint8_t>> ReadTableFromFile(const std::string &path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    const auto fileSize = static_cast<std::size_t>(std::max<qint64>(0, file.size()));
    const QByteArray start = file.read(HeaderSize);
    Header header;
    Verdict verdict = CheckFileHeader(Bytes(start), fileSize, header);
    if (verdict == Verdict::Accepted) {
        const QByteArray whole = start + file.read(static_cast<qint64>(fileSize - HeaderSize));
        if (static_cast<std::size_t>(whole.size()) != fileSize) {
            verdict = Verdict::Truncated;
        } else {
            std::vector<std::uint8_t> table(TableSize(header.textLength), 0);
            verdict = UnpackFile(Bytes(whole), header, table);
            if (verdict == Verdict::Accepted) return table;
        }
    }
    Note("language file " + path + " refused: " + std::string(VerdictText(verdict)));
    return std::nullopt;
}

// Publishes the table in the shared block for the clients that start later: in the
// block this user made before when it has the size, else in a new one that other
// users may read but not write.
void PublishTable(const std::vector<std::uint8_t> &table) {
    LanguageState &state = State();
    state.block.reset();
    auto block = std::make_unique<QSharedMemory>();
    block->setNativeKey(QString::fromStdString(SharedBlockKey()));
    const auto size = static_cast<qsizetype>(table.size());
    if (block->attach(QSharedMemory::ReadWrite)) {
        if (block->size() != size) {
            Note("table not shared: a shared block of another size exists");
            return;
        }
    } else if (!block->create(size)) {
        Note("table not shared: " + block->errorString().toStdString());
        return;
    } else if (!ShareBlockReadOnly(SharedBlockKey())) {
        Note("shared table readable for this user only");
    }
    std::memset(block->data(), 0, table.size());
    std::memcpy(block->data(), table.data(), table.size());
    state.block = std::move(block);
}

bool LoadFromFile(const std::string &path) {
    auto table = ReadTableFromFile(path);
    if (!table) return false;
    LanguageState &state = State();
    PublishTable(*table);
    state.table = std::move(*table);
    state.origin = LanguageOrigin::File;
    Note("table from file " + path);
    return true;
}

} // namespace

std::string SharedBlockKey() {
    return WithTrailingSeparator(TempFolder()) + std::string(SharedBlockName);
}

bool LoadLanguage(const std::string &path) {
    bool result = false;
    try {
        std::optional<std::string> languageFile;
        bool sharedMapped = false;
        if (!path.empty()) {
            languageFile = path;
        } else {
            // A block is taken only whole and only as the registered file's table, so
            // reading that file again would give the very same table: a table without
            // identity texts is no reason to read it.
            sharedMapped = TakeSharedTable();
            result = sharedMapped;
            if (sharedMapped)
                LookUpIdentity();
            else
                languageFile = RegisteredLanguageFile();
        }
        if (languageFile && LoadFromFile(*languageFile)) {
            result = true;
            LookUpIdentity();
        }
    } catch (...) {
    }
    return result;
}

int RegisterLanguage(const std::string &path) {
    int firstError = 0;
    const auto write = [&firstError](std::string_view key, std::string_view name, std::string_view value) {
        if (!Registry::WriteString(Hive::LocalMachine, key, name, value) && firstError == 0)
            firstError = EACCES;
    };
    write(TerminalServerKey, LanguageValueName, path);
    write(TerminalServerKey, AppNameValueName, Identity::AppName());
    write(TerminalServerKey, PrefixValueName, Identity::AppPrefix());
    write("SOFTWARE\\" + Identity::AppName(), AppNameValueName, Identity::AppName());
    return firstError;
}

void ReleaseLanguage() {
    LanguageState &state = State();
    state.block.reset();
    state.table.clear();
    state.table.shrink_to_fit();
    state.origin = LanguageOrigin::None;
}

LanguageOrigin CurrentLanguageOrigin() {
    return State().origin;
}
bool HasLanguageTable() {
    return State().origin != LanguageOrigin::None;
}

std::vector<std::string> TakeLanguageLogLines() {
    return std::exchange(State().logLines, {});
}

LookupResult LookupTextFound(std::string_view prefix, std::string_view identifier,
                             std::string_view fallback) {
    if (!HasLanguageTable()) return {std::string(fallback), false};
    LookupResult result = FindLine(TableText(State().table), prefix, identifier, fallback);
    if (!result.found) return result;
    bool prefixReset = false;
    result.text = ExpandText(result.text, CurrentIdentity(), prefixReset);
    if (prefixReset) Identity::SetAppPrefix("tsv");
    return result;
}

std::string LookupText(std::string_view prefix, std::string_view identifier, std::string_view fallback) {
    return LookupTextFound(prefix, identifier, fallback).text;
}

std::optional<FontFace> LanguageFont() {
    if (!HasLanguageTable()) return std::nullopt;
    return TableFont(State().table);
}

std::span<const std::uint8_t> LanguageFirstImage() {
    return HasLanguageTable() ? FirstImage(State().table) : std::span<const std::uint8_t>{};
}

std::span<const std::uint8_t> LanguageSecondImage() {
    return HasLanguageTable() ? SecondImage(State().table) : std::span<const std::uint8_t>{};
}

} // namespace tsc::shell
