// Measures the banded JPEG encoder against a whole-frame encode, and the frame history's disk
// cost and paging time, on synthetic 1920x1080 content.
// Usage: bandbench [frames]
#include "bandedjpeg.h"
#include "bandmap.h"
#include "framehistory.h"
#include "jpegcodec.h"

#include <QGuiApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QRandomGenerator>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

QImage photo(int width, int height, int seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator rng(static_cast<quint32>(seed));
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int grain = int(rng.bounded(9)) - 4;
            line[x] = qRgb(qBound(0, int(128 + 90 * std::sin((x + seed) * 0.01)) + grain, 255),
                           qBound(0, int(120 + 80 * std::cos((y + seed) * 0.013)) + grain, 255),
                           qBound(0, int(110 + 70 * std::sin((x + y) * 0.007)) + grain, 255));
        }
    }
    return image;
}

// A desktop: windows with title bars, text and a few icons.
QImage desktop(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(QColor(58, 110, 165));
    QPainter painter(&image);
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    const QRect windows[] = {{20, 20, 700, 600}, {500, 300, 700, 700}};
    for (const QRect &w : windows) {
        painter.fillRect(w, Qt::white);
        painter.fillRect(w.x(), w.y(), w.width(), 24, QColor(40, 40, 60));
        painter.setPen(Qt::black);
        for (int y = w.y() + 44; y < w.bottom(); y += 16)
            painter.drawText(w.x() + 8, y, QStringLiteral("int main(int argc, char **argv) { return run(argc, argv); } // %1").arg(y));
    }
    for (int i = 0; i < 8; ++i)
        painter.fillRect(width - 60, 20 + 70 * i, 40, 40, QColor::fromHsv(i * 40, 200, 220));
    return image;
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Median wall time of `runs` calls; `cpu` gets the mean CPU time per call over all threads.
template <typename Fn>
double medianMs(int runs, Fn fn, double *cpu = nullptr)
{
    const double cpu0 = processCpuMs();
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        fn(i);
        times.push_back(t.nsecsElapsed() / 1e6);
    }
    if (cpu)
        *cpu = (processCpuMs() - cpu0) / runs;
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const int frames = argc > 1 ? atoi(argv[1]) : 300;

    // Encoding.
    const QImage a = photo(1920, 1080, 1);
    QImage b = a.copy();
    const QImage other = photo(1920, 1080, 2);
    for (int band = 0; band < BandMap::bandCount(1080); band += 10)
        for (int y = band * 16; y < band * 16 + 16; ++y)
            std::memcpy(b.scanLine(y), other.constScanLine(y), size_t(b.bytesPerLine()));
    const QByteArray whole = encodeJpeg(a, 75, ChromaSubsampling::Half);
    double wholeCpu = 0;
    double allCpu = 0;
    double tenthCpu = 0;
    const double wholeMs = medianMs(30, [&](int) { (void)encodeJpeg(a, 75, ChromaSubsampling::Half); }, &wholeCpu);
    BandedJpegEncoder encoder;
    QByteArray banded;
    const double allMs = medianMs(30, [&](int) { banded = encoder.encode(a, BandMap::allChanged(1080)); }, &allCpu);
    const BandMap tenth = BandMap::compare(b, a);
    const double tenthMs = medianMs(30, [&](int i) { (void)encoder.encode(i % 2 ? b : a, tenth); }, &tenthCpu);
    std::printf("1920x1080 photo, quality 75 4:2:0 (median wall ms / mean CPU ms per frame):\n"
                "  whole-frame encode, one core: %.2f / %.2f ms (%lld bytes)\n"
                "  banded, all bands changed:    %.2f / %.2f ms (%lld bytes, %+.2f %%)\n"
                "  banded, %d of %d bands changed: %.2f / %.2f ms\n",
                wholeMs, wholeCpu, qlonglong(whole.size()), allMs, allCpu, qlonglong(banded.size()),
                100.0 * (banded.size() - whole.size()) / whole.size(), tenth.changedCount(), tenth.count(), tenthMs,
                tenthCpu);

    // History on a still desktop region with a video playing in it.
    {
        const QImage still = desktop(1240, 1080);
        const QImage film = photo(320 + frames, 180, 3);
        FrameHistory history;
        QImage previous;
        QRandomGenerator rng(5);
        qint64 afterFirst = 0;
        for (int i = 0; i < frames; ++i) {
            QImage frame = still.copy();
            QImage patch = film.copy(i, 0, 320, 180); // the picture pans
            for (int y = 0; y < 180; ++y) {
                auto *line = reinterpret_cast<QRgb *>(patch.scanLine(y));
                for (int x = 0; x < 320; ++x) { // and has fresh noise each frame
                    const int n = int(rng.bounded(7)) - 3;
                    line[x] = qRgb(qBound(0, qRed(line[x]) + n, 255), qBound(0, qGreen(line[x]) + n, 255),
                                   qBound(0, qBlue(line[x]) + n, 255));
                }
            }
            QPainter(&frame).drawImage(600, 405, patch);
            if (!history.hasRoom())
                history.waitUntilStored();
            history.append(frame, BandMap::compare(frame, previous));
            previous = frame;
            if (i == 0) {
                history.waitUntilStored();
                afterFirst = history.storedBytes();
            }
        }
        history.waitUntilStored();
        std::printf("history, still 1240x1080 desktop with a 320x180 video: first frame %lld bytes, then %.1f KB per "
                    "frame on disk over %d frames\n",
                    qlonglong(afterFirst), (history.storedBytes() - afterFirst) / 1024.0 / (frames - 1), frames);
    }

    // History paging on a moving 1920x1080 screen: every band of every frame changes.
    {
        FrameHistory history;
        QImage previous;
        const QImage wide = photo(1920 + 64, 1080, 7);
        const int count = 60;
        for (int i = 0; i < count; ++i) {
            const QImage frame = wide.copy(i, 0, 1920, 1080);
            if (!history.hasRoom())
                history.waitUntilStored();
            history.append(frame, BandMap::compare(frame, previous));
            previous = frame;
        }
        history.waitUntilStored();
        QRandomGenerator rng(9);
        std::vector<double> times;
        for (int i = 0; i < 50; ++i) {
            const int index = int(rng.bounded(count));
            QElapsedTimer t;
            t.start();
            const QImage image = history.frame(index);
            times.push_back(t.nsecsElapsed() / 1e6);
            if (image.size() != QSize(1920, 1080))
                return 1;
        }
        std::sort(times.begin(), times.end());
        const double small = medianMs(50, [&](int i) { (void)history.frame(i % count, QSize(960, 540)); });
        std::printf("history, moving 1920x1080 screen: %.1f KB per frame on disk; random frame decoded whole: median "
                    "%.1f ms, max %.1f ms; at 960x540: median %.1f ms\n",
                    history.storedBytes() / 1024.0 / count, times[times.size() / 2], times.back(), small);
    }
    return 0;
}
