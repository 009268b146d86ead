// The Wayland benchmark's screen content, shown the same way on Wayland and on X11: a window
// of a fixed size (full screen with --fullscreen) in which a photo-like picture scrolls and a
// 320x180 box of noise moves, changing every pixel at each tick. Everything is rendered once at
// start; a tick draws precomputed pixels.
//
//   movingwindow [--fps N] [--size WxH] [--fullscreen]
#include <QApplication>
#include <QCommandLineParser>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTimer>
#include <QWidget>

#include <cmath>
#include <iostream>

namespace {

QImage photo(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const double r = 128 + 100 * std::sin(x * 0.013) * std::cos(y * 0.021);
            const double g = 128 + 90 * std::sin((x + y) * 0.008);
            const double b = 128 + 80 * std::cos(x * 0.005 - y * 0.011);
            const int grain = int(QRandomGenerator::global()->bounded(12));
            line[x] = qRgb(qBound(0, int(r) + grain, 255), qBound(0, int(g) + grain, 255), qBound(0, int(b) + grain, 255));
        }
    }
    return image;
}

class Scene : public QWidget
{
public:
    Scene(QSize size, int fps)
        : m_photo(photo(size.width() * 2, size.height()))
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setWindowFlag(Qt::FramelessWindowHint);
        resize(size);
        for (int i = 0; i < 8; ++i) {
            m_noise[i] = QImage(320, 180, QImage::Format_RGB32);
            for (int y = 0; y < 180; ++y)
                for (int x = 0; x < 320; ++x)
                    m_noise[i].setPixel(x, y, QRandomGenerator::global()->generate() | 0xff000000u);
        }
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++m_tick;
            update();
        });
        m_timer.start(1000 / fps);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        const int offset = (m_tick * 7) % (m_photo.width() / 2);
        painter.drawImage(QPoint(0, 0), m_photo, QRect(offset, 0, width(), height()));
        const int x = int((width() - 320) * (0.5 + 0.5 * std::sin(m_tick * 0.05)));
        const int y = int((height() - 180) * (0.5 + 0.5 * std::cos(m_tick * 0.07)));
        painter.drawImage(QPoint(x, y), m_noise[m_tick % 8]);
    }

private:
    QImage m_photo;
    QImage m_noise[8];
    QTimer m_timer;
    int m_tick = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication application(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption fpsOption(QStringLiteral("fps"), QStringLiteral("Ticks a second."), QStringLiteral("N"), QStringLiteral("30"));
    const QCommandLineOption sizeOption(QStringLiteral("size"), QStringLiteral("Window size."), QStringLiteral("WxH"), QStringLiteral("1280x720"));
    const QCommandLineOption fullOption(QStringLiteral("fullscreen"), QStringLiteral("Full screen."));
    parser.addOptions({fpsOption, sizeOption, fullOption});
    parser.addHelpOption();
    parser.process(application);
    const QStringList size = parser.value(sizeOption).split(QLatin1Char('x'));
    Scene scene(QSize(size.value(0).toInt(), size.value(1).toInt()), std::max(1, parser.value(fpsOption).toInt()));
    scene.move(0, 0);
    if (parser.isSet(fullOption))
        scene.showFullScreen();
    else
        scene.show();
    std::cout << "scene ready" << std::endl;
    return application.exec();
}
