#pragma once

#include "bandmap.h"

#include <QImage>

// One grabbed frame on its way through the pipeline: its pixels, which of its bands differ from
// the frame grabbed before it, and its number (frames grabbed since the program started, from 0).
struct CapturedFrame
{
    QImage image;
    BandMap changes; // against frame number - 1
    qint64 number = 0;
    qint64 grabTimeMs = 0; // when it was grabbed: monotonicMs()
};

// The frame a stage handled last, for the band map of the next one it handles.
class LastFrame
{
public:
    // The bands of `frame` that differ from the last frame: the recorder's map when the last is
    // the frame just before, otherwise compared anew (the stage skipped frames in between).
    // `frame` becomes the last.
    [[nodiscard]] BandMap advance(const CapturedFrame &frame)
    {
        BandMap changed = m_number == frame.number - 1 && !m_image.isNull() ? frame.changes
                                                                              : BandMap::compare(frame.image, m_image);
        m_image = frame.image;
        m_number = frame.number;
        return changed;
    }
    // The same for an image from outside the recorder, compared band by band.
    [[nodiscard]] BandMap advance(const QImage &image)
    {
        BandMap changed = BandMap::compare(image, m_image);
        m_image = image;
        m_number = NoNumber;
        return changed;
    }
    [[nodiscard]] const QImage &image() const { return m_image; }

private:
    static constexpr qint64 NoNumber = -2; // never the successor of a grabbed frame
    QImage m_image;
    qint64 m_number = NoNumber;
};
