#include "pngreader.h"

#include <QDataStream>
#include <QImageReader>
#include <QIODevice>
#include <QtEndian>

#include <libdeflate.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

constexpr char Signature[] = "\x89PNG\r\n\x1a\n";
constexpr qsizetype SignatureSize = 8;

struct DecompressorDeleter
{
    void operator()(libdeflate_decompressor *d) const { libdeflate_free_decompressor(d); }
};

libdeflate_decompressor *decompressor()
{
    // The viewer decodes on its GUI thread only; one decompressor per thread keeps it safe anyway.
    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> instance(
        libdeflate_alloc_decompressor());
    return instance.get();
}

quint32 chunkType(const char *p)
{
    return qFromBigEndian<quint32>(p);
}

constexpr quint32 tag(const char (&name)[5])
{
    return (quint32(quint8(name[0])) << 24) | (quint32(quint8(name[1])) << 16) | (quint32(quint8(name[2])) << 8)
        | quint32(quint8(name[3]));
}

// Ancillary chunks that do not change the pixels Qt's reader returns.
bool isHarmlessAncillary(quint32 type)
{
    switch (type) {
    case tag("tEXt"):
    case tag("zTXt"):
    case tag("iTXt"):
    case tag("tIME"):
    case tag("pHYs"):
        return true;
    default:
        return false;
    }
}

bool exceedsAllocationLimit(quint64 bytes)
{
    const int limitMiB = QImageReader::allocationLimit();
    if (limitMiB <= 0)
        return false;
    return bytes > quint64(limitMiB) << 20;
}

bool exceedsAllocationLimit(quint32 width, quint32 height)
{
    return exceedsAllocationLimit(quint64(width) * quint64(height) * 4);
}

// Deflate expands its input at most 1032 times (a 258-byte match in two bits), the zlib header
// and checksum aside.
constexpr quint64 MaxDeflateRatio = 1032;

quint8 paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a);
    const int pb = std::abs(p - b);
    const int pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return quint8(a);
    return quint8(pb <= pc ? b : c);
}

// Undoes the row filters in place. `rows` holds height rows of 1 + rowBytes bytes.
bool unfilter(quint8 *rows, qsizetype height, qsizetype rowBytes, int bpp)
{
    const quint8 *previous = nullptr;
    for (qsizetype y = 0; y < height; ++y) {
        quint8 *row = rows + y * (rowBytes + 1);
        const quint8 filter = row[0];
        quint8 *cur = row + 1;
        switch (filter) {
        case 0:
            break;
        case 1:
            for (qsizetype i = bpp; i < rowBytes; ++i)
                cur[i] = quint8(cur[i] + cur[i - bpp]);
            break;
        case 2:
            if (previous) {
                for (qsizetype i = 0; i < rowBytes; ++i)
                    cur[i] = quint8(cur[i] + previous[i]);
            }
            break;
        case 3:
            for (qsizetype i = 0; i < rowBytes; ++i) {
                const int left = i >= bpp ? cur[i - bpp] : 0;
                const int up = previous ? previous[i] : 0;
                cur[i] = quint8(cur[i] + ((left + up) >> 1));
            }
            break;
        case 4:
            for (qsizetype i = 0; i < rowBytes; ++i) {
                const int left = i >= bpp ? cur[i - bpp] : 0;
                const int up = previous ? previous[i] : 0;
                const int upLeft = previous && i >= bpp ? previous[i - bpp] : 0;
                cur[i] = quint8(cur[i] + paeth(left, up, upLeft));
            }
            break;
        default:
            return false;
        }
        previous = cur;
    }
    return true;
}

// The fast path; nullopt when the file is not one it reads (Qt's reader then decides).
std::optional<QImage> readPlainPng(const QByteArray &png)
{
    const char *data = png.constData();
    const qsizetype size = png.size();
    if (size < SignatureSize || std::memcmp(data, Signature, SignatureSize) != 0)
        return std::nullopt;

    quint32 width = 0;
    quint32 height = 0;
    int channels = 0;
    QByteArray joined;             // the IDAT data when there is more than one chunk
    const char *idat = nullptr;    // the IDAT data when there is only one
    qsizetype idatSize = 0;
    int idatChunks = 0;
    bool ended = false;
    for (qsizetype pos = SignatureSize; !ended;) {
        if (size - pos < 12)
            return std::nullopt;
        const quint32 length = qFromBigEndian<quint32>(data + pos);
        const quint32 type = chunkType(data + pos + 4);
        if (length > 0x7fffffffu || qsizetype(length) > size - pos - 12)
            return std::nullopt;
        const char *body = data + pos + 8;
        const quint32 crc = qFromBigEndian<quint32>(body + length);
        if (libdeflate_crc32(0, data + pos + 4, length + 4) != crc)
            return std::nullopt;
        const bool first = pos == SignatureSize;
        if (first != (type == tag("IHDR")))
            return std::nullopt;
        switch (type) {
        case tag("IHDR"): {
            if (length != 13)
                return std::nullopt;
            width = qFromBigEndian<quint32>(body);
            height = qFromBigEndian<quint32>(body + 4);
            const quint8 depth = quint8(body[8]);
            const quint8 colour = quint8(body[9]);
            // Compression, filter method and interlacing must all be 0.
            if (depth != 8 || (colour != 2 && colour != 6) || body[10] != 0 || body[11] != 0 || body[12] != 0)
                return std::nullopt;
            // libpng's own limits on either side, so both readers refuse the same files.
            if (width == 0 || height == 0 || width > 1000000u || height > 1000000u)
                return std::nullopt;
            if (exceedsAllocationLimit(width, height))
                return QImage(); // refused before allocating anything
            channels = colour == 2 ? 3 : 4;
            break;
        }
        case tag("IDAT"):
            if (idatChunks == 0) {
                idat = body;
                idatSize = length;
            } else {
                if (idatChunks == 1)
                    joined = QByteArray(idat, idatSize);
                joined.append(body, length);
            }
            ++idatChunks;
            break;
        case tag("IEND"):
            ended = true;
            break;
        default:
            if (!isHarmlessAncillary(type))
                return std::nullopt;
            break;
        }
        pos += qsizetype(length) + 12;
    }
    if (idatChunks == 0)
        return std::nullopt;
    if (idatChunks > 1) {
        idat = joined.constData();
        idatSize = joined.size();
    }

    const qsizetype rowBytes = qsizetype(width) * channels;
    const qsizetype rawSize = (rowBytes + 1) * qsizetype(height);
    // Image data too short to fill the image cannot be read by any reader: refuse it before
    // allocating, so a frame of a few bytes cannot claim hundreds of MiB.
    if (quint64(rawSize) > quint64(idatSize) * MaxDeflateRatio)
        return QImage();
    // The filtered rows take a byte per row more than the pixels: near the limit, Qt's reader
    // (which needs no second copy) reads the file.
    if (exceedsAllocationLimit(quint64(rawSize)))
        return std::nullopt;
    std::unique_ptr<quint8[]> raw(new (std::nothrow) quint8[size_t(rawSize)]);
    if (!raw)
        return std::nullopt;
    size_t inflated = 0;
    if (libdeflate_zlib_decompress(decompressor(), idat, size_t(idatSize), raw.get(), size_t(rawSize), &inflated)
            != LIBDEFLATE_SUCCESS
        || qsizetype(inflated) != rawSize)
        return std::nullopt;
    if (!unfilter(raw.get(), height, rowBytes, channels))
        return std::nullopt;

    QImage image(int(width), int(height), channels == 3 ? QImage::Format_RGB32 : QImage::Format_ARGB32);
    if (image.isNull())
        return std::nullopt;
    for (qsizetype y = 0; y < qsizetype(height); ++y) {
        const quint8 *src = raw.get() + y * (rowBytes + 1) + 1;
        auto *dst = reinterpret_cast<QRgb *>(image.scanLine(int(y)));
        if (channels == 3) {
            for (quint32 x = 0; x < width; ++x, src += 3)
                dst[x] = 0xff000000u | (quint32(src[0]) << 16) | (quint32(src[1]) << 8) | src[2];
        } else {
            for (quint32 x = 0; x < width; ++x, src += 4)
                dst[x] = (quint32(src[3]) << 24) | (quint32(src[0]) << 16) | (quint32(src[1]) << 8) | src[2];
        }
    }
    return image;
}

// The file as Qt's reader gets it. libpng allocates what a chunk header claims before it reads
// the chunk, and inflates text chunks and colour profiles into as much memory as they expand to:
// a frame of a few bytes could make it allocate gigabytes. So the file ends before the first
// chunk that runs past its end (no reader can read that chunk; libpng now fails on the missing
// header instead of after the allocation), and compressed text and colour profiles, which carry
// no pixels, are left out. Every other file is handed over as it is.
QByteArray boundedForQtReader(const QByteArray &png)
{
    const char *data = png.constData();
    const qsizetype size = png.size();
    if (size < SignatureSize || std::memcmp(data, Signature, SignatureSize) != 0)
        return png;
    QByteArray out;         // built only once something is left out
    qsizetype copied = 0;   // bytes of `png` already in `out` (or skipped)
    bool leftOut = false;
    auto leaveOut = [&](qsizetype from, qsizetype to) {
        if (!leftOut)
            out.reserve(size);
        leftOut = true;
        out.append(data + copied, from - copied);
        copied = to;
    };
    for (qsizetype pos = SignatureSize;;) {
        if (size - pos < 12) {
            if (pos < size)
                leaveOut(pos, size);
            break;
        }
        const quint32 length = qFromBigEndian<quint32>(data + pos);
        if (length > 0x7fffffffu || qsizetype(length) > size - pos - 12) {
            leaveOut(pos, size);
            break;
        }
        const quint32 type = chunkType(data + pos + 4);
        const qsizetype next = pos + 12 + qsizetype(length);
        if (type == tag("zTXt") || type == tag("iTXt") || type == tag("iCCP"))
            leaveOut(pos, next);
        if (type == tag("IEND"))
            break;
        pos = next;
    }
    if (!leftOut)
        return png;
    out.append(data + copied, size - copied);
    return out;
}

} // namespace

QImage readPng(const QByteArray &png)
{
    if (std::optional<QImage> image = readPlainPng(png))
        return *image;
    return QImage::fromData(boundedForQtReader(png), "PNG");
}

QDataStream &readStreamImage(QDataStream &in, QImage &image)
{
    QIODevice *device = in.device();
    if (!device || device->isSequential())
        return in >> image;
    qint32 marker = 0;
    in >> marker;
    if (in.status() != QDataStream::Ok)
        return in;
    if (marker == 0) {
        image = QImage();
        return in;
    }
    image = readPng(device->readAll());
    if (image.isNull())
        in.setStatus(QDataStream::ReadCorruptData);
    return in;
}
