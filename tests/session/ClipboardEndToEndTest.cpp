// The shared clipboard against a server that really carries one: xrdp on loopback
// with an Xorg session, the session's side driven with xclip on its display, the
// client's side with xclip on the client's own Xvfb.

#include "LeakCheckBeforeExit.h"
#include "RdpEngineLibrary.h"
#include "Recorders.h"
#include "SessionClipboard.h"
#include "ShadowServer.h"
#include "XrdpServer.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QMimeData>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

namespace tsc::test {
namespace {

constexpr int ConnectTimeoutMs = 30000;
constexpr int ClipboardTimeoutMs = 15000;
constexpr char ServerAddress[] = "127.28.0.1";
constexpr quint16 ServerPort = 33928;

// What a program on the client's display pastes; handles events while it waits, as
// the client itself answers.
QByteArray PasteOnClientDisplay(const QString &target = {}, const QString &selection = "clipboard") {
    QProcess paster;
    QStringList arguments{"-selection", selection, "-o"};
    if (!target.isEmpty()) arguments << "-t" << target;
    paster.start("xclip", arguments);
    if (!paster.waitForStarted(5000)) return {};
    if (!WaitFor([&] { return paster.state() == QProcess::NotRunning; }, 8000)) {
        paster.kill();
        paster.waitForFinished(2000);
        return {};
    }
    return paster.readAllStandardOutput();
}

struct Session {
    std::unique_ptr<RdpControl> control;
    std::unique_ptr<SessionClipboard> clipboard;
    ConnectionSettings settings;
    EventRecorder events;
    LogRecorder log;

    explicit Session(bool shareClipboard) {
        QString error;
        control = RdpEngineLibrary::Instance().CreateControl(&error);
        if (!control) {
            ADD_FAILURE() << error.toStdString();
            return;
        }
        control->SetEventHandler(&events);
        control->SetLogSink(&log);
        clipboard = std::make_unique<SessionClipboard>(*control, QGuiApplication::clipboard());
        settings.server = ServerAddress;
        settings.port = ServerPort;
        settings.userName = XrdpServer::UserName().toStdString();
        settings.password = XrdpServer::Password().toStdString();
        settings.desktopWidth = 1024;
        settings.desktopHeight = 768;
        settings.colorDepth = 24;
        settings.audioMode = AudioMode::DoNotPlay;
        settings.redirectClipboard = shareClipboard;
    }
    ~Session() {
        if (!control) return;
        control->Disconnect();
        WaitFor([&] { return events.HasPrefix(QStringLiteral("Disconnected:")); }, 10000);
        clipboard.reset();
        control->SetEventHandler(nullptr);
        control->SetLogSink(nullptr);
    }
    bool Connect() { return control && control->Connect(settings); }
    std::string Trace() const {
        return events.events.join(QLatin1Char(' ')).toStdString() + "\n" + log.All();
    }
};

class ClipboardEndToEnd : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        unavailable_ = new QString(XrdpServer::Unavailable());
        if (!unavailable_->isEmpty()) return;
        server_ = new XrdpServer(ServerAddress, ServerPort);
        if (!server_->Start()) *unavailable_ = "xrdp cannot start here: " + server_->Error();
    }
    static void TearDownTestSuite() {
        delete server_;
        delete unavailable_;
        server_ = nullptr;
    }
    void SetUp() override {
        if (!unavailable_->isEmpty()) GTEST_SKIP() << unavailable_->toStdString();
    }
    // Connects and waits for the user's session on the server's side.
    static void ConnectAndWaitForSession(Session &session) {
        ASSERT_TRUE(session.Connect());
        ASSERT_TRUE(
            WaitFor([&] { return session.events.Has(QStringLiteral("Connected")); }, ConnectTimeoutMs))
            << session.Trace();
        ASSERT_TRUE(WaitFor([] { return !server_->SessionDisplay().isEmpty(); }, ConnectTimeoutMs))
            << session.Trace();
    }
    static inline QString *unavailable_ = nullptr;
    static inline XrdpServer *server_ = nullptr;
};

TEST_F(ClipboardEndToEnd, TextCopiedInTheSessionPastesHereAndTextCopiedHerePastesThere) {
    Session session(true);
    ConnectAndWaitForSession(session);

    const QByteArray remoteText = "Gr\xC3\xBC\xC3\x9F"
                                  "e \xE2\x9C\x93\nsecond line\n";
    // The session's clipboard bridge may come up a moment after the desktop: copy
    // again until the copy arrives here.
    QByteArray pasted;
    WaitFor(
        [&] {
            if (!server_->CopyInSession(remoteText)) return false;
            WaitFor([] { return false; }, 500);
            pasted = PasteOnClientDisplay();
            return pasted == remoteText;
        },
        ClipboardTimeoutMs);
    EXPECT_EQ(pasted, remoteText) << session.Trace();
    // The clipboard channel's data was counted on its way in (what a long paste waits on).
    EXPECT_GE(session.control->ClipboardBytesReceived(), static_cast<std::uint64_t>(remoteText.size()));
    // X11's selection gets it too: a middle click pastes the session's copy.
    EXPECT_EQ(PasteOnClientDisplay({}, "primary"), remoteText);

    const QString localText = QString::fromUtf8("local \xE2\x9C\x93\nline two");
    QGuiApplication::clipboard()->setText(localText);
    // The session gets the protocol's text: "\r\n" line ends, nothing after the text
    // (xrdp hands it to its X programs as it came).
    const QByteArray expected = "local \xE2\x9C\x93\r\nline two";
    QByteArray remotePasted;
    WaitFor(
        [&] {
            remotePasted = server_->PasteInSession(8000);
            return remotePasted == expected;
        },
        ClipboardTimeoutMs);
    EXPECT_EQ(remotePasted, expected) << session.Trace();

    // A mouse selection here is not the session's clipboard.
    QProcess selecter;
    selecter.start("xclip", {"-quiet", "-selection", "primary", "-i"});
    ASSERT_TRUE(selecter.waitForStarted(5000));
    selecter.write("only selected");
    selecter.closeWriteChannel();
    WaitFor([] { return false; }, 1000);
    EXPECT_EQ(server_->PasteInSession(8000), expected);
    selecter.kill();
    selecter.waitForFinished(2000);

    // Formats are logged once, contents never.
    const std::string log = session.log.All();
    EXPECT_NE(log.find("Clipboard: the session offers"), std::string::npos) << log;
    EXPECT_EQ(log.find("second line"), std::string::npos);
    EXPECT_EQ(log.find("line two"), std::string::npos);
}

// A picture of distinct pixels, and what a pasted one decodes to.
QImage TestPicture() {
    QImage picture(64, 48, QImage::Format_RGB32);
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            picture.setPixel(x, y, qRgb(x * 4, y * 5, (x + y) % 256));
    return picture;
}

QImage Decoded(const QByteArray &bytes) {
    return QImage::fromData(bytes).convertToFormat(QImage::Format_RGB32);
}

TEST_F(ClipboardEndToEnd, PicturesCrossBothWays) {
    Session session(true);
    ConnectAndWaitForSession(session);
    const QImage picture = TestPicture();
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&buffer, "BMP"));

    QImage pasted;
    WaitFor(
        [&] {
            if (!server_->CopyInSession(bmp, "image/bmp")) return false;
            WaitFor([] { return false; }, 500);
            pasted = Decoded(PasteOnClientDisplay("image/png"));
            return pasted == picture;
        },
        ClipboardTimeoutMs);
    EXPECT_EQ(pasted.size(), picture.size()) << session.Trace();
    EXPECT_TRUE(pasted == picture);

    // xrdp 0.9.21 drops the last 14 bytes of the bitmap it gets when it writes the
    // BMP file for its X programs (the picture's bottom row in the file, its top row on
    // screen): every other row must arrive as it was.
    const auto withoutTopRow = [](const QImage &image) {
        return image.copy(0, 1, image.width(), image.height() - 1);
    };
    // Copied here by this program (a picture), then by another one (a BMP file, handed
    // on as it is).
    for (const bool bmpFile : {false, true}) {
        SCOPED_TRACE(bmpFile ? "BMP file" : "picture");
        QProcess copier;
        if (bmpFile) {
            copier.start("xclip", {"-quiet", "-selection", "clipboard", "-t", "image/bmp", "-i"});
            ASSERT_TRUE(copier.waitForStarted(5000));
            copier.write(bmp);
            copier.closeWriteChannel();
        } else {
            QGuiApplication::clipboard()->setImage(picture);
        }
        QImage remote;
        WaitFor(
            [&] {
                remote = Decoded(server_->PasteInSession(8000, "image/bmp"));
                return remote.size() == picture.size() && withoutTopRow(remote) == withoutTopRow(picture);
            },
            ClipboardTimeoutMs);
        ASSERT_EQ(remote.size(), picture.size()) << session.Trace();
        EXPECT_TRUE(withoutTopRow(remote) == withoutTopRow(picture));
        copier.kill();
        copier.waitForFinished(2000);
        // The next copy must be a new one for the session.
        ASSERT_TRUE(server_->CopyInSession("between"));
        WaitFor([] { return PasteOnClientDisplay() == "between"; }, ClipboardTimeoutMs);
    }
}

TEST_F(ClipboardEndToEnd, ProfileWithoutClipboardLoadsNoChannel) {
    Session session(false);
    QGuiApplication::clipboard()->setText(QStringLiteral("stays here"));
    ConnectAndWaitForSession(session);
    ASSERT_TRUE(server_->CopyInSession("from the session"));
    WaitFor([] { return false; }, 3000);
    EXPECT_EQ(PasteOnClientDisplay(), QByteArray("stays here"));
    const std::string log = session.log.All();
    EXPECT_NE(log.find("Clipboard: not shared with this session"), std::string::npos) << log;
    EXPECT_EQ(log.find("Clipboard: the session offers"), std::string::npos) << log;
}

// Bytes that differ with their position, so a range from the wrong place shows.
QByteArray FileBytes(qsizetype size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype index = 0; index < size; ++index)
        bytes[index] = static_cast<char>((index * 31 + index / 509 + seed) & 0xFF);
    return bytes;
}

bool WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray ReadFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// xrdp 0.9.21 carries files, not folders: its list of the session's files leaves
// folders out, and it shows the session only the files of this client's list (the
// channel tests cover folders). Each direction here is two files, one of several
// ranges.
TEST_F(ClipboardEndToEnd, FilesCopiedInTheSessionGoIntoAChosenFolder) {
    Session session(true);
    ConnectAndWaitForSession(session);
    const QString remote = XrdpServer::UserHome() + "/tsc-files-out";
    QDir(remote).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(remote));
    const QByteArray big = FileBytes(3 * 1024 * 1024 + 4321, 1);
    ASSERT_TRUE(WriteFile(remote + "/big.bin", big));
    ASSERT_TRUE(WriteFile(remote + "/note.txt", "hello"));
    const QByteArray uris =
        "file://" + remote.toUtf8() + "/big.bin\nfile://" + remote.toUtf8() + "/note.txt\n";
    WaitFor(
        [&] {
            if (!server_->CopyInSession(uris, "text/uri-list")) return false;
            return WaitFor([&] { return session.clipboard->RemoteFilesOffered(); }, 1500);
        },
        ClipboardTimeoutMs);
    ASSERT_TRUE(session.clipboard->RemoteFilesOffered()) << session.Trace();

    QTemporaryDir into;
    ASSERT_TRUE(into.isValid());
    std::optional<std::pair<int, bool>> result;
    ASSERT_NE(session.clipboard->PasteRemoteFiles(into.path(),
                                                  [&](int files, bool ok) { result.emplace(files, ok); }),
              0u)
        << session.Trace();
    ASSERT_TRUE(WaitFor([&] { return result.has_value(); }, 60000)) << session.Trace();
    EXPECT_TRUE(result->second) << session.Trace();
    EXPECT_EQ(result->first, 2) << session.Trace();
    EXPECT_TRUE(ReadFile(into.filePath("big.bin")) == big) << session.Trace();
    EXPECT_EQ(ReadFile(into.filePath("note.txt")), QByteArray("hello"));
    EXPECT_EQ(QFile(into.filePath("big.bin")).permissions() & 0x0077, QFileDevice::Permissions());
    // A second paste into the same folder replaces nothing.
    WriteFile(remote + "/note.txt", "changed");
    result.reset();
    ASSERT_NE(session.clipboard->PasteRemoteFiles(into.path(),
                                                  [&](int files, bool ok) { result.emplace(files, ok); }),
              0u);
    ASSERT_TRUE(WaitFor([&] { return result.has_value(); }, 60000)) << session.Trace();
    EXPECT_EQ(*result, std::make_pair(0, false));
    EXPECT_EQ(ReadFile(into.filePath("note.txt")), QByteArray("hello"));
    const std::string log = session.log.All();
    EXPECT_EQ(log.find("note.txt"), std::string::npos) << log;
    EXPECT_NE(log.find("the folder has one of that name"), std::string::npos) << log;
    QDir(remote).removeRecursively();
}

TEST_F(ClipboardEndToEnd, FilesCopiedHereAreReadInTheSessionRangeByRange) {
    Session session(true);
    ConnectAndWaitForSession(session);
    QTemporaryDir local;
    ASSERT_TRUE(local.isValid());
    const QByteArray big = FileBytes(2 * 1024 * 1024 + 777, 2);
    ASSERT_TRUE(WriteFile(local.filePath("big.bin"), big));
    ASSERT_TRUE(WriteFile(local.filePath("top.txt"), "from here"));
    auto *data = new QMimeData;
    data->setUrls(
        {QUrl::fromLocalFile(local.filePath("big.bin")), QUrl::fromLocalFile(local.filePath("top.txt"))});
    QGuiApplication::clipboard()->setMimeData(data);

    // The session's programs see a file list; xrdp serves the files from this client.
    QByteArray list;
    WaitFor(
        [&] {
            list =
                server_->RunInSession("xclip", {"-selection", "clipboard", "-o", "-t", "text/uri-list"}, 8000)
                    .value_or(QByteArray());
            return list.contains("top.txt");
        },
        ClipboardTimeoutMs);
    QString top, bigPath;
    for (const QByteArray &line : list.split('\n')) {
        const QString path = QUrl::fromEncoded(line.trimmed()).toLocalFile();
        if (path.endsWith("/top.txt")) top = path;
        if (path.endsWith("/big.bin")) bigPath = path;
    }
    ASSERT_FALSE(top.isEmpty() || bigPath.isEmpty()) << list.toStdString() << session.Trace();
    EXPECT_EQ(server_->RunInSession("cat", {top}, 15000), QByteArray("from here")) << session.Trace();
    const std::optional<QByteArray> read = server_->RunInSession("cat", {bigPath}, 30000);
    ASSERT_TRUE(read.has_value()) << session.Trace();
    EXPECT_TRUE(*read == big) << read->size() << " bytes";
    const std::string log = session.log.All();
    EXPECT_NE(log.find("this computer offers the session text/uri-list"), std::string::npos) << log;
    EXPECT_EQ(log.find("big.bin"), std::string::npos) << log;
}

} // namespace
} // namespace tsc::test

// The client's own display: an Xvfb, so programs there paste from the client.
int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryDir home;
    if (!home.isValid()) return 2;
    const QByteArray path = home.path().toUtf8();
    for (const char *name :
         {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "TMPDIR"})
        qputenv(name, path);
    qputenv("XDG_CONFIG_DIRS", path + "/etc");
    qputenv("TSC_RDP_ENGINE", TSC_TEST_ENGINE_PATH);
    if (::testing::GTEST_FLAG(list_tests)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication application(argc, argv);
        return RUN_ALL_TESTS();
    }
    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
    if (!xvfb.waitForStarted(5000) || !xvfb.waitForReadyRead(10000)) return 2;
    qputenv("DISPLAY", ":" + xvfb.readLine().trimmed());
    qputenv("QT_QPA_PLATFORM", "xcb");
    int result = 0;
    {
        QApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    xvfb.terminate();
    xvfb.waitForFinished(3000);
    tsc::test::LeakCheckBeforeExit();
    return result;
}
