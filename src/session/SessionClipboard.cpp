#include "SessionClipboard.h"

#include "ClipboardData.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QImage>
#include <QMimeData>
#include <QTimer>

#include <utility>

namespace tsc {

namespace {

constexpr qint64 RetryAfterFailureMs = 1000;

const QString TextMime = QString::fromLatin1(clipboard::ClipboardMime::Text);
const QString Utf8TextMime = QStringLiteral("text/plain;charset=utf-8");
const QString HtmlMime = QString::fromLatin1(clipboard::ClipboardMime::Html);
const QString PngMime = QString::fromLatin1(clipboard::ClipboardMime::Png);
const QString BmpMime = QString::fromLatin1(clipboard::ClipboardMime::Bmp);
const QString FileListMime = QString::fromLatin1(clipboard::ClipboardMime::FileList);
const QString GnomeFilesMime = QStringLiteral("x-special/gnome-copied-files");
const QString ImageMime = QStringLiteral("application/x-qt-image"); // QMimeData::imageData

// The toolkit asks for text as UTF-8 text first, and for a picture as its own image
// type; each name means the session's offered type.
QString OfferedName(const QString &mime) {
    if (mime == Utf8TextMime) return TextMime;
    if (mime == ImageMime) return PngMime;
    return mime;
}

// What a session copied, on the desktop's clipboard until something else is copied
// there: the types only, the data fetched when a program pastes.
class RemoteMimeData final : public QMimeData {
  public:
    RemoteMimeData(SessionClipboard *owner, QStringList formats)
        : owner_(owner), formats_(std::move(formats)) {}

    QStringList formats() const override { return formats_; }
    bool hasFormat(const QString &mime) const override { return formats_.contains(OfferedName(mime)); }
    [[nodiscard]] const SessionClipboard *Owner() const { return owner_.data(); }

  protected:
    QVariant retrieveData(const QString &mime, QMetaType /*type*/) const override {
        const QString name = OfferedName(mime);
        if (!formats_.contains(name)) return {};
        if (const auto cached = cache_.constFind(name); cached != cache_.constEnd())
            return AsAsked(mime, *cached);
        // The toolkit asks again under another name straight after a failure: the
        // session is not asked twice for one paste.
        if (!owner_ || (failedAt_.isValid() && failedAt_.elapsed() < RetryAfterFailureMs)) return {};
        const std::optional<QByteArray> data = owner_->FetchRemote(name);
        if (!data) {
            failedAt_.start();
            return {};
        }
        cache_.insert(name, *data);
        return AsAsked(mime, *data);
    }

  private:
    // The toolkit's own image type is a QImage, every other type its bytes.
    static QVariant AsAsked(const QString &mime, const QByteArray &data) {
        if (mime == ImageMime) return QImage::fromData(data, "PNG");
        return data;
    }

    QPointer<SessionClipboard> owner_;
    QStringList formats_;
    mutable QHash<QString, QByteArray> cache_;
    mutable QElapsedTimer failedAt_;
};

} // namespace

struct SessionClipboard::Wait {
    std::uint64_t request = 0;
    bool done = false;
    bool ok = false;
    QByteArray data;
    QEventLoop loop;
};

SessionClipboard::SessionClipboard(RdpControl &control, QClipboard *clipboard)
    : control_(control), clipboard_(clipboard) {
    control_.SetClipboardHandler(this);
    if (!clipboard_) return;
    connect(clipboard_, &QClipboard::dataChanged, this, [this] { OnLocalClipboardChanged(); });
    OnLocalClipboardChanged(); // what is there now is offered once the session is up
}

SessionClipboard::~SessionClipboard() {
    control_.SetClipboardHandler(nullptr);
    if (wait_) wait_->loop.quit();
    // What this session copied cannot be fetched any more.
    ClearOwnContent();
}

bool SessionClipboard::OwnsClipboardContent(QClipboard::Mode mode) const {
    const auto *remote = dynamic_cast<const RemoteMimeData *>(clipboard_->mimeData(mode));
    return remote && remote->Owner() == this;
}

void SessionClipboard::ClearOwnContent() {
    if (!clipboard_) return;
    for (const QClipboard::Mode mode : {QClipboard::Clipboard, QClipboard::Selection})
        if ((mode == QClipboard::Clipboard || clipboard_->supportsSelection()) && OwnsClipboardContent(mode))
            clipboard_->clear(mode);
}

void SessionClipboard::OnLocalClipboardChanged() {
    if (!clipboard_ || OwnsClipboardContent()) return;
    const QMimeData *data = clipboard_->mimeData(QClipboard::Clipboard);
    QStringList offer;
    if (data && data->hasFormat(TextMime)) offer << TextMime;
    if (data && data->hasHtml()) offer << HtmlMime;
    if (data && data->hasImage()) offer << BmpMime;
    if (data && (data->hasUrls() || data->hasFormat(GnomeFilesMime))) offer << FileListMime;
    control_.OfferLocalClipboard(offer);
}

void SessionClipboard::OnRemoteClipboardOffer(const QStringList &offered) {
    // The session's files are not pasted from the desktop's clipboard: they go into a
    // folder with PasteRemoteFiles.
    const bool filesBefore = std::exchange(remoteFilesOffered_, offered.contains(FileListMime));
    if (filesBefore != remoteFilesOffered_ && remoteFilesListener_) remoteFilesListener_(remoteFilesOffered_);
    QStringList mimeTypes = offered;
    mimeTypes.removeAll(FileListMime);
    if (!clipboard_) return;
    if (mimeTypes.isEmpty() && !remoteFilesOffered_) {
        ClearOwnContent();
        return;
    }
    clipboard_->setMimeData(new RemoteMimeData(this, mimeTypes), QClipboard::Clipboard);
    // A copy in the session is the user's latest choice: a middle click pastes it too.
    if (clipboard_->supportsSelection())
        clipboard_->setMimeData(new RemoteMimeData(this, mimeTypes), QClipboard::Selection);
}

void SessionClipboard::OnRemoteClipboardData(std::uint64_t request, const QByteArray &data, bool ok) {
    if (!wait_ || wait_->request != request) return; // given up on already
    wait_->done = true;
    wait_->ok = ok;
    wait_->data = data;
    wait_->loop.quit();
}

void SessionClipboard::OnLocalClipboardRequested(std::uint64_t request, const QString &mimeType) {
    // The session's own copy is never handed back to it: it would wait on itself.
    const QMimeData *data =
        clipboard_ && !OwnsClipboardContent() ? clipboard_->mimeData(QClipboard::Clipboard) : nullptr;
    QByteArray bytes;
    bool ok = false;
    if (!data) {
    } else if (mimeType == TextMime && data->hasFormat(TextMime)) {
        // The bytes as the program that copied them gave them, where it offers UTF-8 by
        // name; otherwise the toolkit's text as UTF-8 sized exactly (the toolkit's text
        // is let go at the end of the statement). The channel checks and converts them,
        // and lets them go before the protocol library copies its message: the text is
        // not held twice.
        if (data->hasFormat(Utf8TextMime)) bytes = data->data(Utf8TextMime);
        if (bytes.isEmpty()) bytes = clipboard::Utf8OfText(data->text());
        ok = true;
    } else if (mimeType == HtmlMime && data->hasHtml()) {
        bytes = data->html().toUtf8();
        ok = true;
    } else if (mimeType == BmpMime && data->hasImage()) {
        // A program that copied a BMP file has it handed on as it is; any other picture
        // is decoded and written as one. A large picture is thus not held decoded, too.
        if (data->hasFormat(BmpMime)) bytes = data->data(BmpMime);
        ok = clipboard::DibOffsetInBmpFile(bytes) > 0;
        if (!ok) {
            bytes.clear();
            const QImage image = qvariant_cast<QImage>(data->imageData());
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            ok = !image.isNull() && image.save(&buffer, "BMP");
        }
    } else if (mimeType == FileListMime) {
        // The desktop's file list as it stands: the channel reads the paths from it.
        bytes = data->hasFormat(GnomeFilesMime) ? data->data(GnomeFilesMime) : data->data(FileListMime);
        ok = !bytes.isEmpty();
    }
    if (!ok) bytes.clear();
    control_.ProvideLocalClipboard(request, std::move(bytes), ok);
}

std::uint64_t SessionClipboard::PasteRemoteFiles(const QString &folder, std::function<void(int, bool)> done) {
    if (filesTransfer_ != 0) return 0; // one transfer at a time
    filesTransfer_ = control_.ReceiveRemoteFiles(folder);
    if (filesTransfer_ != 0) filesDone_ = std::move(done);
    return filesTransfer_;
}

void SessionClipboard::OnRemoteFilesReceived(std::uint64_t transfer, int files, bool ok) {
    if (transfer != filesTransfer_) return;
    filesTransfer_ = 0;
    if (auto done = std::exchange(filesDone_, {})) done(files, ok);
}

std::optional<QByteArray> SessionClipboard::FetchRemote(const QString &mimeType) {
    if (wait_) return std::nullopt; // one paste from the session at a time
    const std::uint64_t request = control_.RequestRemoteClipboard(mimeType);
    if (request == 0) return std::nullopt;
    auto wait = std::make_shared<Wait>();
    wait->request = request;
    wait_ = wait;
    // Given up after the answer limit without anything from the session's clipboard;
    // an answer still arriving (a large picture) is waited for up to the transfer limit.
    const QPointer<SessionClipboard> self(this);
    QElapsedTimer sinceData;
    sinceData.start();
    QElapsedTimer total;
    total.start();
    std::uint64_t received = control_.ClipboardBytesReceived();
    QTimer watch;
    watch.setInterval(100);
    QObject::connect(&watch, &QTimer::timeout, &wait->loop, [&, loop = &wait->loop] {
        if (!self) return loop->quit();
        if (const std::uint64_t now = control_.ClipboardBytesReceived(); now != received) {
            received = now;
            sinceData.restart();
        }
        if (sinceData.elapsed() >= RdpClipboardAnswerLimitMs ||
            total.elapsed() >= RdpClipboardTransferLimitMs)
            loop->quit();
    });
    watch.start();
    if (!wait->done) wait->loop.exec();
    if (self) self->wait_.reset();
    if (!wait->ok) return std::nullopt;
    return std::move(wait->data);
}

} // namespace tsc
