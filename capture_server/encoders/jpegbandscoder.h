#pragma once

#include "capturedframe.h"
#include "jpegbands.h"
#include "orderedworker.h"

#include <QByteArray>

#include <functional>
#include <memory>

// One frame coded as banded JPEG, as every output that keeps JPEG takes it.
struct CodedJpeg
{
    QByteArray file; // the whole frame as one file (WholeFrames); empty otherwise or on failure
    std::shared_ptr<const JpegBands> bands; // its bands; a band not coded has an empty segment; null: none
};

// Codes grabbed frames as banded JPEG (4:2:0, the files' quality) on a worker of its own, once for
// every output that keeps JPEG: the saver's files, the history's records and the web view's lossy
// pieces each take the result as an input of their own, handed to them on the GUI thread in frame
// order once the frame is coded. No output waits inside another: a stalled output holds up only
// its own queue (and, once that is full, the recorder's grabs).
class JpegBandsCoder
{
public:
    enum class Mode {
        // Every band, for a file per frame: changed bands are coded again, the others keep their
        // coding from the frame before.
        WholeFrames,
        // Only the bands that changed across more than half their width since the frame before
        // (moving pictures: a video, a scrolling page), which the history keeps whole and the web
        // view sends as JPEG; a narrow change is left to the history's column patches.
        WideChanges,
    };
    using Consumer = std::function<void(const CapturedFrame &frame, const CodedJpeg &coded)>;

    explicit JpegBandsCoder(int quality = 75, int capacity = 4);

    // For the frames coded from here on.
    void setMode(Mode mode) { m_mode = mode; }
    [[nodiscard]] Mode mode() const { return m_mode; }
    [[nodiscard]] int quality() const { return m_quality; }
    [[nodiscard]] bool hasRoom() const { return m_worker.hasRoom(); }
    // Frames handed in whose consumer has not run yet.
    [[nodiscard]] int pending() const { return m_worker.pending(); }

    // Codes `frame` and then calls `consumer` with it on this thread. Queued past the capacity
    // when full, so that no grabbed frame is lost (the recorder asks hasRoom() before grabbing).
    void code(const CapturedFrame &frame, Consumer consumer);
    // Waits until every frame handed in is coded and its consumer has run.
    void drain(const std::function<void(int framesLeft)> &sayWaiting = {});

    struct State; // the worker's

private:
    const int m_quality;
    Mode m_mode = Mode::WholeFrames;
    std::shared_ptr<State> m_state;
    OrderedWorker m_worker; // last: its jobs end before the rest goes
};
