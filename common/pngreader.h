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
// Null when the file cannot be read.
[[nodiscard]] QImage readPng(const QByteArray &png);

// Reads an image as operator>>(QDataStream &, QImage &) does: a 32-bit marker (0: null image),
// then a PNG file. On a random-access device the PNG file runs to the end of the device (one
// frame body) and is read with readPng(); on a sequential device Qt's operator reads it. A
// file that cannot be read sets the stream's status to QDataStream::ReadCorruptData.
QDataStream &readStreamImage(QDataStream &in, QImage &image);
