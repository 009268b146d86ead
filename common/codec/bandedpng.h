#pragma once

#include "bandmap.h"

#include <QByteArray>
#include <QImage>

#include <cstdint>
#include <vector>

// The PNG writer of the stream and of every PNG the programs write. The image data is cut into
// the bands of BandMap: each band's rows are filtered without reference to the band above (its
// first row "Sub", the others "Up"), deflated on its own with ISA-L and ended with a full flush,
// so the bands' outputs concatenate into one zlib stream and a band that did not change keeps
// its compressed bytes from the frame before. Changed bands are compressed on every core.
//
// Opaque images are written as 8-bit RGB, images with an alpha channel as 8-bit RGBA (straight
// alpha), so any PNG reader gets back exactly the pixels. Images with more than 8 bits per
// channel go through Qt's own PNG writer, which keeps them.
//
// Before IDAT the file carries the private ancillary chunk "bdIX" (unsafe to copy: it describes
// the image data), which lets a reader inflate the bands in parallel. Its data, big-endian:
//   u32 rows per band, u32 band count, then per band u32 offset and u32 length of the band's
//   deflate bytes within the zlib stream (the concatenated IDAT data, zlib header included).
// After the last band the stream holds an empty final block (03 00) and the Adler-32.
class BandedPngEncoder
{
public:
    // One PNG of `frame`. Bands that `changes` marks unchanged reuse the compressed bytes kept
    // from the previous call (only when that frame had the same size and format; otherwise every
    // band is encoded). Empty on failure or for a null image.
    [[nodiscard]] QByteArray encode(const QImage &frame, const BandMap &changes);
    // Appends a whole stream frame to `out`: an 8-byte big-endian length of what follows, a
    // 32-bit big-endian marker (1, or 0 and nothing more for a null image), the PNG. Returns
    // false, `out` as it was, when the image cannot be encoded.
    bool appendFrame(QByteArray &out, const QImage &frame, const BandMap &changes);

    // Brings the kept band bytes up to `frame` without writing a file, deflating only the bands
    // that `wanted` marks among those that changed (or were left behind before). A changed band
    // that is not wanted is left stale: a later call encodes it, whatever its map says.
    // Returns false on failure (and for images of more than 8 bits a channel).
    bool updateBands(const QImage &frame, const BandMap &changes, const BandMap &wanted);
    // A standalone PNG of bands [first, first + count) of the last frame, built from their kept
    // bytes without deflating anything: the IHDR of the run's rows, one IDAT holding a zlib
    // header, the bands' bytes, an empty final block and the run's own Adler-32, and IEND.
    // Empty when a band of the run is stale or out of range.
    [[nodiscard]] QByteArray bandRunPng(int first, int count) const;
    // A band whose kept bytes are older than the last frame (or that has none).
    [[nodiscard]] bool isStale(int band) const;
    // Compressed size over raw size of the band, when it was last deflated: low for text and
    // flat areas, near 1 for photographs and video.
    [[nodiscard]] double compressionRatio(int band) const;

    // Bands whose bytes the last call reused / encoded.
    [[nodiscard]] int reusedBands() const { return m_reused; }
    [[nodiscard]] int encodedBands() const { return m_encoded; }

private:
    bool encodeBands(const QImage &frame, const BandMap &changes, const BandMap *wanted);
    bool appendPng(QByteArray &out, const QImage &frame, const BandMap &changes);
    // Appends the IDAT chunk of bands [first, first + count) with their combined Adler-32.
    void appendImageData(QByteArray &out, int first, int count, quint32 adler) const;

    struct Band
    {
        std::vector<quint8> deflated; // ends with a full flush
        quint32 adler = 1;            // of the band's filtered bytes
        float ratio = 1;              // deflated size over filtered size
        bool stale = false;           // changed since `deflated` was made
    };
    std::vector<Band> m_bands;
    int m_width = 0;
    int m_height = 0;
    int m_channels = 0;
    QImage::Format m_format = QImage::Format_Invalid;
    int m_reused = 0;
    int m_encoded = 0;
};

namespace bandedpng {

inline constexpr char ChunkType[] = "bdIX";
inline constexpr quint32 ChunkTag = 0x62644958u; // "bdIX"
// The empty final block that ends the zlib stream after the last band's full flush.
inline constexpr quint8 FinalBlock[2] = {0x03, 0x00};

// Adler-32 of A followed by B, from the checksums of A and B and the length of B.
[[nodiscard]] quint32 adler32Combine(quint32 adlerA, quint32 adlerB, quint64 lengthB);

} // namespace bandedpng
