#include "X11WindowPainter.h"

#include <QGuiApplication>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tsc {

namespace {

// Rows of a narrow rectangle are gathered in pieces of at most this size, so a
// full-screen update never needs a full-screen buffer.
constexpr std::size_t ScratchBytes = 256 * 1024;
constexpr std::size_t PutImageHeaderBytes = 32; // the request with its big-request length
constexpr std::uint8_t RequiredDepth = 24;

xcb_connection_t *ApplicationConnection() {
    auto *application = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return application ? application->connection() : nullptr;
}

bool TakesRgb32AsItIs(const xcb_setup_t *setup, const xcb_screen_t *screen) {
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || screen->root_depth != RequiredDepth)
        return false;
    bool thirtyTwoBits = false;
    for (auto format = xcb_setup_pixmap_formats_iterator(setup); format.rem; xcb_format_next(&format))
        if (format.data->depth == RequiredDepth) thirtyTwoBits = format.data->bits_per_pixel == 32;
    if (!thirtyTwoBits) return false;
    for (auto depth = xcb_screen_allowed_depths_iterator(screen); depth.rem; xcb_depth_next(&depth)) {
        if (depth.data->depth != RequiredDepth) continue;
        for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem; xcb_visualtype_next(&visual))
            if (visual.data->visual_id == screen->root_visual)
                return visual.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
                       visual.data->red_mask == 0xFF0000u && visual.data->green_mask == 0x00FF00u &&
                       visual.data->blue_mask == 0x0000FFu;
    }
    return false;
}

// MIT-SHM 1.2 takes memory as a file descriptor, which only a server on this
// machine can receive.
bool ServerTakesMemoryFiles(xcb_connection_t *connection) {
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection, &xcb_shm_id);
    if (!extension || !extension->present) return false;
    xcb_shm_query_version_reply_t *version =
        xcb_shm_query_version_reply(connection, xcb_shm_query_version(connection), nullptr);
    const bool takes = version && (version->major_version > 1 ||
                                   (version->major_version == 1 && version->minor_version >= 2));
    std::free(version);
    return takes;
}

// Splits a rectangle's rows into requests the server accepts.
int RowsPerRequest(std::size_t rowBytes, std::size_t maximumBytes) {
    return static_cast<int>(std::max<std::size_t>(1, maximumBytes / rowBytes));
}

} // namespace

std::unique_ptr<X11WindowPainter> X11WindowPainter::Create(std::size_t requestLimitBytes) {
    xcb_connection_t *connection = ApplicationConnection();
    if (!connection || xcb_connection_has_error(connection)) return nullptr;
    const xcb_setup_t *setup = xcb_get_setup(connection);
    const xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (!screens.rem || !TakesRgb32AsItIs(setup, screens.data)) return nullptr;
    // In four-byte units, with big requests when the server has them (xcb asks the
    // server once per connection, and the toolkit has usually done so already).
    std::size_t maximumRequestBytes = std::size_t{xcb_get_maximum_request_length(connection)} * 4;
    if (requestLimitBytes != 0) maximumRequestBytes = std::min(maximumRequestBytes, requestLimitBytes);
    if (maximumRequestBytes < PutImageHeaderBytes + 4096 * 4) return nullptr; // not even one row
    const std::uint32_t gc = xcb_generate_id(connection);
    const std::uint32_t noExposures = 0;
    xcb_create_gc(connection, gc, screens.data->root, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    return std::unique_ptr<X11WindowPainter>(new X11WindowPainter(
        connection, gc, screens.data->root_depth, maximumRequestBytes, ServerTakesMemoryFiles(connection)));
}

X11WindowPainter::X11WindowPainter(xcb_connection_t *connection, std::uint32_t gc, std::uint8_t depth,
                                   std::size_t maximumRequestBytes, bool serverTakesMemoryFiles)
    : connection_(connection), gc_(gc), depth_(depth), maximumRequestBytes_(maximumRequestBytes),
      serverTakesMemoryFiles_(serverTakesMemoryFiles) {}

X11WindowPainter::~X11WindowPainter() {
    // The connection lives as long as the application; a painter outliving it (a
    // widget freed after the application object) has nothing left to free.
    if (ApplicationConnection() != connection_) return;
    if (updatePending_) xcb_discard_reply(connection_, updateHandled_);
    TakeBackFromServer();
    xcb_free_gc(connection_, gc_);
}

bool X11WindowPainter::LendToServer(ImageFile file) {
    if (!serverTakesMemoryFiles_ || file.fd < 0) return false;
    if (segment_ != 0 && segmentImageId_ == file.id) return true;
    TakeBackFromServer();
    // xcb sends the descriptor and closes it; the engine keeps its own.
    const int copy = fcntl(file.fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return false;
    const std::uint32_t segment = xcb_generate_id(connection_);
    xcb_generic_error_t *error =
        xcb_request_check(connection_, xcb_shm_attach_fd_checked(connection_, segment, copy, 1));
    if (error) {
        // A server that has the extension but cannot map the memory (behind a
        // forwarded display, say): the connection it is, from now on.
        std::free(error);
        serverTakesMemoryFiles_ = false;
        return false;
    }
    segment_ = segment;
    segmentImageId_ = file.id;
    return true;
}

void X11WindowPainter::TakeBackFromServer() {
    if (segment_ == 0) return;
    xcb_shm_detach(connection_, segment_);
    segment_ = 0;
    segmentImageId_ = 0;
}

// The server handles one client's requests in order: once it has answered the
// request sent after an update, it has read that update's pixels.
void X11WindowPainter::WaitForLastUpdate() {
    if (!updatePending_) return;
    std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus_cookie_t{updateHandled_}, nullptr));
    updatePending_ = false;
}

bool X11WindowPainter::CanDraw(const QWidget &widget) {
    const WId window = widget.winId();
    if (window == 0 || widget.devicePixelRatioF() != 1.0) return false;
    if (window != checkedWindow_) {
        const auto id = static_cast<xcb_drawable_t>(window);
        xcb_get_geometry_reply_t *geometry =
            xcb_get_geometry_reply(connection_, xcb_get_geometry(connection_, id), nullptr);
        checkedWindow_ = window;
        checkedWindowDrawable_ = geometry && geometry->depth == depth_;
        std::free(geometry);
    }
    return checkedWindowDrawable_;
}

void X11WindowPainter::PutRows(WId window, const std::uint8_t *rows, int x, int y, int width, int count) {
    const auto bytes = static_cast<std::uint32_t>(std::size_t(width) * 4 * std::size_t(count));
    xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, static_cast<xcb_drawable_t>(window), gc_,
                  static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(count),
                  static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0, depth_, bytes, rows);
}

void X11WindowPainter::PutImage(WId window, const std::uint8_t *pixels, int width, int height, int stride,
                                const QRegion &region, ImageFile file) {
    lentLastImage_ = false;
    if (!pixels || width <= 0 || height <= 0) return;
    const QRegion inside = region & QRect(0, 0, width, height);
    if (inside.isEmpty()) return;
    const bool rowsFit = stride % 4 == 0 && stride / 4 >= width && stride / 4 <= 0xFFFF && height <= 0xFFFF;
    if (rowsFit && LendToServer(file)) {
        WaitForLastUpdate();
        for (const QRect &rect : inside)
            xcb_shm_put_image(
                connection_, static_cast<xcb_drawable_t>(window), gc_, static_cast<std::uint16_t>(stride / 4),
                static_cast<std::uint16_t>(height), static_cast<std::uint16_t>(rect.x()),
                static_cast<std::uint16_t>(rect.y()), static_cast<std::uint16_t>(rect.width()),
                static_cast<std::uint16_t>(rect.height()), static_cast<std::int16_t>(rect.x()),
                static_cast<std::int16_t>(rect.y()), depth_, XCB_IMAGE_FORMAT_Z_PIXMAP, 0, segment_, 0);
        updateHandled_ = xcb_get_input_focus(connection_).sequence;
        updatePending_ = true;
        lentLastImage_ = true;
        return;
    }
    for (const QRect &rect : inside)
        PutThroughConnection(window, pixels, stride, rect);
}

void X11WindowPainter::PutThroughConnection(WId window, const std::uint8_t *pixels, int stride,
                                            const QRect &rect) {
    const std::size_t requestBytes = maximumRequestBytes_ - PutImageHeaderBytes;
    const std::size_t rowBytes = std::size_t(rect.width()) * 4;
    if (rect.x() == 0 && std::size_t(stride) == rowBytes) {
        // Whole rows lie one after the other in the image: sent from where they are.
        const int rows = RowsPerRequest(rowBytes, requestBytes);
        for (int y = rect.top(); y <= rect.bottom(); y += rows) {
            const int count = std::min(rows, rect.bottom() + 1 - y);
            PutRows(window, pixels + std::size_t(y) * std::size_t(stride), 0, y, rect.width(), count);
        }
        return;
    }
    const int rows = RowsPerRequest(rowBytes, std::min(requestBytes, ScratchBytes));
    scratch_.resize(std::max(scratch_.size(), rowBytes * std::size_t(rows)));
    for (int y = rect.top(); y <= rect.bottom(); y += rows) {
        const int count = std::min(rows, rect.bottom() + 1 - y);
        for (int row = 0; row < count; ++row)
            std::memcpy(scratch_.data() + std::size_t(row) * rowBytes,
                        pixels + std::size_t(y + row) * std::size_t(stride) + std::size_t(rect.x()) * 4,
                        rowBytes);
        PutRows(window, scratch_.data(), rect.x(), y, rect.width(), count);
    }
}

void X11WindowPainter::Fill(WId window, const QRegion &region, std::uint32_t rgb) {
    if (region.isEmpty()) return;
    const std::uint32_t pixel = rgb & 0xFFFFFFu;
    xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &pixel);
    std::vector<xcb_rectangle_t> rects;
    const std::size_t perRequest = (maximumRequestBytes_ - PutImageHeaderBytes) / sizeof(xcb_rectangle_t);
    for (const QRect &rect : region) {
        rects.push_back({static_cast<std::int16_t>(rect.x()), static_cast<std::int16_t>(rect.y()),
                         static_cast<std::uint16_t>(rect.width()),
                         static_cast<std::uint16_t>(rect.height())});
        if (rects.size() == perRequest) {
            xcb_poly_fill_rectangle(connection_, static_cast<xcb_drawable_t>(window), gc_,
                                    static_cast<std::uint32_t>(rects.size()), rects.data());
            rects.clear();
        }
    }
    if (!rects.empty())
        xcb_poly_fill_rectangle(connection_, static_cast<xcb_drawable_t>(window), gc_,
                                static_cast<std::uint32_t>(rects.size()), rects.data());
}

void X11WindowPainter::Flush() {
    xcb_flush(connection_);
}

} // namespace tsc
