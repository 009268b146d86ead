#pragma once

#include <QByteArray>

class QImage;

// PNG files of single images, written by BandedPngEncoder (see bandedpng.h for what is kept of
// each format) with every band encoded.

// The PNG file of `image`; empty for a null image (or if the image cannot be encoded).
[[nodiscard]] QByteArray writePng(const QImage &image);

// Appends the PNG file of `image` to `out` and returns whether it did; `out` is left as it
// was when it returns false.
bool appendPng(QByteArray &out, const QImage &image);
