#pragma once

#include <QImage>
#include <QRect>

#include <utility>
#include <vector>

// A frame cut into horizontal bands of BandRows rows (the last band may be shorter), with, for
// each band, whether its pixels differ from the same band of the frame before. The comparison
// is exact (memcmp of the rows), never a hash alone. Everything downstream of the grab works per
// band: a band that did not change is not encoded again.
class BandMap
{
public:
    static constexpr int BandRows = 16;

    BandMap() = default;
    // Every band of a frame `height` rows high marked changed (a first frame, a new size).
    [[nodiscard]] static BandMap allChanged(int height);
    // Compares `frame` with `previous` band by band. Every band counts as changed when the
    // previous frame is null or differs in size or pixel format.
    [[nodiscard]] static BandMap compare(const QImage &frame, const QImage &previous);

    [[nodiscard]] static int bandCount(int height) { return height <= 0 ? 0 : (height + BandRows - 1) / BandRows; }
    // Rows [first, first + count) of band `band` in a frame `height` rows high.
    [[nodiscard]] static int firstRow(int band) { return band * BandRows; }
    [[nodiscard]] static int rowCount(int band, int height);
    // The columns [left, right) beyond which rows first .. first + rows - 1 of `a` equal rows
    // bFirst .. of `b` (32-bit pixels, same width), widened outwards to multiples of `step`;
    // {0, 0} when the rows are equal.
    [[nodiscard]] static std::pair<int, int> changedColumns(const QImage &a, const QImage &b, int first, int rows,
                                                            int bFirst, int step = 1);

    [[nodiscard]] int height() const { return m_height; }
    [[nodiscard]] int count() const { return int(m_changed.size()); }
    [[nodiscard]] bool changed(int band) const { return m_changed[size_t(band)] != 0; }
    [[nodiscard]] int changedCount() const;
    [[nodiscard]] bool anyChanged() const { return changedCount() > 0; }

    void setChanged(int band, bool changed) { m_changed[size_t(band)] = changed ? 1 : 0; }

    friend bool operator==(const BandMap &a, const BandMap &b)
    {
        return a.m_height == b.m_height && a.m_changed == b.m_changed;
    }

private:
    int m_height = 0;
    std::vector<unsigned char> m_changed;
};
