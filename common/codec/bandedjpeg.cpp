#include "bandedjpeg.h"

#include "parallel.h"
#include "pixellayout.h"
#include "turbojpeghandles.h"

#include <atomic>
#include <memory>

namespace {

// A band encoded as a JPEG file of its own: the headers up to and including SOS, and the
// entropy-coded data after them (without the EOI marker).
struct BandFile
{
    QByteArray header;
    QByteArray segment;
};

// Offset just past the SOS marker segment of a JPEG file, or -1.
qsizetype entropyStart(const unsigned char *data, qsizetype size)
{
    qsizetype pos = 2; // after SOI
    while (pos + 4 <= size) {
        if (data[pos] != 0xff)
            return -1;
        const unsigned char marker = data[pos + 1];
        const qsizetype length = (qsizetype(data[pos + 2]) << 8) | data[pos + 3];
        if (length < 2)
            return -1;
        pos += 2 + length;
        if (marker == 0xda)
            return pos <= size ? pos : -1;
    }
    return -1;
}

bool encodeBand(const QImage &frame, int band, int quality, bool wantHeader, BandFile &out)
{
    tjhandle handle = threadJpegCompressor();
    if (!handle)
        return false;
    const int first = BandMap::firstRow(band);
    const int rows = BandMap::rowCount(band, frame.height());
    // A band of 4:2:0 MCUs encoded alone pads its right edge and its last rows exactly as the
    // whole frame's encode pads the same MCUs: both replicate the last column and the last row.
    unsigned char *jpeg = nullptr;
    unsigned long size = 0;
    const int rc = tjCompress2(handle, frame.constScanLine(first), frame.width(), int(frame.bytesPerLine()),
                               rows, RGB32PixelFormat, &jpeg, &size, TJSAMP_420, quality, 0);
    bool ok = false;
    if (rc == 0) {
        const qsizetype start = entropyStart(jpeg, qsizetype(size));
        // The data ends with EOI (FF D9).
        if (start > 0 && qsizetype(size) >= start + 2 && jpeg[size - 2] == 0xff && jpeg[size - 1] == 0xd9) {
            const char *bytes = reinterpret_cast<const char *>(jpeg);
            out.segment = QByteArray(bytes + start, qsizetype(size) - 2 - start);
            if (wantHeader)
                out.header = QByteArray(bytes, start);
            ok = true;
        }
    }
    tjFree(jpeg);
    return ok;
}

// Turns a band file's header into the header of the whole frame: the frame's height in SOF0 and
// a DRI of `interval` MCUs before SOS.
bool frameHeader(QByteArray &header, int width, int height, int interval)
{
    if (!setJpegSize(header, width, height))
        return false;
    const auto *data = reinterpret_cast<const unsigned char *>(header.constData());
    qsizetype sos = 2;
    while (sos + 4 <= header.size() && data[sos + 1] != 0xda)
        sos += 2 + ((qsizetype(data[sos + 2]) << 8) | data[sos + 3]);
    if (sos + 4 > header.size())
        return false;
    const char dri[] = {char(0xff), char(0xdd), 0, 4, char(interval >> 8), char(interval & 0xff)};
    header.insert(sos, dri, sizeof dri);
    return true;
}

} // namespace

QByteArray joinJpegBands(const JpegBands &bands, int firstBand, int bandCount)
{
    const int total = int(bands.segments.size());
    if (bandCount <= 0 || firstBand < 0 || firstBand + bandCount > total || bands.header.isEmpty()
        || total != BandMap::bandCount(bands.size.height()))
        return {};
    qsizetype size = bands.header.size() + 8 + 2 * bandCount;
    for (int band = firstBand; band < firstBand + bandCount; ++band) {
        if (bands.segments[size_t(band)].isEmpty())
            return {};
        size += bands.segments[size_t(band)].size();
    }
    const int last = firstBand + bandCount - 1;
    const int rows = BandMap::firstRow(last) + BandMap::rowCount(last, bands.size.height()) - BandMap::firstRow(firstBand);
    QByteArray header = bands.header;
    if (!frameHeader(header, bands.size.width(), rows, (bands.size.width() + 15) / 16))
        return {};
    QByteArray out;
    out.reserve(size);
    out += header;
    for (int band = firstBand; band <= last; ++band) {
        if (band > firstBand) {
            out += char(0xff);
            out += char(0xd0 + (band - firstBand - 1) % 8);
        }
        out += bands.segments[size_t(band)];
    }
    out += char(0xff);
    out += char(0xd9);
    return out;
}

bool splitJpeg(const QByteArray &file, QByteArray *header, QByteArray *segment)
{
    const auto *data = reinterpret_cast<const unsigned char *>(file.constData());
    const qsizetype size = file.size();
    const qsizetype start = size >= 4 && data[0] == 0xff && data[1] == 0xd8 ? entropyStart(data, size) : -1;
    if (start <= 0 || size < start + 2 || data[size - 2] != 0xff || data[size - 1] != 0xd9)
        return false;
    if (header)
        *header = file.first(start);
    if (segment)
        *segment = file.mid(start, size - 2 - start);
    return true;
}

bool setJpegSize(QByteArray &header, int width, int height)
{
    if (width <= 0 || height <= 0 || width > 65535 || height > 65535)
        return false;
    auto *data = reinterpret_cast<unsigned char *>(header.data());
    qsizetype pos = 2;
    while (pos + 4 <= header.size() && data[pos] == 0xff) {
        const unsigned char marker = data[pos + 1];
        const qsizetype length = (qsizetype(data[pos + 2]) << 8) | data[pos + 3];
        if (marker == 0xda || length < 2)
            return false;
        if (marker == 0xc0) {
            if (length < 8 || pos + 2 + length > header.size())
                return false;
            data[pos + 5] = uchar(height >> 8); // SOF0: length, precision, height, width, ...
            data[pos + 6] = uchar(height & 0xff);
            data[pos + 7] = uchar(width >> 8);
            data[pos + 8] = uchar(width & 0xff);
            return true;
        }
        pos += 2 + length;
    }
    return false;
}

std::shared_ptr<const JpegBands> encodeJpegBandsOf(const QImage &image, const std::vector<int> &which, int quality)
{
    if (which.empty() || image.isNull() || image.width() > 65535 || image.height() > 65535)
        return {};
    const QImage frame = withRgb32Pixels(image);
    std::vector<BandFile> files(which.size());
    std::atomic<bool> failed{false};
    parallelFor(int(which.size()), [&](int i) {
        if (!encodeBand(frame, which[size_t(i)], quality, i == 0, files[size_t(i)]))
            failed = true;
    });
    if (failed)
        return {};
    auto bands = std::make_shared<JpegBands>();
    bands->quality = quality;
    bands->size = frame.size();
    bands->header = std::move(files.front().header);
    bands->segments.resize(size_t(BandMap::bandCount(frame.height())));
    for (size_t i = 0; i < which.size(); ++i)
        bands->segments[size_t(which[i])] = std::move(files[i].segment);
    return bands;
}

BandedJpegEncoder::BandedJpegEncoder(int quality)
    : m_quality(quality < 0 ? 75 : qBound(1, quality, 100))
{
}

QByteArray BandedJpegEncoder::encode(const QImage &image, const BandMap &changes)
{
    m_reused = 0;
    m_encoded = 0;
    if (image.isNull() || image.width() > 65535 || image.height() > 65535)
        return {};
    const QImage frame = withRgb32Pixels(image);

    const int bands = BandMap::bandCount(frame.height());
    const bool sameLayout = frame.size() == m_size && image.format() == m_format && changes.height() == frame.height()
        && changes.count() == bands && int(m_segments.size()) == bands && !m_header.isEmpty();
    if (!sameLayout) {
        m_size = QSize();
        m_header.clear();
        m_segments.assign(size_t(bands), QByteArray());
    }

    std::vector<int> todo;
    for (int band = 0; band < bands; ++band) {
        if (!sameLayout || changes.changed(band) || m_segments[size_t(band)].isEmpty())
            todo.push_back(band);
    }
    std::vector<BandFile> files(todo.size());
    std::atomic<bool> failed{false};
    const bool needHeader = m_header.isEmpty();
    parallelFor(int(todo.size()), [&](int i) {
        if (!encodeBand(frame, todo[size_t(i)], m_quality, needHeader && i == 0, files[size_t(i)]))
            failed = true;
    });
    if (failed) {
        m_size = QSize();
        m_segments.assign(size_t(bands), QByteArray());
        m_header.clear();
        return {};
    }
    if (needHeader) {
        m_bandHeader = files.front().header;
        m_header = m_bandHeader;
        if (!frameHeader(m_header, frame.width(), frame.height(), (frame.width() + 15) / 16)) {
            m_header.clear();
            return {};
        }
    }
    for (size_t i = 0; i < todo.size(); ++i)
        m_segments[size_t(todo[i])] = std::move(files[i].segment);
    m_size = frame.size();
    m_format = image.format();
    m_encoded = int(todo.size());
    m_reused = bands - m_encoded;

    qsizetype total = m_header.size() + 2 + 2 * bands;
    for (const QByteArray &segment : m_segments)
        total += segment.size();
    QByteArray out;
    out.reserve(total);
    out += m_header;
    for (int band = 0; band < bands; ++band) {
        if (band > 0) {
            out += char(0xff);
            out += char(0xd0 + (band - 1) % 8);
        }
        out += m_segments[size_t(band)];
    }
    out += char(0xff);
    out += char(0xd9);
    return out;
}

std::shared_ptr<const JpegBands> BandedJpegEncoder::bands() const
{
    if (m_size.isEmpty() || m_header.isEmpty())
        return {};
    auto bands = std::make_shared<JpegBands>();
    bands->quality = m_quality;
    bands->size = m_size;
    bands->header = m_bandHeader;
    bands->segments = m_segments;
    return bands;
}
