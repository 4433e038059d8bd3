// The desktop's clipboard shared with sessions, on the toolkit's in-process clipboard
// (offscreen): sessions are controls that answer the way a test tells them.

#include "SessionClipboard.h"
#include "QuietHost.h"
#include "RdpSessionWidget.h"
#include "SessionWindow.h"
#include "ShadowServer.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace tsc {
namespace {

using test::QuietHost;

class ClipboardControl final : public RdpControl {
  public:
    RdpClipboardEvents *handler = nullptr;
    std::vector<QStringList> offers;
    QStringList requests;
    std::vector<std::pair<QByteArray, bool>> provided;
    std::optional<QByteArray> answer; // what the server answers a paste with; none: it never does
    int answerAfterMs = 20;
    std::uint64_t bytes = 0; // what the session's clipboard sent so far

    void SetClipboardHandler(RdpClipboardEvents *events) override { handler = events; }
    void OfferLocalClipboard(const QStringList &mimeTypes) override { offers.push_back(mimeTypes); }
    std::uint64_t RequestRemoteClipboard(const QString &mimeType) override {
        requests << mimeType;
        const std::uint64_t request = ++next_;
        if (answer)
            QTimer::singleShot(answerAfterMs, [this, request, data = *answer] {
                if (handler) handler->OnRemoteClipboardData(request, data, true);
            });
        return request;
    }
    void ProvideLocalClipboard(std::uint64_t, QByteArray data, bool ok) override {
        provided.emplace_back(data, ok);
    }
    std::uint64_t ClipboardBytesReceived() const override { return bytes; }
    QStringList receivedInto; // folders files were asked into
    std::uint64_t ReceiveRemoteFiles(const QString &folder) override {
        receivedInto << folder;
        return ++next_;
    }

    const ConnectionSettings &Settings() const override { return settings_; }
    bool FullScreen() const override { return false; }
    void SetFullScreen(bool) override {}
    RdpConnectionState Connected() const override { return RdpConnectionState::Connected; }
    bool Connect(const ConnectionSettings &) override { return true; }
    void Disconnect() override {}
    void SetEventHandler(RdpControlEvents *) override {}
    void SetFrameHandler(RdpFrameEvents *) override {}
    void SetLogSink(LogSink *) override {}
    std::mutex &FrameLock() override { return lock_; }
    RdpFrame Frame() const override { return {}; }
    void SendKey(std::uint32_t, bool) override {}
    void SendMouseMove(int, int) override {}
    void SendMouseButton(RdpMouseButton, bool, int, int) override {}
    void SendWheel(int, bool, int, int) override {}
    void SetFocus(bool) override {}

  private:
    ConnectionSettings settings_;
    std::mutex lock_;
    std::uint64_t next_ = 0;
};

QClipboard *Desktop() {
    return QGuiApplication::clipboard();
}

TEST(SessionClipboard, CopyInOneSessionPastesHereAndInTheOther) {
    Desktop()->clear();
    ClipboardControl first;
    ClipboardControl second;
    first.answer = QByteArray("from the first\nsession");
    SessionClipboard firstBridge(first, Desktop());
    SessionClipboard secondBridge(second, Desktop());

    firstBridge.OnRemoteClipboardOffer({"text/plain"});
    // Announced to the other session only; nothing fetched until someone pastes.
    ASSERT_FALSE(second.offers.empty());
    EXPECT_EQ(second.offers.back(), QStringList{"text/plain"});
    EXPECT_TRUE(first.offers.empty() || first.offers.back() != QStringList{"text/plain"});
    EXPECT_TRUE(first.requests.isEmpty());

    secondBridge.OnLocalClipboardRequested(7, "text/plain");
    ASSERT_EQ(second.provided.size(), 1u);
    EXPECT_EQ(second.provided[0], std::make_pair(QByteArray("from the first\nsession"), true));
    EXPECT_EQ(Desktop()->text(), "from the first\nsession"); // fetched once, kept
    EXPECT_EQ(first.requests, QStringList{"text/plain"});

    // The first session's own copy is never handed back to it.
    firstBridge.OnLocalClipboardRequested(8, "text/plain");
    ASSERT_EQ(first.provided.size(), 1u);
    EXPECT_FALSE(first.provided[0].second);

    // A copy here is offered to both sessions.
    Desktop()->setText("local");
    EXPECT_EQ(first.offers.back(), QStringList{"text/plain"});
    EXPECT_EQ(second.offers.back(), QStringList{"text/plain"});

    // A program that names its text UTF-8 has its own bytes handed on, not a copy the
    // toolkit decoded and encoded again.
    const QByteArray own = "own bytes\n\xFF";
    auto *named = new QMimeData;
    named->setData("text/plain", "the toolkit's");
    named->setData("text/plain;charset=utf-8", own);
    Desktop()->setMimeData(named);
    firstBridge.OnLocalClipboardRequested(9, "text/plain");
    ASSERT_EQ(first.provided.size(), 2u);
    EXPECT_TRUE(first.provided[1].second);
    EXPECT_EQ(first.provided[1].first.constData(), own.constData());
}

TEST(SessionClipboard, PasteFromASilentSessionGivesUpAndEventsKeepFlowing) {
    ClipboardControl silent;
    SessionClipboard bridge(silent, Desktop());
    bridge.OnRemoteClipboardOffer({"text/plain"});
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(100);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(Desktop()->text(), "");
    EXPECT_GE(clock.elapsed(), RdpClipboardAnswerLimitMs * 8 / 10); // a coarse timer may end early
    EXPECT_LT(clock.elapsed(), RdpClipboardAnswerLimitMs + 3000);
    EXPECT_GT(ticks, 10); // the user-interface thread kept working meanwhile

    // Once the session is gone, what it offered leaves the clipboard.
    bridge.OnRemoteClipboardOffer({});
    const QMimeData *left = Desktop()->mimeData();
    EXPECT_TRUE(!left || !left->hasText());
}

// A large answer takes the server longer than the answer limit: while its data keeps
// arriving, the paste waits for it.
TEST(SessionClipboard, PasteWaitsForAnAnswerThatKeepsArriving) {
    ClipboardControl slow;
    slow.answer = QByteArray("all of it");
    slow.answerAfterMs = RdpClipboardAnswerLimitMs + 2000;
    SessionClipboard bridge(slow, Desktop());
    bridge.OnRemoteClipboardOffer({"text/plain"});
    QTimer arriving;
    QObject::connect(&arriving, &QTimer::timeout, [&] { slow.bytes += 1600; });
    arriving.start(500);
    EXPECT_EQ(Desktop()->text(), "all of it");
    bridge.OnRemoteClipboardOffer({});
}

TEST(SessionClipboard, FilesGoIntoAFolderAndNeverOntoTheDesktopClipboard) {
    Desktop()->clear();
    ClipboardControl control;
    SessionClipboard bridge(control, Desktop());
    // The session's files: announced, but a desktop program cannot paste them from here.
    bridge.OnRemoteClipboardOffer({"text/plain", "text/uri-list"});
    EXPECT_TRUE(bridge.RemoteFilesOffered());
    ASSERT_NE(Desktop()->mimeData(), nullptr);
    EXPECT_FALSE(Desktop()->mimeData()->hasUrls());
    EXPECT_TRUE(Desktop()->mimeData()->hasText());
    std::optional<std::pair<int, bool>> done;
    const std::uint64_t transfer =
        bridge.PasteRemoteFiles("/some/folder", [&](int files, bool ok) { done.emplace(files, ok); });
    ASSERT_NE(transfer, 0u);
    EXPECT_EQ(bridge.PasteRemoteFiles("/other"), 0u); // one transfer at a time
    EXPECT_EQ(control.receivedInto, QStringList{"/some/folder"});
    bridge.OnRemoteFilesReceived(transfer + 1, 9, true); // not this transfer
    EXPECT_FALSE(done);
    bridge.OnRemoteFilesReceived(transfer, 2, true);
    EXPECT_EQ(done, std::make_pair(2, true));

    // A local file list is offered as such, and given as it stands when asked for.
    auto *files = new QMimeData;
    files->setUrls({QUrl::fromLocalFile("/home/u/a b.txt")});
    Desktop()->setMimeData(files);
    ASSERT_FALSE(control.offers.empty());
    EXPECT_TRUE(control.offers.back().contains("text/uri-list"))
        << control.offers.back().join(",").toStdString();
    bridge.OnLocalClipboardRequested(1, "text/uri-list");
    ASSERT_EQ(control.provided.size(), 1u);
    EXPECT_TRUE(control.provided[0].second);
    EXPECT_TRUE(control.provided[0].first.startsWith("file:///home/u/a%20b.txt"));
}

// Ctrl+Alt+Shift+F in the session asks where the session's files go, and only while
// the session has copied files; otherwise the key is the server's like any other.
TEST(SessionClipboard, TheFilesKeyAsksForAFolderWhileTheSessionHasFiles) {
    QuietHost host;
    auto owned = std::make_unique<ClipboardControl>();
    ClipboardControl &control = *owned;
    SessionWindow window(RdpControlVariant::Win7_61, std::move(owned), host);
    int asked = 0;
    window.SetFolderChooser([&] {
        ++asked;
        return QStringLiteral("/chosen/folder");
    });
    auto *session = window.findChild<RdpSessionWidget *>(QStringLiteral("MsRdpClient"));
    ASSERT_NE(session, nullptr);
    ASSERT_NE(control.handler, nullptr);
    const auto pressFilesKey = [&] {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_F,
                        Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        QCoreApplication::sendEvent(session, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_F,
                          Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        QCoreApplication::sendEvent(session, &release);
    };

    pressFilesKey(); // nothing copied in the session
    EXPECT_EQ(asked, 0);
    control.handler->OnRemoteClipboardOffer({"text/uri-list"});
    pressFilesKey();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(control.receivedInto, QStringList{"/chosen/folder"});
    control.handler->OnRemoteClipboardOffer({"text/plain"}); // the session copied text since
    pressFilesKey();
    EXPECT_EQ(asked, 1);

    // A full-screen session holds the keyboard: the dialog has it while it is open (a
    // path can be typed), the session takes it back after.
    window.show();
    window.activateWindow();
    session->setFocus();
    ASSERT_TRUE(test::WaitFor([&] { return window.isActiveWindow() && session->hasFocus(); }, 5000));
    session->SetKeyboardGrabWanted(true);
    ASSERT_TRUE(session->KeyboardGrabbed());
    QWidget *grabberInDialog = session;
    window.SetFolderChooser([&] {
        grabberInDialog = QWidget::keyboardGrabber();
        return QStringLiteral("/chosen/folder");
    });
    control.handler->OnRemoteClipboardOffer({"text/uri-list"});
    pressFilesKey();
    EXPECT_EQ(grabberInDialog, nullptr);
    EXPECT_TRUE(session->KeyboardGrabbed());
    EXPECT_EQ(QWidget::keyboardGrabber(), session);
    session->SetKeyboardGrabWanted(false);
}

} // namespace
} // namespace tsc
