#pragma once

// The clipboard formats a session exchanges and their conversions. The session
// window's side speaks MIME types (ClipboardMime); the server speaks format ids
// and names. Everything from the server is bounded and checked here, before it
// reaches the desktop's clipboard.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tsc::clipboard {

// The standard format ids of the protocol (the Windows clipboard's).
inline constexpr std::uint32_t FormatText = 1;         // CF_TEXT
inline constexpr std::uint32_t FormatOemText = 7;      // CF_OEMTEXT
inline constexpr std::uint32_t FormatUnicodeText = 13; // CF_UNICODETEXT
inline constexpr std::uint32_t FormatDib = 8;          // CF_DIB
inline constexpr std::uint32_t FormatDibV5 = 17;       // CF_DIBV5
// The formats known by name; the ids this client gives them in its own lists.
inline constexpr char HtmlFormatName[] = "HTML Format";
inline constexpr char PngFormatName[] = "PNG";
inline constexpr std::uint32_t LocalHtmlFormatId = 0xD010;
inline constexpr char FileGroupDescriptorName[] = "FileGroupDescriptorW";
inline constexpr std::uint32_t LocalFileGroupDescriptorId = 0xD011;

// The MIME types the session window's side exchanges, and what their bytes hold.
namespace ClipboardMime {
inline constexpr char Text[] = "text/plain"; // UTF-8, line ends "\n"
inline constexpr char Html[] = "text/html";  // UTF-8
inline constexpr char Png[] = "image/png";   // what a session's picture is delivered as
inline constexpr char Bmp[] = "image/bmp";   // a BMP file: what a local picture is given as
// Files: from the desktop, local paths one a line (UTF-8); from the session, only
// offered (its files are received into a folder, see RdpControl::ReceiveRemoteFiles).
inline constexpr char FileList[] = "text/uri-list";
} // namespace ClipboardMime

// The largest clipboard payload taken from the server or given to it. A format data
// response that says it is longer is refused.
inline constexpr std::size_t MaximumPayloadBytes = 64u * 1024u * 1024u;
// More formats than this in one list are a list that lies; the clipboard then stays
// as it was.
inline constexpr std::size_t MaximumFormatCount = 256;

// One format of a list the server sent: its id and (long) name, as the protocol
// library decoded them.
struct WireFormat {
    std::uint32_t id = 0;
    std::string name;
};

// A format the session window can be offered: the MIME type and the server's format
// id that is asked for to get it.
struct OfferedFormat {
    QString mime;
    std::uint32_t id = 0;
};

struct FormatListReading {
    std::vector<OfferedFormat> offered; // in the order of preference
    QString logText;                    // the formats as the log shows them
    bool refused = false;               // the list is not one to believe
};

// Reads a server's format list: which MIME types it can deliver, and a one-line
// description of it for the log (ids, and names made printable and short).
[[nodiscard]] FormatListReading ReadServerFormatList(const std::vector<WireFormat> &formats);

// The largest picture taken from the server, in pixels (a 4K screen is 8.3 million).
inline constexpr std::int64_t MaximumPicturePixels = 32 * 1024 * 1024;

// The server's format id for a MIME type this client offers it (0: none), its name
// in the list (empty for the standard formats), and the MIME type behind a format id
// this client offered.
[[nodiscard]] std::uint32_t LocalFormatIdFor(const QString &mime);
[[nodiscard]] const char *LocalFormatNameFor(std::uint32_t formatId);
[[nodiscard]] QString LocalMimeFor(std::uint32_t formatId);

// The text conversions count their result first and write it in one pass into a
// buffer of exactly that size: a large text is held once more, never twice.
// CF_UNICODETEXT (UTF-16LE up to its first NUL, "\r\n" line ends) to UTF-8 with "\n"
// line ends. An odd last byte is dropped; unpaired surrogates become U+FFFD.
[[nodiscard]] QByteArray UnicodeTextToUtf8(const std::uint8_t *data, std::size_t size);
// CF_TEXT in the server's ANSI code page, read as Latin-1 (older servers only).
[[nodiscard]] QByteArray AnsiTextToUtf8(const std::uint8_t *data, std::size_t size);
// UTF-8 to CF_UNICODETEXT: "\r\n" line ends ("\n" and lone "\r" alike), a closing NUL.
// Bytes that are not UTF-8 become U+FFFD.
[[nodiscard]] QByteArray Utf8ToUnicodeText(const QByteArray &utf8);
// The toolkit's text as UTF-8, sized exactly (the toolkit's own conversion reserves
// three bytes a character); unpaired surrogates become U+FFFD.
[[nodiscard]] QByteArray Utf8OfText(QStringView text);

// "HTML Format" (a header of byte offsets, then UTF-8 HTML) to the HTML it holds: the
// part from StartHTML to EndHTML, else the fragment. Empty when the offsets do not lie
// inside the data in order.
[[nodiscard]] QByteArray HtmlFromHtmlFormat(const std::uint8_t *data, std::size_t size);
// UTF-8 HTML to "HTML Format": the header with its offsets, the HTML as the fragment.
[[nodiscard]] QByteArray HtmlFormatFromHtml(const QByteArray &html);

// CF_DIB or CF_DIBV5 (a bitmap header, colours or masks, the rows) to PNG. Empty when
// the header does not describe a picture this client reads, or the rows do not fit.
[[nodiscard]] QByteArray PngFromDib(const std::uint8_t *data, std::size_t size);
// A BMP file to CF_DIB (the file without its 14-byte file header), checked as above.
[[nodiscard]] QByteArray DibFromBmpFile(const QByteArray &bmp);
// Where CF_DIB begins in a BMP file DibFromBmpFile takes (after the file header), else
// 0: the bitmap can be sent from the file's own bytes, without a copy.
[[nodiscard]] qsizetype DibOffsetInBmpFile(const QByteArray &bmp);

} // namespace tsc::clipboard
