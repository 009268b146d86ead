// Measures the PNG codec of the stream on a 1920x1080 frame: encode time with every band changed
// and with 10 % of the bands changed (the others reused), decode time of the frame, and its size;
// for a photo-like noisy picture and a desktop-like one (flat panels, text-like strokes).
// Also the decode of the same file without its band index (the general path), for comparison.
// Wall-clock medians over the runs. Usage: codecbench [runs]
#include "bandedpng.h"
#include "pngreader.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <vector>

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;

QImage photoFrame(int seed)
{
    QImage image(Width, Height, QImage::Format_RGB32);
    QRandomGenerator rng{quint32(seed)};
    for (int y = 0; y < Height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < Width; ++x) {
            const int grain = int(rng.bounded(25)) - 12;
            const int r = std::clamp(128 + (x + seed) % 200 - 100 + grain, 0, 255);
            const int g = std::clamp(100 + (y * 3 + x) % 150 - 75 + grain, 0, 255);
            const int b = std::clamp(90 + ((x ^ y) & 127) + grain, 0, 255);
            line[x] = qRgb(r, g, b);
        }
    }
    return image;
}

QImage desktopFrame(int seed)
{
    QImage image(Width, Height, QImage::Format_RGB32);
    image.fill(QColor(40, 44, 52));
    QPainter p(&image);
    p.fillRect(0, 0, Width, 28, QColor(220, 220, 220));
    p.fillRect(60, 80, 900, 700, QColor(250, 250, 250));
    p.fillRect(1000, 120, 860, 900, Qt::black);
    p.setPen(QColor(30, 30, 30));
    QFont font(QStringLiteral("monospace"));
    font.setPixelSize(14);
    p.setFont(font);
    QRandomGenerator rng{quint32(seed)};
    for (int line = 0; line < 40; ++line) {
        QString text;
        for (int c = 0; c < 100; ++c)
            text += QChar(char('a' + rng.bounded(26)));
        p.drawText(70, 100 + line * 17, text);
    }
    p.setPen(QColor(0, 230, 0));
    for (int line = 0; line < 52; ++line)
        p.drawText(1010, 140 + line * 17, QStringLiteral("$ make -j2 step %1 of 52 ... ok").arg(line + seed));
    return image;
}

// `base` with 10 % of its bands (every tenth) changed.
QImage tenPercentChanged(const QImage &base)
{
    QImage image = base.copy();
    for (int band = 0; band < BandMap::bandCount(Height); band += 10) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(BandMap::firstRow(band)));
        for (int x = 0; x < Width; ++x)
            line[x] ^= 0x00010101u;
    }
    return image;
}

// The same file with the band index chunk taken out.
QByteArray withoutBandIndex(const QByteArray &png)
{
    const qsizetype type = png.indexOf(bandedpng::ChunkType);
    if (type < 0)
        return png;
    const auto length = qsizetype(quint8(png[type - 4])) << 24 | qsizetype(quint8(png[type - 3])) << 16
        | qsizetype(quint8(png[type - 2])) << 8 | qsizetype(quint8(png[type - 1]));
    QByteArray out = png;
    out.remove(type - 4, 12 + length);
    return out;
}

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

// Median wall-clock ms of f(); the median CPU ms of the process (all threads) goes to `cpu`.
template<typename F>
double medianMs(int runs, F &&f, double &cpu)
{
    std::vector<double> ms;
    std::vector<double> cpuMs;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        const double cpuStart = processCpuMs();
        timer.start();
        f();
        ms.push_back(double(timer.nsecsElapsed()) / 1e6);
        cpuMs.push_back(processCpuMs() - cpuStart);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    cpu = cpuMs[cpuMs.size() / 2];
    return ms[ms.size() / 2];
}

void measure(const char *name, const QImage &frame, int runs)
{
    const QImage changed = tenPercentChanged(frame);
    const BandMap all = BandMap::allChanged(Height);
    const BandMap tenPercent = BandMap::compare(changed, frame);

    BandedPngEncoder encoder;
    QByteArray png;
    double cpu[4] = {};
    const double encodeAll = medianMs(runs, [&] { png = encoder.encode(frame, all); }, cpu[0]);
    // Alternate the two frames so that each encode finds 10 % of the bands changed.
    bool flip = false;
    int reused = 0;
    const double encodeTen = medianMs(runs, [&] {
        flip = !flip;
        (void)encoder.encode(flip ? changed : frame, tenPercent);
        reused = encoder.reusedBands();
    }, cpu[1]);
    QImage decoded;
    const double decode = medianMs(runs, [&] { decoded = readPng(png); }, cpu[2]);
    const QByteArray plain = withoutBandIndex(png);
    const double decodePlain = medianMs(runs, [&] { (void)readPng(plain); }, cpu[3]);
    const bool exact = decoded.convertToFormat(QImage::Format_RGB32) == frame
        && readPng(plain).convertToFormat(QImage::Format_RGB32) == frame;
    std::printf("%-8s encode all bands %6.2f ms (cpu %6.2f) | 10%% changed %5.2f ms (cpu %5.2f; %d of %d bands "
                "reused) | decode %5.2f ms (cpu %5.2f; without band index %5.2f ms, cpu %5.2f) | %8lld bytes | %s\n",
                name, encodeAll, cpu[0], encodeTen, cpu[1], reused, BandMap::bandCount(Height), decode, cpu[2],
                decodePlain, cpu[3], static_cast<long long>(png.size()), exact ? "exact" : "MISMATCH");
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 31;
    std::printf("1920x1080, median of %d runs, %d cores\n", runs, QThread::idealThreadCount());
    measure("photo", photoFrame(1), runs);
    measure("desktop", desktopFrame(1), runs);
    return 0;
}
