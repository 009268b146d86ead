#include "windowframe.h"

#include "bandmap.h"
#include "capturearea.h"
#include "grabber.h"
#include "parallel.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

QRect fittedRect(const QSize &content, const QSize &frame)
{
    if (content.isEmpty() || frame.isEmpty())
        return {};
    const QSize size = content.scaled(frame, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    return QRect(QPoint((frame.width() - size.width()) / 2, (frame.height() - size.height()) / 2), size);
}

QImage fitIntoFrame(const QImage &image, const QSize &frame)
{
    return FrameFitter().fit(image, frame);
}

QImage FrameFitter::fit(const QImage &image, const QSize &frame)
{
    const QImage source = image.format() == QImage::Format_RGB32 ? image : image.convertToFormat(QImage::Format_RGB32);
    const QRect place = fittedRect(source.size(), frame);
    // Destination rows (within the place) to scale again, joined where they touch.
    std::vector<std::pair<int, int>> ranges;
    QImage fitted;
    if (!m_fitted.isNull() && m_fitted.size() == frame && m_place == place && m_source.size() == source.size()) {
        const BandMap changes = BandMap::compare(source, m_source);
        for (int band = 0; band < changes.count(); ++band) {
            if (!changes.changed(band))
                continue;
            const int first = BandMap::firstRow(band);
            const auto rows = m_scaler.rowsFor(first, first + BandMap::rowCount(band, source.height()));
            if (!ranges.empty() && rows.first <= ranges.back().second)
                ranges.back().second = std::max(ranges.back().second, rows.second);
            else if (rows.second > rows.first)
                ranges.push_back(rows);
        }
        fitted = m_fitted;
    } else {
        fitted = QImage(frame, QImage::Format_RGB32);
        if (fitted.isNull())
            return {};
        fitted.fill(0xff000000u);
        if (!place.isEmpty()) {
            m_scaler = BoxScaler(source.size(), place.size());
            ranges.emplace_back(0, place.height());
        }
    }
    fitted.setDevicePixelRatio(image.devicePixelRatio());
    if (!ranges.empty()) {
        // The scaler writes its rows straight into the frame, at the fitted place (bits() makes
        // the last result's copy this frame's own), shared out over the cores.
        constexpr int RowsPerTask = 32;
        const qsizetype bytesPerLine = fitted.bytesPerLine();
        uchar *origin = fitted.bits() + qsizetype(place.y()) * bytesPerLine + qsizetype(place.x()) * 4;
        std::vector<std::pair<int, int>> tasks;
        for (const auto &[first, end] : ranges) {
            for (int y = first; y < end; y += RowsPerTask)
                tasks.emplace_back(y, std::min(end, y + RowsPerTask));
        }
        parallelFor(int(tasks.size()), [&](int task) {
            m_scaler.scaleRows(source, origin, bytesPerLine, tasks[size_t(task)].first, tasks[size_t(task)].second);
        });
    }
    m_source = source;
    m_fitted = fitted;
    m_place = place;
    return fitted;
}

QImage grabWithBlackOutside(Grabber &grabber, const QRect &area, bool withCursor)
{
    const QRect inside = area & desktopGeometry(grabber.screens());
    if (inside == area)
        return grabber.grab(area, withCursor);
    const QScreen *screen = QGuiApplication::primaryScreen();
    const qreal ratio = screen ? screen->devicePixelRatio() : 1.0;
    QImage frame(area.size() * ratio, QImage::Format_RGB32);
    if (frame.isNull())
        return {};
    frame.setDevicePixelRatio(ratio);
    QImage part = inside.isEmpty() ? QImage() : grabber.grab(inside, withCursor);
    if (!inside.isEmpty() && part.isNull())
        return {};
    if (!part.isNull() && part.format() != QImage::Format_RGB32)
        part = part.convertToFormat(QImage::Format_RGB32);
    // Each pixel written once: the grabbed part where it lies, black around it.
    constexpr quint32 black = 0xff000000u;
    const QPoint at = (inside.topLeft() - area.topLeft()) * ratio;
    const int left = std::clamp(at.x(), 0, frame.width());
    const int right = std::clamp(at.x() + part.width(), left, frame.width());
    for (int y = 0; y < frame.height(); ++y) {
        auto *row = reinterpret_cast<quint32 *>(frame.scanLine(y));
        const int partRow = y - at.y();
        if (part.isNull() || partRow < 0 || partRow >= part.height()) {
            std::fill_n(row, frame.width(), black);
            continue;
        }
        std::fill_n(row, left, black);
        std::memcpy(row + left, part.constScanLine(partRow), size_t(right - left) * 4);
        std::fill_n(row + right, frame.width() - right, black);
    }
    return frame;
}
