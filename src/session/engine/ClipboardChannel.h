#pragma once

// The clipboard channel of a session: the protocol library's clipboard client on one
// side, the session window's MIME types (RdpClipboardEvents) on the other. Formats
// are announced when they change and data crosses only when asked for. The
// library's callbacks run on its channel thread, the window's calls on the
// user-interface thread; one lock orders both. Clipboard content never reaches the
// log, only the formats, once per session.

#include "ClipboardData.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

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
    void Provide(std::uint64_t request, const QByteArray &data, bool ok);

    // The library's callbacks, on its channel thread.
    UINT OnMonitorReady();
    UINT OnServerFormatList(const CLIPRDR_FORMAT_LIST *list);
    UINT OnServerFormatDataRequest(const CLIPRDR_FORMAT_DATA_REQUEST *request);
    UINT OnServerFormatDataResponse(const CLIPRDR_FORMAT_DATA_RESPONSE *response);

  private:
    struct PendingRemote {
        std::uint64_t request = 0;
        std::uint32_t formatId = 0;
        QString mime;
        std::int64_t sentAt = 0;
    };

    static QByteArray Converted(const PendingRemote &pending, const BYTE *data, UINT32 size);
    UINT SendLocalFormatsLocked();
    UINT SendDataResponseLocked(const QByteArray &bytes, bool ok);
    void FailPendingRemoteLocked();

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
    bool serverFormatsLogged_ = false;
    bool localFormatsLogged_ = false;
};

} // namespace tsc::engine
