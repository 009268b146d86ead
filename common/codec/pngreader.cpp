#include "pngreader.h"

#include "bandedpng.h"
#include "parallel.h"

#include <QBuffer>
#include <QDataStream>
#include <QImageReader>
#include <QIODevice>
#include <QtEndian>

#include <libdeflate.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

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
    case bandedpng::ChunkTag: // the band index: read by the fast path, ignored by every other reader
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

// Unfiltered rows of `channels` bytes per pixel to 32-bit (A)RGB scanlines: `bits` and
// `bytesPerLine` of the image, taken once by the caller (a call from several threads must not
// detach the image).
void convertRows(const quint8 *rows, qsizetype count, qsizetype rowBytes, int channels, uchar *bits,
                 qsizetype bytesPerLine, int width, int firstRow)
{
    for (qsizetype y = 0; y < count; ++y) {
        const quint8 *src = rows + y * (rowBytes + 1) + 1;
        auto *dst = reinterpret_cast<QRgb *>(bits + (firstRow + y) * bytesPerLine);
        if (channels == 3) {
            for (int x = 0; x < width; ++x, src += 3)
                dst[x] = 0xff000000u | (quint32(src[0]) << 16) | (quint32(src[1]) << 8) | src[2];
        } else {
            for (int x = 0; x < width; ++x, src += 4)
                dst[x] = (quint32(src[3]) << 24) | (quint32(src[0]) << 16) | (quint32(src[1]) << 8) | src[2];
        }
    }
}

// Reads the image data band by band, in parallel, as the band index chunk describes it. Only a
// file whose index is exactly what the banded writer makes is read this way: the bands lie back
// to back from the zlib header to the empty final block before the checksum, each ends with a
// full flush and inflates on its own to exactly its rows, no band's first row refers to the row
// above, and the checksum of the whole is right. Anything else gives nullopt: the caller then
// inflates the stream as one, so an index that lies changes nothing that is read.
std::optional<QImage> readBands(const char *index, quint32 indexSize, const char *idat, qsizetype idatSize,
                                quint32 width, quint32 height, int channels)
{
    if (indexSize < 8)
        return std::nullopt;
    const quint32 bandRows = qFromBigEndian<quint32>(index);
    const quint32 bands = qFromBigEndian<quint32>(index + 4);
    if (bandRows == 0 || bands == 0 || quint64(indexSize) != 8 + 8 * quint64(bands)
        || quint64(bands) != (quint64(height) + bandRows - 1) / bandRows)
        return std::nullopt;
    // zlib header: deflate, no preset dictionary, header checksum right.
    if (idatSize < 2 + 2 + 4)
        return std::nullopt;
    const quint8 cmf = quint8(idat[0]);
    const quint8 flg = quint8(idat[1]);
    if ((cmf & 0x0f) != 8 || (cmf >> 4) > 7 || (flg & 0x20) != 0 || ((cmf << 8) | flg) % 31 != 0)
        return std::nullopt;
    static const char flush[4] = {'\0', '\0', '\xff', '\xff'};
    quint64 end = 2;
    for (quint32 band = 0; band < bands; ++band) {
        const quint32 offset = qFromBigEndian<quint32>(index + 8 + 8 * band);
        const quint32 length = qFromBigEndian<quint32>(index + 12 + 8 * band);
        if (offset != end || length < sizeof flush || quint64(offset) + length > quint64(idatSize)
            || std::memcmp(idat + offset + length - sizeof flush, flush, sizeof flush) != 0)
            return std::nullopt;
        end = quint64(offset) + length;
    }
    if (end + sizeof bandedpng::FinalBlock + 4 != quint64(idatSize)
        || std::memcmp(idat + end, bandedpng::FinalBlock, sizeof bandedpng::FinalBlock) != 0)
        return std::nullopt;

    QImage image(int(width), int(height), channels == 3 ? QImage::Format_RGB32 : QImage::Format_ARGB32);
    if (image.isNull())
        return std::nullopt;
    const qsizetype rowBytes = qsizetype(width) * channels;
    std::vector<quint32> adlers(bands);
    std::atomic<bool> failed{false};
    uchar *const bits = image.bits();
    const qsizetype bytesPerLine = image.bytesPerLine();
    parallelFor(int(bands), [&](int band) {
        if (failed)
            return;
        const quint32 offset = qFromBigEndian<quint32>(index + 8 + 8 * quint32(band));
        const quint32 length = qFromBigEndian<quint32>(index + 12 + 8 * quint32(band));
        const quint64 firstRow = quint64(band) * bandRows;
        const qsizetype rows = qsizetype(std::min<quint64>(bandRows, height - firstRow));
        thread_local std::vector<quint8> in;
        thread_local std::vector<quint8> out;
        // The band alone ends without a final block: give it one, then it inflates on its own.
        in.resize(size_t(length) + sizeof bandedpng::FinalBlock);
        std::memcpy(in.data(), idat + offset, length);
        std::memcpy(in.data() + length, bandedpng::FinalBlock, sizeof bandedpng::FinalBlock);
        const size_t outSize = size_t(rows) * size_t(rowBytes + 1);
        out.resize(outSize);
        size_t consumed = 0;
        size_t produced = 0;
        if (libdeflate_deflate_decompress_ex(decompressor(), in.data(), in.size(), out.data(), outSize, &consumed,
                                             &produced)
                != LIBDEFLATE_SUCCESS
            || consumed != in.size() || produced != outSize || out[0] > 1) {
            failed = true;
            return;
        }
        adlers[size_t(band)] = quint32(libdeflate_adler32(1, out.data(), outSize)); // of the filtered rows
        if (!unfilter(out.data(), rows, rowBytes, channels)) {
            failed = true;
            return;
        }
        convertRows(out.data(), rows, rowBytes, channels, bits, bytesPerLine, image.width(), int(firstRow));
        if (out.capacity() > (size_t(16) << 20)) {
            std::vector<quint8>().swap(out);
            std::vector<quint8>().swap(in);
        }
    });
    if (failed)
        return std::nullopt;
    quint32 adler = 1;
    for (quint32 band = 0; band < bands; ++band) {
        const quint64 rows = std::min<quint64>(bandRows, height - quint64(band) * bandRows);
        adler = bandedpng::adler32Combine(adler, adlers[band], rows * quint64(rowBytes + 1));
    }
    if (adler != qFromBigEndian<quint32>(idat + idatSize - 4))
        return std::nullopt;
    return image;
}

// The fast path; nullopt when the file is not one it reads (Qt's reader then decides).
std::optional<QImage> readPlainPng(const char *data, qsizetype size)
{
    if (size < SignatureSize || std::memcmp(data, Signature, SignatureSize) != 0)
        return std::nullopt;

    quint32 width = 0;
    quint32 height = 0;
    int channels = 0;
    QByteArray joined;             // the IDAT data when there is more than one chunk
    const char *idat = nullptr;    // the IDAT data when there is only one
    qsizetype idatSize = 0;
    int idatChunks = 0;
    const char *bandIndex = nullptr; // the band index chunk, when there is exactly one before IDAT
    quint32 bandIndexSize = 0;
    int bandIndexChunks = 0;
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
        case bandedpng::ChunkTag:
            if (++bandIndexChunks == 1 && idatChunks == 0) {
                bandIndex = body;
                bandIndexSize = length;
            } else {
                bandIndex = nullptr;
            }
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
    // A file of ours: its bands inflate in parallel, straight into the image.
    if (bandIndex) {
        if (std::optional<QImage> image = readBands(bandIndex, bandIndexSize, idat, idatSize, width, height, channels))
            return image;
    }
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
    convertRows(raw.get(), qsizetype(height), rowBytes, channels, image.bits(), image.bytesPerLine(), image.width(), 0);
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
    if (std::optional<QImage> image = readPlainPng(png.constData(), png.size()))
        return *image;
    return QImage::fromData(boundedForQtReader(png), "PNG");
}

bool decodeFrameBody(const QByteArray &body, QImage &image)
{
    constexpr qsizetype MarkerSize = 4;
    if (body.size() < MarkerSize) {
        image = QImage();
        return false;
    }
    if (qFromBigEndian<qint32>(body.constData()) == 0) {
        image = QImage();
        return true;
    }
    // The PNG file is the rest of the body, read where it lies.
    image = readPng(QByteArray::fromRawData(body.constData() + MarkerSize, body.size() - MarkerSize));
    return !image.isNull();
}

QDataStream &readStreamImage(QDataStream &in, QImage &image)
{
    QIODevice *device = in.device();
    if (!device || device->isSequential())
        return in >> image;
    if (auto *buffer = qobject_cast<QBuffer *>(device)) {
        // The body is already in memory: decode it there instead of reading a copy.
        const QByteArray &data = buffer->data();
        const qint64 pos = buffer->pos();
        const bool ok = pos == 0 ? decodeFrameBody(data, image)
                                 : decodeFrameBody(QByteArray::fromRawData(data.constData() + pos, data.size() - pos),
                                                   image);
        buffer->seek(data.size());
        if (!ok)
            in.setStatus(data.size() - pos < 4 ? QDataStream::ReadPastEnd : QDataStream::ReadCorruptData);
        return in;
    }
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
