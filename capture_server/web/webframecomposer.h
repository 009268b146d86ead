#pragma once

#include "bandmap.h"

#include <QByteArray>
#include <QImage>

#include <deque>
#include <functional>
#include <map>
#include <vector>

class BandedPngEncoder;

// Decides what each browser of the web view is sent for a frame, and builds it. A browser is
// sent the bands it does not show yet (all of them the first time, or when it is too far
// behind), each run of up to MaxRunBands neighbouring bands as one small standalone image drawn
// at its row ("a piece"):
// - PNG pieces come straight from the stream's PNG encoder (its bands are independent), so they
//   cost no deflating beyond what the stream does anyway;
// - a band that changes on most frames and compresses like a photograph (video, a scrolling
//   picture) goes as JPEG instead, far cheaper for the browser to decode. Such bands are not
//   deflated at all for the web view; once a band stops changing, every browser that shows it
//   lossy gets it again as PNG, so a still picture ends up exact.
//
// A message, all numbers big-endian: u32 frame width, u32 frame height, u32 piece count, then
// per piece u32 first row, u32 rows, u8 kind (0 PNG, 1 JPEG), u32 byte count and the file.
// Not thread-safe: lives with the encoder on its worker.
class WebFrameComposer
{
public:
    static constexpr int MaxRunBands = 8;  // bands in one piece: several pieces decode at once
    static constexpr int Remembered = 8;   // frames whose band maps are kept to bring browsers up
    static constexpr int HotFrames = 5;    // a band that changed in this many of the Remembered
                                           // frames before is "changing on most frames"
    static constexpr double PhotoRatio = 0.25; // compressed over raw size from which a band
                                               // counts as photograph-like

    enum class Kind : quint8 { Png = 0, Jpeg = 1 };

    // Codes rows of a frame lossily: a JPEG file of `bandCount` bands from `firstBand`. Called
    // on the encoder's worker, possibly from several threads at once. By default the bands are
    // encoded here (quality 75, 4:2:0); a producer that has coded them already can hand them in.
    using LossyCoder = std::function<QByteArray(const QImage &frame, int firstBand, int bandCount)>;
    static constexpr int LossyQuality = 75; // 4:2:0, as the saver's files

    struct Recipient
    {
        quint64 id = 0;
        bool whole = false; // asked for a whole frame (e.g. after a piece it could not decode)
    };
    struct Message
    {
        quint64 id = 0;
        QByteArray bytes;
    };

    explicit WebFrameComposer(bool lossless = false);
    void setLossyCoder(LossyCoder coder);
    [[nodiscard]] static QByteArray encodeLossy(const QImage &frame, int firstBand, int bandCount);

    // For every frame the encoder handles (also when no browser gets it), with `changes` against
    // the frame it handled before. When `streamEncoded`, `png` has just written the whole frame;
    // otherwise compose() brings only the bands it needs up to date. `connected` lists every
    // browser still there (the others are forgotten). With `refreshOnly` (the capture has
    // stopped), nothing is sent lossily and a browser that needs nothing gets no message;
    // otherwise every recipient gets one, possibly without pieces.
    std::vector<Message> compose(const QImage &frame, const BandMap &changes, BandedPngEncoder &png,
                                 const std::vector<Recipient> &recipients, const std::vector<quint64> &connected,
                                 bool refreshOnly, bool streamEncoded);

    // Pieces of each kind sent so far, over all browsers.

    struct Piece
    {
        int firstBand = 0;
        int bandCount = 0;
        Kind kind = Kind::Png;
    };
    // Cuts the bands marked in `needed` into pieces: runs of neighbouring bands of one kind,
    // at most MaxRunBands long, top to bottom.
    [[nodiscard]] static std::vector<Piece> pieces(const std::vector<char> &needed, const std::vector<char> &lossy);

private:
    struct Browser
    {
        qint64 frame = -1;       // composer frame it was last sent, -1: none yet
        std::vector<char> lossy; // per band: shown lossily
    };
    [[nodiscard]] bool isHot(int band) const;

    const bool m_lossless;
    LossyCoder m_coder;
    qint64 m_frame = -1;               // frames composed so far - 1
    std::deque<BandMap> m_maps;        // maps of frames m_frame - size + 1 .. m_frame
    std::vector<quint8> m_changedBits; // per band: changed in the frames before, newest in bit 0
    std::map<quint64, Browser> m_browsers;
};
