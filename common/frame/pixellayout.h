#pragma once

#include <QImage>

// The image with its pixels as 32-bit 0xAARRGGBB words, the layout the codecs, the scaler and the
// renderer read directly: `image` itself (no copy) when it is Format_RGB32 or Format_ARGB32, or
// Format_ARGB32_Premultiplied when `premultipliedReads` (a reader that only averages or shows
// the pixels), otherwise a copy converted to Format_RGB32. A null image stays null.
[[nodiscard]] QImage withRgb32Pixels(const QImage &image, bool premultipliedReads = false);
