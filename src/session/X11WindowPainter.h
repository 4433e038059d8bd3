#pragma once

// Draws into a widget's own X11 window with plain X requests. A window showing a
// remote screen then needs no second copy of it: through the toolkit every top-level
// window keeps a backing store of its own size (3 MB at 1024 x 768, kept in memory
// shared with the X server) and every update is copied into it first.
//
// For widgets with Qt::WA_PaintOnScreen whose paintEngine() returns null: they paint
// in paintEvent through this class, and the X server fills the rest.
//
// An image that lives in a memory file (the engine's screen memory) is lent to an X
// server on this machine (MIT-SHM 1.2, by file descriptor): the server then reads
// the changed pixels from that memory instead of the client writing them through
// the connection and the server reading them back out (at 20 frames a second of
// 1024 x 768, 60 MB a second each way). A request whose reply says the server has
// handled the puts follows each update; the next update waits for that reply first,
// so updates never pile up in the server. Other images, and every image on a remote
// X server, go as plain PutImage requests.

#include <QRegion>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct xcb_connection_t;

namespace tsc {

// The memory file an image lives in (its first byte at offset 0), and a number naming
// that memory for the process's lifetime; fd -1: plain memory.
struct ImageFile {
    int fd = -1;
    std::uint64_t id = 0;
};

class X11WindowPainter {
  public:
    // Null unless the application runs on X11 and the X server takes the engine's
    // pixels as they are: a 24-bit TrueColor root visual with red 0xFF0000, green
    // 0x00FF00 and blue 0x0000FF, 32 bits per pixel, least significant byte first.
    // `requestLimitBytes` caps the size of one X request below the server's own
    // limit (0: the server's limit only); images larger than that go in pieces.
    static std::unique_ptr<X11WindowPainter> Create(std::size_t requestLimitBytes = 0);
    ~X11WindowPainter();
    X11WindowPainter(const X11WindowPainter &) = delete;
    X11WindowPainter &operator=(const X11WindowPainter &) = delete;

    // Whether the widget's window takes the calls below: it has the root's depth
    // (asked of the server once per window) and the toolkit does not scale it.
    [[nodiscard]] bool CanDraw(const QWidget &widget);

    // Copies the parts of `region` inside the image into the window; the image is in
    // QImage::Format_RGB32 layout with its origin at the window's top-left corner.
    void PutImage(WId window, const std::uint8_t *pixels, int width, int height, int stride,
                  const QRegion &region, ImageFile file = {});
    // Fills `region` with an 0xRRGGBB colour.
    void Fill(WId window, const QRegion &region, std::uint32_t rgb);
    // Sends what is queued now rather than when the event loop next waits.
    void Flush();
    // Whether the last PutImage had the server read the image's memory itself.
    [[nodiscard]] bool LentLastImage() const { return lentLastImage_; }

  private:
    X11WindowPainter(xcb_connection_t *connection, std::uint32_t gc, std::uint8_t depth,
                     std::size_t maximumRequestBytes, bool serverTakesMemoryFiles);
    void PutRows(WId window, const std::uint8_t *rows, int x, int y, int width, int count);
    void PutThroughConnection(WId window, const std::uint8_t *pixels, int stride, const QRect &rect);
    // Lends the file to the server unless it has it already; false when it cannot.
    bool LendToServer(ImageFile file);
    void TakeBackFromServer();
    void WaitForLastUpdate();

    xcb_connection_t *connection_;
    std::uint32_t gc_;
    std::uint8_t depth_;
    std::size_t maximumRequestBytes_;
    WId checkedWindow_ = 0;
    bool checkedWindowDrawable_ = false;
    std::vector<std::uint8_t> scratch_; // rows of a rectangle narrower than the image

    bool serverTakesMemoryFiles_;
    std::uint32_t segment_ = 0; // the server's name for the lent memory; 0: none
    std::uint64_t segmentImageId_ = 0;
    std::uint32_t updateHandled_ = 0; // sequence of the request that follows the last update
    bool updatePending_ = false;
    bool lentLastImage_ = false;
};

} // namespace tsc
