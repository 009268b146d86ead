#include "bandmap.h"

#include <algorithm>
#include <cstring>
#include <numeric>

BandMap BandMap::allChanged(int height)
{
    BandMap map;
    map.m_height = std::max(0, height);
    map.m_changed.assign(size_t(bandCount(height)), 1);
    return map;
}

int BandMap::rowCount(int band, int height)
{
    return std::clamp(height - band * BandRows, 0, BandRows);
}

BandMap BandMap::compare(const QImage &frame, const QImage &previous)
{
    if (previous.isNull() || frame.size() != previous.size() || frame.format() != previous.format())
        return allChanged(frame.height());

    BandMap map;
    map.m_height = frame.height();
    map.m_changed.assign(size_t(bandCount(frame.height())), 0);
    const size_t rowBytes = size_t(frame.width()) * size_t(frame.depth()) / 8;
    for (int band = 0; band < map.count(); ++band) {
        const int first = firstRow(band);
        const int rows = rowCount(band, map.m_height);
        for (int y = first; y < first + rows; ++y) {
            if (std::memcmp(frame.constScanLine(y), previous.constScanLine(y), rowBytes) != 0) {
                map.m_changed[size_t(band)] = 1;
                break;
            }
        }
    }
    return map;
}

int BandMap::changedCount() const
{
    return int(std::count(m_changed.begin(), m_changed.end(), 1));
}

std::pair<int, int> BandMap::changedColumns(const QImage &a, const QImage &b, int first, int rows, int bFirst, int step)
{
    const int width = a.width();
    int left = width;
    int right = 0;
    for (int y = 0; y < rows; ++y) {
        const auto *la = reinterpret_cast<const quint32 *>(a.constScanLine(first + y));
        const auto *lb = reinterpret_cast<const quint32 *>(b.constScanLine(bFirst + y));
        int x = 0;
        while (x < left && la[x] == lb[x])
            ++x;
        if (x == width)
            continue; // row unchanged
        left = std::min(left, x);
        int r = width;
        while (r > right && la[r - 1] == lb[r - 1])
            --r;
        right = std::max(right, r);
    }
    if (left >= right)
        return {0, 0};
    return {left / step * step, std::min(width, (right + step - 1) / step * step)};
}
