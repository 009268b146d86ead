// A full-screen scene of moving, photo-like content for benchmarks and demos. Every repaint
// draws the next frame number as text and as a strip of 32 black or white 16x16 cells along
// the top-left edge (most significant bit first), so captured frames can be matched to the
// moment they were painted. With --log FILE each painted frame is recorded as
// "<frame> <monotonic milliseconds>".
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QScreen>
#include <QTextStream>
#include <QTimer>
#include <QWidget>

#include <cmath>
#include <ctime>

namespace {

qint64 monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Smooth colour fields with fine grain on top: compresses like a photograph, not like a UI.
QImage photoLikeImage(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(12345);
    struct Blob { double x, y, r, cr, cg, cb; };
    std::vector<Blob> blobs;
    for (int i = 0; i < 40; ++i)
        blobs.push_back({rng.bounded(double(width)), rng.bounded(double(height)),
                         60 + rng.bounded(300.0), rng.bounded(255.0), rng.bounded(255.0), rng.bounded(255.0)});
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            double r = 90 + 60 * std::sin(x * 0.004) , g = 110 + 50 * std::cos(y * 0.005), b = 130 + 40 * std::sin((x + y) * 0.003);
            for (int k = 0; k < 6; ++k) {
                const Blob &bl = blobs[size_t((x / 97 + y / 89 + k * 7) % int(blobs.size()))];
                const double d2 = ((x - bl.x) * (x - bl.x) + (y - bl.y) * (y - bl.y)) / (bl.r * bl.r);
                const double w = std::exp(-d2) * 0.5;
                r += (bl.cr - r) * w;
                g += (bl.cg - g) * w;
                b += (bl.cb - b) * w;
            }
            const int grain = int(rng.bounded(17)) - 8;
            line[x] = qRgb(qBound(0, int(r) + grain, 255), qBound(0, int(g) + grain, 255),
                           qBound(0, int(b) + grain, 255));
        }
    }
    return image;
}

class Scene : public QWidget
{
public:
    Scene(int fps, const QString &logPath)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setCursor(Qt::BlankCursor);
        const QSize screen = QGuiApplication::primaryScreen()->size();
        m_content = photoLikeImage(screen.width() + 512, screen.height() + 256);
        if (!logPath.isEmpty()) {
            m_log.setFileName(logPath);
            if (m_log.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
                m_logStream.setDevice(&m_log);
        }
        connect(&m_timer, &QTimer::timeout, this, [this] { update(); });
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.start(1000 / qMax(1, fps));
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        const quint32 frame = m_frame++;
        QPainter painter(this);
        const int dx = int(frame * 3 % 512);
        const int dy = int(std::lround(128 + 127 * std::sin(frame * 0.02)));
        painter.drawImage(QPoint(0, 0), m_content, QRect(dx, dy, width(), height()));

        for (int bit = 0; bit < 32; ++bit) {
            const bool set = frame & (1u << (31 - bit));
            painter.fillRect(bit * 16, 0, 16, 16, set ? Qt::white : Qt::black);
        }
        QFont font = painter.font();
        font.setPixelSize(40);
        font.setBold(true);
        painter.setFont(font);
        painter.fillRect(0, 16, 320, 56, Qt::black);
        painter.setPen(Qt::yellow);
        painter.drawText(QRect(8, 16, 312, 56), Qt::AlignVCenter, QStringLiteral("frame %1").arg(frame));
        painter.end();
        if (m_logStream.device())
            m_logStream << frame << ' ' << monotonicMs() << '\n' << Qt::flush; // readable while running
    }

private:
    QImage m_content;
    QTimer m_timer;
    QFile m_log;
    QTextStream m_logStream;
    quint32 m_frame = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Moving photo-like scene with a frame counter."));
    parser.addHelpOption();
    const QCommandLineOption fpsOption(QStringLiteral("fps"), QStringLiteral("Repaints per second."),
                                       QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption logOption(QStringLiteral("log"), QStringLiteral("Write frame times to FILE."),
                                       QStringLiteral("FILE"));
    parser.addOptions({fpsOption, logOption});
    parser.process(app);

    Scene scene(parser.value(fpsOption).toInt(), parser.value(logOption));
    scene.setGeometry(QGuiApplication::primaryScreen()->geometry());
    scene.showFullScreen();
    return app.exec();
}
