#include "cursorgrabber.h"

#include <QRect>

#include <algorithm>
#include "frameconsole.h"

#ifdef DESKCAST_HAVE_XCB_XFIXES
#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>
#include <cstring>
#endif

namespace {

// Source over destination for one premultiplied channel, rounded; clamped because a cursor
// image whose colour exceeds its alpha would otherwise wrap around.
inline quint32 blendChannel(quint32 source, quint32 target, quint32 inverseAlpha)
{
    const quint32 value = source + (target * inverseAlpha + 127) / 255;
    return std::min<quint32>(value, 255);
}

void reportUnavailable(const char *reason)
{
    static bool reported = false;
    if (reported)
        return;
    reported = true;
    FrameConsole::instance().report(
        StageEvent::failed(std::string("Cursor recording unavailable, ") + reason + ": frames show no pointer"));
}

} // namespace

QImage drawCursor(QImage frame, const QPoint &frameOrigin, const CursorImage &cursor)
{
    if (cursor.image.isNull() || frame.isNull())
        return frame;
    if (frame.format() != QImage::Format_RGB32)
        frame.convertTo(QImage::Format_RGB32);
    const QImage shape = cursor.image.format() == QImage::Format_ARGB32_Premultiplied
                             ? cursor.image
                             : cursor.image.convertToFormat(QImage::Format_ARGB32_Premultiplied);

    // The cursor's rectangle in frame pixels, and the part of it inside the frame.
    const QRect placed(cursor.position - cursor.hotSpot - frameOrigin, shape.size());
    const QRect visible = placed & frame.rect();
    if (visible.isEmpty())
        return frame;

    for (int y = visible.top(); y <= visible.bottom(); ++y) {
        auto *target = reinterpret_cast<quint32 *>(frame.scanLine(y));
        const auto *source = reinterpret_cast<const quint32 *>(shape.constScanLine(y - placed.y()));
        for (int x = visible.left(); x <= visible.right(); ++x) {
            const quint32 s = source[x - placed.x()];
            const quint32 alpha = s >> 24;
            if (alpha == 0 && (s & 0xffffffu) == 0)
                continue; // fully transparent
            const quint32 inverse = 255 - alpha;
            const quint32 d = target[x];
            target[x] = 0xff000000u | (blendChannel((s >> 16) & 0xff, (d >> 16) & 0xff, inverse) << 16)
                        | (blendChannel((s >> 8) & 0xff, (d >> 8) & 0xff, inverse) << 8)
                        | blendChannel(s & 0xff, d & 0xff, inverse);
        }
    }
    return frame;
}

CursorImage grabCursor()
{
#ifdef DESKCAST_HAVE_XCB_XFIXES
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection()) {
        reportUnavailable("not on X11");
        return {};
    }
    xcb_connection_t *connection = x11->connection();
    const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection, &xcb_xfixes_id);
    if (!extension || !extension->present) {
        reportUnavailable("the X server has no X Fixes extension");
        return {};
    }
    // The extension answers a client only once it has announced its version. Qt's connection
    // asks for the same version at start-up, so asking again changes nothing for Qt.
    static const bool versionAnnounced = [connection] {
        xcb_xfixes_query_version_reply_t *version = xcb_xfixes_query_version_reply(
            connection, xcb_xfixes_query_version(connection, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
            nullptr);
        const bool ok = version != nullptr;
        std::free(version);
        return ok;
    }();
    if (!versionAnnounced) {
        reportUnavailable("the X Fixes extension did not answer");
        return {};
    }

    xcb_generic_error_t *error = nullptr;
    xcb_xfixes_get_cursor_image_reply_t *reply =
        xcb_xfixes_get_cursor_image_reply(connection, xcb_xfixes_get_cursor_image(connection), &error);
    std::free(error);
    if (!reply) {
        reportUnavailable("the X server refused the cursor image request");
        return {};
    }
    CursorImage cursor;
    cursor.position = QPoint(reply->x, reply->y);
    cursor.hotSpot = QPoint(reply->xhot, reply->yhot);
    const int width = reply->width;
    const int height = reply->height;
    // The pixels are 32-bit premultiplied ARGB words, as Qt keeps ARGB32_Premultiplied.
    const uint32_t *pixels = xcb_xfixes_get_cursor_image_cursor_image(reply);
    const int count = xcb_xfixes_get_cursor_image_cursor_image_length(reply);
    if (width > 0 && height > 0 && count >= width * height) {
        cursor.image = QImage(width, height, QImage::Format_ARGB32_Premultiplied);
        if (!cursor.image.isNull()) {
            for (int y = 0; y < height; ++y)
                std::memcpy(cursor.image.scanLine(y), pixels + size_t(y) * size_t(width), size_t(width) * 4);
        }
    }
    std::free(reply);
    return cursor;
#else
    reportUnavailable("built without X Fixes support");
    return {};
#endif
}
