#pragma once

#include <QByteArray>
#include <QImage>

enum class ChromaSubsampling {
    Full, // 4:4:4, every pixel keeps its own colour
    Half, // 4:2:0, the usual JPEG file
};

// Encodes an image as a baseline JPEG file (libjpeg-turbo, accurate DCT). A quality below 0
// means 75, the usual default. Returns an empty array for a null image or on failure.
[[nodiscard]] QByteArray encodeJpeg(const QImage &image, int quality, ChromaSubsampling subsampling);

// Decodes a JPEG file to QImage::Format_RGB32; a null image when the data is not a readable JPEG
// or claims an image larger than Qt's image allocation limit. With a `minimumSize`, the image may
// come out smaller than stored (scaled by 1/2, 1/4 or 1/8 while decoding, which is much faster),
// but never smaller than `minimumSize` in either direction.
[[nodiscard]] QImage decodeJpeg(const QByteArray &data, const QSize &minimumSize = QSize());

// The size a JPEG file claims, or an invalid size when `data` is not a readable JPEG.
[[nodiscard]] QSize jpegSize(const QByteArray &data);

// Decodes a JPEG file into `pixels`, RGB32 rows `bytesPerLine` apart, scaled while decoding to
// `size`: the file's own size or one of the decoder's scalings of it (ceil(n / 2), ceil(n / 4),
// ceil(n / 8)). False when the data cannot be read at that size. Safe on any thread.
[[nodiscard]] bool decodeJpegInto(const QByteArray &data, uchar *pixels, qsizetype bytesPerLine, QSize size);
