#include "bandedpng.h"

#include "parallel.h"

#include <QBuffer>
#include <QImageWriter>
#include <QtEndian>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <atomic>
#include <cstring>
#include <memory>

namespace {

constexpr quint8 FilterSub = 1;
constexpr quint8 FilterUp = 2;
constexpr size_t MaxChunkLength = 0x7fffffff;
constexpr qsizetype LengthSize = 8;
constexpr qsizetype MarkerSize = 4;
constexpr quint8 ZlibHeader[2] = {0x78, 0x01}; // deflate, 32 KiB window, fastest

void putBigEndian32(char *to, quint32 value)
{
    qToBigEndian<quint32>(value, to);
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

// The PNG signature and the IHDR of an 8-bit RGB or RGBA image.
void appendSignatureAndHeader(QByteArray &out, int width, int height, bool hasAlpha)
{
    static const char signature[8] = {'\x89', 'P', 'N', 'G', '\r', '\n', '\x1a', '\n'};
    out.append(signature, 8);
    char header[13];
    putBigEndian32(header, quint32(width));
    putBigEndian32(header + 4, quint32(height));
    header[8] = 8;                      // bits per channel
    header[9] = char(hasAlpha ? 6 : 2); // colour type: RGBA or RGB
    header[10] = 0;                     // deflate
    header[11] = 0;                     // adaptive filtering
    header[12] = 0;                     // not interlaced
    appendChunk(out, "IHDR", header, sizeof header);
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

// Rows [first, first + rows) of 32-bit (A)RGB pixels straight to filtered RGB bytes.
void filterQRgbRows(const QImage &image, int first, int rows, quint8 *out)
{
    const int width = image.width();
    for (int y = first; y < first + rows; ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        if (y == first) {
            *out++ = FilterSub;
            int r = 0, g = 0, b = 0;
            for (int x = 0; x < width; ++x) {
                out[0] = quint8(qRed(line[x]) - r);
                out[1] = quint8(qGreen(line[x]) - g);
                out[2] = quint8(qBlue(line[x]) - b);
                r = qRed(line[x]);
                g = qGreen(line[x]);
                b = qBlue(line[x]);
                out += 3;
            }
        } else {
            *out++ = FilterUp;
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
void filterByteRows(const QImage &image, int first, int rows, size_t rowBytes, int bpp, quint8 *out)
{
    for (int y = first; y < first + rows; ++y) {
        const quint8 *line = image.constScanLine(y);
        if (y == first) {
            *out++ = FilterSub;
            std::memcpy(out, line, size_t(std::min<size_t>(size_t(bpp), rowBytes)));
            for (size_t i = size_t(bpp); i < rowBytes; ++i)
                out[i] = quint8(line[i] - line[i - size_t(bpp)]);
        } else {
            *out++ = FilterUp;
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

// Each thread that compresses bands keeps its filtered-rows buffer and ISA-L's level buffer.
struct ThreadScratch
{
    std::vector<quint8> filtered;
    std::vector<quint8> levelBuffer = std::vector<quint8>(ISAL_DEF_LVL1_DEFAULT);
};

ThreadScratch &threadScratch()
{
    thread_local ThreadScratch scratch;
    return scratch;
}

// Raw deflate of `in` ending with a full flush (byte aligned, no history needed after it).
bool deflateBand(const quint8 *in, size_t length, std::vector<quint8> &out, std::vector<quint8> &levelBuffer)
{
    // Stored blocks at worst: 5 bytes per 64 KiB block, plus a block header and the flush.
    const size_t bound = length + length / 16 + ISAL_DEF_MAX_HDR_SIZE + 64;
    out.resize(bound);
    // Not every field is set by the init call, and what is left over changes the output.
    isal_zstream stream{};
    isal_deflate_stateless_init(&stream);
    stream.next_in = const_cast<quint8 *>(in);
    stream.avail_in = quint32(length);
    stream.next_out = out.data();
    stream.avail_out = quint32(bound);
    stream.level = 1;
    stream.level_buf = levelBuffer.data();
    stream.level_buf_size = quint32(levelBuffer.size());
    stream.end_of_stream = 0;
    stream.flush = FULL_FLUSH;
    stream.gzip_flag = IGZIP_DEFLATE;
    if (isal_deflate_stateless(&stream) != COMP_OK || stream.avail_in != 0)
        return false;
    out.resize(bound - stream.avail_out);
    return true;
}

} // namespace

quint32 bandedpng::adler32Combine(quint32 adlerA, quint32 adlerB, quint64 lengthB)
{
    // Adler-32 is s1 = 1 + sum of bytes, s2 = sum of the s1 after each byte (both mod 65521).
    // Appending B adds B's byte sum to s1, and to s2 B's own s2 plus lengthB times A's s1 (less
    // the 1 that B's sums count once more).
    constexpr quint64 Base = 65521;
    const quint64 rem = lengthB % Base;
    const quint64 a1 = adlerA & 0xffff;
    const quint64 a2 = adlerA >> 16;
    const quint64 b1 = adlerB & 0xffff;
    const quint64 b2 = adlerB >> 16;
    const quint64 s1 = (a1 + b1 + Base - 1) % Base;
    const quint64 s2 = (a2 + b2 + rem * a1 % Base + Base - rem) % Base;
    return quint32(s1 | (s2 << 16));
}

bool BandedPngEncoder::encodeBands(const QImage &frame, const BandMap &changes, const BandMap *wanted)
{
    m_reused = 0;
    m_encoded = 0;
    if (frame.isNull())
        return false;

    const bool qrgb = isQRgbFormat(frame.format());
    const bool hasAlpha = frame.hasAlphaChannel() && !(qrgb && allOpaque(frame));
    const int channels = hasAlpha ? 4 : 3;
    const int width = frame.width();
    const int height = frame.height();
    const size_t rowBytes = size_t(width) * size_t(channels);
    const int bandCount = BandMap::bandCount(height);

    QImage converted;
    if (hasAlpha || !qrgb) {
        const QImage::Format byteFormat = hasAlpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888;
        converted = frame.format() == byteFormat ? frame : frame.convertToFormat(byteFormat);
        if (converted.isNull())
            return false;
    }

    const bool reusable = width == m_width && height == m_height && channels == m_channels
        && frame.format() == m_format && changes.height() == height && changes.count() == bandCount
        && int(m_bands.size()) == bandCount;
    if (!reusable) {
        m_bands.assign(size_t(bandCount), Band());
        m_width = width;
        m_height = height;
        m_channels = channels;
        m_format = frame.format();
    }
    const bool wantedFits = wanted && wanted->count() == bandCount;
    std::vector<int> todo;
    for (int band = 0; band < bandCount; ++band) {
        Band &kept = m_bands[size_t(band)];
        if (reusable && !changes.changed(band) && !kept.stale)
            continue;
        if (wantedFits && !wanted->changed(band))
            kept.stale = true;
        else
            todo.push_back(band);
    }

    std::atomic<bool> failed{false};
    parallelFor(int(todo.size()), [&](int i) {
        const int band = todo[size_t(i)];
        const int first = BandMap::firstRow(band);
        const int rows = BandMap::rowCount(band, height);
        ThreadScratch &scratch = threadScratch();
        const size_t filteredBytes = (rowBytes + 1) * size_t(rows);
        scratch.filtered.resize(filteredBytes);
        if (converted.isNull())
            filterQRgbRows(frame, first, rows, scratch.filtered.data());
        else
            filterByteRows(converted, first, rows, rowBytes, channels, scratch.filtered.data());
        Band &encoded = m_bands[size_t(band)];
        encoded.adler = quint32(libdeflate_adler32(1, scratch.filtered.data(), filteredBytes));
        encoded.stale = false;
        if (!deflateBand(scratch.filtered.data(), filteredBytes, encoded.deflated, scratch.levelBuffer))
            failed = true;
        encoded.ratio = float(double(encoded.deflated.size()) / double(filteredBytes));
    });
    if (failed) {
        m_bands.clear();
        m_format = QImage::Format_Invalid;
        return false;
    }
    m_encoded = int(todo.size());
    m_reused = bandCount - m_encoded;
    return true;
}

bool BandedPngEncoder::updateBands(const QImage &frame, const BandMap &changes, const BandMap &wanted)
{
    if (isDeepFormat(frame.format())) {
        m_bands.clear();
        m_format = QImage::Format_Invalid;
        return false;
    }
    return encodeBands(frame, changes, &wanted);
}

bool BandedPngEncoder::isStale(int band) const
{
    return band < 0 || band >= int(m_bands.size()) || m_bands[size_t(band)].stale;
}

double BandedPngEncoder::compressionRatio(int band) const
{
    return band < 0 || band >= int(m_bands.size()) ? 1.0 : double(m_bands[size_t(band)].ratio);
}

QByteArray BandedPngEncoder::bandRunPng(int first, int count) const
{
    const int bandCount = int(m_bands.size());
    if (first < 0 || count <= 0 || first + count > bandCount || m_width <= 0)
        return {};
    const size_t rowBytes = size_t(m_width) * size_t(m_channels);
    int rows = 0;
    quint32 adler = 1;
    size_t streamBytes = sizeof ZlibHeader + sizeof bandedpng::FinalBlock + 4;
    for (int band = first; band < first + count; ++band) {
        const Band &kept = m_bands[size_t(band)];
        if (kept.stale)
            return {};
        const int bandRows = BandMap::rowCount(band, m_height);
        rows += bandRows;
        adler = bandedpng::adler32Combine(adler, kept.adler, (rowBytes + 1) * size_t(bandRows));
        streamBytes += kept.deflated.size();
    }
    if (streamBytes > MaxChunkLength)
        return {};

    QByteArray out;
    out.reserve(8 + 25 + 12 + qsizetype(streamBytes) + 12);
    appendSignatureAndHeader(out, m_width, rows, m_channels == 4);
    appendImageData(out, first, count, adler);
    appendChunk(out, "IEND", nullptr, 0);
    return out;
}

void BandedPngEncoder::appendImageData(QByteArray &out, int first, int count, quint32 adler) const
{
    // One IDAT: the zlib header, the bands' deflated bytes, an empty final block, the Adler-32.
    const qsizetype dataStart = out.size();
    out.append(8, '\0');
    out.append(reinterpret_cast<const char *>(ZlibHeader), sizeof ZlibHeader);
    for (int band = first; band < first + count; ++band) {
        const Band &kept = m_bands[size_t(band)];
        out.append(reinterpret_cast<const char *>(kept.deflated.data()), qsizetype(kept.deflated.size()));
    }
    out.append(reinterpret_cast<const char *>(bandedpng::FinalBlock), sizeof bandedpng::FinalBlock);
    char adlerBytes[4];
    putBigEndian32(adlerBytes, adler);
    out.append(adlerBytes, 4);
    finishChunk(out, dataStart, "IDAT");
}

bool BandedPngEncoder::appendPng(QByteArray &out, const QImage &frame, const BandMap &changes)
{
    if (!frame.isNull() && isDeepFormat(frame.format())) {
        m_reused = 0;
        m_encoded = 0;
        m_bands.clear();
        m_format = QImage::Format_Invalid;
        return appendWithQtWriter(out, frame);
    }
    if (!encodeBands(frame, changes, nullptr))
        return false;
    const int width = m_width;
    const int height = m_height;
    const bool hasAlpha = m_channels == 4;
    const size_t rowBytes = size_t(width) * size_t(m_channels);
    const int bandCount = int(m_bands.size());

    // The zlib stream: header, the bands, an empty final block, the Adler-32 of it all.
    size_t streamBytes = sizeof ZlibHeader + sizeof bandedpng::FinalBlock + 4;
    quint32 adler = 1;
    for (int band = 0; band < bandCount; ++band) {
        streamBytes += m_bands[size_t(band)].deflated.size();
        adler = bandedpng::adler32Combine(adler, m_bands[size_t(band)].adler,
                                          (rowBytes + 1) * size_t(BandMap::rowCount(band, height)));
    }
    if (streamBytes > MaxChunkLength) {
        m_bands.clear();
        m_format = QImage::Format_Invalid;
        return false;
    }

    const qsizetype indexBytes = 8 + 8 * qsizetype(bandCount);
    out.reserve(out.size() + 8 + 25 + 12 + indexBytes + 12 + qsizetype(streamBytes) + 12);
    appendSignatureAndHeader(out, width, height, hasAlpha);

    const qsizetype indexStart = out.size();
    out.resize(indexStart + 8 + indexBytes);
    char *index = out.data() + indexStart + 8;
    putBigEndian32(index, quint32(BandMap::BandRows));
    putBigEndian32(index + 4, quint32(bandCount));
    quint32 offset = sizeof ZlibHeader;
    for (int band = 0; band < bandCount; ++band) {
        const auto length = quint32(m_bands[size_t(band)].deflated.size());
        putBigEndian32(index + 8 + 8 * band, offset);
        putBigEndian32(index + 12 + 8 * band, length);
        offset += length;
    }
    finishChunk(out, indexStart, bandedpng::ChunkType);

    appendImageData(out, 0, bandCount, adler);
    appendChunk(out, "IEND", nullptr, 0);
    return true;
}

QByteArray BandedPngEncoder::encode(const QImage &frame, const BandMap &changes)
{
    QByteArray png;
    if (!appendPng(png, frame, changes))
        return {};
    return png;
}

bool BandedPngEncoder::appendFrame(QByteArray &out, const QImage &frame, const BandMap &changes)
{
    const qsizetype start = out.size();
    out.append(LengthSize + MarkerSize, '\0');
    qToBigEndian<qint32>(frame.isNull() ? 0 : 1, out.data() + start + LengthSize);
    if (!frame.isNull() && !appendPng(out, frame, changes)) {
        out.truncate(start);
        return false;
    }
    qToBigEndian<qint64>(qint64(out.size() - start - LengthSize), out.data() + start);
    return true;
}
