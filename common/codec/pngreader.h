#pragma once

#include <QByteArray>
#include <QImage>

class QDataStream;

// A fast PNG reader for the frames of the image stream. 8-bit RGB and RGBA images without
// interlacing and without chunks that change how pixels read (transparency key, gamma, colour
// profiles) are inflated with libdeflate; every other PNG, and any file the fast path does not
// accept, goes through Qt's reader, so the result is what Qt's reader gives. (One leniency:
// libdeflate inflates a few deflate streams that zlib refuses, with their checksum right.)
// An image whose pixels would take more than QImageReader::allocationLimit() is refused
// before anything is allocated, and so is one whose image data is too short to fill it.
// Nothing a file's chunks claim makes Qt's reader allocate more than the file's size: a file is
// cut before a chunk that runs past its end, and compressed text and colour profiles are not
// read (the pixels are the same; QImage::text() and colorSpace() do not have them).
// A file with the banded writer's band index (bandedpng.h) is inflated band by band on every
// core, straight into the image, when the index is consistent with the image data; a file whose
// index does not hold is read as if it had none.
// Null when the file cannot be read.
[[nodiscard]] QImage readPng(const QByteArray &png);

// Decodes one frame body of the stream: a 32-bit big-endian marker (0: a null image), then a
// PNG file read with readPng() where it lies in `body`. Returns whether the body held an image
// (or the null marker); `image` is null otherwise.
[[nodiscard]] bool decodeFrameBody(const QByteArray &body, QImage &image);

// Reads an image as operator>>(QDataStream &, QImage &) does: a 32-bit marker (0: null image),
// then a PNG file. On a random-access device the body runs to the end of the device (one frame
// body) and is read with decodeFrameBody() (from a QBuffer's own bytes, without a copy); on a
// sequential device Qt's operator reads it. A file that cannot be read sets the stream's status
// to QDataStream::ReadCorruptData.
QDataStream &readStreamImage(QDataStream &in, QImage &image);
