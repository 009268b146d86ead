#include "jpegcodec.h"

#include "pixellayout.h"
#include "turbojpeghandles.h"

#include <QImageReader>

#include <memory>

namespace {

struct HandleDeleter
{
    void operator()(void *handle) const { tjDestroy(handle); }
};
using Handle = std::unique_ptr<void, HandleDeleter>;

} // namespace

tjhandle threadJpegCompressor()
{
    thread_local Handle handle(tjInitCompress());
    return handle.get();
}

tjhandle threadJpegDecompressor()
{
    thread_local Handle handle(tjInitDecompress());
    return handle.get();
}

QByteArray encodeJpeg(const QImage &image, int quality, ChromaSubsampling subsampling)
{
    if (image.isNull())
        return {};
    const QImage source = withRgb32Pixels(image);
    tjhandle handle = threadJpegCompressor();
    if (!handle)
        return {};
    unsigned char *jpeg = nullptr;
    unsigned long jpegSize = 0;
    const int rc = tjCompress2(handle, source.constBits(), source.width(), int(source.bytesPerLine()),
                               source.height(), RGB32PixelFormat, &jpeg, &jpegSize,
                               subsampling == ChromaSubsampling::Full ? TJSAMP_444 : TJSAMP_420,
                               quality < 0 ? 75 : qBound(1, quality, 100), 0);
    QByteArray result;
    if (rc == 0)
        result = QByteArray(reinterpret_cast<const char *>(jpeg), qsizetype(jpegSize));
    tjFree(jpeg);
    return result;
}

QSize jpegSize(const QByteArray &data)
{
    tjhandle handle = threadJpegDecompressor();
    if (!handle || data.isEmpty())
        return {};
    auto *bytes = reinterpret_cast<unsigned char *>(const_cast<char *>(data.constData()));
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle, bytes, static_cast<unsigned long>(data.size()), &width, &height, &subsampling,
                            &colorspace) != 0
        || width <= 0 || height <= 0)
        return {};
    return {width, height};
}

bool decodeJpegInto(const QByteArray &data, uchar *pixels, qsizetype bytesPerLine, QSize size)
{
    tjhandle handle = threadJpegDecompressor();
    if (!handle || data.isEmpty() || !pixels || size.isEmpty())
        return false;
    auto *bytes = reinterpret_cast<unsigned char *>(const_cast<char *>(data.constData()));
    return tjDecompress2(handle, bytes, static_cast<unsigned long>(data.size()), pixels, size.width(),
                         int(bytesPerLine), size.height(), RGB32PixelFormat, 0)
        == 0;
}

QImage decodeJpeg(const QByteArray &data, const QSize &minimumSize)
{
    const QSize stored = jpegSize(data);
    if (!stored.isValid())
        return {};
    const int width = stored.width();
    const int height = stored.height();
    const int limitMb = QImageReader::allocationLimit();
    if (limitMb > 0 && qint64(width) * height * 4 > qint64(limitMb) * 1024 * 1024)
        return {};
    int scaledWidth = width;
    int scaledHeight = height;
    if (minimumSize.isValid()) {
        int count = 0;
        const tjscalingfactor *factors = tjGetScalingFactors(&count);
        for (int i = 0; factors && i < count; ++i) {
            const int w = TJSCALED(width, factors[i]);
            const int h = TJSCALED(height, factors[i]);
            if (w >= minimumSize.width() && h >= minimumSize.height() && w * qint64(h) < scaledWidth * qint64(scaledHeight)) {
                scaledWidth = w;
                scaledHeight = h;
            }
        }
    }
    QImage image(scaledWidth, scaledHeight, QImage::Format_RGB32);
    if (image.isNull() || !decodeJpegInto(data, image.bits(), image.bytesPerLine(), image.size()))
        return {};
    return image;
}
