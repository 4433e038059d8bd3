// Drawing straight into X11 windows: what the painter puts into a window is what the
// X server then holds, piece by piece, and a session widget on X11 shows its frame
// without a toolkit backing store. Runs on an Xvfb display of its own.

#include "X11WindowPainter.h"
#include "../shell/FakeRdpControl.h"
#include "LeakCheckBeforeExit.h"
#include "RdpSessionWidget.h"

#include <QApplication>
#include <QBackingStore>
#include <QImage>
#include <QPaintEvent>
#include <QPalette>
#include <QProcess>
#include <QWidget>

#include <gtest/gtest.h>
#include <xcb/xcb.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace tsc {
namespace {

using shell::testing::FakeRdpControl;

template <typename Condition> bool WaitFor(Condition condition, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 10) {
        QApplication::processEvents();
        if (condition()) return true;
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
    return condition();
}

xcb_connection_t *Connection() {
    return qApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

// What the X server holds in the window (the root window: the screen), as 0xRRGGBB
// values row by row.
std::vector<std::uint32_t> WindowPixels(WId window, int width, int height) {
    xcb_get_image_reply_t *reply = xcb_get_image_reply(
        Connection(),
        xcb_get_image(Connection(), XCB_IMAGE_FORMAT_Z_PIXMAP, static_cast<xcb_drawable_t>(window), 0, 0,
                      static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), ~0u),
        nullptr);
    std::vector<std::uint32_t> pixels;
    if (!reply) return pixels;
    const auto *data = reinterpret_cast<const std::uint32_t *>(xcb_get_image_data(reply));
    pixels.assign(data, data + std::size_t(width) * std::size_t(height));
    for (std::uint32_t &pixel : pixels)
        pixel &= 0xFFFFFFu;
    std::free(reply);
    return pixels;
}

WId ScreenRoot() {
    return xcb_setup_roots_iterator(xcb_get_setup(Connection())).data->root;
}

// A window the toolkit never paints into.
class BareWindow : public QWidget {
  public:
    BareWindow() {
        setAttribute(Qt::WA_NativeWindow);
        setAttribute(Qt::WA_PaintOnScreen);
        setAttribute(Qt::WA_NoSystemBackground);
        setWindowFlag(Qt::FramelessWindowHint);
    }
    QPaintEngine *paintEngine() const override { return nullptr; }

  protected:
    void paintEvent(QPaintEvent *) override {}
};

constexpr int Width = 300;
constexpr int Height = 200;

std::uint32_t Pattern(int x, int y) {
    return (static_cast<std::uint32_t>(x * 7) & 0xFFu) << 16 |
           (static_cast<std::uint32_t>(y * 5) & 0xFFu) << 8 | (static_cast<std::uint32_t>(x ^ y) & 0xFFu);
}

TEST(X11WindowPainter, PutsEveryPartOfTheRegionAndNothingElse) {
    std::vector<std::uint32_t> image(std::size_t(Width) * Height);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            image[std::size_t(y) * Width + x] = 0xFF000000u | Pattern(x, y);
    const auto *pixels = reinterpret_cast<const std::uint8_t *>(image.data());

    BareWindow window;
    window.setGeometry(0, 0, Width, Height);
    window.show();
    ASSERT_TRUE(WaitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }, 5000));

    // The same image in a memory file, as the engine keeps the remote screen: the X
    // server reads it from there.
    const int fd = memfd_create("painter-test", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(image.size() * 4)), 0);
    auto *shared = static_cast<std::uint8_t *>(
        mmap(nullptr, image.size() * 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    ASSERT_NE(shared, MAP_FAILED);
    std::memcpy(shared, pixels, image.size() * 4);

    struct Case {
        const char *name;
        std::size_t requestLimit; // 0: the server's
        QRegion region;
        bool lent = false; // the image in the memory file, lent to the server
    };
    const QRegion twoParts = QRegion(10, 20, 50, 40) + QRegion(200, 150, 90, 45);
    const Case cases[] = {
        {"whole rows, one request", 0, QRegion(0, 30, Width, 100)},
        {"whole rows, 13 rows a request", 16416, QRegion(0, 0, Width, Height)},
        {"narrow, one request", 0, QRegion(40, 25, 101, 77)},
        {"narrow, in pieces", 16416, QRegion(40, 25, 101, 177)},
        {"two parts, one past the image", 0, twoParts + QRegion(250, 180, 100, 100)},
        {"lent, whole image", 0, QRegion(0, 0, Width, Height), true},
        {"lent, two parts, one past the image", 0, twoParts + QRegion(250, 180, 100, 100), true},
    };
    for (const Case &c : cases) {
        std::unique_ptr<X11WindowPainter> painter = X11WindowPainter::Create(c.requestLimit);
        ASSERT_NE(painter, nullptr) << c.name;
        ASSERT_TRUE(painter->CanDraw(window)) << c.name;
        painter->Fill(window.winId(), QRegion(0, 0, Width, Height), 0x000000);
        if (c.lent) {
            painter->PutImage(window.winId(), shared, Width, Height, Width * 4, c.region, {fd, 1});
            EXPECT_TRUE(painter->LentLastImage()) << c.name;
        } else {
            painter->PutImage(window.winId(), pixels, Width, Height, Width * 4, c.region);
            EXPECT_FALSE(painter->LentLastImage()) << c.name;
        }
        painter->Flush();
        const std::vector<std::uint32_t> shown = WindowPixels(window.winId(), Width, Height);
        ASSERT_EQ(shown.size(), image.size()) << c.name;
        int wrong = 0;
        for (int y = 0; y < Height; ++y)
            for (int x = 0; x < Width; ++x) {
                const std::uint32_t expected = c.region.contains(QPoint(x, y)) ? Pattern(x, y) : 0u;
                if (shown[std::size_t(y) * Width + x] != expected && wrong++ < 3)
                    ADD_FAILURE() << c.name << ": pixel " << x << "," << y << " is " << std::hex
                                  << shown[std::size_t(y) * Width + x] << ", expected " << expected;
            }
        EXPECT_EQ(wrong, 0) << c.name;
    }
    munmap(shared, image.size() * 4);
    close(fd);
}

TEST(X11WindowPainter, ASessionWidgetShowsItsFrameWithoutABackingStore) {
    FakeRdpControl::Record record;
    auto control = std::make_unique<FakeRdpControl>(record);
    FakeRdpControl &fake = *control;
    RdpSessionWidget widget(std::move(control));
    ASSERT_TRUE(widget.PaintsOnScreen());
    widget.setWindowFlag(Qt::FramelessWindowHint);
    widget.setGeometry(0, 0, Width, Height);
    widget.show();
    ASSERT_TRUE(WaitFor([&] { return widget.windowHandle() && widget.windowHandle()->isExposed(); }, 5000));
    fake.Paint(QSize(Width - 100, Height), 0x3366CC); // narrower than the widget: black beside it
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::vector<std::uint32_t> shown = WindowPixels(widget.winId(), Width, Height);
            return !shown.empty() && shown[100 * Width + 50] == 0x3366CCu && shown[100 * Width + 250] == 0u;
        },
        5000));
    // The X server keeps nothing of a window once covered: uncovered, it is painted again.
    {
        QWidget cover;
        cover.setWindowFlag(Qt::FramelessWindowHint);
        cover.setAutoFillBackground(true);
        QPalette red;
        red.setColor(QPalette::Window, Qt::red);
        cover.setPalette(red);
        cover.setGeometry(20, 50, 100, 100);
        cover.show();
        ASSERT_TRUE(WaitFor(
            [&] {
                const std::vector<std::uint32_t> screen = WindowPixels(ScreenRoot(), Width, Height);
                return !screen.empty() && screen[100 * Width + 50] == 0xFF0000u;
            },
            5000));
    }
    EXPECT_TRUE(WaitFor(
        [&] {
            const std::vector<std::uint32_t> screen = WindowPixels(ScreenRoot(), Width, Height);
            return !screen.empty() && screen[100 * Width + 50] == 0x3366CCu;
        },
        5000))
        << "not painted again after being uncovered";
    EXPECT_FALSE(widget.backingStore() && widget.backingStore()->size().isValid() &&
                 !widget.backingStore()->size().isEmpty())
        << "the toolkit keeps a " << widget.backingStore()->size().width() << " x "
        << widget.backingStore()->size().height() << " backing store";
    // grab() still works: the toolkit's way, into an image.
    EXPECT_EQ(widget.grab().toImage().pixel(50, 100) & 0xFFFFFFu, 0x3366CCu);
}

} // namespace
} // namespace tsc

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    QProcess xvfb;
    xvfb.start("Xvfb", {"-displayfd", "1", "-screen", "0", "640x480x24", "-nolisten", "tcp", "-noreset"});
    if (!xvfb.waitForStarted(5000) || !xvfb.waitForReadyRead(10000)) return 2;
    const QByteArray display = ":" + xvfb.readLine().trimmed();
    ::setenv("DISPLAY", display.constData(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    int result = 0;
    {
        QApplication application(argc, argv);
        result = RUN_ALL_TESTS();
    }
    xvfb.terminate();
    xvfb.waitForFinished(3000);
    tsc::test::LeakCheckBeforeExit();
    return result;
}
