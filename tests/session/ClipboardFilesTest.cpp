// File lists on the shared clipboard: the descriptors a server sends and their names,
// and the local file system's side (listing, ranges, writing files from a session).

#include "ClipboardFiles.h"
#include "FileDescriptors.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tsc::clipboard {
namespace {

// One descriptor as a server sends it: flags, attributes, write time, size, name.
QByteArray Descriptor(const std::u16string &name, std::uint32_t flags = 0x4064,
                      std::uint32_t attributes = 0x80, std::uint64_t size = 5, bool closeName = true) {
    QByteArray entry(static_cast<qsizetype>(FileDescriptorBytes), '\0');
    auto *bytes = reinterpret_cast<std::uint8_t *>(entry.data());
    qToLittleEndian<quint32>(flags, bytes);
    qToLittleEndian<quint32>(attributes, bytes + 36);
    qToLittleEndian<quint64>(116444736000000000ULL + 10000ULL * 1700000000123ULL, bytes + 56);
    qToLittleEndian<quint32>(static_cast<quint32>(size >> 32), bytes + 64);
    qToLittleEndian<quint32>(static_cast<quint32>(size), bytes + 68);
    const std::size_t units = closeName ? std::min<std::size_t>(name.size(), 259) : 260;
    for (std::size_t unit = 0; unit < units; ++unit)
        qToLittleEndian<quint16>(unit < name.size() ? name[unit] : u'x', bytes + 72 + 2 * unit);
    return entry;
}

QByteArray List(const std::vector<QByteArray> &entries, std::uint32_t count) {
    QByteArray out(4, '\0');
    qToLittleEndian<quint32>(count, reinterpret_cast<std::uint8_t *>(out.data()));
    for (const QByteArray &entry : entries)
        out += entry;
    return out;
}

FileListReading Read(const QByteArray &bytes) {
    return ReadFileGroupDescriptor(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                                   static_cast<std::size_t>(bytes.size()));
}

TEST(FileDescriptors, NamesThatCouldLeaveTheFolderAreRefused) {
    struct Case {
        QString name;
        bool taken;
    };
    const Case cases[] = {
        {"report.txt", true},
        {"dir\\sub\\file", true},
        {"caf\u00e9 \u65e5\u672c.txt", true},
        {"..hidden..", true},
        {"COM10", true},
        {"", false},
        {"..", false},
        {"..\\evil", false},
        {"../evil", false},
        {"dir\\..\\..\\evil", false},
        {"dir/./file", false},
        {"\\root", false},
        {"/etc/passwd", false},
        {"C:\\Windows\\x", false},
        {"C:x", false},
        {"file:stream", false},
        {"dir\\\\file", false},
        {"dir\\", false},
        {"NUL", false},
        {"con.txt", false},
        {"dir\\lpt1", false},
        {"a\nb", false},
        {"a\x1b[31m", false},
        {QString(QChar(0xD800)) + "x", false},
        {QString(300, 'a'), false},
        {QString("a\\").repeated(MaximumFolderDepth) + "f", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(RemoteNameProblem(c.name).isEmpty(), c.taken) << c.name.toStdString();
}

TEST(FileDescriptors, ListsAreReadByCountAndEveryRefusalIsOneLineWithoutTheName) {
    // A list built here reads back the same.
    std::vector<FileDescriptor> files(3);
    files[0].name = "folder";
    files[0].directory = true;
    files[1].name = "folder/inner.bin";
    files[1].size = 0x123456789ULL;
    files[1].writeTimeMs = 1700000000123;
    files[2].name = "top.txt";
    files[2].size = 0;
    const QByteArray built = BuildFileGroupDescriptor(files);
    ASSERT_EQ(built.size(), 4 + 3 * 592);
    const FileListReading back = Read(built);
    ASSERT_TRUE(back.problem.isEmpty());
    ASSERT_EQ(back.files.size(), 3u);
    EXPECT_TRUE(back.files[0].directory);
    EXPECT_FALSE(back.files[0].size.has_value());
    EXPECT_EQ(back.files[1].name, "folder/inner.bin");
    EXPECT_EQ(back.files[1].size, 0x123456789ULL);
    EXPECT_EQ(back.files[1].writeTimeMs, 1700000000123);
    EXPECT_EQ(back.files[2].listIndex, 2u);

    // Bad entries are left out, the good ones keep their place in the list.
    const FileListReading mixed = Read(List(
        {Descriptor(u"..\\secret-name"), Descriptor(u"ok.txt"), Descriptor(u"x", 0x4064, 0x80, 5, false)},
        3));
    ASSERT_EQ(mixed.files.size(), 1u);
    EXPECT_EQ(mixed.files[0].name, "ok.txt");
    EXPECT_EQ(mixed.files[0].listIndex, 1u);
    EXPECT_EQ(mixed.files[0].size, 5u);
    ASSERT_EQ(mixed.refusals.size(), 2);
    EXPECT_EQ(mixed.refusals[0], "entry 1 of 3 refused: a part that leaves the folder");
    EXPECT_EQ(mixed.refusals[1], "entry 3 of 3 refused: a name without its end");
    // Without the size flag there is no size, whatever the field holds.
    EXPECT_FALSE(Read(List({Descriptor(u"a", 0x4004)}, 1)).files[0].size.has_value());

    // A count the data does not hold, or beyond the limit, refuses the whole list.
    for (const QByteArray &bad : {List({Descriptor(u"a")}, 2), List({}, MaximumFileCount + 1),
                                  QByteArray("\1\0", 2), List({Descriptor(u"a")}, 1).chopped(1)})
        EXPECT_FALSE(Read(bad).problem.isEmpty()) << bad.size();
    EXPECT_TRUE(Read(List({}, 0)).files.empty());
}

TEST(ClipboardFiles, LocalFilesAreListedWithoutFollowingLinksOutOfTheChosenItems) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QDir root(home.path());
    ASSERT_TRUE(root.mkpath("chosen/sub") && root.mkpath("outside"));
    for (const char *name : {"chosen/a.txt", "chosen/sub/b.txt", "outside/secret", "single.txt"}) {
        QFile file(root.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("hello");
    }
    ASSERT_EQ(symlink(root.filePath("outside").toUtf8().constData(),
                      root.filePath("chosen/link").toUtf8().constData()),
              0);
    ASSERT_EQ(mkfifo(root.filePath("chosen/pipe").toUtf8().constData(), 0600), 0);
    ASSERT_EQ(symlink(root.filePath("single.txt").toUtf8().constData(),
                      root.filePath("chosen-link").toUtf8().constData()),
              0);

    const QByteArray uris = "copy\nfile://" + root.filePath("chosen").toUtf8() +
                            "/\n# note\nhttp://host/x\nfile://" + root.filePath("chosen-link").toUtf8() +
                            "\n";
    const QStringList paths = LocalPathsFromUriList(uris);
    ASSERT_EQ(paths.size(), 2) << paths.join(",").toStdString();
    const LocalFileList list = CollectLocalFiles(paths);
    QStringList names;
    for (const LocalFile &file : list.files)
        names << file.descriptor.name + (file.descriptor.directory ? "/" : "");
    // The link and the pipe inside the folder are left out; the chosen link is taken.
    EXPECT_EQ(names,
              QStringList({"chosen/", "chosen/a.txt", "chosen/sub/", "chosen/sub/b.txt", "chosen-link"}));
    EXPECT_EQ(list.leftOut, 2);
    EXPECT_EQ(list.files[1].descriptor.size, 5u);

    // Ranges: only what is asked, fewer at the end, nothing for a pipe or a link.
    const std::string a = list.files[1].path;
    EXPECT_EQ(ReadLocalRange(a, 1, 3), QByteArray("ell"));
    EXPECT_EQ(ReadLocalRange(a, 3, 100), QByteArray("lo"));
    EXPECT_EQ(ReadLocalRange(a, 99, 10), QByteArray());
    EXPECT_EQ(LocalFileSize(a), 5u);
    EXPECT_FALSE(ReadLocalRange(root.filePath("chosen/pipe").toStdString(), 0, 4));
    EXPECT_FALSE(LocalFileSize(root.filePath("chosen/link").toStdString()));
}

TEST(ClipboardFiles, FilesFromTheSessionAreCreatedNewPrivateAndNeverThroughALink) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QDir root(home.path());
    ASSERT_TRUE(root.mkpath("target") && root.mkpath("elsewhere"));
    const QString target = root.filePath("target");
    ASSERT_EQ(chmod(target.toUtf8().constData(), 0700), 0);
    ASSERT_EQ(
        symlink(root.filePath("elsewhere").toUtf8().constData(), (target + "/planted").toUtf8().constData()),
        0);

    std::optional<FileReceiver> receiver = FileReceiver::Open(target);
    ASSERT_TRUE(receiver);
    ASSERT_TRUE(receiver->MakeFolder("docs/deep"));
    ASSERT_TRUE(receiver->Create("docs/deep/a.txt"));
    ASSERT_TRUE(receiver->Write(reinterpret_cast<const std::uint8_t *>("abc"), 3));
    ASSERT_TRUE(receiver->Finish(1700000000000));
    struct stat info {};
    ASSERT_EQ(stat((target + "/docs/deep/a.txt").toUtf8().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(info.st_mtim.tv_sec, 1700000000);
    ASSERT_EQ(stat((target + "/docs").toUtf8().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // An existing file is not replaced; a planted link is not gone through.
    EXPECT_FALSE(receiver->Create("docs/deep/a.txt"));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(receiver->Create("planted/x"));
    EXPECT_FALSE(receiver->MakeFolder("planted/y"));
    EXPECT_TRUE(QDir(root.filePath("elsewhere")).isEmpty());
    // A file given up is removed.
    ASSERT_TRUE(receiver->Create("partial.bin"));
    receiver->Abandon();
    EXPECT_FALSE(QFile::exists(target + "/partial.bin"));

    // Only a folder the user alone may write takes files.
    ASSERT_EQ(chmod(target.toUtf8().constData(), 0777), 0);
    EXPECT_FALSE(ReceivingFolderProblem(target).isEmpty());
    EXPECT_FALSE(FileReceiver::Open(target));
    EXPECT_FALSE(ReceivingFolderProblem(target + "/docs/deep/a.txt").isEmpty());
    EXPECT_FALSE(ReceivingFolderProblem(root.filePath("missing")).isEmpty());
}

} // namespace
} // namespace tsc::clipboard
