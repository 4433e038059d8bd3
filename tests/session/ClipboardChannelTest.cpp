// The clipboard channel between a server and the session window, without a server:
// the protocol library's channel context is played by a recorder of what the client
// sends, the server's messages are handed to the channel's callbacks directly.

#include "ClipboardChannel.h"
#include "ClipboardData.h"
#include "EngineContext.h"
#include "FileDescriptors.h"
#include "FreeRdpControl.h"
#include "Recorders.h"
#include "ShadowServer.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtEndian>

#include <freerdp/channels/cliprdr.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace tsc::engine {
namespace {

using clipboard::FormatText;
using clipboard::FormatUnicodeText;

// What the client sent the server.
struct Sent {
    std::vector<std::vector<std::uint32_t>> formatLists;
    std::vector<std::uint16_t> listResponses;
    std::vector<std::uint32_t> dataRequests;
    std::vector<std::pair<std::uint16_t, QByteArray>> dataResponses;
    std::vector<CLIPRDR_FILE_CONTENTS_REQUEST> fileRequests;
    std::vector<std::pair<std::uint16_t, QByteArray>> fileResponses; // streamId checked apart
    std::vector<std::uint32_t> fileResponseStreams;
    std::uint32_t generalFlags = 0;
    bool capabilities = false;
    // A text the test holds too: whether the test's copy was the only one left when
    // the library was handed the message.
    const QByteArray *watched = nullptr;
    std::optional<bool> watchedAloneAtResponse;
};

Sent *sent = nullptr;

UINT Capabilities(CliprdrClientContext *, const CLIPRDR_CAPABILITIES *capabilities) {
    sent->capabilities = true;
    sent->generalFlags =
        reinterpret_cast<const CLIPRDR_GENERAL_CAPABILITY_SET *>(capabilities->capabilitySets)->generalFlags;
    return CHANNEL_RC_OK;
}
UINT FormatList(CliprdrClientContext *, const CLIPRDR_FORMAT_LIST *list) {
    std::vector<std::uint32_t> ids;
    for (UINT32 index = 0; index < list->numFormats; ++index)
        ids.push_back(list->formats[index].formatId);
    sent->formatLists.push_back(ids);
    return CHANNEL_RC_OK;
}
UINT ListResponse(CliprdrClientContext *, const CLIPRDR_FORMAT_LIST_RESPONSE *response) {
    sent->listResponses.push_back(response->msgFlags);
    return CHANNEL_RC_OK;
}
UINT DataRequest(CliprdrClientContext *, const CLIPRDR_FORMAT_DATA_REQUEST *request) {
    sent->dataRequests.push_back(request->requestedFormatId);
    return CHANNEL_RC_OK;
}
UINT DataResponse(CliprdrClientContext *, const CLIPRDR_FORMAT_DATA_RESPONSE *response) {
    if (sent->watched) sent->watchedAloneAtResponse = sent->watched->isDetached();
    sent->dataResponses.emplace_back(response->msgFlags,
                                     QByteArray(reinterpret_cast<const char *>(response->requestedFormatData),
                                                static_cast<qsizetype>(response->dataLen)));
    return CHANNEL_RC_OK;
}

UINT FileRequest(CliprdrClientContext *, const CLIPRDR_FILE_CONTENTS_REQUEST *request) {
    sent->fileRequests.push_back(*request);
    return CHANNEL_RC_OK;
}
UINT FileResponse(CliprdrClientContext *, const CLIPRDR_FILE_CONTENTS_RESPONSE *response) {
    sent->fileResponses.emplace_back(response->msgFlags,
                                     QByteArray(reinterpret_cast<const char *>(response->requestedData),
                                                static_cast<qsizetype>(response->cbRequested)));
    sent->fileResponseStreams.push_back(response->streamId);
    return CHANNEL_RC_OK;
}

class ClipboardRecorder : public RdpClipboardEvents {
  public:
    QStringList offers;
    std::vector<std::pair<QByteArray, bool>> data;
    std::vector<std::pair<std::uint64_t, QString>> requests;
    void OnRemoteClipboardOffer(const QStringList &mimeTypes) override {
        offers << mimeTypes.join(QLatin1Char(','));
    }
    void OnRemoteClipboardData(std::uint64_t, const QByteArray &bytes, bool ok) override {
        data.emplace_back(bytes, ok);
    }
    void OnLocalClipboardRequested(std::uint64_t request, const QString &mime) override {
        requests.emplace_back(request, mime);
    }
    std::vector<std::pair<int, bool>> received;
    void OnRemoteFilesReceived(std::uint64_t, int files, bool ok) override {
        received.emplace_back(files, ok);
    }
};

class ClipboardChannelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sent = &sent_;
        context_.ClientCapabilities = Capabilities;
        context_.ClientFormatList = FormatList;
        context_.ClientFormatListResponse = ListResponse;
        context_.ClientFormatDataRequest = DataRequest;
        context_.ClientFormatDataResponse = DataResponse;
        context_.ClientFileContentsRequest = FileRequest;
        context_.ClientFileContentsResponse = FileResponse;
        control_.SetClipboardHandler(&events_);
        control_.SetLogSink(&log_);
        control_.Clipboard().Attach(&context_);
        ASSERT_EQ(control_.Clipboard().OnMonitorReady(), CHANNEL_RC_OK);
    }
    void TearDown() override {
        control_.Clipboard().Detach();
        Settle();
        control_.SetClipboardHandler(nullptr);
        control_.SetLogSink(nullptr);
        sent = nullptr;
    }
    static void Settle() {
        test::WaitFor([] { return false; }, 50);
    }
    UINT ServerList(std::vector<CLIPRDR_FORMAT> formats) {
        CLIPRDR_FORMAT_LIST list{};
        list.numFormats = static_cast<UINT32>(formats.size());
        list.formats = formats.data();
        return control_.Clipboard().OnServerFormatList(&list);
    }
    void ServerData(const QByteArray &bytes, std::uint16_t flags = CB_RESPONSE_OK) {
        CLIPRDR_FORMAT_DATA_RESPONSE response{};
        response.msgFlags = flags;
        response.dataLen = static_cast<UINT32>(bytes.size());
        response.requestedFormatData = reinterpret_cast<const BYTE *>(bytes.constData());
        control_.Clipboard().OnServerFormatDataResponse(&response);
    }

    Sent sent_;
    CliprdrClientContext context_{};
    FreeRdpControl control_;
    ClipboardRecorder events_;
    test::LogRecorder log_;
};

TEST_F(ClipboardChannelTest, ServerCopyIsOfferedAndFetchedOnlyWhenAskedFor) {
    ASSERT_TRUE(sent_.capabilities);
    char html[] = "HTML Format";
    ServerList({{FormatUnicodeText, nullptr}, {49300, html}, {FormatText, nullptr}});
    Settle();
    ASSERT_EQ(events_.offers, QStringList{"text/plain,text/html"});
    EXPECT_EQ(sent_.listResponses, std::vector<std::uint16_t>{CB_RESPONSE_OK});
    EXPECT_TRUE(sent_.dataRequests.empty());

    const std::uint64_t request = control_.RequestRemoteClipboard("text/plain");
    ASSERT_NE(request, 0u);
    EXPECT_EQ(sent_.dataRequests, std::vector<std::uint32_t>{FormatUnicodeText});
    // One request at a time: a second waits for the first.
    EXPECT_EQ(control_.RequestRemoteClipboard("text/plain"), 0u);
    EXPECT_EQ(control_.RequestRemoteClipboard("image/png"), 0u);

    ServerData(QByteArray("a\0\r\0\n\0b\0\0\0", 10));
    Settle();
    ASSERT_EQ(events_.data.size(), 1u);
    EXPECT_EQ(events_.data[0], std::make_pair(QByteArray("a\nb"), true));
    EXPECT_TRUE(
        log_.Contains("the session offers 13 \"CF_UNICODETEXT\", 49300 \"HTML Format\", 1 \"CF_TEXT\"; "
                      "taken: text/plain"))
        << log_.All();
}

TEST_F(ClipboardChannelTest, BadServerInputIsLoggedAndGoesNoFurther) {
    // A list with more formats than any clipboard has is refused.
    std::vector<CLIPRDR_FORMAT> many(clipboard::MaximumFormatCount + 1,
                                     CLIPRDR_FORMAT{FormatUnicodeText, nullptr});
    ServerList(many);
    // Data nobody asked for is dropped.
    ServerData(QByteArray("x\0\0\0", 4));
    Settle();
    EXPECT_TRUE(events_.offers.isEmpty());
    EXPECT_TRUE(events_.data.empty());
    EXPECT_EQ(sent_.listResponses, std::vector<std::uint16_t>{CB_RESPONSE_FAIL});
    EXPECT_TRUE(log_.Contains("format list of the server was refused")) << log_.All();
    EXPECT_TRUE(log_.Contains("data nobody asked for")) << log_.All();

    // A refused answer fails the paste, and the next request may go out.
    ServerList({{FormatUnicodeText, nullptr}});
    ASSERT_NE(control_.RequestRemoteClipboard("text/plain"), 0u);
    ServerData({}, CB_RESPONSE_FAIL);
    Settle();
    ASSERT_EQ(events_.data.size(), 1u);
    EXPECT_FALSE(events_.data[0].second);
    EXPECT_NE(control_.RequestRemoteClipboard("text/plain"), 0u);
}

TEST_F(ClipboardChannelTest, ServerPasteGetsTheLocalTextAsProtocolText) {
    control_.OfferLocalClipboard({"text/plain"});
    ASSERT_EQ(sent_.formatLists.size(), 2u); // the empty list at monitor ready, then this one
    EXPECT_EQ(sent_.formatLists[1], std::vector<std::uint32_t>{FormatUnicodeText});

    CLIPRDR_FORMAT_DATA_REQUEST request{};
    request.requestedFormatId = FormatUnicodeText;
    control_.Clipboard().OnServerFormatDataRequest(&request);
    Settle();
    ASSERT_EQ(events_.requests.size(), 1u);
    EXPECT_EQ(events_.requests[0].second, "text/plain");
    control_.ProvideLocalClipboard(events_.requests[0].first, "x\ny", true);
    // An answer to a request already answered goes nowhere.
    control_.ProvideLocalClipboard(events_.requests[0].first, "late", true);
    ASSERT_EQ(sent_.dataResponses.size(), 1u);
    EXPECT_EQ(sent_.dataResponses[0].first, CB_RESPONSE_OK);
    EXPECT_EQ(sent_.dataResponses[0].second, QByteArray("x\0\r\0\n\0y\0\0\0", 10));

    // A format this computer did not offer is refused at once.
    request.requestedFormatId = FormatText;
    control_.Clipboard().OnServerFormatDataRequest(&request);
    ASSERT_EQ(sent_.dataResponses.size(), 2u);
    EXPECT_EQ(sent_.dataResponses[1].first, CB_RESPONSE_FAIL);

    // The text handed over is let go before the library copies the message: the
    // test's own reference is the only one left by then.
    const QByteArray desktop(256 * 1024, 'x');
    sent_.watched = &desktop;
    request.requestedFormatId = FormatUnicodeText;
    control_.Clipboard().OnServerFormatDataRequest(&request);
    Settle();
    ASSERT_EQ(events_.requests.size(), 2u);
    control_.ProvideLocalClipboard(events_.requests[1].first, desktop, true);
    sent_.watched = nullptr;
    ASSERT_EQ(sent_.dataResponses.size(), 3u);
    EXPECT_EQ(sent_.dataResponses[2].second.size(), (desktop.size() + 1) * 2);
    EXPECT_EQ(sent_.watchedAloneAtResponse, true);
}

// The bytes of a test file: position-dependent, so a range read from the wrong place shows.
QByteArray Pattern(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype index = 0; index < size; ++index)
        bytes[index] = static_cast<char>((index * 7 + index / 251) & 0xFF);
    return bytes;
}

TEST_F(ClipboardChannelTest, LocalFilesAreListedWhenAskedAndReadOneBoundedRangeAtATime) {
    EXPECT_EQ(sent_.generalFlags & (CB_STREAM_FILECLIP_ENABLED | CB_FILECLIP_NO_FILE_PATHS),
              std::uint32_t{CB_STREAM_FILECLIP_ENABLED | CB_FILECLIP_NO_FILE_PATHS});
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    ASSERT_TRUE(QDir(home.path()).mkpath("folder"));
    const QByteArray content = Pattern(ClipboardChannel::MaximumRangeBytes + 1000);
    QFile file(home.filePath("folder/big.bin"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    file.close();

    control_.OfferLocalClipboard({"text/uri-list"});
    ASSERT_EQ(sent_.formatLists.back(), std::vector<std::uint32_t>{clipboard::LocalFileGroupDescriptorId});
    CLIPRDR_FORMAT_DATA_REQUEST request{};
    request.requestedFormatId = clipboard::LocalFileGroupDescriptorId;
    control_.Clipboard().OnServerFormatDataRequest(&request);
    Settle();
    ASSERT_EQ(events_.requests.size(), 1u);
    EXPECT_EQ(events_.requests[0].second, "text/uri-list");
    control_.ProvideLocalClipboard(events_.requests[0].first,
                                   "file://" + home.filePath("folder").toUtf8() + "\n", true);
    ASSERT_EQ(sent_.dataResponses.size(), 1u);
    const QByteArray &list = sent_.dataResponses[0].second;
    const clipboard::FileListReading reading = clipboard::ReadFileGroupDescriptor(
        reinterpret_cast<const std::uint8_t *>(list.constData()), static_cast<std::size_t>(list.size()));
    ASSERT_EQ(reading.files.size(), 2u);
    EXPECT_EQ(reading.files[0].name, "folder");
    EXPECT_EQ(reading.files[1].name, "folder/big.bin");
    EXPECT_EQ(reading.files[1].size, static_cast<std::uint64_t>(content.size()));

    struct Case {
        std::uint32_t index, flags, position, asked;
        std::uint16_t answer;
        QByteArray data;
    };
    const Case cases[] = {
        {1, FILECONTENTS_SIZE, 0, 8, CB_RESPONSE_OK,
         [&] {
             QByteArray size(8, '\0');
             qToLittleEndian<quint64>(static_cast<quint64>(content.size()), size.data());
             return size;
         }()},
        {1, FILECONTENTS_RANGE, 1000, 16, CB_RESPONSE_OK, content.mid(1000, 16)},
        {1, FILECONTENTS_RANGE, static_cast<std::uint32_t>(content.size()) - 10, 100, CB_RESPONSE_OK,
         content.right(10)},
        // However much is asked, one answer holds at most the range limit.
        {1, FILECONTENTS_RANGE, 0, 0xFFFFFFFF, CB_RESPONSE_OK,
         content.left(ClipboardChannel::MaximumRangeBytes)},
        {0, FILECONTENTS_RANGE, 0, 16, CB_RESPONSE_FAIL, {}}, // a folder has no contents
        {7, FILECONTENTS_SIZE, 0, 8, CB_RESPONSE_FAIL, {}},   // not in the list
    };
    std::uint32_t stream = 100;
    for (const Case &c : cases) {
        CLIPRDR_FILE_CONTENTS_REQUEST contents{};
        contents.streamId = ++stream;
        contents.listIndex = c.index;
        contents.dwFlags = c.flags;
        contents.nPositionLow = c.position;
        contents.cbRequested = c.asked;
        ASSERT_EQ(control_.Clipboard().OnServerFileContentsRequest(&contents), CHANNEL_RC_OK);
        ASSERT_EQ(sent_.fileResponses.size(), stream - 100u);
        EXPECT_EQ(sent_.fileResponseStreams.back(), stream);
        EXPECT_EQ(sent_.fileResponses.back().first, c.answer) << stream;
        EXPECT_TRUE(sent_.fileResponses.back().second == c.data) << stream;
    }
    // A new local copy takes the old list away.
    control_.OfferLocalClipboard({"text/plain"});
    CLIPRDR_FILE_CONTENTS_REQUEST late{};
    late.listIndex = 1;
    late.dwFlags = FILECONTENTS_SIZE;
    control_.Clipboard().OnServerFileContentsRequest(&late);
    EXPECT_EQ(sent_.fileResponses.back().first, CB_RESPONSE_FAIL);
    EXPECT_FALSE(log_.Contains("big.bin")) << log_.All();
}

class SessionFilesTest : public ClipboardChannelTest {
  protected:
    void SetUp() override {
        ClipboardChannelTest::SetUp();
        ASSERT_TRUE(home_.isValid());
        folder_ = home_.filePath("into");
        ASSERT_TRUE(QDir().mkpath(folder_));
        QFile::setPermissions(folder_,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        char name[] = "FileGroupDescriptorW";
        ServerList({{FormatUnicodeText, nullptr}, {49400, name}});
        Settle();
    }
    // A server's list: names and sizes (a size below 0: a folder).
    static QByteArray ServerFiles(const std::vector<std::pair<QString, qint64>> &entries) {
        std::vector<clipboard::FileDescriptor> files;
        for (const auto &[name, size] : entries) {
            clipboard::FileDescriptor file;
            file.name = name;
            file.directory = size < 0;
            if (size >= 0) file.size = static_cast<std::uint64_t>(size);
            files.push_back(file);
        }
        QByteArray list = clipboard::BuildFileGroupDescriptor(files);
        // Names the builder would not write go in as a server could send them.
        for (std::size_t index = 0; index < entries.size(); ++index) {
            const QString &name = entries[index].first;
            for (qsizetype unit = 0; unit < name.size(); ++unit)
                qToLittleEndian<quint16>(name.at(unit).unicode(), list.data() + 4 +
                                                                      static_cast<qsizetype>(index) * 592 +
                                                                      72 + 2 * unit);
        }
        return list;
    }
    void AnswerRange(const QByteArray &content, qsizetype extra = 0) {
        const CLIPRDR_FILE_CONTENTS_REQUEST request = sent_.fileRequests.back();
        const QByteArray part = content.mid(request.nPositionLow, request.cbRequested + extra);
        CLIPRDR_FILE_CONTENTS_RESPONSE response{};
        response.msgFlags = CB_RESPONSE_OK;
        response.streamId = request.streamId;
        response.cbRequested = static_cast<UINT32>(part.size());
        response.requestedData = reinterpret_cast<const BYTE *>(part.constData());
        control_.Clipboard().OnServerFileContentsResponse(&response);
    }
    QTemporaryDir home_;
    QString folder_;
};

TEST_F(SessionFilesTest, FilesAreStreamedIntoTheFolderAndBadNamesStayOut) {
    ASSERT_EQ(events_.offers, QStringList{"text/plain,text/uri-list"});
    // Not a paste from the desktop's clipboard: files go into a folder.
    EXPECT_EQ(control_.RequestRemoteClipboard("text/uri-list"), 0u);
    ASSERT_NE(control_.ReceiveRemoteFiles(folder_), 0u);
    EXPECT_EQ(sent_.dataRequests, std::vector<std::uint32_t>{49400});
    const QByteArray big = Pattern(2 * ClipboardChannel::ReceiveChunkBytes + 12345);
    ServerData(ServerFiles({{"dir", -1},
                            {"dir\\big.bin", big.size()},
                            {"..\\escape-name", 3},
                            {"empty", 0},
                            {"C:\\Windows\\x", 3},
                            {"small.txt", 100}}));
    // The big file, a chunk at a time.
    for (int chunk = 0; chunk < 3; ++chunk) {
        ASSERT_EQ(sent_.fileRequests.size(), static_cast<std::size_t>(chunk + 1));
        const CLIPRDR_FILE_CONTENTS_REQUEST &request = sent_.fileRequests.back();
        EXPECT_EQ(request.listIndex, 1u);
        EXPECT_EQ(request.dwFlags, std::uint32_t{FILECONTENTS_RANGE});
        EXPECT_EQ(request.nPositionLow, chunk * ClipboardChannel::ReceiveChunkBytes);
        EXPECT_LE(request.cbRequested, ClipboardChannel::ReceiveChunkBytes);
        AnswerRange(big);
    }
    // "small.txt" says 100 bytes; the server has 5: a short answer ends the file.
    ASSERT_EQ(sent_.fileRequests.size(), 4u);
    EXPECT_EQ(sent_.fileRequests.back().listIndex, 5u);
    AnswerRange("hello");
    Settle();
    EXPECT_EQ(sent_.fileRequests.size(), 4u); // the empty file needs no request
    ASSERT_EQ(events_.received.size(), 1u);
    EXPECT_EQ(events_.received[0], std::make_pair(3, false)); // two entries were refused

    QFile written(folder_ + "/dir/big.bin");
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll() == big);
    EXPECT_EQ(written.permissions() & 0x7777, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadUser | QFileDevice::WriteUser);
    EXPECT_EQ(QDir(folder_).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList({"dir", "empty", "small.txt"}));
    EXPECT_FALSE(QFile::exists(home_.filePath("escape-name")));
    EXPECT_TRUE(log_.Contains("entry 3 of 6 refused: a part that leaves the folder")) << log_.All();
    EXPECT_TRUE(log_.Contains("entry 5 of 6 refused: a drive letter")) << log_.All();
    EXPECT_TRUE(log_.Contains("3 files received from the session (2 left out)")) << log_.All();
    EXPECT_FALSE(log_.Contains("escape-name") || log_.Contains("big.bin")) << log_.All();
}

TEST_F(SessionFilesTest, ALyingOrSilentServerEndsTheTransferAndLeavesNoPartialFile) {
    // More than asked for is refused, and the file begun goes.
    ASSERT_NE(control_.ReceiveRemoteFiles(folder_), 0u);
    const QByteArray content = Pattern(3 * ClipboardChannel::ReceiveChunkBytes);
    ServerData(ServerFiles({{"a.bin", 16}}));
    ASSERT_EQ(sent_.fileRequests.size(), 1u);
    AnswerRange(content, 1);
    Settle();
    ASSERT_EQ(events_.received.size(), 1u);
    EXPECT_FALSE(events_.received[0].second);
    EXPECT_TRUE(log_.Contains("the server sent 17 bytes of a file when 16 were asked for")) << log_.All();
    EXPECT_FALSE(QFile::exists(folder_ + "/a.bin"));
    // A late answer for the ended transfer is dropped.
    AnswerRange(content);
    Settle();
    EXPECT_TRUE(log_.Contains("file data nobody asked for")) << log_.All();

    // An answer that never comes ends the transfer after the limit, not before.
    ASSERT_NE(control_.ReceiveRemoteFiles(folder_), 0u);
    ServerData(ServerFiles({{"b.bin", static_cast<qint64>(content.size())}}));
    AnswerRange(content);
    ASSERT_EQ(sent_.fileRequests.size(), 3u);
    const std::int64_t sent = NowMilliseconds();
    control_.Clipboard().ExpireStale(sent + ClipboardChannel::FileAnswerLimitMs - 1000);
    EXPECT_EQ(control_.ReceiveRemoteFiles(folder_), 0u); // still running
    control_.Clipboard().ExpireStale(sent + ClipboardChannel::FileAnswerLimitMs + 1000);
    Settle();
    ASSERT_EQ(events_.received.size(), 2u);
    EXPECT_FALSE(events_.received[1].second);
    EXPECT_TRUE(log_.Contains("the server did not answer within")) << log_.All();
    EXPECT_FALSE(QFile::exists(folder_ + "/b.bin"));

    // A folder others may write takes nothing.
    QFile::setPermissions(folder_, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                       QFileDevice::WriteOther | QFileDevice::ExeOther);
    EXPECT_EQ(control_.ReceiveRemoteFiles(folder_), 0u);
    Settle();
    EXPECT_TRUE(log_.Contains("cannot go into the chosen folder (others may write it)")) << log_.All();
}

TEST(ClipboardData, TextConversionsKeepTextAndBoundWhatCameIn) {
    struct Case {
        QByteArray wire; // UTF-16LE from the server
        QByteArray utf8;
    };
    const Case cases[] = {
        {QByteArray("a\0\r\0\n\0b\0", 8), "a\nb"},
        {QByteArray("a\0\0\0z\0", 6), "a"},                      // stops at the NUL
        {QByteArray("a\0b", 3), "a"},                            // odd last byte dropped
        {QByteArray("a\0\r\0b\0", 6), "a\rb"},                   // no NUL at the end; a lone "\r" stays
        {QByteArray("\x3d\xd8 \0", 4), "\xEF\xBF\xBD "},         // unpaired surrogate
        {QByteArray("\x3d\xd8\x00\xde", 4), "\xF0\x9F\x98\x80"}, // a pair: U+1F600
        {QByteArray("\x00\xde\x3d\xd8", 4), "\xEF\xBF\xBD\xEF\xBF\xBD"}, // a pair's halves the wrong way, cut
        {QByteArray(), ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(clipboard::UnicodeTextToUtf8(reinterpret_cast<const std::uint8_t *>(c.wire.constData()),
                                               static_cast<std::size_t>(c.wire.size())),
                  c.utf8)
            << c.wire.toHex().toStdString();
    EXPECT_TRUE(clipboard::UnicodeTextToUtf8(nullptr, 8).isEmpty());

    // Every local line end becomes "\r\n"; text stops at a NUL; one NUL closes it.
    for (const char *text : {"a\nb", "a\r\nb", "a\rb"})
        EXPECT_EQ(clipboard::Utf8ToUnicodeText(text), QByteArray("a\0\r\0\n\0b\0\0\0", 10)) << text;
    EXPECT_EQ(clipboard::Utf8ToUnicodeText(QByteArray("a\0b", 3)), QByteArray("a\0\0\0", 4));

    // Bytes that are not UTF-8: one U+FFFD for each ill-formed part, the rest kept.
    struct Broken {
        QByteArray utf8;
        std::u16string text;
    };
    const Broken broken[] = {
        {"a\xFF-", u"a\uFFFD-"},
        {"\xC3", u"\uFFFD"},                               // cut short at the end
        {"\xE2\x9Cx", u"\uFFFDx"},                         // cut short inside
        {"\x80\xC0\xAF", u"\uFFFD\uFFFD\uFFFD"},           // stray, overlong
        {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},           // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\xF0\x9F\x98\x80\r", u"\U0001F600\r\n"},         // a pair, a lone "\r" last
    };
    for (const Broken &c : broken) {
        QByteArray expected(reinterpret_cast<const char *>(c.text.data()),
                            static_cast<qsizetype>(c.text.size() * 2));
        expected.append(2, '\0');
        EXPECT_EQ(clipboard::Utf8ToUnicodeText(c.utf8), expected) << c.utf8.toHex().toStdString();
    }

    // Well-formed text of every width and line end, large: what the toolkit makes of
    // it, both ways, to the last byte.
    std::mt19937 random(28);
    const char *pieces[] = {
        "a", "Z", " ", "\n", "\r\n", "\r", "\xC3\xBC", "\xE2\x9C\x93", "\xF0\x9F\x98\x80"};
    QByteArray text;
    while (text.size() < 300000)
        text += pieces[random() % std::size(pieces)];
    QString reference = QString::fromUtf8(text);
    reference.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    reference.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    const QByteArray unixText = reference.toUtf8();
    reference.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QByteArray expected(reinterpret_cast<const char *>(reference.utf16()), reference.size() * 2);
    expected.append(2, '\0');
    const QByteArray wire = clipboard::Utf8ToUnicodeText(text);
    EXPECT_TRUE(wire == expected);
    EXPECT_TRUE(clipboard::UnicodeTextToUtf8(reinterpret_cast<const std::uint8_t *>(wire.constData()),
                                             static_cast<std::size_t>(wire.size())) == unixText);

    // The toolkit's text as UTF-8: the same bytes, in a buffer of their size.
    const QByteArray utf8 = clipboard::Utf8OfText(QString::fromUtf8(text));
    EXPECT_TRUE(utf8 == text);
    EXPECT_EQ(utf8.capacity(), utf8.size());
    EXPECT_EQ(clipboard::Utf8OfText(u"a\xD83D-\xDE00"), QByteArray("a\xEF\xBF\xBD-\xEF\xBF\xBD"));
}

TEST(ClipboardData, HtmlFormatOffsetsAreCheckedAgainstTheData) {
    const QByteArray built = clipboard::HtmlFormatFromHtml("<b>f\xC3\xBCr</b>");
    const auto read = [](const QByteArray &bytes) {
        return clipboard::HtmlFromHtmlFormat(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                                             static_cast<std::size_t>(bytes.size()));
    };
    EXPECT_EQ(read(built),
              "<html><body>\r\n<!--StartFragment--><b>f\xC3\xBCr</b><!--EndFragment-->\r\n</body></html>");
    const QByteArray head = "Version:0.9\r\nStartHTML:-1\r\nEndHTML:-1\r\nStartFragment:0000000089\r\n"
                            "EndFragment:0000000092\r\n";
    struct Case {
        QByteArray bytes;
        QByteArray html;
    };
    const Case cases[] = {
        {head + "abc", "abc"}, // no whole document: the fragment
        {head + "ab", ""},     // the fragment ends past the data
        {"Version:0.9\r\nStartHTML:30\r\nEndHTML:20\r\n" + QByteArray(40, 'x'), ""}, // end before start
        {"Version:0.9\r\nStartHTML:99999999999999999999\r\nEndHTML:1\r\n", ""},
        {"XStartHTML:0\r\nEndHTML:3\r\n", ""}, // a key only at the start of a line
        {"<html>no header</html>", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(read(c.bytes), c.html) << c.bytes.toStdString();
}

TEST(ClipboardData, BitmapsBecomePngOnlyWhenTheirHeaderFitsTheData) {
    QImage picture(3, 2, QImage::Format_RGB32);
    const QRgb colours[] = {0xFF102030, 0xFF405060, 0xFF708090, 0xFFA0B0C0, 0xFFD0E0F0, 0xFF000000};
    for (int index = 0; index < 6; ++index)
        picture.setPixel(index % 3, index / 3, colours[index]);
    QByteArray bmp;
    QBuffer buffer(&bmp);
    buffer.open(QIODevice::WriteOnly);
    ASSERT_TRUE(picture.save(&buffer, "BMP"));
    const QByteArray dib = clipboard::DibFromBmpFile(bmp);
    ASSERT_EQ(dib, bmp.mid(14));
    const auto png = [](const QByteArray &bytes) {
        return clipboard::PngFromDib(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                                     static_cast<std::size_t>(bytes.size()));
    };
    const QImage back = QImage::fromData(png(dib), "PNG").convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(back, picture);

    const auto changed = [&](int offset, std::uint32_t value) {
        QByteArray bytes = dib;
        qToLittleEndian<quint32>(value, bytes.data() + offset);
        return bytes;
    };
    for (const QByteArray &bad : {dib.left(dib.size() - 1), // a row cut short
                                  changed(8, 100000),       // taller than the rows sent
                                  changed(4, 0x7FFFFFFF),   // wider than any picture taken
                                  changed(0, 64),           // a header size no bitmap has
                                  changed(16, 1) /* run-length compressed */})
        EXPECT_TRUE(png(bad).isEmpty());
    EXPECT_TRUE(clipboard::DibFromBmpFile("BM").isEmpty());
}

TEST(ClipboardData, FormatNamesReachTheLogPrintableAndShort) {
    const std::string name = std::string("evil\n\x1b[31m") + std::string(100, 'x');
    const clipboard::FormatListReading reading = clipboard::ReadServerFormatList({{50000, name}});
    EXPECT_TRUE(reading.offered.empty());
    EXPECT_FALSE(reading.logText.contains(QLatin1Char('\n')));
    EXPECT_FALSE(reading.logText.contains(QChar(0x1b)));
    EXPECT_LT(reading.logText.size(), 70);
}

} // namespace
} // namespace tsc::engine
