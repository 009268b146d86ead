// The benchmark's screen content, pushed onto the X root window with shared-memory puts so that
// showing it costs the X server a memory copy and this program almost nothing. Everything is
// rendered once at start; a tick only picks precomputed pixels and puts them.
//
//   --content moving   the whole screen moves: a scrolling photo-like picture on the left two
//                      thirds, scrolling terminal text on the right third, a video-like window
//                      (a loop of precomputed noise and gradient frames) over the photo.
//   --content desktop  a still desktop (panels, a terminal, a photo, a document) with one
//                      320x180 video-like patch playing right of x=680; after the first full put
//                      only the patch is put each tick (and the whole screen again on Expose).
//
// The video frames get a small per-tick brightness ramp on top of the loop, so no frame (and
// no 16-row band of one) repeats for minutes: a benchmark run cannot profit from the loop.
// For timing, "moving" also puts a strip of 32 black or white 16x16 cells at the top-left edge
// holding the tick number (most significant bit first); with --log FILE every tick is recorded
// as "<tick> <monotonic milliseconds>" once the X server has done its puts.
#include <QCommandLineParser>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QRandomGenerator>

#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace {

constexpr int CounterBits = 32;
constexpr int CounterCell = 16;
constexpr int VideoBias = 15; // largest per-tick addition to a video pixel's channels

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "scene: %s\n", what);
    std::exit(1);
}

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// An image in a shared-memory segment the X server has attached.
class ShmImage
{
public:
    ShmImage(xcb_connection_t *connection, int width, int height)
        : m_connection(connection)
        , m_width(width)
        , m_height(height)
    {
        const size_t bytes = size_t(width) * size_t(height) * 4;
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0)
            fail("shmget failed");
        m_data = static_cast<uchar *>(shmat(id, nullptr, 0));
        if (m_data == reinterpret_cast<uchar *>(-1))
            fail("shmat failed");
        m_segment = xcb_generate_id(connection);
        xcb_generic_error_t *error =
            xcb_request_check(connection, xcb_shm_attach_checked(connection, m_segment, uint32_t(id), 0));
        shmctl(id, IPC_RMID, nullptr); // freed once both sides detach, however this program ends
        if (error) {
            std::free(error);
            fail("the X server cannot attach a shared-memory segment (is it on this machine?)");
        }
    }
    ~ShmImage()
    {
        xcb_shm_detach(m_connection, m_segment);
        shmdt(m_data);
    }
    ShmImage(const ShmImage &) = delete;
    ShmImage &operator=(const ShmImage &) = delete;

    // A QImage on the segment's memory (32-bit pixels, the X server's 24-bit depth layout).
    QImage image() { return QImage(m_data, m_width, m_height, qsizetype(m_width) * 4, QImage::Format_RGB32); }
    quint32 *row(int y) { return reinterpret_cast<quint32 *>(m_data + size_t(y) * size_t(m_width) * 4); }

    void put(xcb_drawable_t target, xcb_gcontext_t gc, int srcX, int srcY, int width, int height, int dstX,
             int dstY) const
    {
        xcb_shm_put_image(m_connection, target, gc, uint16_t(m_width), uint16_t(m_height), uint16_t(srcX),
                          uint16_t(srcY), uint16_t(width), uint16_t(height), int16_t(dstX), int16_t(dstY), 24,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, 0, m_segment, 0);
    }

private:
    xcb_connection_t *m_connection;
    int m_width;
    int m_height;
    uchar *m_data = nullptr;
    xcb_shm_seg_t m_segment = 0;
};

void copyInto(ShmImage &target, const QImage &source)
{
    QPainter painter;
    QImage image = target.image();
    painter.begin(&image);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.drawImage(0, 0, source);
    painter.end();
}

// Smooth colour fields with texture and fine grain on top: compresses like a photograph, not
// like a UI. The fields are summed at a quarter of the size and scaled up smoothly.
QImage photoLikeImage(int width, int height, quint32 seed)
{
    QRandomGenerator rng(seed);
    const int smallWidth = qMax(1, width / 4), smallHeight = qMax(1, height / 4);
    struct Blob { double x, y, r, cr, cg, cb; };
    std::vector<Blob> blobs;
    for (int i = 0; i < 40; ++i)
        blobs.push_back({rng.bounded(double(smallWidth)), rng.bounded(double(smallHeight)), 15 + rng.bounded(80.0),
                         rng.bounded(255.0), rng.bounded(255.0), rng.bounded(255.0)});
    QImage fields(smallWidth, smallHeight, QImage::Format_RGB32);
    for (int y = 0; y < smallHeight; ++y) {
        auto *line = reinterpret_cast<QRgb *>(fields.scanLine(y));
        for (int x = 0; x < smallWidth; ++x) {
            double r = 90 + 60 * std::sin(x * 0.016), g = 110 + 50 * std::cos(y * 0.02), b = 130 + 40 * std::sin((x + y) * 0.012);
            double total = 1;
            double sr = r, sg = g, sb = b;
            for (const Blob &bl : blobs) {
                const double d2 = ((x - bl.x) * (x - bl.x) + (y - bl.y) * (y - bl.y)) / (bl.r * bl.r);
                const double w = 3 * std::exp(-d2);
                sr += bl.cr * w;
                sg += bl.cg * w;
                sb += bl.cb * w;
                total += w;
            }
            line[x] = qRgb(int(sr / total), int(sg / total), int(sb / total));
        }
    }
    QImage image = fields.scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                       .convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int texture = int(6 * std::sin(x * 0.31 + 3 * std::sin(y * 0.05)));
            const int grain = int(rng.bounded(17)) - 8 + texture;
            const QRgb p = line[x];
            line[x] = qRgb(qBound(0, qRed(p) + grain, 255), qBound(0, qGreen(p) + grain, 255),
                           qBound(0, qBlue(p) + grain, 255));
        }
    }
    return image;
}

// One frame of the video loop: drifting colour waves, a moving bright disc and per-frame noise.
// Channels stay below 256 - VideoBias so the per-tick bias never carries into the next one.
QImage videoFrame(int width, int height, int index, int loop)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(quint32(1000 + index));
    const double phase = 2 * M_PI * index / loop;
    const double cx = width * (0.5 + 0.35 * std::cos(phase)), cy = height * (0.5 + 0.3 * std::sin(2 * phase));
    const double radius = height * 0.22;
    // Each wave depends on x, y or x + y alone: tables keep the loop's rendering quick.
    std::vector<double> waveR(size_t(width), 0.0), waveG(size_t(height), 0.0), waveB(size_t(width + height), 0.0);
    for (int x = 0; x < width; ++x)
        waveR[size_t(x)] = 110 + 80 * std::sin(x * 0.021 + phase * 3);
    for (int y = 0; y < height; ++y)
        waveG[size_t(y)] = 110 + 80 * std::sin(y * 0.033 - phase * 2);
    for (int i = 0; i < width + height; ++i)
        waveB[size_t(i)] = 110 + 80 * std::sin(i * 0.013 + phase);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            double r = waveR[size_t(x)];
            double g = waveG[size_t(y)];
            double b = waveB[size_t(x + y)];
            const double d2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (radius * radius);
            if (d2 < 1) {
                const double w = 1 - d2;
                r += (235 - r) * w;
                g += (225 - g) * w;
                b += (160 - b) * w;
            }
            const int noise = int(rng.bounded(41)) - 20;
            const int top = 255 - VideoBias;
            line[x] = qRgb(qBound(0, int(r) + noise, top), qBound(0, int(g) + noise, top),
                           qBound(0, int(b) + noise, top));
        }
    }
    return image;
}

std::vector<QImage> videoLoop(int width, int height, int loop)
{
    std::vector<QImage> frames;
    for (int i = 0; i < loop; ++i)
        frames.push_back(videoFrame(width, height, i, loop));
    return frames;
}

// Writes tick `tick` of the video into `target`: the loop's frame plus a brightness ramp that
// moves one row a tick with a period prime to the loop's, so (frame, ramp) pairs repeat only
// after loop * 61 ticks.
void videoTick(ShmImage &target, const std::vector<QImage> &frames, quint32 tick)
{
    const QImage &frame = frames[tick % frames.size()];
    for (int y = 0; y < frame.height(); ++y) {
        const quint32 bias = ((quint32(y) + tick) % 61u) * VideoBias / 60u;
        const quint32 add = bias * 0x010101u;
        const auto *in = reinterpret_cast<const quint32 *>(frame.constScanLine(y));
        quint32 *out = target.row(y);
        for (int x = 0; x < frame.width(); ++x)
            out[x] = in[x] + add;
    }
}

const char *const TerminalLines[] = {
    "$ make -j2 capture_server",
    "[ 12%] Building CXX object common/CMakeFiles/codec.dir/frameencoder.cpp.o",
    "[ 25%] Building CXX object common/CMakeFiles/codec.dir/bandmap.cpp.o",
    "[ 37%] Linking CXX static library libcodec.a",
    "[ 50%] Building CXX object capture_server/CMakeFiles/core.dir/imagerecorder.cpp.o",
    "warning: unused parameter 'event' [-Wunused-parameter]",
    "[ 75%] Linking CXX executable capture_server",
    "[100%] Built target capture_server",
    "$ ls -l capture | tail",
    "-rw-r--r-- 1 user user  201833 Dec  9 09:41 pic1021.jpg",
    "-rw-r--r-- 1 user user  201467 Dec  9 09:41 pic1022.jpg",
    "$ git log --oneline | head -3",
    "4f2a9c1 Encode changed bands only",
    "b81e0d7 Keep the history on disk",
    "$ top -b -n 1 | head -5",
    "  PID USER      PR  NI    VIRT    RES    SHR S  %CPU  %MEM     TIME+ COMMAND",
    " 4242 user      20   0  812344 143212  61240 S  23.5   0.6   1:02.11 capture_server",
    "$ ping -c 2 127.0.0.1",
    "64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.041 ms",
    "64 bytes from 127.0.0.1: icmp_seq=2 ttl=64 time=0.038 ms",
};
constexpr int TerminalLineCount = int(sizeof(TerminalLines) / sizeof(TerminalLines[0]));

// Monospace text lines on a dark background, `lines` of them starting at line `first`.
void drawTerminalText(QPainter &painter, const QRect &area, int lineHeight, int first)
{
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setPixelSize(lineHeight - 3);
    painter.setFont(font);
    const int lines = area.height() / lineHeight;
    for (int i = 0; i < lines; ++i) {
        const int n = first + i;
        const char *text = TerminalLines[n % TerminalLineCount];
        const QColor colour = text[0] == '$' ? QColor(120, 220, 120)
                              : std::strncmp(text, "warning", 7) == 0 ? QColor(230, 190, 80)
                                                                      : QColor(215, 215, 215);
        painter.setPen(colour);
        painter.drawText(QRect(area.x() + 6, area.y() + i * lineHeight, area.width() - 12, lineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, QString::asprintf("%s  #%d", text, n));
    }
}

void drawWindow(QPainter &painter, const QRect &frame, const QString &title, const QColor &body)
{
    painter.fillRect(frame.adjusted(3, 3, 3, 3), QColor(0, 0, 0, 60));
    painter.fillRect(frame, body);
    painter.fillRect(QRect(frame.x(), frame.y(), frame.width(), 26), QColor(60, 63, 70));
    painter.setPen(QColor(230, 230, 230));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(14);
    painter.setFont(font);
    painter.drawText(QRect(frame.x() + 10, frame.y(), frame.width() - 80, 26), Qt::AlignVCenter, title);
    const QColor buttons[] = {QColor(230, 90, 80), QColor(230, 190, 70), QColor(100, 200, 90)};
    for (int i = 0; i < 3; ++i) {
        painter.setBrush(buttons[i]);
        painter.setPen(Qt::NoPen);
        painter.drawEllipse(QPoint(frame.right() - 16 - i * 20, frame.y() + 13), 6, 6);
    }
}

struct X11
{
    xcb_connection_t *connection = nullptr;
    xcb_window_t root = 0;
    xcb_gcontext_t gc = 0;
    int width = 0;
    int height = 0;

    X11()
    {
        connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(connection))
            fail("cannot connect to the X display (DISPLAY unset or wrong?)");
        const xcb_query_extension_reply_t *shm = xcb_get_extension_data(connection, &xcb_shm_id);
        if (!shm || !shm->present)
            fail("the X server has no MIT-SHM extension");
        xcb_screen_t *screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
        if (screen->root_depth != 24)
            fail("the screen must have depth 24 (Xvfb -screen 0 WxHx24)");
        root = screen->root;
        width = screen->width_in_pixels;
        height = screen->height_in_pixels;
        const uint32_t events = XCB_EVENT_MASK_EXPOSURE;
        xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &events);
        gc = xcb_generate_id(connection);
        const uint32_t noExposures = 0;
        xcb_create_gc(connection, gc, root, XCB_GC_GRAPHICS_EXPOSURES, &noExposures);
    }

    // Waits until the X server has carried out every request sent so far.
    void sync()
    {
        std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
        if (xcb_connection_has_error(connection))
            fail("the X connection broke");
    }

    // True when part of the root window was exposed (its pixels repainted with the background).
    bool exposed()
    {
        bool any = false;
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection)) {
            if ((event->response_type & 0x7f) == XCB_EXPOSE)
                any = true;
            std::free(event);
        }
        return any;
    }
};

// One content: shows tick `tick`; `full` asks for every pixel (first tick, after an Expose).
class Content
{
public:
    virtual ~Content() = default;
    virtual void show(X11 &x, quint32 tick, bool full) = 0;
};

class MovingContent : public Content
{
public:
    MovingContent(X11 &x, int loop)
        : m_photoWidth(x.width * 2 / 3)
        , m_textWidth(x.width - m_photoWidth)
        , m_videoWidth(x.width / 3)
        , m_videoHeight(x.height / 3)
        , m_photo(x.connection, m_photoWidth + PhotoSlackX, x.height + PhotoSlackY)
        , m_text(x.connection, m_textWidth, x.height + TextRows)
        , m_video(x.connection, m_videoWidth, m_videoHeight)
        , m_counter(x.connection, CounterBits * CounterCell, CounterCell)
        , m_frames(videoLoop(m_videoWidth, m_videoHeight, loop))
    {
        copyInto(m_photo, photoLikeImage(m_photoWidth + PhotoSlackX, x.height + PhotoSlackY, 12345));
        // The text strip repeats its first screen at the end, so any scroll offset below
        // TextRows is one contiguous put.
        QImage text = m_text.image();
        QPainter painter(&text);
        painter.fillRect(text.rect(), QColor(24, 26, 30));
        const int lineHeight = 18;
        drawTerminalText(painter, QRect(0, 0, m_textWidth, TextRows), lineHeight, 0);
        painter.end();
        const qsizetype rowBytes = qsizetype(m_textWidth) * 4;
        for (int y = 0; y < x.height; ++y)
            std::memcpy(m_text.row(TextRows + y), m_text.row(y), size_t(rowBytes));
    }

    void show(X11 &x, quint32 tick, bool) override
    {
        const int dx = int(tick * 3 % PhotoSlackX);
        const int dy = int(std::lround(PhotoSlackY / 2 + (PhotoSlackY / 2 - 1) * std::sin(tick * 0.02)));
        m_photo.put(x.root, x.gc, dx, dy, m_photoWidth, x.height, 0, 0);
        m_text.put(x.root, x.gc, 0, int(tick * 5 % TextRows), m_textWidth, x.height, m_photoWidth, 0);
        videoTick(m_video, m_frames, tick);
        m_video.put(x.root, x.gc, 0, 0, m_videoWidth, m_videoHeight, m_photoWidth * 15 / 32, x.height / 2);
        for (int y = 0; y < CounterCell; ++y) {
            quint32 *row = m_counter.row(y);
            for (int bit = 0; bit < CounterBits; ++bit) {
                const quint32 value = (tick & (1u << (31 - bit))) ? 0xffffffu : 0u;
                for (int i = 0; i < CounterCell; ++i)
                    row[bit * CounterCell + i] = value;
            }
        }
        m_counter.put(x.root, x.gc, 0, 0, CounterBits * CounterCell, CounterCell, 0, 0);
    }

private:
    static constexpr int PhotoSlackX = 512;
    static constexpr int PhotoSlackY = 256;
    static constexpr int TextRows = 18 * 240;
    int m_photoWidth;
    int m_textWidth;
    int m_videoWidth;
    int m_videoHeight;
    ShmImage m_photo;
    ShmImage m_text;
    ShmImage m_video;
    ShmImage m_counter;
    std::vector<QImage> m_frames;
};

class DesktopContent : public Content
{
public:
    static constexpr int VideoWidth = 320;
    static constexpr int VideoHeight = 180;

    DesktopContent(X11 &x, int loop)
        : m_desktop(x.connection, x.width, x.height)
        , m_video(x.connection, VideoWidth, VideoHeight)
        , m_frames(videoLoop(VideoWidth, VideoHeight, loop))
    {
        const int w = x.width, h = x.height;
        QImage desktop = m_desktop.image();
        QPainter painter(&desktop);
        painter.setRenderHint(QPainter::Antialiasing);
        QLinearGradient wallpaper(0, 0, w, h);
        wallpaper.setColorAt(0, QColor(38, 70, 110));
        wallpaper.setColorAt(1, QColor(120, 60, 90));
        painter.fillRect(QRect(0, 0, w, h), wallpaper);
        // Top panel and bottom task bar.
        painter.fillRect(QRect(0, 0, w, 28), QColor(30, 30, 34));
        painter.fillRect(QRect(0, h - 44, w, 44), QColor(30, 30, 34));
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(14);
        painter.setFont(font);
        painter.setPen(QColor(235, 235, 235));
        painter.drawText(QRect(12, 0, 300, 28), Qt::AlignVCenter, QStringLiteral("Activities    Files    Terminal"));
        painter.drawText(QRect(w - 240, 0, 228, 28), Qt::AlignVCenter | Qt::AlignRight,
                         QStringLiteral("Wed 9 Dec  09:41"));
        for (int i = 0; i < 9; ++i)
            painter.fillRect(QRect(w / 2 - 9 * 26 + i * 52, h - 38, 40, 32), QColor(70 + i * 15, 90, 150 - i * 8));

        // A terminal window.
        const QRect terminal(700, 50, 720, 560);
        drawWindow(painter, terminal, QStringLiteral("user@host: ~/deskcast"), QColor(24, 26, 30));
        drawTerminalText(painter, terminal.adjusted(0, 30, 0, -4), 18, 7);
        // A photo viewer.
        const QRect photo(1450, 50, 440, 340);
        drawWindow(painter, photo, QStringLiteral("holiday.jpg"), QColor(40, 40, 40));
        painter.drawImage(photo.x() + 4, photo.y() + 30, photoLikeImage(photo.width() - 8, photo.height() - 34, 777));
        // A document.
        const QRect document(700, 640, 640, 380);
        drawWindow(painter, document, QStringLiteral("notes.txt"), QColor(250, 250, 246));
        painter.setPen(QColor(40, 40, 40));
        font.setPixelSize(15);
        painter.setFont(font);
        for (int i = 0; i < 17; ++i)
            painter.drawText(QRect(document.x() + 14, document.y() + 36 + i * 20, document.width() - 28, 20),
                             Qt::AlignVCenter,
                             QStringLiteral("Item %1: the capture keeps every frame; the slider pages back.").arg(i + 1));
        // A video player around the patch.
        const QRect player(1450, 420, VideoWidth + 40, VideoHeight + 110);
        drawWindow(painter, player, QStringLiteral("clip.mkv"), QColor(16, 16, 16));
        m_videoAt = QPoint(player.x() + 20, player.y() + 40);
        painter.fillRect(QRect(player.x() + 20, player.bottom() - 40, VideoWidth, 6), QColor(90, 90, 90));
        painter.fillRect(QRect(player.x() + 20, player.bottom() - 40, VideoWidth / 3, 6), QColor(70, 150, 230));
        painter.end();
    }

    void show(X11 &x, quint32 tick, bool full) override
    {
        if (full)
            m_desktop.put(x.root, x.gc, 0, 0, x.width, x.height, 0, 0);
        videoTick(m_video, m_frames, tick);
        m_video.put(x.root, x.gc, 0, 0, VideoWidth, VideoHeight, m_videoAt.x(), m_videoAt.y());
    }

private:
    ShmImage m_desktop;
    ShmImage m_video;
    std::vector<QImage> m_frames;
    QPoint m_videoAt;
};

} // namespace

int main(int argc, char **argv)
{
    // Qt only renders into images here; the pixels reach the screen through xcb.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Benchmark screen content pushed with X shared-memory puts."));
    parser.addHelpOption();
    const QCommandLineOption contentOption(QStringLiteral("content"), QStringLiteral("moving or desktop."),
                                           QStringLiteral("NAME"), QStringLiteral("moving"));
    const QCommandLineOption fpsOption(QStringLiteral("fps"), QStringLiteral("Ticks per second (1-240)."),
                                       QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption loopOption(QStringLiteral("loop"), QStringLiteral("Precomputed video frames."),
                                        QStringLiteral("N"), QStringLiteral("60"));
    const QCommandLineOption logOption(QStringLiteral("log"), QStringLiteral("Write \"<tick> <monotonic ms>\" to FILE."),
                                       QStringLiteral("FILE"));
    parser.addOptions({contentOption, fpsOption, loopOption, logOption});
    parser.process(app);

    bool ok = false;
    const int fps = parser.value(fpsOption).toInt(&ok);
    if (!ok || fps < 1 || fps > 240)
        fail("--fps must be a number from 1 to 240");
    const int loop = parser.value(loopOption).toInt(&ok);
    if (!ok || loop < 1 || loop > 600)
        fail("--loop must be a number from 1 to 600");
    FILE *log = nullptr;
    if (parser.isSet(logOption)) {
        log = std::fopen(parser.value(logOption).toLocal8Bit().constData(), "w");
        if (!log)
            fail("cannot write the log file");
    }

    X11 x;
    if (x.width < 1280 || x.height < 720)
        fail("the screen must be at least 1280x720");
    std::unique_ptr<Content> content;
    const QString name = parser.value(contentOption);
    if (name == QLatin1String("moving"))
        content = std::make_unique<MovingContent>(x, loop);
    else if (name == QLatin1String("desktop"))
        content = std::make_unique<DesktopContent>(x, loop);
    else
        fail("--content must be moving or desktop");
    std::printf("scene ready: %s %dx%d at %d fps\n", qPrintable(name), x.width, x.height, fps);
    std::fflush(stdout);

    const qint64 interval = 1000000000LL / fps;
    qint64 next = monotonicNs();
    bool full = true;
    for (quint32 tick = 0;; ++tick) {
        content->show(x, tick, full || x.exposed());
        full = false;
        x.sync(); // the puts are done: the scene's buffers may be written again, the tick is on screen
        if (log) {
            std::fprintf(log, "%u %lld\n", tick, static_cast<long long>(monotonicNs() / 1000000));
            std::fflush(log); // readable while running
        }
        next += interval;
        const qint64 now = monotonicNs();
        if (now > next + interval)
            next = now; // far behind (a stalled machine): start the schedule again, no burst
        timespec until{time_t(next / 1000000000), long(next % 1000000000)};
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
        }
    }
}
