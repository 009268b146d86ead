#include "boxscaler.h"

#include <algorithm>

namespace {

constexpr int WeightBits = 14;
constexpr int WeightOne = 1 << WeightBits;
// Horizontal sums keep 8 fractional bits (a channel * 256 fits 16 bits), vertical sums round back.
constexpr int HorizontalShift = WeightBits - 8;
constexpr int VerticalShift = WeightBits + 8;

} // namespace

BoxScaler::BoxScaler(const QSize &from, const QSize &to)
    : m_from(from)
    , m_to(to)
    , m_x(makeAxis(from.width(), to.width()))
    , m_y(makeAxis(from.height(), to.height()))
{
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
    return axis;
}

std::pair<int, int> BoxScaler::rowsFor(int sourceFirst, int sourceEnd) const
{
    const int from = m_from.height();
    const int to = m_to.height();
    if (from <= 0 || to <= 0 || sourceEnd <= sourceFirst)
        return {0, 0};
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

    // Every source row the range needs, resampled across: four channels, 8 fractional bits.
    std::vector<quint16> across(size_t(sourceEnd - sourceFirst) * size_t(width) * 4);
    for (int sy = sourceFirst; sy < sourceEnd; ++sy) {
        const auto *in = reinterpret_cast<const quint32 *>(source.constScanLine(sy));
        quint16 *out = across.data() + size_t(sy - sourceFirst) * size_t(width) * 4;
        for (int x = 0; x < width; ++x) {
            const quint32 *p = in + m_x.first[size_t(x)];
            const quint16 *w = m_x.weights.data() + m_x.offset[size_t(x)];
            const int taps = m_x.offset[size_t(x) + 1] - m_x.offset[size_t(x)];
            quint32 b = 0;
            quint32 g = 0;
            quint32 r = 0;
            for (int k = 0; k < taps; ++k) {
                const quint32 pixel = p[k];
                b += w[k] * (pixel & 0xff);
                g += w[k] * ((pixel >> 8) & 0xff);
                r += w[k] * ((pixel >> 16) & 0xff);
            }
            constexpr quint32 half = 1u << (HorizontalShift - 1);
            out[4 * x] = quint16((b + half) >> HorizontalShift);
            out[4 * x + 1] = quint16((g + half) >> HorizontalShift);
            out[4 * x + 2] = quint16((r + half) >> HorizontalShift);
        }
    }

    std::vector<quint32> sum(size_t(width) * 3);
    for (int y = first; y < end; ++y) {
        std::fill(sum.begin(), sum.end(), 0u);
        const int taps = m_y.offset[size_t(y) + 1] - m_y.offset[size_t(y)];
        const quint16 *w = m_y.weights.data() + m_y.offset[size_t(y)];
        for (int k = 0; k < taps; ++k) {
            const quint16 *row = across.data() + size_t(m_y.first[size_t(y)] + k - sourceFirst) * size_t(width) * 4;
            const quint32 weight = w[k];
            for (int x = 0; x < width; ++x) {
                sum[size_t(3 * x)] += weight * row[4 * x];
                sum[size_t(3 * x + 1)] += weight * row[4 * x + 1];
                sum[size_t(3 * x + 2)] += weight * row[4 * x + 2];
            }
        }
        auto *out = reinterpret_cast<quint32 *>(bits + qsizetype(y) * bytesPerLine);
        constexpr quint32 half = 1u << (VerticalShift - 1);
        for (int x = 0; x < width; ++x) {
            const quint32 b = (sum[size_t(3 * x)] + half) >> VerticalShift;
            const quint32 g = (sum[size_t(3 * x + 1)] + half) >> VerticalShift;
            const quint32 r = (sum[size_t(3 * x + 2)] + half) >> VerticalShift;
            out[x] = 0xff000000u | (r << 16) | (g << 8) | b;
        }
    }
}

QImage BoxScaler::scaled(const QImage &source, const QSize &to)
{
    QImage frame = source;
    if (frame.format() != QImage::Format_RGB32 && frame.format() != QImage::Format_ARGB32
        && frame.format() != QImage::Format_ARGB32_Premultiplied)
        frame = frame.convertToFormat(QImage::Format_RGB32);
    QImage result(to, QImage::Format_RGB32);
    if (result.isNull() || frame.isNull())
        return result;
    const BoxScaler scaler(frame.size(), to);
    scaler.scaleRows(frame, result.bits(), result.bytesPerLine(), 0, to.height());
    return result;
}
