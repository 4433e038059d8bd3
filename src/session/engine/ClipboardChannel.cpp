#include "ClipboardChannel.h"

#include "EngineContext.h"
#include "FreeRdpControl.h"

#include <QMetaObject>
#include <QTimer>

#include <freerdp/channels/channels.h>
#include <freerdp/channels/cliprdr.h>
#include <freerdp/client/channels.h>
#include <freerdp/event.h>
#include <freerdp/settings.h>

#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

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

UINT OnServerFileContentsRequest(CliprdrClientContext *cliprdr,
                                 const CLIPRDR_FILE_CONTENTS_REQUEST *request) {
    ClipboardChannel *channel = ChannelOf(cliprdr);
    return channel ? channel->OnServerFileContentsRequest(request) : CHANNEL_RC_OK;
}

UINT OnServerFileContentsResponse(CliprdrClientContext *cliprdr,
                                  const CLIPRDR_FILE_CONTENTS_RESPONSE *response) {
    ClipboardChannel *channel = ChannelOf(cliprdr);
    return channel ? channel->OnServerFileContentsResponse(response) : CHANNEL_RC_OK;
}

const QString FileListMime = QString::fromLatin1(clipboard::ClipboardMime::FileList);

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
    channelId_ = -1; // numbered anew by each connection
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
    cliprdr->ServerFileContentsRequest = tsc::engine::OnServerFileContentsRequest;
    cliprdr->ServerFileContentsResponse = tsc::engine::OnServerFileContentsResponse;
}

void ClipboardChannel::Detach() {
    std::lock_guard lock(mutex_);
    if (!cliprdr_) return;
    cliprdr_->custom = nullptr;
    cliprdr_ = nullptr;
    ready_ = false;
    EndTransferLocked(QStringLiteral("the session ended"));
    FailPendingRemoteLocked();
    pendingLocal_.reset();
    localFiles_.clear();
    if (!remoteOffer_.empty()) {
        remoteOffer_.clear();
        control_.PostClipboardEvent([](RdpClipboardEvents &events) { events.OnRemoteClipboardOffer({}); });
    }
}

// --- the session window's side -------------------------------------------------------

void ClipboardChannel::Offer(const QStringList &mimeTypes) {
    std::lock_guard lock(mutex_);
    localOffer_ = mimeTypes;
    localFiles_.clear(); // what the server may read goes with the copy it belongs to
    if (cliprdr_ && ready_) SendLocalFormatsLocked();
}

std::uint64_t ClipboardChannel::Request(const QString &mimeType) {
    std::lock_guard lock(mutex_);
    if (!cliprdr_ || !ready_) return 0;
    const auto offered =
        std::find_if(remoteOffer_.begin(), remoteOffer_.end(),
                     [&](const clipboard::OfferedFormat &format) { return format.mime == mimeType; });
    if (offered == remoteOffer_.end() || mimeType == FileListMime) return 0;
    // One request at a time, as the protocol has it; one the server left unanswered
    // is given up after the answer limit.
    if (pendingRemote_ && pendingRemote_->mime == FileListMime) return 0; // a file transfer's list
    if (pendingRemote_) {
        if (QuietFor(pendingRemote_->sentAt, NowMilliseconds()) < RdpClipboardAnswerLimitMs) return 0;
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

void ClipboardChannel::Provide(std::uint64_t request, QByteArray data, bool ok) {
    std::uint32_t format = 0;
    {
        std::lock_guard lock(mutex_);
        if (!cliprdr_ || !pendingLocal_ || *pendingLocal_ != request) return; // answered or replaced
        format = pendingLocalFormat_;
    }
    // Local files are listed, and text converted, before the lock is taken: the
    // channel's thread goes on.
    std::optional<clipboard::LocalFileList> files;
    QByteArray wire;
    if (!ok || data.size() > static_cast<qsizetype>(clipboard::MaximumPayloadBytes)) {
    } else if (format == clipboard::LocalFileGroupDescriptorId) {
        files = clipboard::CollectLocalFiles(clipboard::LocalPathsFromUriList(data));
    } else if (format == clipboard::FormatUnicodeText) {
        // The desktop's text is let go as soon as it is converted (the temporary of
        // std::exchange ends with the conversion): the library copies the message
        // beside one copy of the text, not two.
        wire = clipboard::Utf8ToUnicodeText(std::exchange(data, QByteArray()));
    } else if (format == clipboard::LocalHtmlFormatId) {
        wire = clipboard::HtmlFormatFromHtml(std::exchange(data, QByteArray()));
    } else if (const qsizetype dib = clipboard::DibOffsetInBmpFile(data);
               format == clipboard::FormatDib && dib > 0) {
        // The bitmap is sent from the file's own bytes: a large picture is not copied
        // once more here.
        wire = QByteArray::fromRawData(data.constData() + dib, data.size() - dib);
    }
    std::lock_guard lock(mutex_);
    if (!cliprdr_ || !pendingLocal_ || *pendingLocal_ != request) return;
    pendingLocal_.reset();
    if (files) {
        std::vector<clipboard::FileDescriptor> descriptors;
        for (const clipboard::LocalFile &file : files->files)
            descriptors.push_back(file.descriptor);
        const QByteArray list = clipboard::BuildFileGroupDescriptor(descriptors);
        localFiles_ = std::move(files->files);
        control_.PostLog(FreeRdpControl::LogLevel::Info,
                         QStringLiteral("Clipboard: %1 files and folders given to the session (%2 left out)")
                             .arg(localFiles_.size())
                             .arg(files->leftOut));
        SendDataResponseLocked(list, !localFiles_.empty());
        return;
    }
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
    general.generalFlags = CB_USE_LONG_FORMAT_NAMES | CB_STREAM_FILECLIP_ENABLED | CB_FILECLIP_NO_FILE_PATHS |
                           CB_HUGE_FILE_SUPPORT_ENABLED;
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
    if (pending->mime == FileListMime) {
        ReceiveFileList(response->requestedFormatData, response->dataLen, ok);
        return CHANNEL_RC_OK;
    }
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

// --- files ------------------------------------------------------------------------------

UINT ClipboardChannel::OnServerFileContentsRequest(const CLIPRDR_FILE_CONTENTS_REQUEST *request) {
    std::string path;
    {
        std::lock_guard lock(mutex_);
        if (!cliprdr_) return CHANNEL_RC_OK;
        if (request->listIndex < localFiles_.size() && !localFiles_[request->listIndex].descriptor.directory)
            path = localFiles_[request->listIndex].path;
    }
    // The file is read on the channel's thread, outside the lock, a bounded range at a time.
    std::optional<QByteArray> bytes;
    if (path.empty()) {
    } else if (request->dwFlags & FILECONTENTS_SIZE) {
        if (const std::optional<std::uint64_t> size = clipboard::LocalFileSize(path)) {
            bytes = QByteArray(8, Qt::Uninitialized);
            qToLittleEndian<quint64>(*size, bytes->data());
        }
    } else if (request->dwFlags & FILECONTENTS_RANGE) {
        const std::uint64_t position = (std::uint64_t{request->nPositionHigh} << 32) | request->nPositionLow;
        bytes = clipboard::ReadLocalRange(path, position, std::min(request->cbRequested, MaximumRangeBytes));
    }
    std::lock_guard lock(mutex_);
    if (!cliprdr_) return CHANNEL_RC_OK;
    CLIPRDR_FILE_CONTENTS_RESPONSE response{};
    response.msgType = CB_FILECONTENTS_RESPONSE;
    response.msgFlags = bytes ? CB_RESPONSE_OK : CB_RESPONSE_FAIL;
    response.streamId = request->streamId;
    response.cbRequested = bytes ? static_cast<UINT32>(bytes->size()) : 0;
    response.requestedData = bytes ? reinterpret_cast<const BYTE *>(bytes->constData()) : nullptr;
    return cliprdr_->ClientFileContentsResponse(cliprdr_, &response);
}

std::uint64_t ClipboardChannel::ReceiveFiles(const QString &folder) {
    std::lock_guard lock(mutex_);
    if (!cliprdr_ || !ready_ || incoming_) return 0;
    // A paste the server left unanswered past the limit does not hold the files back.
    if (pendingRemote_ && QuietFor(pendingRemote_->sentAt, NowMilliseconds()) < RdpClipboardAnswerLimitMs)
        return 0;
    FailPendingRemoteLocked();
    const auto offered =
        std::find_if(remoteOffer_.begin(), remoteOffer_.end(),
                     [](const clipboard::OfferedFormat &format) { return format.mime == FileListMime; });
    if (offered == remoteOffer_.end()) return 0;
    const QString problem = clipboard::ReceivingFolderProblem(folder);
    std::optional<clipboard::FileReceiver> receiver = clipboard::FileReceiver::Open(folder);
    if (!receiver) {
        control_.PostLog(
            FreeRdpControl::LogLevel::Warning,
            QStringLiteral("Clipboard: files from the session cannot go into the chosen folder (%1)")
                .arg(problem.isEmpty() ? QStringLiteral("it cannot be opened") : problem));
        return 0;
    }
    CLIPRDR_FORMAT_DATA_REQUEST request{};
    request.msgType = CB_FORMAT_DATA_REQUEST;
    request.requestedFormatId = offered->id;
    if (cliprdr_->ClientFormatDataRequest(cliprdr_, &request) != CHANNEL_RC_OK) return 0;
    pendingRemote_ = PendingRemote{++nextRequest_, offered->id, FileListMime, NowMilliseconds()};
    incoming_.emplace(Incoming{pendingRemote_->request, std::move(*receiver)});
    control_.PostClipboardCheck(FileAnswerLimitMs);
    return pendingRemote_->request;
}

void ClipboardChannel::ReceiveFileList(const BYTE *data, UINT32 size, bool ok) {
    // Read on the channel's thread; names are checked before any reaches the file system.
    clipboard::FileListReading reading;
    if (ok) reading = clipboard::ReadFileGroupDescriptor(data, size);
    std::lock_guard lock(mutex_);
    if (!incoming_) return;
    if (!ok || !reading.problem.isEmpty()) {
        EndTransferLocked(ok ? QStringLiteral("its file list is unreadable (%1)").arg(reading.problem)
                             : QStringLiteral("the server refused its file list"));
        return;
    }
    for (const QString &refusal : reading.refusals)
        control_.PostLog(FreeRdpControl::LogLevel::Warning,
                         QStringLiteral("Clipboard: a file from the session: %1").arg(refusal));
    incoming_->leftOut = static_cast<int>(reading.refusals.size());
    incoming_->files = std::move(reading.files);
    StartNextFileLocked();
}

void ClipboardChannel::StartNextFileLocked() {
    while (incoming_ && incoming_->next < incoming_->files.size()) {
        const std::size_t index = incoming_->next++;
        const clipboard::FileDescriptor &file = incoming_->files[index];
        if (file.directory) {
            if (!incoming_->receiver.MakeFolder(file.name)) {
                EndTransferLocked(
                    QStringLiteral("a folder could not be made (%1)").arg(qt_error_string(errno)));
                return;
            }
            continue;
        }
        if (!incoming_->receiver.Create(file.name)) {
            if (errno != EEXIST) {
                EndTransferLocked(
                    QStringLiteral("a file could not be made (%1)").arg(qt_error_string(errno)));
                return;
            }
            control_.PostLog(FreeRdpControl::LogLevel::Warning,
                             QStringLiteral("Clipboard: a file from the session: entry %1 of %2 skipped: the "
                                            "folder has one of that name")
                                 .arg(file.listIndex + 1)
                                 .arg(incoming_->files.size() + incoming_->leftOut));
            ++incoming_->leftOut;
            continue;
        }
        incoming_->current = index;
        incoming_->offset = 0;
        RequestRangeLocked();
        return;
    }
    if (incoming_) EndTransferLocked({});
}

void ClipboardChannel::RequestRangeLocked() {
    Incoming &incoming = *incoming_;
    const clipboard::FileDescriptor &file = incoming.files[incoming.current];
    std::uint64_t wanted = ReceiveChunkBytes;
    if (file.size)
        wanted = std::min<std::uint64_t>(wanted, *file.size - std::min(*file.size, incoming.offset));
    if (wanted == 0) { // all the server said there is
        if (!incoming.receiver.Finish(file.writeTimeMs)) {
            EndTransferLocked(QStringLiteral("a file could not be written (%1)").arg(qt_error_string(errno)));
            return;
        }
        ++incoming.filesWritten;
        StartNextFileLocked();
        return;
    }
    CLIPRDR_FILE_CONTENTS_REQUEST request{};
    request.msgType = CB_FILECONTENTS_REQUEST;
    request.streamId = ++nextStream_;
    request.listIndex = file.listIndex;
    request.dwFlags = FILECONTENTS_RANGE;
    request.nPositionLow = static_cast<UINT32>(incoming.offset);
    request.nPositionHigh = static_cast<UINT32>(incoming.offset >> 32);
    request.cbRequested = static_cast<UINT32>(wanted);
    incoming.streamId = request.streamId;
    incoming.asked = request.cbRequested;
    incoming.sentAt = NowMilliseconds();
    if (cliprdr_->ClientFileContentsRequest(cliprdr_, &request) != CHANNEL_RC_OK) {
        EndTransferLocked(QStringLiteral("a request could not be sent"));
        return;
    }
    control_.PostClipboardCheck(FileAnswerLimitMs);
}

UINT ClipboardChannel::OnServerFileContentsResponse(const CLIPRDR_FILE_CONTENTS_RESPONSE *response) {
    std::lock_guard lock(mutex_);
    if (!cliprdr_) return CHANNEL_RC_OK;
    if (!incoming_ || incoming_->sentAt == 0 || response->streamId != incoming_->streamId) {
        control_.PostLog(FreeRdpControl::LogLevel::Warning,
                         QStringLiteral("Clipboard: the server sent file data nobody asked for; dropped"));
        return CHANNEL_RC_OK;
    }
    Incoming &incoming = *incoming_;
    incoming.sentAt = 0;
    if ((response->msgFlags & CB_RESPONSE_OK) == 0) {
        EndTransferLocked(QStringLiteral("the server refused a file's data"));
        return CHANNEL_RC_OK;
    }
    const std::uint32_t size = response->cbRequested;
    if (size > incoming.asked || (size > 0 && !response->requestedData)) {
        EndTransferLocked(QStringLiteral("the server sent %1 bytes of a file when %2 were asked for")
                              .arg(size)
                              .arg(incoming.asked));
        return CHANNEL_RC_OK;
    }
    if (!incoming.receiver.Write(response->requestedData, size)) {
        EndTransferLocked(QStringLiteral("a file could not be written (%1)").arg(qt_error_string(errno)));
        return CHANNEL_RC_OK;
    }
    incoming.offset += size;
    const clipboard::FileDescriptor &file = incoming.files[incoming.current];
    if (!file.size && incoming.offset >= MaximumUnsizedFileBytes) {
        EndTransferLocked(
            QStringLiteral("a file without a size went past %1 bytes").arg(MaximumUnsizedFileBytes));
        return CHANNEL_RC_OK;
    }
    if (size < incoming.asked) { // the file ends here, whatever its descriptor said
        if (!incoming.receiver.Finish(file.writeTimeMs)) {
            EndTransferLocked(QStringLiteral("a file could not be written (%1)").arg(qt_error_string(errno)));
            return CHANNEL_RC_OK;
        }
        ++incoming.filesWritten;
        StartNextFileLocked();
        return CHANNEL_RC_OK;
    }
    RequestRangeLocked();
    return CHANNEL_RC_OK;
}

void ClipboardChannel::NoteChannelData(freerdp *instance, UINT16 channelId, std::size_t size) {
    int known = channelId_.load(std::memory_order_relaxed);
    if (known < 0) {
        // Looked up once per connection: the graphics pipeline's data passes here for
        // every frame. 0 (no clipboard channel in this connection) matches no data.
        known = freerdp_channels_get_id_by_name(instance, CLIPRDR_SVC_CHANNEL_NAME);
        channelId_ = known;
    }
    if (known != channelId) return;
    bytesReceived_ += size;
    lastDataAt_ = NowMilliseconds();
}

std::int64_t ClipboardChannel::QuietFor(std::int64_t sentAt, std::int64_t now) const {
    return now - std::max(sentAt, lastDataAt_.load());
}

void ClipboardChannel::ExpireStale(std::int64_t now) {
    std::lock_guard lock(mutex_);
    if (!incoming_) return;
    const bool listOverdue = pendingRemote_ && pendingRemote_->mime == FileListMime &&
                             QuietFor(pendingRemote_->sentAt, now) >= FileAnswerLimitMs;
    const bool rangeOverdue = incoming_->sentAt != 0 && QuietFor(incoming_->sentAt, now) >= FileAnswerLimitMs;
    if (!listOverdue && !rangeOverdue) return;
    if (listOverdue) pendingRemote_.reset();
    EndTransferLocked(QStringLiteral("the server did not answer within %1 ms").arg(FileAnswerLimitMs));
}

// problem empty: every entry was handled.
void ClipboardChannel::EndTransferLocked(const QString &problem) {
    if (!incoming_) return;
    if (pendingRemote_ && pendingRemote_->request == incoming_->transfer) pendingRemote_.reset();
    incoming_->receiver.Abandon(); // a file begun and not finished goes
    const std::uint64_t transfer = incoming_->transfer;
    const int written = incoming_->filesWritten;
    const bool ok = problem.isEmpty() && incoming_->leftOut == 0;
    if (problem.isEmpty())
        control_.PostLog(FreeRdpControl::LogLevel::Info,
                         QStringLiteral("Clipboard: %1 files received from the session (%2 left out)")
                             .arg(written)
                             .arg(incoming_->leftOut));
    else
        control_.PostLog(
            FreeRdpControl::LogLevel::Warning,
            QStringLiteral("Clipboard: receiving files from the session ended after %1 files: %2")
                .arg(written)
                .arg(problem));
    incoming_.reset();
    control_.PostClipboardEvent([transfer, written, ok](RdpClipboardEvents &events) {
        events.OnRemoteFilesReceived(transfer, written, ok);
    });
}

// --- the control's clipboard calls -----------------------------------------------------

void FreeRdpControl::OfferLocalClipboard(const QStringList &mimeTypes) {
    clipboard_->Offer(mimeTypes);
}

std::uint64_t FreeRdpControl::RequestRemoteClipboard(const QString &mimeType) {
    return clipboard_->Request(mimeType);
}

void FreeRdpControl::ProvideLocalClipboard(std::uint64_t request, QByteArray data, bool ok) {
    clipboard_->Provide(request, std::move(data), ok);
}

std::uint64_t FreeRdpControl::ReceiveRemoteFiles(const QString &folder) {
    return clipboard_->ReceiveFiles(folder);
}

std::uint64_t FreeRdpControl::ClipboardBytesReceived() const {
    return clipboard_->BytesReceived();
}

void FreeRdpControl::PostClipboardCheck(int delayMs) {
    QMetaObject::invokeMethod(
        dispatcher_.get(),
        [this, delayMs] {
            QTimer::singleShot(delayMs + 50, dispatcher_.get(),
                               [this] { clipboard_->ExpireStale(NowMilliseconds()); });
        },
        Qt::QueuedConnection);
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
