#include "pngwriter.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>

#include <libdeflate.h>

#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr int CompressionLevel = 1; // libdeflate's fastest; the Up filter does the rest
constexpr quint8 FilterUp = 2;
constexpr size_t MaxChunkLength = 0x7fffffff;
constexpr size_t KeptScratchBytes = size_t(64) << 20;

struct CompressorDeleter
{
    void operator()(libdeflate_compressor *compressor) const { libdeflate_free_compressor(compressor); }
};

// Each thread that writes PNGs keeps its compressor and its filtered-rows buffer.
libdeflate_compressor *threadCompressor()
{
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(CompressionLevel));
    return compressor.get();
}

std::vector<quint8> &threadScratch()
{
    thread_local std::vector<quint8> scratch;
    return scratch;
}

void putBigEndian32(char *to, quint32 value)
{
    to[0] = char(value >> 24);
    to[1] = char(value >> 16);
    to[2] = char(value >> 8);
    to[3] = char(value);
}

// Appends a chunk whose data is already in place: `start` is where its 8-byte header was
// reserved, the data follows it up to the end of `out`.
void finishChunk(QByteArray &out, qsizetype start, const char type[4])
{
    const size_t length = size_t(out.size() - start - 8);
    char *header = out.data() + start;
    putBigEndian32(header, quint32(length));
    std::memcpy(header + 4, type, 4);
    const quint32 crc = libdeflate_crc32(0, header + 4, length + 4);
    char crcBytes[4];
    putBigEndian32(crcBytes, crc);
    out.append(crcBytes, 4);
}

void appendChunk(QByteArray &out, const char type[4], const char *data, size_t length)
{
    const qsizetype start = out.size();
    out.append(8, '\0');
    out.append(data, qsizetype(length));
    finishChunk(out, start, type);
}

// Formats with more than 8 bits in some channel: an 8-bit PNG would lose them.
bool isDeepFormat(QImage::Format format)
{
    switch (format) {
    case QImage::Format_BGR30:
    case QImage::Format_A2BGR30_Premultiplied:
    case QImage::Format_RGB30:
    case QImage::Format_A2RGB30_Premultiplied:
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGBX16FPx4:
    case QImage::Format_RGBA16FPx4:
    case QImage::Format_RGBA16FPx4_Premultiplied:
    case QImage::Format_RGBX32FPx4:
    case QImage::Format_RGBA32FPx4:
    case QImage::Format_RGBA32FPx4_Premultiplied:
        return true;
    default:
        return false;
    }
}

bool isQRgbFormat(QImage::Format format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32
        || format == QImage::Format_ARGB32_Premultiplied;
}

// True when every pixel of a 32-bit ARGB image is fully opaque.
bool allOpaque(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        quint32 all = 0xff000000u;
        for (int x = 0; x < image.width(); ++x)
            all &= line[x];
        if ((all & 0xff000000u) != 0xff000000u)
            return false;
    }
    return true;
}

// Rows of 32-bit (A)RGB pixels straight to filtered RGB bytes, without a converted copy.
void filterQRgbRows(const QImage &image, quint8 *out)
{
    const int width = image.width();
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        *out++ = FilterUp;
        if (y == 0) {
            for (int x = 0; x < width; ++x) {
                out[0] = quint8(qRed(line[x]));
                out[1] = quint8(qGreen(line[x]));
                out[2] = quint8(qBlue(line[x]));
                out += 3;
            }
        } else {
            const auto *above = reinterpret_cast<const QRgb *>(image.constScanLine(y - 1));
            for (int x = 0; x < width; ++x) {
                out[0] = quint8(qRed(line[x]) - qRed(above[x]));
                out[1] = quint8(qGreen(line[x]) - qGreen(above[x]));
                out[2] = quint8(qBlue(line[x]) - qBlue(above[x]));
                out += 3;
            }
        }
    }
}

// Rows already in the PNG's byte order (RGB888 or RGBA8888).
void filterByteRows(const QImage &image, size_t rowBytes, quint8 *out)
{
    for (int y = 0; y < image.height(); ++y) {
        const quint8 *line = image.constScanLine(y);
        *out++ = FilterUp;
        if (y == 0) {
            std::memcpy(out, line, rowBytes);
        } else {
            const quint8 *above = image.constScanLine(y - 1);
            for (size_t i = 0; i < rowBytes; ++i)
                out[i] = quint8(line[i] - above[i]);
        }
        out += rowBytes;
    }
}

bool appendWithQtWriter(QByteArray &out, const QImage &image)
{
    const qsizetype start = out.size();
    QBuffer buffer(&out);
    if (!buffer.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image)) {
        out.truncate(start);
        return false;
    }
    return true;
}

} // namespace

bool appendPng(QByteArray &out, const QImage &image)
{
    if (image.isNull())
        return false;
    if (isDeepFormat(image.format()))
        return appendWithQtWriter(out, image);

    const bool hasAlpha = image.hasAlphaChannel()
        && !(isQRgbFormat(image.format()) && allOpaque(image));
    const int channels = hasAlpha ? 4 : 3;
    const size_t width = size_t(image.width());
    const size_t height = size_t(image.height());
    const size_t rowBytes = width * size_t(channels);
    const size_t filteredBytes = (rowBytes + 1) * height;

    libdeflate_compressor *compressor = threadCompressor();
    if (!compressor)
        return false;
    std::vector<quint8> &filtered = threadScratch();
    filtered.resize(filteredBytes);

    if (!hasAlpha && isQRgbFormat(image.format())) {
        filterQRgbRows(image, filtered.data());
    } else {
        const QImage::Format byteFormat = hasAlpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888;
        const QImage converted = image.format() == byteFormat ? image : image.convertToFormat(byteFormat);
        if (converted.isNull())
            return false;
        filterByteRows(converted, rowBytes, filtered.data());
    }

    const qsizetype start = out.size();
    static const char signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    out.append(signature, 8);

    char header[13];
    putBigEndian32(header, quint32(width));
    putBigEndian32(header + 4, quint32(height));
    header[8] = 8;                          // bits per channel
    header[9] = char(hasAlpha ? 6 : 2);     // colour type: RGBA or RGB
    header[10] = 0;                         // deflate
    header[11] = 0;                         // adaptive filtering
    header[12] = 0;                         // not interlaced
    appendChunk(out, "IHDR", header, sizeof header);

    // One IDAT, compressed straight into its place in the output.
    const size_t bound = libdeflate_zlib_compress_bound(compressor, filteredBytes);
    const qsizetype dataStart = out.size();
    out.resize(dataStart + 8 + qsizetype(bound));
    const size_t compressed = libdeflate_zlib_compress(compressor, filtered.data(), filteredBytes,
                                                       out.data() + dataStart + 8, bound);
    if (filtered.capacity() > KeptScratchBytes)
        std::vector<quint8>().swap(filtered);
    if (compressed == 0 || compressed > MaxChunkLength) {
        out.truncate(start);
        return false;
    }
    out.resize(dataStart + 8 + qsizetype(compressed));
    finishChunk(out, dataStart, "IDAT");

    appendChunk(out, "IEND", nullptr, 0);
    return true;
}

QByteArray writePng(const QImage &image)
{
    QByteArray png;
    if (!appendPng(png, image))
        return {};
    return png;
}
