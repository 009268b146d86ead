#include "webframecomposer.h"

#include "bandedpng.h"
#include "jpegcodec.h"
#include "parallel.h"

#include <QtEndian>

#include <algorithm>
#include <utility>

namespace {


void appendBigEndian32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToBigEndian<quint32>(value, bytes);
    out.append(bytes, 4);
}

qint64 runKey(int firstBand, int bandCount)
{
    return (qint64(firstBand) << 32) | quint32(bandCount);
}

} // namespace

WebFrameComposer::WebFrameComposer(bool lossless)
    : m_lossless(lossless)
    , m_coder(&WebFrameComposer::encodeLossy)
{
}

void WebFrameComposer::setLossyCoder(LossyCoder coder)
{
    m_coder = coder ? std::move(coder) : LossyCoder(&WebFrameComposer::encodeLossy);
}

QByteArray WebFrameComposer::encodeLossy(const QImage &frame, int firstBand, int bandCount)
{
    const int first = BandMap::firstRow(firstBand);
    const int last = BandMap::firstRow(firstBand + bandCount - 1) + BandMap::rowCount(firstBand + bandCount - 1, frame.height());
    if (frame.isNull() || first < 0 || last > frame.height() || last <= first)
        return {};
    // The rows in place, without a copy (constScanLine never detaches).
    const QImage rows(frame.constScanLine(first), frame.width(), last - first, frame.bytesPerLine(), frame.format());
    return encodeJpeg(rows, LossyQuality, ChromaSubsampling::Half);
}

bool WebFrameComposer::isHot(int band) const
{
    return __builtin_popcount(unsigned(m_changedBits[size_t(band)])) >= HotFrames;
}

std::vector<WebFrameComposer::Piece> WebFrameComposer::pieces(const std::vector<char> &needed,
                                                              const std::vector<char> &lossy)
{
    std::vector<Piece> out;
    const int bands = int(needed.size());
    for (int band = 0; band < bands;) {
        if (!needed[size_t(band)]) {
            ++band;
            continue;
        }
        const Kind kind = lossy[size_t(band)] ? Kind::Jpeg : Kind::Png;
        int end = band + 1;
        while (end < bands && end - band < MaxRunBands && needed[size_t(end)]
               && (lossy[size_t(end)] ? Kind::Jpeg : Kind::Png) == kind)
            ++end;
        out.push_back(Piece{band, end - band, kind});
        band = end;
    }
    return out;
}

std::vector<WebFrameComposer::Message> WebFrameComposer::compose(const QImage &frame, const BandMap &changes,
                                                                 BandedPngEncoder &png,
                                                                 const std::vector<Recipient> &recipients,
                                                                 const std::vector<quint64> &connected,
                                                                 bool refreshOnly, bool streamEncoded)
{
    const int bands = BandMap::bandCount(frame.height());
    const bool mapFits = changes.count() == bands && changes.height() == frame.height();
    ++m_frame;
    m_maps.push_back(mapFits ? changes : BandMap::allChanged(frame.height()));
    if (int(m_maps.size()) > Remembered)
        m_maps.pop_front();

    // What is lossy this frame decides on the frames before it.
    std::vector<char> lossy(size_t(bands), 0);
    if (int(m_changedBits.size()) != bands)
        m_changedBits.assign(size_t(bands), 0);
    if (!m_lossless && !refreshOnly && mapFits) {
        for (int band = 0; band < bands; ++band)
            lossy[size_t(band)] = changes.changed(band) && isHot(band) && png.compressionRatio(band) >= PhotoRatio;
    }
    for (int band = 0; band < bands; ++band)
        m_changedBits[size_t(band)] = quint8((m_changedBits[size_t(band)] << 1) | (m_maps.back().changed(band) ? 1 : 0));

    for (auto it = m_browsers.begin(); it != m_browsers.end();) {
        if (std::find(connected.begin(), connected.end(), it->first) == connected.end())
            it = m_browsers.erase(it);
        else
            ++it;
    }
    if (frame.isNull())
        return {};

    // Per recipient: the bands it needs and their kind.
    struct Plan
    {
        quint64 id;
        std::vector<char> needed;
    };
    std::vector<Plan> plans;
    std::vector<char> wanted(size_t(bands), 0); // bands sent as PNG to someone
    for (const Recipient &recipient : recipients) {
        Browser &browser = m_browsers[recipient.id];
        std::vector<char> needed(size_t(bands), 0);
        const qint64 behind = m_frame - browser.frame;
        bool whole = recipient.whole || browser.frame < 0 || behind > qint64(m_maps.size())
            || int(browser.lossy.size()) != bands;
        for (qint64 i = qint64(m_maps.size()) - behind; !whole && i < qint64(m_maps.size()); ++i) {
            const BandMap &map = m_maps[size_t(i)];
            if (map.count() != bands) {
                whole = true;
                break;
            }
            for (int band = 0; band < bands; ++band)
                needed[size_t(band)] = char(needed[size_t(band)] | char(map.changed(band)));
        }
        if (whole) {
            std::fill(needed.begin(), needed.end(), 1);
            browser.lossy.assign(size_t(bands), 0);
        }
        bool any = false;
        for (int band = 0; band < bands; ++band) {
            // A band it shows lossily that has stopped changing comes again, exactly.
            if (browser.lossy[size_t(band)] && !m_maps.back().changed(band))
                needed[size_t(band)] = 1;
            if (needed[size_t(band)] && !lossy[size_t(band)])
                wanted[size_t(band)] = 1;
            any = any || needed[size_t(band)];
        }
        if (refreshOnly && !any)
            continue;
        plans.push_back(Plan{recipient.id, std::move(needed)});
    }
    if (plans.empty())
        return {};

    if (!streamEncoded) {
        BandMap wantedMap = BandMap::allChanged(frame.height());
        for (int band = 0; band < bands; ++band)
            wantedMap.setChanged(band, wanted[size_t(band)] != 0);
        if (!png.updateBands(frame, m_maps.back(), wantedMap)) {
            for (const Plan &plan : plans)
                m_browsers[plan.id].frame = -1;
            return {};
        }
    }

    // Lossy pieces are the same for everyone (every browser needs the bands that changed now).
    std::vector<Piece> lossyPieces;
    for (const Piece &piece : pieces(lossy, lossy)) {
        if (piece.kind == Kind::Jpeg)
            lossyPieces.push_back(piece);
    }
    std::vector<QByteArray> lossyFiles(lossyPieces.size());
    parallelFor(int(lossyPieces.size()), [&](int i) {
        lossyFiles[size_t(i)] = m_coder(frame, lossyPieces[size_t(i)].firstBand, lossyPieces[size_t(i)].bandCount);
    });
    std::map<qint64, QByteArray> files;
    for (size_t i = 0; i < lossyPieces.size(); ++i)
        files[runKey(lossyPieces[i].firstBand, lossyPieces[i].bandCount)] = lossyFiles[i];

    std::vector<Message> messages;
    for (Plan &plan : plans) {
        Browser &browser = m_browsers[plan.id];
        QByteArray message;
        appendBigEndian32(message, quint32(frame.width()));
        appendBigEndian32(message, quint32(frame.height()));
        const std::vector<Piece> cut = pieces(plan.needed, lossy);
        appendBigEndian32(message, quint32(cut.size()));
        bool complete = true;
        for (const Piece &piece : cut) {
            QByteArray &file = files[runKey(piece.firstBand, piece.bandCount) ^ (piece.kind == Kind::Png ? qint64(1) << 62 : 0)];
            if (file.isEmpty() && piece.kind == Kind::Png)
                file = png.bandRunPng(piece.firstBand, piece.bandCount);
            if (file.isEmpty()) {
                complete = false; // sent again in full next time
                continue;
            }
            const int firstRow = BandMap::firstRow(piece.firstBand);
            const int lastBand = piece.firstBand + piece.bandCount - 1;
            appendBigEndian32(message, quint32(firstRow));
            appendBigEndian32(message, quint32(BandMap::firstRow(lastBand) + BandMap::rowCount(lastBand, frame.height()) - firstRow));
            message.append(char(piece.kind));
            appendBigEndian32(message, quint32(file.size()));
            message.append(file);
            for (int band = piece.firstBand; band <= lastBand; ++band)
                browser.lossy[size_t(band)] = piece.kind == Kind::Jpeg ? 1 : 0;
        }
        if (!complete) {
            // Fix the count: pieces that could not be made were left out.
            qsizetype at = 12;
            quint32 written = 0;
            while (at < message.size()) {
                const quint32 length = qFromBigEndian<quint32>(message.constData() + at + 9);
                at += 13 + qsizetype(length);
                ++written;
            }
            qToBigEndian<quint32>(written, message.data() + 8);
        }
        browser.frame = complete ? m_frame : -1;
        messages.push_back(Message{plan.id, std::move(message)});
    }
    return messages;
}
