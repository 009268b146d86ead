#pragma once

#include <QtGlobal>

#include <turbojpeg.h>

// What every user of libjpeg-turbo in the codec library shares: the pixel format of
// QImage::Format_RGB32 in memory, and one compressor and one decompressor per thread (the
// handles are not thread-safe).
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr int RGB32PixelFormat = TJPF_BGRX;
#else
constexpr int RGB32PixelFormat = TJPF_XRGB;
#endif

[[nodiscard]] tjhandle threadJpegCompressor();
[[nodiscard]] tjhandle threadJpegDecompressor();
