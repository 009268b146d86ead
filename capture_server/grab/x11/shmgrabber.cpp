#include "shmgrabber.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include "frameconsole.h"
#include <limits>
#include <string>

namespace {

constexpr quint8 xcbBadMatch = 8; // error code of a GetImage area outside the drawable

// Copies `count` pixels and makes each opaque: the X server leaves the padding byte of a 24-bit
// pixel undefined (QScreen::grabWindow makes it 0xff). Sixteen bytes a step where the CPU has
// SSE2 (every x86-64 does): the copy out of the segment is a large share of a grab.
void copyOpaque(quint32 *target, const quint32 *source, size_t count)
{
    size_t i = 0;
#ifdef __SSE2__
    const __m128i alpha = _mm_set1_epi32(int(0xff000000u));
    for (; i + 4 <= count; i += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + i));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(target + i), _mm_or_si128(pixels, alpha));
    }
#endif
    for (; i < count; ++i)
        target[i] = source[i] | 0xff000000u;
}

class ShmGrabber
{
public:
    ShmGrabber() = default;
    ShmGrabber(const ShmGrabber &) = delete;
    ShmGrabber &operator=(const ShmGrabber &) = delete;

    bool available()
    {
        QMutexLocker locker(&m_mutex);
        return setUp();
    }

    QImage grab(const QRect &area)
    {
        QMutexLocker locker(&m_mutex);
        if (area.isEmpty() || !setUp())
            return {};
        if (area.x() < std::numeric_limits<int16_t>::min() || area.x() > std::numeric_limits<int16_t>::max()
            || area.y() < std::numeric_limits<int16_t>::min() || area.y() > std::numeric_limits<int16_t>::max()
            || area.width() > std::numeric_limits<uint16_t>::max()
            || area.height() > std::numeric_limits<uint16_t>::max())
            return {};

        // 32-bit pixels with a 32-bit scanline pad: rows are packed, width * 4 bytes each.
        if (!ensureSegment(size_t(area.width()) * size_t(area.height()) * 4))
            return {};

        quint8 error = 0;
        if (fetch(area, &error)) {
            QImage image(area.size(), QImage::Format_RGB32);
            if (image.isNull())
                return {};
            uchar *bits = image.bits();
            const auto *source = static_cast<const quint32 *>(m_address);
            for (int y = 0; y < area.height(); ++y) {
                copyOpaque(reinterpret_cast<quint32 *>(bits + qsizetype(y) * image.bytesPerLine()),
                           source + size_t(y) * size_t(area.width()), size_t(area.width()));
            }
            return image;
        }
        if (error != xcbBadMatch)
            return {};

        // Part of the area lies outside the root window. QScreen::grabWindow rounds offset and
        // size separately, so at a fractional scale factor an area that ends at the screen's
        // edge can reach one device pixel beyond it. GetImage refuses such an area; grab what
        // lies on the root window and leave the rest opaque black. (grabWindow leaves there
        // whatever its new server-side pixmap held, which the protocol leaves undefined; black
        // with the X servers we run on.)
        const QRect inside = area & rootGeometry();
        if (inside.isEmpty() || !fetch(inside, &error))
            return {};
        QImage image(area.size(), QImage::Format_RGB32);
        if (image.isNull())
            return {};
        image.fill(0xff000000u);
        copyOut(&image, inside.topLeft() - area.topLeft(), inside.size());
        return image;
    }

    // Releases the segment on both sides while Qt's connection is still open.
    void shutDown()
    {
        QMutexLocker locker(&m_mutex);
        releaseSegment();
        if (m_connection)
            xcb_flush(m_connection);
        m_connection = nullptr;
        m_root = 0;
        m_state = State::Unknown;
    }

private:
    enum class State { Unknown, Ready, Unavailable };

    // Has the X server write `area` of the root window into the segment, rows packed. On an
    // X error other than an area outside the root window the path is switched off.
    bool fetch(const QRect &area, quint8 *errorCode)
    {
        xcb_generic_error_t *error = nullptr;
        const auto cookie = xcb_shm_get_image(m_connection, m_root, int16_t(area.x()), int16_t(area.y()),
                                              uint16_t(area.width()), uint16_t(area.height()),
                                              ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment, 0);
        xcb_shm_get_image_reply_t *reply = xcb_shm_get_image_reply(m_connection, cookie, &error);
        const bool complete = reply && reply->size >= size_t(area.width()) * size_t(area.height()) * 4;
        std::free(reply);
        *errorCode = 0;
        if (error) {
            *errorCode = error->error_code;
            std::free(error);
            if (*errorCode != xcbBadMatch)
                disable("the X server refused the shared-memory image request (X error "
                        + std::to_string(*errorCode) + ")");
            return false;
        }
        return complete;
    }

    // Copies a packed block of `size` out of the segment into `image` at `at`. The X server
    // leaves the padding byte of each 24-bit pixel undefined; QScreen::grabWindow makes it
    // opaque, and so does this copy.
    void copyOut(QImage *image, const QPoint &at, const QSize &size) const
    {
        const auto *source = static_cast<const quint32 *>(m_address);
        for (int y = 0; y < size.height(); ++y) {
            auto *target = reinterpret_cast<quint32 *>(image->scanLine(at.y() + y)) + at.x();
            copyOpaque(target, source + size_t(y) * size_t(size.width()), size_t(size.width()));
        }
    }

    // The root window's current size (it changes with the screen configuration).
    QRect rootGeometry() const
    {
        xcb_get_geometry_reply_t *reply =
            xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, m_root), nullptr);
        if (!reply)
            return {};
        const QRect geometry(0, 0, reply->width, reply->height);
        std::free(reply);
        return geometry;
    }

    // Looks the platform, the extension and the root visual over once per application.
    bool setUp()
    {
        if (m_state != State::Unknown)
            return m_state == State::Ready;
        m_state = State::Unavailable;

        auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
        if (!x11 || !x11->connection())
            return false; // not on X11: QScreen::grabWindow is the only way, nothing to report
        xcb_connection_t *connection = x11->connection();

        const xcb_query_extension_reply_t *extension = xcb_get_extension_data(connection, &xcb_shm_id);
        if (!extension || !extension->present) {
            report("the X server has no MIT-SHM extension");
            return false;
        }
        const xcb_setup_t *setup = xcb_get_setup(connection);
        if (xcb_setup_roots_length(setup) != 1) {
            report("the display has several X screens");
            return false;
        }
        const xcb_screen_t *screen = xcb_setup_roots_iterator(setup).data;
        if (!rootFormatSupported(setup, screen)) {
            report("the root window's pixel format is not 24-bit TrueColor in 32-bit pixels");
            return false;
        }
        m_connection = connection;
        m_root = screen->root;
        m_state = State::Ready;
        qAddPostRoutine(&shutDownGrabber);
        return true;
    }

    static bool rootFormatSupported(const xcb_setup_t *setup, const xcb_screen_t *screen)
    {
        const bool lsbFirst = setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST;
        if (screen->root_depth != 24 || lsbFirst != (Q_BYTE_ORDER == Q_LITTLE_ENDIAN))
            return false;

        bool packed = false;
        for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem; xcb_format_next(&it)) {
            if (it.data->depth == 24)
                packed = it.data->bits_per_pixel == 32 && it.data->scanline_pad == 32;
        }
        if (!packed)
            return false;

        for (auto depth = xcb_screen_allowed_depths_iterator(screen); depth.rem; xcb_depth_next(&depth)) {
            for (auto visual = xcb_depth_visuals_iterator(depth.data); visual.rem; xcb_visualtype_next(&visual)) {
                if (visual.data->visual_id != screen->root_visual)
                    continue;
                return depth.data->depth == 24 && visual.data->_class == XCB_VISUAL_CLASS_TRUE_COLOR
                       && visual.data->red_mask == 0xff0000 && visual.data->green_mask == 0x00ff00
                       && visual.data->blue_mask == 0x0000ff;
            }
        }
        return false;
    }

    // Keeps one segment, replaced only by a larger one, so a grab allocates nothing here.
    bool ensureSegment(size_t bytes)
    {
        if (m_address && bytes <= m_capacity)
            return true;
        releaseSegment();

        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0) {
            disable(std::string("no shared-memory segment of ") + std::to_string(bytes)
                    + " bytes: " + std::strerror(errno));
            return false;
        }
        void *address = shmat(id, nullptr, 0);
        if (address == reinterpret_cast<void *>(-1)) {
            const int failure = errno;
            shmctl(id, IPC_RMID, nullptr);
            disable(std::string("cannot map the shared-memory segment: ") + std::strerror(failure));
            return false;
        }
        const xcb_shm_seg_t segment = xcb_generate_id(m_connection);
        xcb_generic_error_t *error =
            xcb_request_check(m_connection, xcb_shm_attach_checked(m_connection, segment, uint32_t(id), 0));
        // Once both sides are attached (or the server refused), mark the segment for removal:
        // the kernel frees it when the last side lets go, even if this process dies.
        shmctl(id, IPC_RMID, nullptr);
        if (error) {
            std::free(error);
            shmdt(address);
            disable("the X server cannot attach the shared-memory segment (a remote display?)");
            return false;
        }
        m_segment = segment;
        m_address = address;
        m_capacity = bytes;
        return true;
    }

    void releaseSegment()
    {
        if (!m_address)
            return;
        if (m_connection)
            xcb_shm_detach(m_connection, m_segment);
        shmdt(m_address);
        m_address = nullptr;
        m_capacity = 0;
        m_segment = 0;
    }

    void disable(const std::string &reason)
    {
        releaseSegment();
        m_state = State::Unavailable;
        report(reason);
    }

    static void report(const std::string &reason)
    {
        FrameConsole::instance().report(
            StageEvent::notice("Shared-memory grabbing unavailable, " + reason + ": grabbing through QScreen::grabWindow"));
    }

    static void shutDownGrabber();

    QMutex m_mutex;
    State m_state = State::Unknown;
    xcb_connection_t *m_connection = nullptr;
    xcb_window_t m_root = 0;
    xcb_shm_seg_t m_segment = 0;
    void *m_address = nullptr;
    size_t m_capacity = 0;
};

ShmGrabber &grabber()
{
    static ShmGrabber instance;
    return instance;
}

void ShmGrabber::shutDownGrabber()
{
    grabber().shutDown();
}

} // namespace

bool xcbShmGrabAvailable()
{
    return grabber().available();
}

QImage xcbShmGrab(const QRect &rootArea)
{
    return grabber().grab(rootArea);
}
