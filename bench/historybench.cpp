// Measures the preview's frame history at a given size: compression cost and size per frame,
// how faithful the kept frames are, and how long a slider move to a random stored frame takes
// until the frame is painted (selectTexture() plus a full repaint of the widget).
// Usage: historybench [frameWidth frameHeight frames [previewWidth previewHeight]]
#include "framehistory.h"
#include "glformat.h"
#include "glstreamrenderer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

QImage sceneFrame(int width, int height, int frame)
{
    static QImage base;
    if (base.isNull()) {
        base = QImage(width + 256, height + 64, QImage::Format_RGB32);
        QRandomGenerator rng(3);
        for (int y = 0; y < base.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(base.scanLine(y));
            for (int x = 0; x < base.width(); ++x) {
                const int grain = int(rng.bounded(17)) - 8;
                line[x] = qRgb(qBound(0, int(128 + 90 * std::sin(x * 0.004)) + grain, 255),
                               qBound(0, int(120 + 80 * std::cos(y * 0.005)) + grain, 255),
                               qBound(0, int(110 + 70 * std::sin((x + y) * 0.003)) + grain, 255));
            }
        }
    }
    QImage image = base.copy(frame % 256, (frame / 7) % 64, width, height);
    QPainter painter(&image);
    painter.fillRect(0, 0, 300, 40, Qt::black);
    painter.setPen(Qt::yellow);
    painter.drawText(10, 28, QStringLiteral("frame %1").arg(frame));
    return image;
}

double psnr(const QImage &a, const QImage &b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto *la = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const auto *lb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            const int d[3] = {qRed(la[x]) - qRed(lb[x]), qGreen(la[x]) - qGreen(lb[x]), qBlue(la[x]) - qBlue(lb[x])};
            sum += d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
        }
    }
    const double mse = sum / (3.0 * a.width() * a.height());
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

} // namespace

int main(int argc, char **argv)
{
    setupDefaultSurfaceFormat();
    QApplication app(argc, argv);
    const int width = argc > 1 ? atoi(argv[1]) : 1920;
    const int height = argc > 2 ? atoi(argv[2]) : 1080;
    const int frames = argc > 3 ? atoi(argv[3]) : 300;

    const int viewWidth = argc > 4 ? atoi(argv[4]) : 960;
    const int viewHeight = argc > 5 ? atoi(argv[5]) : 540;
    FrameHistory history;
    GLStreamRenderer renderer;
    renderer.setHistory(&history);
    renderer.resize(viewWidth, viewHeight);
    renderer.show();
    renderer.grabFrame();

    const double cpu0 = threadCpuMs();
    QElapsedTimer wall;
    wall.start();
    LastFrame last;
    for (int i = 0; i < frames; ++i) {
        // As the capture does: into the history, then shown.
        const QImage frame = sceneFrame(width, height, i);
        if (!history.hasRoom())
            history.waitUntilStored();
        const int index = history.append(frame, last.advance(frame));
        renderer.updateAndStoreTexture(CapturedFrame{frame, BandMap::allChanged(frame.height()), index});
    }
    history.waitUntilStored();
    const double storeCpu = threadCpuMs() - cpu0;
    std::printf("stored %d frames of %dx%d in %.0f ms wall, %.2f ms CPU per frame (all threads)\n", frames,
                width, height, double(wall.elapsed()), storeCpu / frames);

    double worst = 99;
    for (int i = 0; i < frames; i += frames / 10)
        worst = std::min(worst, psnr(renderer.storedFrame(i), sceneFrame(width, height, i)));
    std::printf("lowest PSNR of the kept frames: %.2f dB\n", worst);

    std::vector<double> times;
    std::vector<double> guiTimes; // selectTexture() alone: what the GUI thread spends (the decode is on a worker)
    QRandomGenerator rng(1);
    for (int i = 0; i < 100; ++i) {
        const int index = int(rng.bounded(frames));
        QElapsedTimer t;
        t.start();
        renderer.selectTexture(index);
        guiTimes.push_back(t.nsecsElapsed() / 1e6);
        renderer.grabFrame(); // resamples and paints the frame, as the next repaint would
        times.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::sort(guiTimes.begin(), guiTimes.end());
    std::printf("preview %dx%d: ", renderer.width(), renderer.height());
    std::printf("slider move to a random stored frame until painted: median %.1f ms, 95th %.1f ms, max %.1f ms\n",
                times[50], times[95], times.back());
    std::printf("of that on the GUI thread (selectTexture): median %.2f ms, max %.2f ms\n", guiTimes[50],
                guiTimes.back());
    return 0;
}
