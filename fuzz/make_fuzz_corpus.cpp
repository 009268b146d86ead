// Writes the fuzzer's seed corpus: real frames of the image stream, made by the stream's own
// frame encoder, plus the cases a receiver meets at the edges (a null image, frames back to back,
// a cut frame) and PNG files from Qt's writer for the decoder's other path.
// Usage: make_fuzz_corpus <directory>

#include "frameencoder.h"

#include <QBuffer>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QtEndian>

#include <cstring>
#include <iostream>

namespace {

QImage pattern(int width, int height, QImage::Format format)
{
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int alpha = format == QImage::Format_ARGB32 ? (x * 255) / qMax(1, width - 1) : 255;
            image.setPixel(x, y, qRgba((x * 37) & 0xff, (y * 53) & 0xff, ((x + y) * 11) & 0xff, alpha));
        }
    }
    return image;
}

// A frame around a PNG file written by Qt (palette, grey or 16-bit images, text chunks).
QByteArray frameOfPng(const QByteArray &png)
{
    QByteArray frame(12, '\0');
    qToBigEndian<qint64>(qint64(png.size() + 4), frame.data());
    qToBigEndian<qint32>(1, frame.data() + 8);
    return frame + png;
}

QByteArray qtPng(const QImage &image)
{
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

// The same PNG file with its image data split over two IDAT chunks.
QByteArray splitIdat(const QByteArray &png)
{
    const qsizetype idat = png.indexOf("IDAT") - 4;
    const quint32 length = qFromBigEndian<quint32>(png.constData() + idat);
    const quint32 first = length / 2;
    auto chunk = [](const QByteArray &data) {
        QByteArray out(8, '\0');
        qToBigEndian<quint32>(quint32(data.size()), out.data());
        std::memcpy(out.data() + 4, "IDAT", 4);
        out += data;
        // CRC-32 over type and data.
        quint32 crc = 0xffffffffu;
        for (qsizetype i = 4; i < out.size(); ++i) {
            crc ^= quint8(out[i]);
            for (int k = 0; k < 8; ++k)
                crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
        QByteArray tail(4, '\0');
        qToBigEndian<quint32>(~crc, tail.data());
        return out + tail;
    };
    const QByteArray data = png.mid(idat + 8, length);
    return png.left(idat) + chunk(data.left(first)) + chunk(data.mid(first)) + png.mid(idat + 12 + length);
}

} // namespace

// The frame with the big-endian value at `offset` in the data of its band index replaced (and
// the chunk's CRC made good): a band index that lies about the image data.
QByteArray withBandIndexValue(QByteArray frame, qsizetype offset, quint32 value)
{
    const qsizetype type = frame.indexOf("bdIX");
    if (type < 0)
        return {};
    const auto length = qFromBigEndian<quint32>(frame.constData() + type - 4);
    qToBigEndian(value, frame.data() + type + 4 + offset);
    quint32 crc = 0xffffffffu;
    for (qsizetype i = type; i < type + 4 + qsizetype(length); ++i) {
        crc ^= quint8(frame[i]);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    qToBigEndian(crc ^ 0xffffffffu, frame.data() + type + 4 + length);
    return frame;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::cerr << "usage: make_fuzz_corpus <directory>" << std::endl;
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(dir.path())) {
        std::cerr << "make_fuzz_corpus: cannot create " << argv[1] << std::endl;
        return 1;
    }

    const QByteArray rgb8 = encodeFrame(pattern(8, 8, QImage::Format_RGB32));
    QImage grey = pattern(6, 5, QImage::Format_RGB32).convertToFormat(QImage::Format_Grayscale8);
    QImage indexed = pattern(9, 4, QImage::Format_RGB32).convertToFormat(QImage::Format_Indexed8);
    indexed.setText(QStringLiteral("Title"), QStringLiteral("frame"));
    // Three bands (16 + 16 + 1 rows), and band indexes that lie about them.
    const QByteArray banded = encodeFrame(pattern(11, 33, QImage::Format_RGB32));
    const quint32 band0Length = qFromBigEndian<quint32>(banded.constData() + banded.indexOf("bdIX") + 4 + 12);
    const QList<QPair<QString, QByteArray>> seeds = {
        {QStringLiteral("banded_rgb_11x33"), banded},
        {QStringLiteral("banded_argb_9x17"), encodeFrame(pattern(9, 17, QImage::Format_ARGB32))},
        {QStringLiteral("lying_bands_overlap"), withBandIndexValue(banded, 16, 2)},
        {QStringLiteral("lying_bands_past_end"), withBandIndexValue(banded, 20, 0x00ffffffu)},
        {QStringLiteral("lying_bands_moved_boundary"),
         withBandIndexValue(withBandIndexValue(banded, 12, band0Length - 1), 16, 1 + band0Length)},
        {QStringLiteral("lying_bands_rows"), withBandIndexValue(banded, 0, 8)},
        {QStringLiteral("lying_bands_count"), withBandIndexValue(banded, 4, 2)},
        {QStringLiteral("null"), encodeFrame(QImage())},
        {QStringLiteral("rgb_1x1"), encodeFrame(pattern(1, 1, QImage::Format_RGB32))},
        {QStringLiteral("rgb_7x3"), encodeFrame(pattern(7, 3, QImage::Format_RGB32))},
        {QStringLiteral("rgb_8x8"), rgb8},
        {QStringLiteral("rgb_24x16"), encodeFrame(pattern(24, 16, QImage::Format_RGB32))},
        {QStringLiteral("argb_5x4"), encodeFrame(pattern(5, 4, QImage::Format_ARGB32))},
        {QStringLiteral("two_frames"), encodeFrame(pattern(4, 4, QImage::Format_RGB32))
                                           + encodeFrame(pattern(3, 3, QImage::Format_ARGB32))},
        {QStringLiteral("null_then_rgb"), encodeFrame(QImage()) + rgb8},
        {QStringLiteral("truncated_body"), rgb8.left(rgb8.size() / 2)},
        {QStringLiteral("truncated_length"), rgb8.left(5)},
        {QStringLiteral("rgb_split_idat"), frameOfPng(splitIdat(encodeFrame(pattern(6, 6, QImage::Format_RGB32)).mid(12)))},
        {QStringLiteral("qt_grey_6x5"), frameOfPng(qtPng(grey))},
        {QStringLiteral("qt_indexed_text_9x4"), frameOfPng(qtPng(indexed))},
        {QStringLiteral("qt_rgba64_3x2"), frameOfPng(qtPng(pattern(3, 2, QImage::Format_ARGB32).convertToFormat(QImage::Format_RGBA64)))},
    };
    for (const auto &[name, bytes] : seeds) {
        if (bytes.isEmpty()) {
            std::cerr << "make_fuzz_corpus: could not make " << name.toLatin1().constData() << std::endl;
            return 1;
        }
        QFile file(dir.filePath(name + QStringLiteral(".frame")));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
            std::cerr << "make_fuzz_corpus: cannot write " << file.fileName().toLatin1().constData() << std::endl;
            return 1;
        }
    }
    std::cout << "Wrote " << seeds.size() << " frames to " << dir.path().toLatin1().constData() << std::endl;
    return 0;
}
