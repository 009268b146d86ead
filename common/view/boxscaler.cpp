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

// Working rows of one thread, kept from call to call: a band of a frame is scaled 30 or 60 times a
// second, and fresh vectors cost a zero fill and, past malloc's mmap threshold, page faults on
// every call. Only a few rows are kept; a larger call (a whole frame at once) gives its memory
// back when done.
template <typename T>
class Scratch
{
public:
    T *get(size_t count)
    {
        if (m_rows.size() < count)
            m_rows.resize(count);
        return m_rows.data();
    }
    void release()
    {
        if (m_rows.size() * sizeof(T) > KeptBytes)
            std::vector<T>().swap(m_rows);
    }

private:
    static constexpr size_t KeptBytes = size_t(1) << 20;
    std::vector<T> m_rows;
};

struct ThreadScratch
{
    Scratch<quint16> columns;
    Scratch<quint32> reduced;
    Scratch<qint16> across;
    Scratch<const quint32 *> pixelRows;
    Scratch<const qint16 *> acrossRows;
    void release()
    {
        columns.release();
        reduced.release();
        across.release();
    }
};

ThreadScratch &threadScratch()
{
    thread_local ThreadScratch scratch;
    return scratch;
}

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

// Adds a source row to the column sums, one 16-bit sum a channel (blue, green, red, alpha: the
// bytes' order in memory), or starts them with it. Four pixels a step where the CPU has SSE2
// (every x86-64 does).
void addRow(const quint32 *in, int width, quint16 *sums, bool first)
{
    int x = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; x + 4 <= width; x += 4) {
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + x));
        auto *sum = reinterpret_cast<__m128i *>(sums + 4 * size_t(x));
        __m128i low = _mm_unpacklo_epi8(pixels, zero);
        __m128i high = _mm_unpackhi_epi8(pixels, zero);
        if (!first) {
            low = _mm_add_epi16(low, _mm_loadu_si128(sum));
            high = _mm_add_epi16(high, _mm_loadu_si128(sum + 1));
        }
        _mm_storeu_si128(sum, low);
        _mm_storeu_si128(sum + 1, high);
    }
#endif
    for (; x < width; ++x) {
        for (int c = 0; c < 4; ++c) {
            quint16 &sum = sums[4 * size_t(x) + size_t(c)];
            sum = quint16((first ? 0 : sum) + ((in[x] >> (8 * c)) & 0xffu));
        }
    }
}

// Opaque pixels, each the rounded mean of a run of `fx` column sums of `count` pixels in all.
void meansOfRuns(const quint16 *sums, int width, int fx, quint32 count, quint32 *out)
{
    const auto runSum = [sums, fx](int at, int c) {
        quint32 sum = 0;
        for (int dx = 0; dx < fx; ++dx)
            sum += sums[4 * (size_t(at) * size_t(fx) + size_t(dx)) + size_t(c)];
        return sum;
    };
    int x = 0;
#ifdef __SSE2__
    // floor((sum + count / 2) / count) in floats: the sums stay below 2^16 and the quotient's
    // fraction is a whole number of 1/count, so adding half of 1/count more keeps rounding
    // errors (below 2^-15) from ever crossing a whole number.
    const __m128 scale = _mm_set1_ps(1.0f / float(count));
    const __m128 bias = _mm_set1_ps((float(count / 2) + 0.5f) / float(count));
    const __m128i zero = _mm_setzero_si128();
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    const auto run = [sums, fx](int at) {
        const quint16 *p = sums + 4 * size_t(at) * size_t(fx);
        __m128i sum = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
        for (int dx = 1; dx < fx; ++dx)
            sum = _mm_add_epi16(sum, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 4 * dx)));
        return sum;
    };
    const auto mean = [&](__m128i sums32) {
        return _mm_cvttps_epi32(_mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(sums32), scale), bias));
    };
    for (; x + 2 <= width; x += 2) {
        const __m128i both = _mm_unpacklo_epi64(run(x), run(x + 1));
        const __m128i means = _mm_packs_epi32(mean(_mm_unpacklo_epi16(both, zero)), mean(_mm_unpackhi_epi16(both, zero)));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + x), _mm_or_si128(_mm_packus_epi16(means, zero), opaque));
    }
#endif
    // The same as a multiplication: exact for sums below 2^17, with count <= 256.
    const quint64 reciprocal = ((quint64(1) << 32) + count - 1) / count;
    const auto divide = [count, reciprocal](quint32 sum) {
        return quint32((quint64(sum + count / 2) * reciprocal) >> 32);
    };
    for (; x < width; ++x)
        out[x] = 0xff000000u | (divide(runSum(x, 2)) << 16) | (divide(runSum(x, 1)) << 8) | divide(runSum(x, 0));
}

// One output row: the rows `rows[k]` weighed by `weights[k]` (summing to WeightOne), rounded,
// opaque.
void weighRows(const quint32 *const *rows, const quint16 *weights, int taps, int width, quint32 *out)
{
    constexpr quint32 half = 1u << (WeightBits - 1);
    int x = 0;
#ifdef __SSE2__
    // Rows in pairs, their bytes interleaved, so that one multiply-add weighs a channel of both;
    // each 32-bit lane holds one channel of one pixel (below 2^23).
    const __m128i zero = _mm_setzero_si128();
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    for (; x + 4 <= width; x += 4) {
        __m128i sum[4] = {_mm_set1_epi32(half), _mm_set1_epi32(half), _mm_set1_epi32(half), _mm_set1_epi32(half)};
        for (int k = 0; k < taps; k += 2) {
            const bool pair = k + 1 < taps;
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[k] + x));
            const __m128i b = pair ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(rows[k + 1] + x)) : zero;
            const __m128i w = _mm_set1_epi32(int(weights[k] | (quint32(pair ? weights[k + 1] : 0) << 16)));
            const __m128i low = _mm_unpacklo_epi8(a, b);
            const __m128i high = _mm_unpackhi_epi8(a, b);
            sum[0] = _mm_add_epi32(sum[0], _mm_madd_epi16(_mm_unpacklo_epi8(low, zero), w));
            sum[1] = _mm_add_epi32(sum[1], _mm_madd_epi16(_mm_unpackhi_epi8(low, zero), w));
            sum[2] = _mm_add_epi32(sum[2], _mm_madd_epi16(_mm_unpacklo_epi8(high, zero), w));
            sum[3] = _mm_add_epi32(sum[3], _mm_madd_epi16(_mm_unpackhi_epi8(high, zero), w));
        }
        for (__m128i &s : sum)
            s = _mm_srli_epi32(s, WeightBits);
        const __m128i pixels = _mm_packus_epi16(_mm_packs_epi32(sum[0], sum[1]), _mm_packs_epi32(sum[2], sum[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_or_si128(pixels, opaque));
    }
#endif
    for (; x < width; ++x) {
        quint32 channel[3] = {half, half, half};
        for (int k = 0; k < taps; ++k) {
            for (int c = 0; c < 3; ++c)
                channel[c] += weights[k] * ((rows[k][x] >> (8 * c)) & 0xffu);
        }
        out[x] = 0xff000000u | ((channel[2] >> WeightBits) << 16) | ((channel[1] >> WeightBits) << 8)
            | (channel[0] >> WeightBits);
    }
}

} // namespace

void BoxScaler::reduceRows(const QImage &source, int first, int end, quint32 *out, qsizetype outStride) const
{
    // Each block's sums: the rows added column by column, then runs of columns added and each
    // channel's rounded mean taken. Blocks of at most 256 pixels keep every sum within 16 bits.
    const int width = m_mid.width();
    const int sourceWidth = width * m_fx;
    quint16 *columns = threadScratch().columns.get(4 * size_t(sourceWidth));
    for (int y = first; y < end; ++y) {
        for (int dy = 0; dy < m_fy; ++dy)
            addRow(reinterpret_cast<const quint32 *>(source.constScanLine(y * m_fy + dy)), sourceWidth, columns, dy == 0);
        meansOfRuns(columns, width, m_fx, quint32(m_fx * m_fy), out + qsizetype(y - first) * outStride);
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

// One source row resampled across: each output pixel's four channels (blue, green, red, alpha, as
// in memory) weighed by its `taps` weights, rounded to 8 fractional bits and less 32768, so that
// they fit signed 16 bits for the multiply-adds down the columns (weighAcross()).
void resampleAcross(const quint32 *in, const int *first, const quint16 *weights, int taps, int width, qint16 *out)
{
    constexpr int half = 1 << (HorizontalShift - 1);
#ifdef __SSE2__
    // Taps in pairs, the two pixels' bytes interleaved: one multiply-add weighs all four
    // channels of both.
    const __m128i zero = _mm_setzero_si128();
    const __m128i rounding = _mm_set1_epi32(half);
    const __m128i offset = _mm_set1_epi32(32768);
    const auto pixel = [&](int x) {
        const quint32 *p = in + first[x];
        const quint16 *w = weights + size_t(x) * size_t(taps);
        __m128i sum = rounding;
        for (int k = 0; k < taps; k += 2) {
            const bool pair = k + 1 < taps;
            const __m128i both = _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(p[k])),
                                                   pair ? _mm_cvtsi32_si128(int(p[k + 1])) : zero);
            const __m128i weight = _mm_set1_epi32(int(w[k] | (quint32(pair ? w[k + 1] : 0) << 16)));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(both, zero), weight));
        }
        return _mm_sub_epi32(_mm_srli_epi32(sum, HorizontalShift), offset);
    };
    int x = 0;
    for (; x + 2 <= width; x += 2)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 4 * size_t(x)), _mm_packs_epi32(pixel(x), pixel(x + 1)));
    if (x < width)
        _mm_storel_epi64(reinterpret_cast<__m128i *>(out + 4 * size_t(x)), _mm_packs_epi32(pixel(x), zero));
#else
    for (int x = 0; x < width; ++x) {
        const quint32 *p = in + first[x];
        const quint16 *w = weights + size_t(x) * size_t(taps);
        for (int c = 0; c < 4; ++c) {
            int sum = half;
            for (int k = 0; k < taps; ++k)
                sum += w[k] * int((p[k] >> (8 * c)) & 0xffu);
            out[4 * size_t(x) + size_t(c)] = qint16((sum >> HorizontalShift) - 32768);
        }
    }
#endif
}

// One output row from rows of resampleAcross(), weighed by `weights` (summing to WeightOne, so
// the rows' offset of 32768 adds up to 32768 * WeightOne), rounded, opaque.
void weighAcross(const qint16 *const *rows, const quint16 *weights, int taps, int width, quint32 *out)
{
    constexpr int start = (1 << (VerticalShift - 1)) + (32768 << WeightBits);
    int x = 0;
#ifdef __SSE2__
    // Rows in pairs, their channels interleaved; two pixels a register, four a step.
    const __m128i opaque = _mm_set1_epi32(int(0xff000000u));
    for (; x + 4 <= width; x += 4) {
        __m128i sum[4] = {_mm_set1_epi32(start), _mm_set1_epi32(start), _mm_set1_epi32(start), _mm_set1_epi32(start)};
        for (int k = 0; k < taps; k += 2) {
            const bool pair = k + 1 < taps;
            const __m128i weight = _mm_set1_epi32(int(weights[k] | (quint32(pair ? weights[k + 1] : 0) << 16)));
            for (int half = 0; half < 2; ++half) {
                const auto *at = reinterpret_cast<const __m128i *>(rows[k] + 4 * size_t(x) + 8 * size_t(half));
                const __m128i a = _mm_loadu_si128(at);
                const __m128i b = pair ? _mm_loadu_si128(reinterpret_cast<const __m128i *>(
                                             rows[k + 1] + 4 * size_t(x) + 8 * size_t(half)))
                                       : _mm_setzero_si128();
                sum[2 * half] = _mm_add_epi32(sum[2 * half], _mm_madd_epi16(_mm_unpacklo_epi16(a, b), weight));
                sum[2 * half + 1] = _mm_add_epi32(sum[2 * half + 1], _mm_madd_epi16(_mm_unpackhi_epi16(a, b), weight));
            }
        }
        for (__m128i &s : sum)
            s = _mm_srli_epi32(s, VerticalShift);
        const __m128i pixels = _mm_packus_epi16(_mm_packs_epi32(sum[0], sum[1]), _mm_packs_epi32(sum[2], sum[3]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + x), _mm_or_si128(pixels, opaque));
    }
#endif
    for (; x < width; ++x) {
        quint32 channel[3] = {start, start, start};
        for (int k = 0; k < taps; ++k) {
            for (int c = 0; c < 3; ++c)
                channel[c] += quint32(int(weights[k]) * rows[k][4 * size_t(x) + size_t(c)]);
        }
        out[x] = 0xff000000u | ((channel[2] >> VerticalShift) << 16) | ((channel[1] >> VerticalShift) << 8)
            | (channel[0] >> VerticalShift);
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
    ThreadScratch &scratch = threadScratch();
    if (m_mid == m_to) {
        // Whole factors only (or the same size): each row is its blocks' rounded means, or its
        // pixels made opaque, straight into the destination.
        auto *out = reinterpret_cast<quint32 *>(bits + qsizetype(first) * bytesPerLine);
        const qsizetype stride = bytesPerLine / qsizetype(sizeof(quint32));
        if (m_fx > 1 || m_fy > 1) {
            reduceRows(source, first, end, out, stride);
        } else {
            for (int y = first; y < end; ++y) {
                const auto *in = reinterpret_cast<const quint32 *>(source.constScanLine(y));
                quint32 *row = out + qsizetype(y - first) * stride;
                for (int x = 0; x < width; ++x)
                    row[x] = in[x] | 0xff000000u;
            }
        }
        scratch.release();
        return;
    }
    const int sourceFirst = m_y.first[size_t(first)];
    const int lastTap = m_y.offset[size_t(end)] - m_y.offset[size_t(end - 1)];
    const int sourceEnd = m_y.first[size_t(end - 1)] + lastTap;

    // Every source row the range needs, resampled across (unless it keeps its width), then each
    // output row weighed from its source rows.
    const size_t rowCount = size_t(sourceEnd - sourceFirst);
    quint32 *reduced = nullptr;
    if (m_fx > 1 || m_fy > 1) {
        reduced = scratch.reduced.get(rowCount * size_t(m_mid.width()));
        reduceRows(source, sourceFirst, sourceEnd, reduced, m_mid.width());
    }
    const auto sourceRow = [&](int sy) {
        return reduced ? reduced + size_t(sy - sourceFirst) * size_t(m_mid.width())
                       : reinterpret_cast<const quint32 *>(source.constScanLine(sy));
    };
    if (m_mid.width() == width) {
        // Nothing to resample across (a window as wide as the frame's whole-factor reduction):
        // the source rows' pixels are weighed directly.
        const quint32 **rows = scratch.pixelRows.get(size_t(m_y.taps));
        for (int y = first; y < end; ++y) {
            const int taps = m_y.offset[size_t(y) + 1] - m_y.offset[size_t(y)];
            for (int k = 0; k < taps; ++k)
                rows[k] = sourceRow(m_y.first[size_t(y)] + k);
            weighRows(rows, m_y.weights.data() + m_y.offset[size_t(y)], taps, width,
                      reinterpret_cast<quint32 *>(bits + qsizetype(y) * bytesPerLine));
        }
        scratch.release();
        return;
    }
    qint16 *across = scratch.across.get(rowCount * 4 * size_t(width));
    for (int sy = sourceFirst; sy < sourceEnd; ++sy)
        resampleAcross(sourceRow(sy), m_x.paddedFirst.data(), m_x.paddedWeights.data(), m_x.taps, width,
                       across + size_t(sy - sourceFirst) * 4 * size_t(width));
    const qint16 **rows = scratch.acrossRows.get(size_t(m_y.taps));
    for (int y = first; y < end; ++y) {
        const int taps = m_y.offset[size_t(y) + 1] - m_y.offset[size_t(y)];
        for (int k = 0; k < taps; ++k)
            rows[k] = across + size_t(m_y.first[size_t(y)] + k - sourceFirst) * 4 * size_t(width);
        weighAcross(rows, m_y.weights.data() + m_y.offset[size_t(y)], taps, width,
                    reinterpret_cast<quint32 *>(bits + qsizetype(y) * bytesPerLine));
    }
    scratch.release();
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
