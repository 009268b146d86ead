#pragma once

#include <QByteArray>
#include <QSize>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

// A frame coded as banded JPEG (BandedJpegEncoder): the headers of a file holding one band of
// the frame's full width, and each 16-row band's entropy-coded segment. A segment decodes on
// its own: wrapped in `header` with the band's height in SOF0 and an EOI after it, it is a
// complete JPEG file whose pixels are that band of the joined file.
struct JpegBands
{
    int quality = 0;   // 1..100, 4:2:0
    QSize size;        // of the frame
    QByteArray header; // SOI .. SOS of a one-band file (SOF0 height: the first band's rows), no DRI
    std::vector<QByteArray> segments; // per band, top to bottom
};

// Hands one frame's JpegBands from the thread that codes the frame to the thread that stores
// it. The coder fills it exactly once (a null pointer when it did not code the frame); take()
// waits for that. Whoever makes a slot for a frame must see that it gets filled: a take() on a
// slot nobody fills waits for ever.
class JpegBandsSlot
{
public:
    // The first call counts; later ones are ignored, so a coder may fill the slot with its
    // result and then once more, unconditionally, with nothing on its way out.
    void fill(std::shared_ptr<const JpegBands> bands)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_filled)
                return;
            m_filled = true;
            m_bands = std::move(bands);
        }
        m_ready.notify_all();
    }

    [[nodiscard]] std::shared_ptr<const JpegBands> take() const
    {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, [this] { return m_filled; });
        return m_bands;
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_ready;
    bool m_filled = false;
    std::shared_ptr<const JpegBands> m_bands;
};
