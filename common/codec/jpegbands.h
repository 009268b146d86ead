#pragma once

#include <QByteArray>
#include <QSize>

#include <vector>

// A frame coded as banded JPEG (BandedJpegEncoder): the headers of a file holding one band of
// the frame's full width, and each 16-row band's entropy-coded segment. A segment decodes on
// its own: wrapped in `header` with the band's height in SOF0 and an EOI after it, it is a
// complete JPEG file whose pixels are that band of the joined file.
struct JpegBands
{
    int quality = 0;   // 1..100, 4:2:0
    QSize size;        // of the frame
    QByteArray header; // SOI .. SOS of a one-band file (SOF0 height: the first band's rows), no DRI
    std::vector<QByteArray> segments; // per band, top to bottom
};
