#pragma once

#include <QByteArray>

class QImage;

// Writes one image frame of the stream: an 8-byte big-endian length L of what follows, a
// 32-bit big-endian marker (1: an image follows, 0: null image), then the image as a PNG file.
// A null image gives L = 4 and marker 0. Qt's operator>>(QDataStream &, QImage &) reads the
// bytes after the length back into the image.
// Returns the whole frame; empty only if a non-null image could not be encoded.
[[nodiscard]] QByteArray encodeFrame(const QImage &image);
