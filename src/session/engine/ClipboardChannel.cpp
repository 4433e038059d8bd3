#include "ClipboardChannel.h"

#include "EngineContext.h"
#include "FreeRdpControl.h"

#include <QMetaObject>

#include <freerdp/channels/cliprdr.h>
#include <freerdp/client/channels.h>
#include <freerdp/event.h>
#include <freerdp/settings.h>

#include <cstring>

namespace tsc::engine {

namespace {

// Null once the channel was detached from the session.
ClipboardChannel *ChannelOf(CliprdrClientContext *cliprdr) {
    return static_cast<ClipboardChannel *>(cliprdr->custom);
}

UINT OnMonitorReady(CliprdrClientContext *cliprdr, const CLIPRDR_MONITOR_READY * /*ready*/) {
    ClipboardChannel *channel = ChannelOf(cliprdr);
    return channel ? channel->OnMonitorReady() : CHANNEL_RC_OK;
}

UINT OnServerCapabilities(CliprdrClientContext * /*cliprdr*/, const CLIPRDR_CAPABILITIES * /*caps*/) {
    return CHANNEL_RC_OK;
}

UINT OnServerFormatList(CliprdrClientContext *cliprdr, const CLIPRDR_FORMAT_LIST *list) {
    ClipboardChannel *channel = ChannelOf(cliprdr);
    return channel ? channel->OnServerFormatList(list) : CHANNEL_RC_OK;
}

UINT OnServerFormatListResponse(CliprdrClientContext * /*cliprdr*/,
                                const CLIPRDR_FORMAT_LIST_RESPONSE * /*response*/) {
    return CHANNEL_RC_OK;
}

UINT OnServerFormatDataRequest(CliprdrClientContext *cliprdr, const CLIPRDR_FORMAT_DATA_REQUEST *request) {
    ClipboardChannel *channel = ChannelOf(cliprdr);
    return channel ? channel->OnServerFormatDataRequest(request) : CHANNEL_RC_OK;
}

UINT OnServerFormatDataResponse(CliprdrClientContext *cliprdr, const CLIPRDR_FORMAT_DATA_RESPONSE *response) {
    ClipboardChannel *channel = ChannelOf(cliprdr);
    return channel ? channel->OnServerFormatDataResponse(response) : CHANNEL_RC_OK;
}

void OnChannelConnected(void *context, ChannelConnectedEventArgs *event) {
    if (std::strcmp(event->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
    ControlOf(static_cast<rdpContext *>(context))
        ->Clipboard()
        .Attach(static_cast<CliprdrClientContext *>(event->pInterface));
}

void OnChannelDisconnected(void *context, ChannelDisconnectedEventArgs *event) {
    if (std::strcmp(event->name, CLIPRDR_SVC_CHANNEL_NAME) != 0) return;
    ControlOf(static_cast<rdpContext *>(context))->Clipboard().Detach();
}

bool IsPng(const BYTE *data, UINT32 size) {
    static constexpr unsigned char Signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return size >= sizeof(Signature) && std::memcmp(data, Signature, sizeof(Signature)) == 0;
}

QString MimeListText(const QStringList &mimeTypes) {
    return mimeTypes.isEmpty() ? QStringLiteral("nothing") : mimeTypes.join(QStringLiteral(", "));
}

} // namespace

void ClipboardChannel::StartSession(rdpContext *context) {
    {
        std::lock_guard lock(mutex_);
        serverFormatsLogged_ = false;
        localFormatsLogged_ = false;
        remoteOffer_.clear();
    }
    if (!freerdp_settings_get_bool(context->settings, FreeRDP_RedirectClipboard)) {
        control_.PostLog(FreeRdpControl::LogLevel::Info,
                         QStringLiteral("Clipboard: not shared with this session"));
        return;
    }
    PubSub_SubscribeChannelConnected(context->pubSub, OnChannelConnected);
    PubSub_SubscribeChannelDisconnected(context->pubSub, OnChannelDisconnected);
}

void ClipboardChannel::Attach(CliprdrClientContext *cliprdr) {
    std::lock_guard lock(mutex_);
    cliprdr_ = cliprdr;
    ready_ = false;
    cliprdr->custom = this;
    cliprdr->MonitorReady = tsc::engine::OnMonitorReady;
    cliprdr->ServerCapabilities = tsc::engine::OnServerCapabilities;
    cliprdr->ServerFormatList = tsc::engine::OnServerFormatList;
    cliprdr->ServerFormatListResponse = tsc::engine::OnServerFormatListResponse;
    cliprdr->ServerFormatDataRequest = tsc::engine::OnServerFormatDataRequest;
    cliprdr->ServerFormatDataResponse = tsc::engine::OnServerFormatDataResponse;
}

void ClipboardChannel::Detach() {
    std::lock_guard lock(mutex_);
    if (!cliprdr_) return;
    cliprdr_->custom = nullptr;
    cliprdr_ = nullptr;
    ready_ = false;
    FailPendingRemoteLocked();
    pendingLocal_.reset();
    if (!remoteOffer_.empty()) {
        remoteOffer_.clear();
        control_.PostClipboardEvent([](RdpClipboardEvents &events) { events.OnRemoteClipboardOffer({}); });
    }
}

// --- the session window's side -------------------------------------------------------

void ClipboardChannel::Offer(const QStringList &mimeTypes) {
    std::lock_guard lock(mutex_);
    localOffer_ = mimeTypes;
    if (cliprdr_ && ready_) SendLocalFormatsLocked();
}

std::uint64_t ClipboardChannel::Request(const QString &mimeType) {
    std::lock_guard lock(mutex_);
    if (!cliprdr_ || !ready_) return 0;
    const auto offered =
        std::find_if(remoteOffer_.begin(), remoteOffer_.end(),
                     [&](const clipboard::OfferedFormat &format) { return format.mime == mimeType; });
    if (offered == remoteOffer_.end()) return 0;
    // One request at a time, as the protocol has it; one the server left unanswered
    // is given up after the answer limit.
    if (pendingRemote_) {
        if (NowMilliseconds() - pendingRemote_->sentAt < RdpClipboardAnswerLimitMs) return 0;
        control_.PostLog(FreeRdpControl::LogLevel::Warning,
                         QStringLiteral("Clipboard: the server did not answer a paste within %1 ms")
                             .arg(RdpClipboardAnswerLimitMs));
        FailPendingRemoteLocked();
    }
    CLIPRDR_FORMAT_DATA_REQUEST request{};
    request.msgType = CB_FORMAT_DATA_REQUEST;
    request.requestedFormatId = offered->id;
    if (cliprdr_->ClientFormatDataRequest(cliprdr_, &request) != CHANNEL_RC_OK) return 0;
    pendingRemote_ = PendingRemote{++nextRequest_, offered->id, offered->mime, NowMilliseconds()};
    return pendingRemote_->request;
}

void ClipboardChannel::Provide(std::uint64_t request, const QByteArray &data, bool ok) {
    std::lock_guard lock(mutex_);
    if (!cliprdr_ || !pendingLocal_ || *pendingLocal_ != request) return; // answered or replaced
    pendingLocal_.reset();
    if (!ok || data.size() > static_cast<qsizetype>(clipboard::MaximumPayloadBytes)) {
        SendDataResponseLocked({}, false);
        return;
    }
    QByteArray wire;
    if (pendingLocalFormat_ == clipboard::FormatUnicodeText)
        wire = clipboard::Utf8ToUnicodeText(data);
    else if (pendingLocalFormat_ == clipboard::LocalHtmlFormatId)
        wire = clipboard::HtmlFormatFromHtml(data);
    else if (const qsizetype dib = clipboard::DibOffsetInBmpFile(data);
             pendingLocalFormat_ == clipboard::FormatDib && dib > 0)
        // The bitmap is sent from the file's own bytes: a large picture is not copied
        // once more here.
        wire = QByteArray::fromRawData(data.constData() + dib, data.size() - dib);
    SendDataResponseLocked(wire, !wire.isEmpty());
}

// --- the library's side, on its channel thread ---------------------------------------

UINT ClipboardChannel::OnMonitorReady() {
    std::lock_guard lock(mutex_);
    if (!cliprdr_) return CHANNEL_RC_OK;
    CLIPRDR_GENERAL_CAPABILITY_SET general{};
    general.capabilitySetType = CB_CAPSTYPE_GENERAL;
    general.capabilitySetLength = CB_CAPSTYPE_GENERAL_LEN;
    general.version = CB_CAPS_VERSION_2;
    general.generalFlags = CB_USE_LONG_FORMAT_NAMES;
    CLIPRDR_CAPABILITIES capabilities{};
    capabilities.cCapabilitiesSets = 1;
    capabilities.capabilitySets = reinterpret_cast<CLIPRDR_CAPABILITY_SET *>(&general);
    const UINT status = cliprdr_->ClientCapabilities(cliprdr_, &capabilities);
    if (status != CHANNEL_RC_OK) return status;
    ready_ = true;
    return SendLocalFormatsLocked();
}

UINT ClipboardChannel::SendLocalFormatsLocked() {
    std::vector<CLIPRDR_FORMAT> formats;
    QStringList sent;
    for (const QString &mime : localOffer_) {
        const std::uint32_t id = clipboard::LocalFormatIdFor(mime);
        if (id == 0) continue;
        formats.push_back(CLIPRDR_FORMAT{id, const_cast<char *>(clipboard::LocalFormatNameFor(id))});
        sent << mime;
    }
    CLIPRDR_FORMAT_LIST list{};
    list.msgType = CB_FORMAT_LIST;
    list.numFormats = static_cast<UINT32>(formats.size());
    list.formats = formats.data();
    if (!localFormatsLogged_ && !sent.isEmpty()) {
        localFormatsLogged_ = true;
        control_.PostLog(
            FreeRdpControl::LogLevel::Info,
            QStringLiteral("Clipboard: this computer offers the session %1").arg(MimeListText(sent)));
    }
    return cliprdr_->ClientFormatList(cliprdr_, &list);
}

UINT ClipboardChannel::OnServerFormatList(const CLIPRDR_FORMAT_LIST *list) {
    std::vector<clipboard::WireFormat> formats;
    const bool tooMany = list->numFormats > clipboard::MaximumFormatCount;
    for (UINT32 index = 0; !tooMany && index < list->numFormats && list->formats; ++index) {
        const CLIPRDR_FORMAT &format = list->formats[index];
        formats.push_back(
            {format.formatId, format.formatName ? std::string(format.formatName) : std::string()});
    }
    clipboard::FormatListReading reading;
    if (tooMany) {
        reading.refused = true;
        reading.logText = QStringLiteral("%1 formats").arg(list->numFormats);
    } else {
        reading = clipboard::ReadServerFormatList(formats);
    }
    std::lock_guard lock(mutex_);
    if (!cliprdr_) return CHANNEL_RC_OK;
    CLIPRDR_FORMAT_LIST_RESPONSE response{};
    response.msgType = CB_FORMAT_LIST_RESPONSE;
    response.msgFlags = reading.refused ? CB_RESPONSE_FAIL : CB_RESPONSE_OK;
    if (reading.refused) {
        control_.PostLog(
            FreeRdpControl::LogLevel::Warning,
            QStringLiteral("Clipboard: a format list of the server was refused (%1)").arg(reading.logText));
        return cliprdr_->ClientFormatListResponse(cliprdr_, &response);
    }
    QStringList mimeTypes;
    for (const clipboard::OfferedFormat &format : reading.offered)
        mimeTypes << format.mime;
    if (!serverFormatsLogged_) {
        serverFormatsLogged_ = true;
        control_.PostLog(FreeRdpControl::LogLevel::Info,
                         QStringLiteral("Clipboard: the session offers %1; taken: %2")
                             .arg(reading.logText, MimeListText(mimeTypes)));
    }
    remoteOffer_ = std::move(reading.offered);
    control_.PostClipboardEvent(
        [mimeTypes](RdpClipboardEvents &events) { events.OnRemoteClipboardOffer(mimeTypes); });
    return cliprdr_->ClientFormatListResponse(cliprdr_, &response);
}

UINT ClipboardChannel::OnServerFormatDataRequest(const CLIPRDR_FORMAT_DATA_REQUEST *request) {
    std::lock_guard lock(mutex_);
    if (!cliprdr_) return CHANNEL_RC_OK;
    const QString mime = clipboard::LocalMimeFor(request->requestedFormatId);
    if (mime.isEmpty() || !localOffer_.contains(mime)) return SendDataResponseLocked({}, false);
    // A newer request replaces one the window has not answered yet.
    const std::uint64_t number = ++nextRequest_;
    pendingLocal_ = number;
    pendingLocalFormat_ = request->requestedFormatId;
    control_.PostClipboardEvent(
        [number, mime](RdpClipboardEvents &events) { events.OnLocalClipboardRequested(number, mime); },
        [this, number] { Provide(number, {}, false); });
    return CHANNEL_RC_OK;
}

UINT ClipboardChannel::OnServerFormatDataResponse(const CLIPRDR_FORMAT_DATA_RESPONSE *response) {
    std::optional<PendingRemote> pending;
    {
        std::lock_guard lock(mutex_);
        pending = pendingRemote_;
        pendingRemote_.reset();
    }
    if (!pending) {
        control_.PostLog(FreeRdpControl::LogLevel::Warning,
                         QStringLiteral("Clipboard: the server sent data nobody asked for; dropped"));
        return CHANNEL_RC_OK;
    }
    const bool ok = (response->msgFlags & CB_RESPONSE_OK) != 0 && response->requestedFormatData;
    QByteArray data;
    bool delivered = ok;
    if (ok && response->dataLen > clipboard::MaximumPayloadBytes) {
        control_.PostLog(
            FreeRdpControl::LogLevel::Warning,
            QStringLiteral("Clipboard: the server's data of %1 bytes exceeds the limit of %2; dropped")
                .arg(response->dataLen)
                .arg(clipboard::MaximumPayloadBytes));
        delivered = false;
    } else if (ok) {
        data = Converted(*pending, response->requestedFormatData, response->dataLen);
        if (data.isEmpty() && pending->mime != QLatin1String(clipboard::ClipboardMime::Text)) {
            control_.PostLog(
                FreeRdpControl::LogLevel::Warning,
                QStringLiteral("Clipboard: the server's %1 data of %2 bytes is not readable; dropped")
                    .arg(pending->mime)
                    .arg(response->dataLen));
            delivered = false;
        }
    }
    const std::uint64_t number = pending->request;
    control_.PostClipboardEvent([number, data = std::move(data), delivered](RdpClipboardEvents &events) {
        events.OnRemoteClipboardData(number, data, delivered);
    });
    return CHANNEL_RC_OK;
}

// The server's data as the session window takes it; empty when it is not readable.
QByteArray ClipboardChannel::Converted(const PendingRemote &pending, const BYTE *data, UINT32 size) {
    switch (pending.formatId) {
    case clipboard::FormatUnicodeText:
        return clipboard::UnicodeTextToUtf8(data, size);
    case clipboard::FormatText:
        return clipboard::AnsiTextToUtf8(data, size);
    case clipboard::FormatDib:
    case clipboard::FormatDibV5:
        return clipboard::PngFromDib(data, size);
    default:
        break;
    }
    if (pending.mime == QLatin1String(clipboard::ClipboardMime::Html))
        return clipboard::HtmlFromHtmlFormat(data, size);
    if (pending.mime == QLatin1String(clipboard::ClipboardMime::Png) && IsPng(data, size))
        return QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    return {};
}

UINT ClipboardChannel::SendDataResponseLocked(const QByteArray &bytes, bool ok) {
    CLIPRDR_FORMAT_DATA_RESPONSE response{};
    response.msgType = CB_FORMAT_DATA_RESPONSE;
    response.msgFlags = ok ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.dataLen = ok ? static_cast<UINT32>(bytes.size()) : 0;
    response.requestedFormatData = ok ? reinterpret_cast<const BYTE *>(bytes.constData()) : nullptr;
    return cliprdr_->ClientFormatDataResponse(cliprdr_, &response);
}

void ClipboardChannel::FailPendingRemoteLocked() {
    if (!pendingRemote_) return;
    const std::uint64_t number = pendingRemote_->request;
    pendingRemote_.reset();
    control_.PostClipboardEvent(
        [number](RdpClipboardEvents &events) { events.OnRemoteClipboardData(number, {}, false); });
}

// --- the control's clipboard calls -----------------------------------------------------

void FreeRdpControl::OfferLocalClipboard(const QStringList &mimeTypes) {
    clipboard_->Offer(mimeTypes);
}

std::uint64_t FreeRdpControl::RequestRemoteClipboard(const QString &mimeType) {
    return clipboard_->Request(mimeType);
}

void FreeRdpControl::ProvideLocalClipboard(std::uint64_t request, const QByteArray &data, bool ok) {
    clipboard_->Provide(request, data, ok);
}

void FreeRdpControl::PostClipboardEvent(std::function<void(RdpClipboardEvents &)> event,
                                        std::function<void()> unheard) {
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this, event = std::move(event), unheard = std::move(unheard)] {
            if (clipboardHandler_)
                event(*clipboardHandler_);
            else if (unheard)
                unheard();
        },
        Qt::QueuedConnection);
}

} // namespace tsc::engine
