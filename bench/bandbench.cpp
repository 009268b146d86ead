// Measures the banded JPEG encoder against a whole-frame encode, and the frame history's CPU
// and disk cost (with and without the saver's segments) and paging time, on synthetic content.
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
#include <memory>
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

    // The history on the two contents, as the capture runs it: (a) the whole 1920x1080 screen
    // moving, (b) a still 1240x1080 desktop with a 320x180 video playing in it (it pans and has
    // fresh noise each frame). With the saver, each frame is first coded by the saver's encoder,
    // whose segments the history takes; without it (TCP mode) the history codes alone.
    const QImage wide = photo(1920 + frames + 64, 1080, 7);
    const QImage still = desktop(1240, 1080);
    const QImage film = photo(320 + frames, 180, 3);
    const auto moving = [&](int i) { return wide.copy(i, 0, 1920, 1080); };
    const auto video = [&](int i) {
        QRandomGenerator rng{quint32(i)};
        QImage frame = still.copy();
        QImage patch = film.copy(i, 0, 320, 180);
        for (int y = 0; y < 180; ++y) {
            auto *line = reinterpret_cast<QRgb *>(patch.scanLine(y));
            for (int x = 0; x < 320; ++x) {
                const int n = int(rng.bounded(7)) - 3;
                line[x] = qRgb(qBound(0, qRed(line[x]) + n, 255), qBound(0, qGreen(line[x]) + n, 255),
                               qBound(0, qBlue(line[x]) + n, 255));
            }
        }
        QPainter(&frame).drawImage(600, 405, patch);
        return frame;
    };
    struct Run
    {
        double cpuPerFrame = 0;
        double bytesPerFrame = 0; // on disk after the first frame
        qint64 taken = 0;
        qint64 encoded = 0;
    };
    // `withSaver`: the saver's encoder codes each frame; `withHistory`: the history stores it.
    const auto run = [&](const auto &make, int count, bool withSaver, bool withHistory, FrameHistory *keep) {
        FrameHistory own;
        FrameHistory &history = keep ? *keep : own;
        BandedJpegEncoder saver;
        QImage previous;
        qint64 afterFirst = 0;
        const double cpu0 = processCpuMs();
        for (int i = 0; i < count; ++i) {
            const QImage frame = make(i);
            const BandMap changes = BandMap::compare(frame, previous);
            previous = frame;
            std::shared_ptr<const JpegBands> coded;
            if (withSaver) {
                (void)saver.encode(frame, changes);
                if (withHistory)
                    coded = saver.bands();
            }
            if (!withHistory)
                continue;
            if (!history.hasRoom())
                history.waitUntilStored();
            history.append(frame, changes, coded);
            if (i == 0) {
                history.waitUntilStored();
                afterFirst = history.storedBytes();
            }
        }
        history.waitUntilStored();
        Run r;
        r.cpuPerFrame = (processCpuMs() - cpu0) / count;
        r.bytesPerFrame = double(history.storedBytes() - afterFirst) / std::max(1, count - 1);
        r.taken = history.takenBands();
        r.encoded = history.encodedParts();
        return r;
    };
    const auto report = [&](const char *name, const auto &make, int count, FrameHistory *keep) {
        const Run content = run(make, count, false, false, nullptr);
        const Run saverOnly = run(make, count, true, false, nullptr);
        const Run shared = run(make, count, true, true, keep);
        const Run alone = run(make, count, false, true, nullptr);
        std::printf("%s, %d frames (mean CPU ms per frame, all threads; making the content: %.2f ms):\n"
                    "  saver's encoder alone:                %.2f ms\n"
                    "  history on the saver's segments:      %.2f ms more, %.1f KB per frame on disk "
                    "(%lld bands taken, %lld parts coded)\n"
                    "  history alone (TCP mode):             %.2f ms, %.1f KB per frame on disk (%lld parts coded)\n",
                    name, count, content.cpuPerFrame, saverOnly.cpuPerFrame - content.cpuPerFrame,
                    shared.cpuPerFrame - saverOnly.cpuPerFrame, shared.bytesPerFrame / 1024.0,
                    qlonglong(shared.taken), qlonglong(shared.encoded), alone.cpuPerFrame - content.cpuPerFrame,
                    alone.bytesPerFrame / 1024.0, qlonglong(alone.encoded));
    };
    report("(b) still 1240x1080 desktop with a 320x180 video", video, frames, nullptr);
    const int movingCount = std::min(frames, 120);
    FrameHistory paged;
    report("(a) moving 1920x1080 screen", moving, movingCount, &paged);

    // Paging: a random stored frame of (a), decoded whole and at preview size.
    {
        QRandomGenerator rng(9);
        std::vector<double> times;
        for (int i = 0; i < 50; ++i) {
            const int index = int(rng.bounded(movingCount));
            QElapsedTimer t;
            t.start();
            const QImage image = paged.frame(index);
            times.push_back(t.nsecsElapsed() / 1e6);
            if (image.size() != QSize(1920, 1080))
                return 1;
        }
        std::sort(times.begin(), times.end());
        const double small = medianMs(50, [&](int i) { (void)paged.frame(i % movingCount, QSize(960, 540)); });
        std::printf("paging (a): random frame decoded whole: median %.1f ms, max %.1f ms; at 960x540: median %.1f ms\n",
                    times[times.size() / 2], times.back(), small);
    }
    return 0;
}
