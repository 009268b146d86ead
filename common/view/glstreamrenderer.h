#pragma once

#include "bandmap.h"
#include "capturedframe.h"
#include "previewpath.h"

#include <QImage>
#include <QWidget>

#include <memory>
#include <optional>

class StoredFrames;
class IOImageHandler;
class OrderedWorker;
class QPixmap;
class PreviewGLWindow;
struct CapturedFrame;

// Shows frames stretched over the whole widget, the frame's top-left at the widget's top-left.
// It only shows: the capture keeps its frames elsewhere (setHistory()), and selectTexture() shows
// one of them again.
//
// A frame is first resampled to the size on screen (device pixels) on a worker thread, band by
// band: only the bands that differ from the frame before are resampled again (the viewer's
// frames are compared there too), and a frame that differs in nothing is neither resampled nor
// painted. The GUI thread then takes the finished picture and repaints the rows that changed:
// - PreviewPath::Raster paints the picture as an image (nothing of OpenGL in the window);
// - PreviewPath::OpenGL uploads the changed rows to one texture in a native OpenGL child window,
//   which draws it as a quad; the worker only shrinks frames larger than the widget, the GPU
//   stretches smaller ones.
class GLStreamRenderer : public QWidget
{
    Q_OBJECT
public:
    // A frame above this size (a 4096x4096 one is not) is held only until it is resampled when
    // it is shown smaller than it is: then its picture stands in for it, and the next frame is
    // not compared with it (all of it is resampled).
    static constexpr qsizetype LargeFrameBytes = qsizetype(64) << 20;

    // Draws by the process's choice (processPreviewChoice()).
    explicit GLStreamRenderer(QWidget *parent = nullptr);
    GLStreamRenderer(PreviewPath path, QWidget *parent);
    ~GLStreamRenderer() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    [[nodiscard]] PreviewPath path() const { return m_path; }

    // Shows every image that `source` announces with SIG_imageWritten().
    void setImageSource(IOImageHandler *source);
    // Where selectTexture() finds frames; not owned. A grabbed frame's index there is its number.
    void setHistory(const StoredFrames *history) { m_history = history; }
    [[nodiscard]] const StoredFrames *history() const { return m_history; }

    // Shows a grabbed frame (the capture has stored it: its number is its index in the history).
    void updateAndStoreTexture(const CapturedFrame &frame);

    // Number of frames in the history (0 without one).
    [[nodiscard]] int storedFrameCount() const;
    // The stored frame `index` as it is kept (for checks and tools); null when out of range.
    [[nodiscard]] QImage storedFrame(int index) const;
    // Index of the stored frame on display (or, paged to, on its way there: it is decoded on a
    // worker), or -1 when the frame on display is not a stored one.
    [[nodiscard]] int currentFrameIndex() const { return m_currentIndex; }
    // Index of the stored frame painted from the history last, -1 when the frame on display
    // is not one.
    [[nodiscard]] int shownFrameIndex() const { return m_shownIndex; }
    // Rows of the resampled picture replaced by the last frame that changed any (for checks and
    // tools): uploaded to the texture, or repainted.
    [[nodiscard]] int lastUploadedRows() const;
    // Repaints asked for since the widget was made, one per frame that changed anything on
    // screen (for checks and tools).
    [[nodiscard]] int repaintRequests() const { return m_repaintRequests; }

    // Waits for the frames handed in so far to be resampled and takes them in (for tests and
    // tools; the event loop does this without waiting).
    void finishFrames();
    // What the widget shows, in device pixels, after finishFrames().
    QImage grabFrame();

public Q_SLOTS:
    void updateTexture();
    void updateTexture(const QPixmap &pixmap);
    // As updateTexture(): the name of the slot that once stored as well.
    void updateAndStoreTexture(const QPixmap &pmap);
    void selectTexture(int i);

Q_SIGNALS:
    // An image read from the image source has become the frame on display (it is painted once
    // resampled). Not emitted for a null image.
    void SIG_imageShown(const QImage &image);
    // A frame newer than the one painted before has been painted (raster) or drawn and swapped
    // (OpenGL). Frames handed in faster than they are drawn are skipped: the newest is drawn.
    void SIG_framePainted();
    // The stored frame `index`, paged to with selectTexture(), has been decoded and is the frame
    // on display (a frame paged past before its decoding began is never decoded).
    void SIG_storedFrameShown(int index);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    struct Job;
    struct Result;
    struct ScalerState;

    void display(const QImage &frame, int storedIndex, const BandMap &changes = {});
    void requestPage(int index, const QSize &minimumSize);
    void startPage();
    void submit(const QImage &frame, BandMap changes);
    void post(Job job);
    void takeResult(Result result);
    void notePainted();
    [[nodiscard]] QSize deviceSize() const;
    [[nodiscard]] QSize targetSize(const QSize &frameSize) const;
    [[nodiscard]] QSize displaySize() const;

    const PreviewPath m_path;
    QImage image;                // last image read from the image source
    IOImageHandler *imageSource = nullptr;
    const StoredFrames *m_history = nullptr;
    QImage m_displayed;          // frame on display, as it was handed in
    int m_currentIndex = -1;
    bool m_decodedSmall = false; // m_displayed is a stored frame decoded smaller than it is
    qint64 m_liveNumber = -1;    // number of the grabbed frame on display; -1 for any other frame

    QImage m_picture;            // m_displayed resampled, as it is drawn
    int m_lastRows = 0;          // rows the last changing frame replaced (raster)
    int m_repaintRequests = 0;
    QSize m_submittedTarget;     // target size of the last frame sent to the worker
    bool m_inFlight = false;     // a frame is with the worker
    bool m_unsent = false;       // a frame arrived while hidden: the worker has not seen it
    std::unique_ptr<Job> m_next; // the newest frame that arrived while the worker was busy
    bool m_grabbing = false;
    quint64 m_handedIn = 0;        // frames sent to be resampled
    quint64 m_pictureSequence = 0; // the frame m_picture was made from
    quint64 m_paintedSequence = 0; // the newest frame painted

    std::shared_ptr<ScalerState> m_scaler; // the worker's own state
    std::unique_ptr<OrderedWorker> m_worker;
    // Paging: stored frames are decoded on a worker of their own, one at a time; of the requests
    // made meanwhile only the newest is decoded next.
    struct Page;
    std::unique_ptr<Page> m_nextPage;
    bool m_paging = false;       // a stored frame is being decoded
    quint64 m_pageRequests = 0;  // requests made (a frame shown otherwise counts as one too)
    int m_shownIndex = -1;
    std::unique_ptr<OrderedWorker> m_pager;
    PreviewGLWindow *m_glWindow = nullptr; // OpenGL path: owned by m_container
    QWidget *m_container = nullptr;
};
