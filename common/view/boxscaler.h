#pragma once

#include <QImage>
#include <QSize>

#include <vector>

// Resamples 32-bit frames (RGB32, ARGB32 or ARGB32_Premultiplied, read as stored) to another
// size by area averaging: each destination pixel is the mean of the source area it covers, with
// partly covered source pixels weighted by their share. Shrinking blends every source pixel in,
// growing repeats them (blending only where a destination pixel straddles two), and a side of the
// same length is copied exactly. The result is opaque (alpha 255). Rows can be made one range at
// a time, so a frame whose bands partly changed is resampled only where it changed; ranges that
// do not overlap may be made at once on different threads.
//
// A frame at least twice as large as the target along a side is first reduced by the largest
// whole factor that divides that side, taking the rounded mean of each block (cheap: sums of
// whole pixels), and the rest of the way by area weights. Shrinking by whole factors alone is
// therefore exactly the rounded mean of each block.
class BoxScaler
{
public:
    BoxScaler() = default;
    BoxScaler(const QSize &from, const QSize &to);

    [[nodiscard]] QSize from() const { return m_from; }
    [[nodiscard]] QSize to() const { return m_to; }

    // Destination rows [first, end) whose area takes in any of the source rows [first, end).
    [[nodiscard]] std::pair<int, int> rowsFor(int sourceFirst, int sourceEnd) const;

    // Writes destination rows [first, end) of a to() sized image at `bits` (`bytesPerLine` a row).
    void scaleRows(const QImage &source, uchar *bits, qsizetype bytesPerLine, int first, int end) const;

    // The whole frame, as a new Format_RGB32 image.
    [[nodiscard]] static QImage scaled(const QImage &source, const QSize &to);

private:
    // For each destination index along one axis: the source indices it covers and their weights
    // (summing to WeightOne).
    struct Axis
    {
        std::vector<int> first;     // first source index
        std::vector<int> offset;    // into weights; offset[i + 1] - offset[i] taps
        std::vector<quint16> weights;
        // The same with every index taking `taps` weights (zeros where it takes fewer, its first
        // moved left at the far edge), for loops of a fixed length.
        int taps = 0;
        std::vector<int> paddedFirst;
        std::vector<quint16> paddedWeights;
    };
    static Axis makeAxis(int from, int to);

    // The rows of the block-reduced image [first, end), `outStride` pixels apart.
    void reduceRows(const QImage &source, int first, int end, quint32 *out, qsizetype outStride) const;

    QSize m_from;
    QSize m_to;
    int m_fx = 1; // whole factors of the first reduction (1: none)
    int m_fy = 1;
    QSize m_mid;  // the size after it
    Axis m_x;     // from m_mid to m_to
    Axis m_y;
};
