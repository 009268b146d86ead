#pragma once

#include "bandmap.h"
#include "jpegbands.h"

#include <QImage>

#include <memory>

// One grabbed frame on its way through the pipeline: its pixels, which of its bands differ from
// the frame grabbed before it, and its number (frames grabbed since the program started, from 0).
struct CapturedFrame
{
    QImage image;
    BandMap changes; // against frame number - 1
    qint64 number = 0;
    // Set when the handler codes this frame as banded JPEG and shares that coding
    // (ImageHandler::sharesJpegBands()): the handler fills it, the history takes it.
    std::shared_ptr<JpegBandsSlot> jpegBands = nullptr;
    // Set when the handler can use the history's coding of this frame
    // (ImageHandler::wantsHistoryJpegBands()): the history fills it with the bands it coded whole,
    // or with nothing; the handler takes it.
    std::shared_ptr<JpegBandsSlot> historyBands = nullptr;
    qint64 grabTimeMs = 0; // when it was grabbed, in ms of a monotonic clock (steady_clock)

    // The band map against `last`, the frame numbered `lastNumber` that a stage handled before
    // this one: the recorder's map when that is the frame just before, otherwise compared anew
    // (the stage skipped frames in between).
    [[nodiscard]] BandMap changesSince(qint64 lastNumber, const QImage &last) const
    {
        return lastNumber == number - 1 && !last.isNull() ? changes : BandMap::compare(image, last);
    }
};
