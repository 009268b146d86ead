#pragma once

#include "bandmap.h"
#include "jpegbands.h"

#include <QByteArray>
#include <QImage>

#include <memory>
#include <vector>

// Splits a baseline JPEG file into its headers (SOI up to and including SOS) and its
// entropy-coded data (without the EOI marker); false when the data is not laid out so.
[[nodiscard]] bool splitJpeg(const QByteArray &file, QByteArray *header, QByteArray *segment);
// Sets the width and height in the SOF0 segment of `header`; false when it has none.
[[nodiscard]] bool setJpegSize(QByteArray &header, int width, int height);

// One JPEG file of bands [firstBand, firstBand + bandCount) of a frame coded band by band: the
// header sized to those rows, a DRI of one band of MCUs and the bands' segments joined with
// restart markers. Empty when a segment of the run is missing.
[[nodiscard]] QByteArray joinJpegBands(const JpegBands &bands, int firstBand, int bandCount);

// Bands `which` of `frame` (Format_RGB32 or ARGB32), each coded on its own at `quality`, 4:2:0,
// on every core; the other bands' segments stay empty. Null when `which` is empty or a band could
// not be coded.
[[nodiscard]] std::shared_ptr<const JpegBands> encodeJpegBandsOf(const QImage &frame, const std::vector<int> &which,
                                                                 int quality);

// Writes frames as baseline JPEG files (quality `quality`, 4:2:0, the standard tables) one
// 16-row band at a time. Each band is one row of MCUs; its entropy-coded segment is encoded on
// its own and the segments are joined with restart markers (a DRI of one band of MCUs, RST0..RST7
// in turn between bands). A restart resets the DC prediction, so a band's segment does not depend
// on the bands above it: the joined file decodes to exactly the pixels of a whole-frame encode
// (encodeJpeg() with the same quality and ChromaSubsampling::Half) and any decoder reads it.
// Bands that the change map marks unchanged keep the segment of the previous call, as long as
// the frame's size and pixel format are the same; the changed bands are encoded on every core.
// Not thread-safe: one encoder per producer.
class BandedJpegEncoder
{
public:
    explicit BandedJpegEncoder(int quality = 75);

    // One JPEG file of `frame`; empty for a null frame or on failure. `changes` compares `frame`
    // with the frame of the previous call; a map that does not fit the frame counts as all changed.
    [[nodiscard]] QByteArray encode(const QImage &frame, const BandMap &changes);

    // Bands of the last call taken over from the call before, and bands encoded afresh.
    [[nodiscard]] int reusedBands() const { return m_reused; }
    [[nodiscard]] int encodedBands() const { return m_encoded; }
    // The last call's frame, band by band (shares the bytes; cheap); null when it failed.
    [[nodiscard]] std::shared_ptr<const JpegBands> bands() const;

private:
    const int m_quality;
    QSize m_size;
    QImage::Format m_format = QImage::Format_Invalid;
    QByteArray m_header; // SOI .. SOS of a file of the current size, DRI included
    QByteArray m_bandHeader; // SOI .. SOS of the first band coded alone
    std::vector<QByteArray> m_segments; // per band: its entropy-coded data
    int m_reused = 0;
    int m_encoded = 0;
};
