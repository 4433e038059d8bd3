#pragma once

// The clipboard channel of a session: the protocol library's clipboard client on one
// side, the session window's MIME types (RdpClipboardEvents) on the other. Formats
// are announced when they change and data crosses only when asked for. The
// library's callbacks run on its channel thread, the window's calls on the
// user-interface thread; one lock orders both. Clipboard content never reaches the
// log, only the formats, once per session.

#include "ClipboardData.h"
#include "ClipboardFiles.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include <freerdp/client/cliprdr.h>
#include <freerdp/freerdp.h>

namespace tsc::engine {

class FreeRdpControl;

class ClipboardChannel {
  public:
    explicit ClipboardChannel(FreeRdpControl &control) : control_(control) {}
    ClipboardChannel(const ClipboardChannel &) = delete;
    ClipboardChannel &operator=(const ClipboardChannel &) = delete;

    // Engine thread, before the channels load: listens for the channel of this session.
    void StartSession(rdpContext *context);
    // The channel opened or closed (engine thread); Detach also at the session's end.
    void Attach(CliprdrClientContext *cliprdr);
    void Detach();

    // User-interface thread (RdpControl).
    void Offer(const QStringList &mimeTypes);
    std::uint64_t Request(const QString &mimeType);
    // Takes the data over: text is converted and let go before the library copies it.
    void Provide(std::uint64_t request, QByteArray data, bool ok);
    std::uint64_t ReceiveFiles(const QString &folder);
    // A file transfer whose answer is overdue at `now` ends (user-interface thread).
    void ExpireStale(std::int64_t now);

    // Engine thread: data of a static channel arrived. What the clipboard's channel
    // brings is counted, so an answer still arriving is not taken for one that never
    // comes (a large picture takes the server longer than the answer limit).
    void NoteChannelData(freerdp *instance, UINT16 channelId, std::size_t size);
    // Any thread: what the clipboard's channel brought so far in this control's life.
    [[nodiscard]] std::uint64_t BytesReceived() const { return bytesReceived_; }

    // The largest range of a local file read for one server request, the part of a
    // session's file asked for at a time, and how long one such answer may take.
    static constexpr std::uint32_t MaximumRangeBytes = 8u * 1024u * 1024u;
    static constexpr std::uint32_t ReceiveChunkBytes = 1024u * 1024u;
    static constexpr int FileAnswerLimitMs = 15000;
    // A session's file without a size in its descriptor ends here.
    static constexpr std::uint64_t MaximumUnsizedFileBytes = 4ull * 1024 * 1024 * 1024;

    // The library's callbacks, on its channel thread.
    UINT OnMonitorReady();
    UINT OnServerFormatList(const CLIPRDR_FORMAT_LIST *list);
    UINT OnServerFormatDataRequest(const CLIPRDR_FORMAT_DATA_REQUEST *request);
    UINT OnServerFormatDataResponse(const CLIPRDR_FORMAT_DATA_RESPONSE *response);
    UINT OnServerFileContentsRequest(const CLIPRDR_FILE_CONTENTS_REQUEST *request);
    UINT OnServerFileContentsResponse(const CLIPRDR_FILE_CONTENTS_RESPONSE *response);

  private:
    struct PendingRemote {
        std::uint64_t request = 0;
        std::uint32_t formatId = 0;
        QString mime;
        std::int64_t sentAt = 0;
    };

    // Files from the session on their way into a local folder.
    struct Incoming {
        std::uint64_t transfer = 0;
        clipboard::FileReceiver receiver;
        std::vector<clipboard::FileDescriptor> files;
        std::size_t next = 0;    // the entry to start after the current one
        std::size_t current = 0; // the file being received
        std::uint64_t offset = 0;
        std::uint32_t streamId = 0;
        std::uint32_t asked = 0;
        std::int64_t sentAt = 0; // 0: no range is asked for now
        int filesWritten = 0;
        int leftOut = 0;
    };

    void ReceiveFileList(const BYTE *data, UINT32 size, bool ok);
    void StartNextFileLocked();
    void RequestRangeLocked();
    void EndTransferLocked(const QString &problem);
    static QByteArray Converted(const PendingRemote &pending, const BYTE *data, UINT32 size);
    UINT SendLocalFormatsLocked();
    UINT SendDataResponseLocked(const QByteArray &bytes, bool ok);
    void FailPendingRemoteLocked();
    // Milliseconds since the server's last sign of life on this request: its sending,
    // or the clipboard channel's latest data.
    [[nodiscard]] std::int64_t QuietFor(std::int64_t sentAt, std::int64_t now) const;

    FreeRdpControl &control_;
    std::mutex mutex_;
    CliprdrClientContext *cliprdr_ = nullptr;
    bool ready_ = false; // the server's monitor-ready came; announcements may go out
    QStringList localOffer_;
    std::vector<clipboard::OfferedFormat> remoteOffer_;
    std::uint64_t nextRequest_ = 0;
    std::optional<PendingRemote> pendingRemote_;
    std::optional<std::uint64_t> pendingLocal_; // the server's request now with the window
    std::uint32_t pendingLocalFormat_ = 0;
    std::vector<clipboard::LocalFile> localFiles_; // the file list the server was given last
    std::optional<Incoming> incoming_;
    std::uint32_t nextStream_ = 0;
    bool serverFormatsLogged_ = false;
    bool localFormatsLogged_ = false;
    std::atomic<int> channelId_{-1}; // the clipboard channel's id in this connection, once seen
    std::atomic<std::uint64_t> bytesReceived_{0};
    std::atomic<std::int64_t> lastDataAt_{0};
};

} // namespace tsc::engine
