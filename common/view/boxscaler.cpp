#include "boxscaler.h"

#include "pixellayout.h"

#include <algorithm>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

constexpr int WeightBits = 14;
constexpr int WeightOne = 1 << WeightBits;
// Horizontal sums keep 8 fractional bits (a channel * 256 fits 16 bits), vertical sums round back.
constexpr int HorizontalShift = WeightBits - 8;
constexpr int VerticalShift = WeightBits + 8;

} // namespace

namespace {

// The largest whole factor, at most `limit`, by which `from` can be divided on the way to `to`.
int wholeFactor(int from, int to, int limit)
{
    if (from <= 0 || to <= 0)
        return 1;
    int factor = std::min(from / to, limit);
    while (factor > 1 && from % factor != 0)
        --factor;
    return std::max(factor, 1);
}

// Sums of up to this many pixels keep every channel within 16 bits (255 * 256 < 65536).
constexpr int MaxBlockPixels = 256;

} // namespace

BoxScaler::BoxScaler(const QSize &from, const QSize &to)
    : m_from(from)
    , m_to(to)
    , m_fx(wholeFactor(from.width(), to.width(), MaxBlockPixels))
    , m_fy(wholeFactor(from.height(), to.height(), MaxBlockPixels / m_fx))
    , m_mid(from.width() / m_fx, from.height() / m_fy)
    , m_x(makeAxis(m_mid.width(), to.width()))
    , m_y(makeAxis(m_mid.height(), to.height()))
{
}

namespace {

// Adds a source row to the column sums: blue and red as two 16-bit lanes of one word, green
// alone. Contiguous, so four pixels a step where the CPU has SSE2 (every x86-64 does).
void addRow(const quint32 *in, int width, quint32 *sumBr, quint32 *sumG)
{
    int x = 0;
#ifdef __SSE2__
    const __m128i brMask = _mm_set1_epi32(0x00ff00ff);
    const __m128i gMask = _mm_set1_epi32(0x000000ff);
    for (; x + 4 <= width; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + x));
        auto *br = reinterpret_cast<__m128i *>(sumBr + x);
        auto *g = reinterpret_cast<__m128i *>(sumG + x);
        _mm_storeu_si128(br, _mm_add_epi32(_mm_loadu_si128(br), _mm_and_si128(pixels, brMask)));
        _mm_storeu_si128(g, _mm_add_epi32(_mm_loadu_si128(g), _mm_and_si128(_mm_srli_epi32(pixels, 8), gMask)));
    }
#endif
    for (; x < width; ++x) {
        sumBr[x] += in[x] & 0x00ff00ffu;
        sumG[x] += (in[x] >> 8) & 0xffu;
    }
}

// The column sums of runs of `Fx` columns.
template <int Fx>
void addColumns(const quint32 *br, const quint32 *g, int width, int fx, quint32 *outBr, quint32 *outG)
{
    const int n = Fx > 0 ? Fx : fx;
    for (int x = 0; x < width; ++x) {
        quint32 sb = 0;
        quint32 sg = 0;
        for (int dx = 0; dx < n; ++dx) {
            sb += br[size_t(x) * size_t(n) + size_t(dx)];
            sg += g[size_t(x) * size_t(n) + size_t(dx)];
        }
        outBr[x] = sb;
        outG[x] = sg;
    }
}

} // namespace

void BoxScaler::reduceRows(const QImage &source, int first, int end, quint32 *out) const
{
    // Each block's sums: the rows added column by column, then runs of columns added, then the
    // rounded mean of each channel.
    const int width = m_mid.width();
    const int sourceWidth = width * m_fx;
    const quint32 count = quint32(m_fx * m_fy);
    const auto add = m_fx == 1 ? addColumns<1>
        : m_fx == 2            ? addColumns<2>
        : m_fx == 3            ? addColumns<3>
        : m_fx == 4            ? addColumns<4>
                               : addColumns<0>;
    // Rounded sum / count as a multiplication: exact for sums below 2^17, with count <= 256.
    const quint64 reciprocal = ((quint64(1) << 32) + count - 1) / count;
    const auto divide = [count, reciprocal](quint32 sum) {
        return quint32((quint64(sum + count / 2) * reciprocal) >> 32);
    };
    std::vector<quint32> columnBr(static_cast<size_t>(sourceWidth));
    std::vector<quint32> columnG(static_cast<size_t>(sourceWidth));
    std::vector<quint32> sumBr(static_cast<size_t>(width));
    std::vector<quint32> sumG(static_cast<size_t>(width));
    for (int y = first; y < end; ++y) {
        std::fill(columnBr.begin(), columnBr.end(), 0u);
        std::fill(columnG.begin(), columnG.end(), 0u);
        for (int dy = 0; dy < m_fy; ++dy)
            addRow(reinterpret_cast<const quint32 *>(source.constScanLine(y * m_fy + dy)), sourceWidth,
                   columnBr.data(), columnG.data());
        add(columnBr.data(), columnG.data(), width, m_fx, sumBr.data(), sumG.data());
        quint32 *row = out + size_t(y - first) * size_t(width);
        for (int x = 0; x < width; ++x) {
            const quint32 b = divide(sumBr[size_t(x)] & 0xffffu);
            const quint32 r = divide(sumBr[size_t(x)] >> 16);
            const quint32 g = divide(sumG[size_t(x)]);
            row[x] = 0xff000000u | (r << 16) | (g << 8) | b;
        }
    }
}

BoxScaler::Axis BoxScaler::makeAxis(int from, int to)
{
    // In units of 1 / (from * to): source pixel s covers [s * to, (s + 1) * to), destination
    // pixel d covers [d * from, (d + 1) * from).
    Axis axis;
    axis.first.resize(size_t(std::max(0, to)));
    axis.offset.reserve(size_t(std::max(0, to)) + 1);
    axis.offset.push_back(0);
    if (from <= 0)
        to = 0;
    for (int d = 0; d < to; ++d) {
        const qint64 begin = qint64(d) * from;
        const qint64 end = begin + from;
        const int s0 = int(begin / to);
        const int s1 = int((end + to - 1) / to); // exclusive
        axis.first[size_t(d)] = s0;
        // Weights from rounded running sums, so that they add up to exactly WeightOne.
        qint64 covered = 0;
        int given = 0;
        for (int s = s0; s < s1; ++s) {
            const qint64 overlap = std::min(end, qint64(s + 1) * to) - std::max(begin, qint64(s) * to);
            covered += overlap;
            const int upTo = int((covered * WeightOne + from / 2) / from);
            axis.weights.push_back(quint16(upTo - given));
            given = upTo;
        }
        axis.offset.push_back(int(axis.weights.size()));
    }
    for (int d = 0; d < to; ++d)
        axis.taps = std::max(axis.taps, axis.offset[size_t(d) + 1] - axis.offset[size_t(d)]);
    axis.paddedFirst.resize(size_t(std::max(0, to)));
    axis.paddedWeights.assign(size_t(std::max(0, to)) * size_t(axis.taps), 0);
    for (int d = 0; d < to; ++d) {
        const int count = axis.offset[size_t(d) + 1] - axis.offset[size_t(d)];
        const int start = std::min(axis.first[size_t(d)], from - axis.taps);
        axis.paddedFirst[size_t(d)] = start;
        const int lead = axis.first[size_t(d)] - start;
        for (int k = 0; k < count; ++k)
            axis.paddedWeights[size_t(d) * size_t(axis.taps) + size_t(lead + k)] =
                axis.weights[size_t(axis.offset[size_t(d)] + k)];
    }
    return axis;
}

namespace {

// One source row resampled across with `Taps` weights per output pixel (see scaleRows).
template <int Taps>
void resampleRow(const quint32 *in, const int *first, const quint16 *weights, int taps, int width, quint64 *outBr,
                 quint32 *outG)
{
    const int n = Taps > 0 ? Taps : taps;
    constexpr quint32 half = 1u << (HorizontalShift - 1);
    for (int x = 0; x < width; ++x) {
        const quint32 *p = in + first[x];
        const quint16 *w = weights + size_t(x) * size_t(n);
        quint64 br = 0;
        quint32 g = 0;
        for (int k = 0; k < n; ++k) {
            const quint32 pixel = p[k];
            br += quint64(w[k]) * ((pixel & 0xffu) | (quint64(pixel & 0xff0000u) << 16));
            g += w[k] * ((pixel >> 8) & 0xffu);
        }
        const quint32 b = (quint32(br) + half) >> HorizontalShift;
        const quint32 r = (quint32(br >> 32) + half) >> HorizontalShift;
        outBr[x] = b | (quint64(r) << 32);
        outG[x] = (g + half) >> HorizontalShift;
    }
}

} // namespace

std::pair<int, int> BoxScaler::rowsFor(int sourceFirst, int sourceEnd) const
{
    const int from = m_mid.height();
    const int to = m_to.height();
    if (from <= 0 || to <= 0 || sourceEnd <= sourceFirst)
        return {0, 0};
    // Rows of the block-reduced image that take in any of these.
    sourceFirst /= m_fy;
    sourceEnd = (sourceEnd + m_fy - 1) / m_fy;
    const int first = int(qint64(sourceFirst) * to / from);
    const int end = int((qint64(sourceEnd) * to + from - 1) / from);
    return {std::clamp(first, 0, to), std::clamp(end, 0, to)};
}

void BoxScaler::scaleRows(const QImage &source, uchar *bits, qsizetype bytesPerLine, int first, int end) const
{
    first = std::max(first, 0);
    end = std::min(end, m_to.height());
    if (first >= end || m_to.width() <= 0)
        return;
    const int width = m_to.width();
    const int sourceFirst = m_y.first[size_t(first)];
    const int lastTap = m_y.offset[size_t(end)] - m_y.offset[size_t(end - 1)];
    const int sourceEnd = m_y.first[size_t(end - 1)] + lastTap;

    // Every source row the range needs, resampled across, 8 fractional bits a channel: blue and
    // red in the two 32-bit lanes of one 64-bit word, green on its own, so that one multiply
    // weighs two channels.
    const size_t rowCount = size_t(sourceEnd - sourceFirst);
    std::vector<quint64> acrossBr(rowCount * size_t(width));
    std::vector<quint32> acrossG(rowCount * size_t(width));
    const auto resample = m_x.taps == 1 ? resampleRow<1>
        : m_x.taps == 2                  ? resampleRow<2>
        : m_x.taps == 3                  ? resampleRow<3>
        : m_x.taps == 4                  ? resampleRow<4>
                                         : resampleRow<0>;
    std::vector<quint32> reduced;
    if (m_fx > 1 || m_fy > 1) {
        reduced.resize(rowCount * size_t(m_mid.width()));
        reduceRows(source, sourceFirst, sourceEnd, reduced.data());
    }
    for (int sy = sourceFirst; sy < sourceEnd; ++sy) {
        const size_t row = size_t(sy - sourceFirst) * size_t(width);
        const quint32 *in = reduced.empty() ? reinterpret_cast<const quint32 *>(source.constScanLine(sy))
                                            : reduced.data() + size_t(sy - sourceFirst) * size_t(m_mid.width());
        resample(in, m_x.paddedFirst.data(), m_x.paddedWeights.data(), m_x.taps, width, acrossBr.data() + row,
                 acrossG.data() + row);
    }

    // Down the columns: each output row is the weighed sum of its source rows, a row at a time.
    constexpr quint32 half = 1u << (VerticalShift - 1);
    constexpr quint64 halves = half | (quint64(half) << 32);
    std::vector<quint64> sumBr(static_cast<size_t>(width));
    std::vector<quint32> sumG(static_cast<size_t>(width));
    for (int y = first; y < end; ++y) {
        std::fill(sumBr.begin(), sumBr.end(), halves);
        std::fill(sumG.begin(), sumG.end(), half);
        const int taps = m_y.offset[size_t(y) + 1] - m_y.offset[size_t(y)];
        const quint16 *w = m_y.weights.data() + m_y.offset[size_t(y)];
        for (int k = 0; k < taps; ++k) {
            const size_t row = size_t(m_y.first[size_t(y)] + k - sourceFirst) * size_t(width);
            const quint64 *inBr = acrossBr.data() + row;
            const quint32 *inG = acrossG.data() + row;
            const quint32 weight = w[k];
            for (int x = 0; x < width; ++x) {
                sumBr[size_t(x)] += weight * inBr[x];
                sumG[size_t(x)] += weight * inG[x];
            }
        }
        auto *out = reinterpret_cast<quint32 *>(bits + qsizetype(y) * bytesPerLine);
        for (int x = 0; x < width; ++x) {
            const quint64 br = sumBr[size_t(x)];
            const quint32 b = quint32(br) >> VerticalShift;
            const quint32 r = quint32(br >> 32) >> VerticalShift;
            out[x] = 0xff000000u | (r << 16) | ((sumG[size_t(x)] >> VerticalShift) << 8) | b;
        }
    }
}

QImage BoxScaler::scaled(const QImage &source, const QSize &to)
{
    const QImage frame = withRgb32Pixels(source, true);
    QImage result(to, QImage::Format_RGB32);
    if (result.isNull() || frame.isNull())
        return result;
    const BoxScaler scaler(frame.size(), to);
    scaler.scaleRows(frame, result.bits(), result.bytesPerLine(), 0, to.height());
    return result;
}
