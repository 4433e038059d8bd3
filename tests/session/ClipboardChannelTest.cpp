// The clipboard channel between a server and the session window, without a server:
// the protocol library's channel context is played by a recorder of what the client
// sends, the server's messages are handed to the channel's callbacks directly.

#include "ClipboardChannel.h"
#include "ClipboardData.h"
#include "FreeRdpControl.h"
#include "Recorders.h"
#include "ShadowServer.h"

#include <QBuffer>
#include <QImage>
#include <QtEndian>

#include <freerdp/channels/cliprdr.h>

#include <gtest/gtest.h>

#include <cstring>
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
    bool capabilities = false;
};

Sent *sent = nullptr;

UINT Capabilities(CliprdrClientContext *, const CLIPRDR_CAPABILITIES *) {
    sent->capabilities = true;
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
    sent->dataResponses.emplace_back(response->msgFlags,
                                     QByteArray(reinterpret_cast<const char *>(response->requestedFormatData),
                                                static_cast<qsizetype>(response->dataLen)));
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
        {QByteArray("\x3d\xd8 \0", 4), "\xEF\xBF\xBD "},         // unpaired surrogate
        {QByteArray("\x3d\xd8\x00\xde", 4), "\xF0\x9F\x98\x80"}, // a pair: U+1F600
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
