#pragma once

// The desktop's clipboard (QClipboard: the X selection CLIPBOARD) shared with one
// session. Where the desktop has a selection as well (X11's PRIMARY), a copy in the
// session becomes the selection too, so a middle click pastes it; the desktop's
// selection is not offered to the session (each mouse selection would replace what
// the session copied). A local copy is announced to the session by its formats only; the data
// is read when the session pastes. A copy in the session is put on the desktop's
// clipboard as a promise: the data is fetched when a local program pastes, with a
// bounded wait during which events keep being handled. Several sessions share the
// one desktop clipboard: what one session copied is offered to the others.

#include "RdpControl.h"

#include <QClipboard>
#include <QObject>
#include <QPointer>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tsc {

class LogSink;

class SessionClipboard final : public QObject, public RdpClipboardEvents {
  public:
    // Listens to `control` until destroyed; `clipboard` is the application's.
    SessionClipboard(RdpControl &control, QClipboard *clipboard);
    ~SessionClipboard() override;
    SessionClipboard(const SessionClipboard &) = delete;
    SessionClipboard &operator=(const SessionClipboard &) = delete;

    void OnRemoteClipboardOffer(const QStringList &mimeTypes) override;
    void OnRemoteClipboardData(std::uint64_t request, const QByteArray &data, bool ok) override;
    void OnLocalClipboardRequested(std::uint64_t request, const QString &mimeType) override;
    void OnRemoteFilesReceived(std::uint64_t transfer, int files, bool ok) override;

    // Files the session copied: whether there are any now, and their transfer into a
    // folder the user chose (0: not started; the log says why). The files are written
    // away from the user-interface thread; `done` (if set) hears the end.
    [[nodiscard]] bool RemoteFilesOffered() const { return remoteFilesOffered_; }
    // Hears each change of RemoteFilesOffered().
    void SetRemoteFilesListener(std::function<void(bool offered)> listener) {
        remoteFilesListener_ = std::move(listener);
    }
    std::uint64_t PasteRemoteFiles(const QString &folder, std::function<void(int files, bool ok)> done = {});

    // The session's data for an offered type, waiting at most the answer limit while
    // events are handled; empty when the session refused or did not answer.
    [[nodiscard]] std::optional<QByteArray> FetchRemote(const QString &mimeType);

  private:
    struct Wait;

    void OnLocalClipboardChanged();
    [[nodiscard]] bool OwnsClipboardContent(QClipboard::Mode mode = QClipboard::Clipboard) const;
    void ClearOwnContent();

    RdpControl &control_;
    QPointer<QClipboard> clipboard_;
    std::shared_ptr<Wait> wait_; // the fetch waiting now, if any
    bool remoteFilesOffered_ = false;
    std::uint64_t filesTransfer_ = 0;
    std::function<void(int, bool)> filesDone_;
    std::function<void(bool)> remoteFilesListener_;
};

} // namespace tsc
