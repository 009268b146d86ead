#include "jpegbandscoder.h"

#include "bandedjpeg.h"

#include <vector>

struct JpegBandsCoder::State
{
    explicit State(int quality)
        : jpeg(quality)
    {
    }
    BandedJpegEncoder jpeg; // WholeFrames: keeps the coding of unchanged bands
    LastFrame jpegLast;     // the frame `jpeg` coded last
    LastFrame last;         // the frame coded last, in either mode
};

JpegBandsCoder::JpegBandsCoder(int quality, int capacity)
    : m_quality(quality < 0 ? 75 : quality)
    , m_state(std::make_shared<State>(m_quality))
    , m_worker(capacity)
{
}

void JpegBandsCoder::code(const CapturedFrame &frame, Consumer consumer)
{
    const auto work = [state = m_state, frame, mode = m_mode, quality = m_quality] {
        CodedJpeg coded;
        const QImage before = state->last.image();
        const BandMap changes = state->last.advance(frame);
        if (mode == Mode::WholeFrames) {
            coded.file = state->jpeg.encode(frame.image, state->jpegLast.advance(frame));
            if (!coded.file.isEmpty())
                coded.bands = state->jpeg.bands();
            return coded;
        }
        const bool comparable = !before.isNull() && before.size() == frame.image.size()
            && before.format() == frame.image.format() && frame.image.depth() == 32;
        std::vector<int> wide;
        for (int band = 0; band < changes.count(); ++band) {
            if (!changes.changed(band))
                continue;
            const auto [left, right] = comparable
                ? BandMap::changedColumns(frame.image, before, BandMap::firstRow(band),
                                          BandMap::rowCount(band, frame.image.height()), BandMap::firstRow(band))
                : std::pair<int, int>(0, frame.image.width());
            if (2 * (right - left) > frame.image.width())
                wide.push_back(band);
        }
        coded.bands = encodeJpegBandsOf(frame.image, wide, quality);
        return coded;
    };
    const auto done = [frame, consumer = std::move(consumer)](const CodedJpeg &coded) { consumer(frame, coded); };
    if (!m_worker.tryPost(work, done))
        m_worker.post(work, done);
}

void JpegBandsCoder::drain(const std::function<void(int)> &sayWaiting)
{
    m_worker.drain(sayWaiting);
}
