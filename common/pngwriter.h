#pragma once

#include <QByteArray>

class QImage;

// A fast PNG writer for captured frames: rows filtered with the "Up" filter and deflated at
// libdeflate's fastest level. Opaque images are written as 8-bit RGB, images with an alpha
// channel as 8-bit RGBA (straight alpha), so any PNG reader gets back exactly the pixels.
// Images with more than 8 bits per channel go through Qt's own PNG writer, which keeps them.

// The PNG file of `image`; empty for a null image (or if the image cannot be encoded).
[[nodiscard]] QByteArray writePng(const QImage &image);

// Appends the PNG file of `image` to `out` and returns whether it did; `out` is left as it
// was when it returns false.
bool appendPng(QByteArray &out, const QImage &image);
