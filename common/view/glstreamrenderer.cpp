#include "glstreamrenderer.h"

#include "boxscaler.h"
#include "capturedframe.h"
#include "ioimagehandler.h"
#include "orderedworker.h"
#include "parallel.h"
#include "pixellayout.h"
#include "stagetimeline.h"
#include "storedframes.h"

#include <QColor>
#include <QCoreApplication>
#include <QOpenGLFramebufferObject>
#include <QOpenGLWindow>
#include <QPainter>
#include <QPaintEvent>
#include <QPixmap>
#include <QRegion>

#include <GL/gl.h>

#include <cmath>
#include "frameconsole.h"
#include <functional>
#include <vector>

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif

namespace {

QColor clearColour()
{
    return QColor::fromCmykF(0.39f, 0.39f, 0.0f, 0.0f, 1.0f);
}

bool mapFits(const BandMap &changes, const QImage &frame)
{
    return frame.height() > 0 && changes.height() == frame.height()
        && changes.count() == BandMap::bandCount(frame.height());
}

// Destination rows the worker resamples per task: a few tasks per frame spread over the cores.
constexpr int RowsPerTask = 32;

bool isLargeFrame(const QImage &frame)
{
    return frame.sizeInBytes() > GLStreamRenderer::LargeFrameBytes;
}

} // namespace

struct GLStreamRenderer::Page
{
    int index = -1;
    std::function<QImage()> read; // empty: a frame not kept, shown as none
    quint64 request = 0;
};

// The OpenGL path's native child window: one texture with the resampled frame, drawn as a
// quad over the whole view with the fixed-function pipeline.
class PreviewGLWindow : public QOpenGLWindow
{
public:
    PreviewGLWindow()
        : QOpenGLWindow(QOpenGLWindow::NoPartialUpdate)
    {
    }

    ~PreviewGLWindow() override
    {
        if (m_texture != 0 && context()) {
            makeCurrent();
            glDeleteTextures(1, &m_texture);
            doneCurrent();
        }
    }

    // `picture` replaces the frame; `rows` are the rows that differ from the picture before
    // (empty: all of them).
    void setFrame(const QImage &picture, const QRegion &rows)
    {
        const bool whole = rows.isEmpty() || picture.size() != m_picture.size();
        if (!m_dirty) {
            m_pendingWhole = whole;
            m_pendingRows = rows;
        } else {
            m_pendingWhole = m_pendingWhole || whole;
            m_pendingRows = m_pendingRows.united(rows);
        }
        m_picture = picture;
        m_dirty = true;
        update();
    }

    [[nodiscard]] int uploadedRows() const { return m_uploadedRows; }

    // Draws the frame as paintGL() would, into an image of the window's device pixels (for tests
    // and tools: the window's own buffer is not readable after a swap).
    QImage grabPicture()
    {
        if (!isValid()) {
            // Never painted yet: the first paint makes the context.
            QEvent request(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(this, &request);
            if (!isValid())
                return {};
        }
        makeCurrent();
        const qreal ratio = devicePixelRatio();
        QOpenGLFramebufferObject target(int(std::lround(width() * ratio)), int(std::lround(height() * ratio)));
        target.bind();
        paintGL();
        QImage picture = target.toImage();
        target.release();
        doneCurrent();
        return picture;
    }

protected:
    void initializeGL() override
    {
        const QColor clear = clearColour();
        glClearColor(GLclampf(clear.redF()), GLclampf(clear.greenF()), GLclampf(clear.blueF()),
                     GLclampf(clear.alphaF()));
        glShadeModel(GL_FLAT);
        glEnable(GL_TEXTURE_2D);
        // A new context has no texture yet: the frame on display goes up whole.
        m_texture = 0;
        m_textureSize = QSize();
        m_dirty = !m_picture.isNull();
        m_pendingWhole = true;
    }

    void paintGL() override
    {
        upload();
        const qreal ratio = devicePixelRatio();
        glViewport(0, 0, int(std::lround(width() * ratio)), int(std::lround(height() * ratio)));
        glMatrixMode(GL_PROJECTION);
        glLoadIdentity();
        glOrtho(0, 100, 0, 100, -1, 15);
        glMatrixMode(GL_MODELVIEW);

        glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
        if (m_texture == 0 || m_picture.isNull())
            return; // nothing to show yet: the clear colour

        // Rows go up in image order (top row first): the texture coordinates are flipped so
        // that the frame's top-left pixel lands at the top-left corner.
        glMatrixMode(GL_TEXTURE);
        glLoadIdentity();
        glTranslated(0.0, 1.0, 0.0);
        glScaled(1.0, -1.0, 1.0);
        glMatrixMode(GL_MODELVIEW);
        glLoadIdentity();
        glBindTexture(GL_TEXTURE_2D, m_texture);
        drawTexturedQuad(0, 0, 100, 0, 100, 100, 0, 100);
    }

private:
    void upload()
    {
        if (!m_dirty)
            return;
        m_dirty = false;
        if (m_picture.isNull())
            return;
        if (m_texture == 0) {
            glGenTextures(1, &m_texture);
            glBindTexture(GL_TEXTURE_2D, m_texture);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        } else {
            glBindTexture(GL_TEXTURE_2D, m_texture);
        }
        glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
        glPixelStorei(GL_UNPACK_ROW_LENGTH, int(m_picture.bytesPerLine() / 4));
        const int width = m_picture.width();
        if (m_picture.size() != m_textureSize) {
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, width, m_picture.height(), 0, GL_BGRA, GL_UNSIGNED_BYTE,
                         m_picture.constBits());
            m_textureSize = m_picture.size();
            m_uploadedRows = m_picture.height();
        } else {
            const QRegion rows = m_pendingWhole ? QRegion(m_picture.rect()) : m_pendingRows.intersected(m_picture.rect());
            m_uploadedRows = 0;
            for (const QRect &run : rows) {
                glTexSubImage2D(GL_TEXTURE_2D, 0, 0, run.top(), width, run.height(), GL_BGRA, GL_UNSIGNED_BYTE,
                                m_picture.constScanLine(run.top()));
                m_uploadedRows += run.height();
            }
        }
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    }

    void drawTexturedQuad(double x1, double y1, double x2, double y2, double x3, double y3, double x4, double y4)
    {
        glBegin(GL_QUADS);
        glTexCoord2d(0, 0);
        glVertex3d(x1, y1, 0);
        glTexCoord2d(1, 0);
        glVertex3d(x2, y2, 0);
        glTexCoord2d(1, 1);
        glVertex3d(x3, y3, 0);
        glTexCoord2d(0, 1);
        glVertex3d(x4, y4, 0);
        glEnd();
    }

    QImage m_picture;
    GLuint m_texture = 0;
    QSize m_textureSize;
    bool m_dirty = false;
    bool m_pendingWhole = true;
    QRegion m_pendingRows;
    int m_uploadedRows = 0;
};

// One frame for the worker: `changes` against the frame sent before it, or empty when unknown.
struct GLStreamRenderer::Job
{
    QImage frame;
    BandMap changes;
    QSize target;
    quint64 sequence = 0; // order in which frames were handed in
};

struct GLStreamRenderer::Result
{
    QImage picture;
    QRegion changed;        // rows of the picture that differ from the picture before
    int rows = 0;           // rows resampled or taken anew
    bool newGeometry = false; // the picture before had another size: everything is new
    quint64 sequence = 0;
};

// Touched by the worker thread only (its jobs run one after another).
struct GLStreamRenderer::ScalerState
{
    QImage lastFrame;   // null after a large frame that was shrunk: only its shape is kept
    QSize lastFrameSize;
    QImage::Format lastFrameFormat = QImage::Format_Invalid;
    QImage lastPicture;
    BoxScaler scaler;

    Result run(const Job &job)
    {
        Result result;
        QImage frame = job.frame;
        if (frame.isNull()) {
            lastFrame = QImage();
            lastFrameSize = QSize();
            lastPicture = QImage();
            result.newGeometry = true;
            return result;
        }
        frame = withRgb32Pixels(frame, true);
        const QSize target = job.target.isEmpty() ? frame.size() : job.target;
        const bool sameGeometry = !lastPicture.isNull() && lastFrameSize == frame.size()
            && lastFrameFormat == frame.format() && lastPicture.size() == target;
        const BandMap changes = !sameGeometry            ? BandMap::allChanged(frame.height())
            : mapFits(job.changes, frame)                ? job.changes
            : lastFrame.isNull()                         ? BandMap::allChanged(frame.height())
                                                         : BandMap::compare(frame, lastFrame);
        // A large frame that is shrunk is not kept for the next comparison: holding it while the
        // next one is decoded would double the memory a stream of such frames takes.
        lastFrame = isLargeFrame(frame) && target != frame.size() ? QImage() : frame;
        lastFrameSize = frame.size();
        lastFrameFormat = frame.format();
        result.newGeometry = !sameGeometry;
        result.sequence = job.sequence;
        if (sameGeometry && !changes.anyChanged()) {
            result.picture = lastPicture;
            return result;
        }

        if (target == frame.size() && frame.format() == QImage::Format_RGB32) {
            // One pixel per pixel: the frame itself is the picture.
            result.picture = frame;
            for (int band = 0; band < changes.count(); ++band) {
                if (!changes.changed(band))
                    continue;
                const int rows = BandMap::rowCount(band, frame.height());
                result.changed += QRect(0, BandMap::firstRow(band), frame.width(), rows);
                result.rows += rows;
            }
        } else {
            if (scaler.from() != frame.size() || scaler.to() != target)
                scaler = BoxScaler(frame.size(), target);
            // Destination rows of the changed bands, joined where they touch.
            std::vector<std::pair<int, int>> ranges;
            for (int band = 0; band < changes.count(); ++band) {
                if (!changes.changed(band))
                    continue;
                const int first = BandMap::firstRow(band);
                const auto rows = scaler.rowsFor(first, first + BandMap::rowCount(band, frame.height()));
                if (!ranges.empty() && rows.first <= ranges.back().second)
                    ranges.back().second = std::max(ranges.back().second, rows.second);
                else if (rows.second > rows.first)
                    ranges.push_back(rows);
            }
            std::vector<std::pair<int, int>> tasks;
            for (const auto &[first, end] : ranges) {
                for (int y = first; y < end; y += RowsPerTask)
                    tasks.emplace_back(y, std::min(end, y + RowsPerTask));
                result.rows += end - first;
                result.changed += QRect(0, first, target.width(), end - first);
            }
            // The picture on screen stays as it is: the rows that did not change are copied.
            QImage picture = sameGeometry ? lastPicture : QImage(target, QImage::Format_RGB32);
            uchar *bits = picture.bits();
            const qsizetype bytesPerLine = picture.bytesPerLine();
            parallelFor(int(tasks.size()), [&](int task) {
                scaler.scaleRows(frame, bits, bytesPerLine, tasks[size_t(task)].first, tasks[size_t(task)].second);
            });
            result.picture = picture;
        }
        lastPicture = result.picture;
        return result;
    }
};

GLStreamRenderer::GLStreamRenderer(QWidget *parent)
    : GLStreamRenderer(processPreviewChoice().path, parent)
{
}

GLStreamRenderer::GLStreamRenderer(PreviewPath path, QWidget *parent)
    : QWidget(parent)
    , m_path(path)
    , m_scaler(std::make_shared<ScalerState>())
    , m_worker(std::make_unique<OrderedWorker>(1))
    , m_pager(std::make_unique<OrderedWorker>(1))
{
    if (m_path == PreviewPath::OpenGL) {
        m_glWindow = new PreviewGLWindow;
        m_container = QWidget::createWindowContainer(m_glWindow, this);
        m_container->setGeometry(rect());
        connect(m_glWindow, &QOpenGLWindow::frameSwapped, this, [this] {
            notePainted();
        });
    } else {
        // Every pixel is painted from the picture: nothing behind needs painting first.
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
}

GLStreamRenderer::~GLStreamRenderer()
{
    // The workers first: no result may arrive at a half-destroyed widget (the pager's results go
    // to the other worker).
    m_pager.reset();
    m_worker.reset();
}

QSize GLStreamRenderer::sizeHint() const
{
    return {640, 480};
}

QSize GLStreamRenderer::minimumSizeHint() const
{
    return {50, 50};
}

void GLStreamRenderer::setImageSource(IOImageHandler *source)
{
    connect(source, SIGNAL(SIG_imageWritten()), this, SLOT(updateTexture()));
    imageSource = source;
}

int GLStreamRenderer::storedFrameCount() const
{
    return m_history ? m_history->size() : 0;
}

QImage GLStreamRenderer::storedFrame(int index) const
{
    return m_history ? m_history->frame(index) : QImage();
}

int GLStreamRenderer::lastUploadedRows() const
{
    return m_glWindow ? m_glWindow->uploadedRows() : m_lastRows;
}

void GLStreamRenderer::updateTexture()
{
    if (!imageSource || !imageSource->takeImage(image))
        return; // the source reports an unreadable image; the frame on display stays
    FrameConsole::instance().report(StageEvent::notice("TEXTURE UPDATED"));
    FrameConsole::instance().report(StageEvent::notice(std::to_string(image.height()) + " " + std::to_string(image.width())));
    // The worker compares it with the frame before: only the bands that differ are redrawn.
    display(image, -1);
    if (StageTimeline::enabled())
        StageTimeline::stamp("shown", qint64(m_handedIn), readCounterStrip(image).value_or(-1));
    if (!image.isNull())
        Q_EMIT SIG_imageShown(image);
    if (isLargeFrame(image))
        image = QImage(); // m_displayed holds it until it is resampled
}

void GLStreamRenderer::updateTexture(const QPixmap &pixmap)
{
    display(pixmap.toImage(), -1);
}

void GLStreamRenderer::updateAndStoreTexture(const QPixmap &pmap)
{
    display(pmap.toImage(), -1);
}

void GLStreamRenderer::updateAndStoreTexture(const CapturedFrame &frame)
{
    const bool follows = m_liveNumber >= 0 && m_liveNumber == frame.number - 1;
    display(frame.image, m_history ? int(frame.number) : -1, follows ? frame.changes : BandMap());
    m_liveNumber = frame.number;
}

void GLStreamRenderer::selectTexture(int i)
{
    if (!m_history || i < 0 || i >= m_history->size() || i == m_currentIndex)
        return; // an index outside the stored frames shows nothing new
    requestPage(i, displaySize());
}

void GLStreamRenderer::requestPage(int index, const QSize &minimumSize)
{
    // The frame stays until the new one is decoded; the newest request replaces any not begun.
    m_currentIndex = index;
    m_liveNumber = -1;
    m_nextPage = std::make_unique<Page>(Page{index, m_history->frameReader(index, minimumSize), ++m_pageRequests});
    startPage();
}

void GLStreamRenderer::startPage()
{
    if (m_paging || !m_nextPage)
        return;
    const std::unique_ptr<Page> page = std::move(m_nextPage);
    m_paging = true;
    m_pager->post([read = std::move(page->read)] { return read ? read() : QImage(); },
                  [this, index = page->index, request = page->request](QImage frame) {
                      m_paging = false;
                      if (request == m_pageRequests) {
                          display(frame, index);
                          m_decodedSmall = true;
                          m_shownIndex = index;
                          Q_EMIT SIG_storedFrameShown(index);
                      }
                      startPage();
                  });
}

QSize GLStreamRenderer::deviceSize() const
{
    return (QSizeF(size()) * devicePixelRatioF()).toSize();
}

QSize GLStreamRenderer::targetSize(const QSize &frameSize) const
{
    const QSize device = deviceSize();
    if (device.isEmpty())
        return frameSize;
    // The GPU stretches a smaller frame itself; a larger one is shrunk first, which is cheaper
    // to upload and averages every pixel in instead of sampling a few.
    return m_path == PreviewPath::OpenGL ? frameSize.boundedTo(device) : device;
}

QSize GLStreamRenderer::displaySize() const
{
    // Decoding a stored frame straight to about the size on screen keeps paging fast for large
    // frames; before the widget has a size, the frame comes back whole.
    const QSize target = deviceSize();
    return isVisible() && !target.isEmpty() ? target : QSize();
}

void GLStreamRenderer::display(const QImage &frame, int storedIndex, const BandMap &changes)
{
    ++m_pageRequests; // a page still being decoded comes too late
    m_shownIndex = -1;
    m_displayed = frame;
    m_currentIndex = storedIndex;
    m_liveNumber = -1;
    m_decodedSmall = false;
    submit(frame, changes);
}

void GLStreamRenderer::submit(const QImage &frame, BandMap changes)
{
    // A hidden preview resamples nothing; it catches up when shown.
    if (!isVisible()) {
        m_unsent = true;
        return;
    }
    if (m_unsent) {
        changes = BandMap(); // against a frame the worker never saw
        m_unsent = false;
    }
    Job job{frame, std::move(changes), targetSize(frame.size()), ++m_handedIn};
    if (!m_inFlight && mapFits(job.changes, frame) && job.target == frame.size()
        && frame.format() == QImage::Format_RGB32) {
        // Pixel for pixel with the bands known there is nothing to resample or compare: the
        // frame is the picture, taken here without a trip to the worker (idle, so its state is
        // free to touch).
        return takeResult(m_scaler->run(job));
    }
    if (!m_inFlight)
        return post(std::move(job));
    // The worker is busy: this frame replaces any that waits, and the bands it must redraw are
    // those changed in either.
    if (m_next) {
        StageTimeline::stamp("replaced", qint64(m_next->sequence));
        if (mapFits(m_next->changes, frame) && mapFits(job.changes, frame)) {
            for (int band = 0; band < job.changes.count(); ++band) {
                if (m_next->changes.changed(band))
                    job.changes.setChanged(band, true);
            }
        } else {
            job.changes = BandMap();
        }
    }
    m_next = std::make_unique<Job>(std::move(job));
}

void GLStreamRenderer::post(Job job)
{
    m_inFlight = true;
    m_submittedTarget = job.target;
    const bool posted = m_worker->tryPost([state = m_scaler, job = std::move(job)] { return state->run(job); },
                                          [this](Result result) { takeResult(std::move(result)); });
    Q_ASSERT(posted); // one job at a time, and the worker takes one
    Q_UNUSED(posted);
}

void GLStreamRenderer::takeResult(Result result)
{
    m_inFlight = false;
    const bool changed = result.newGeometry || !result.changed.isEmpty();
    StageTimeline::stamp("resampled", qint64(result.sequence), changed ? 1 : 0);
    m_picture = result.picture;
    // A large frame shrunk for the screen is let go once resampled: its picture stands in for it
    // (a resize resamples the picture until the next frame comes).
    if (!m_next && !m_unsent && result.sequence == m_handedIn && isLargeFrame(m_displayed)
        && m_picture.size() != m_displayed.size() && !m_picture.isNull()) {
        m_displayed = m_picture;
    }
    if (changed) {
        ++m_repaintRequests;
        m_pictureSequence = result.sequence;
        if (m_glWindow) {
            m_glWindow->setFrame(m_picture, result.newGeometry ? QRegion() : result.changed);
        } else {
            m_lastRows = result.rows;
            const qreal ratio = devicePixelRatioF();
            if (result.newGeometry || m_picture.size() != deviceSize()) {
                update();
            } else {
                // Device rows to the widget's rows, rounded outwards.
                QRegion region;
                for (const QRect &run : result.changed) {
                    const int top = int(std::floor(run.top() / ratio));
                    const int bottom = int(std::ceil((run.bottom() + 1) / ratio));
                    region += QRect(0, top, width(), bottom - top);
                }
                update(region);
            }
        }
    }
    if (m_next) {
        std::unique_ptr<Job> next = std::move(m_next);
        post(std::move(*next));
    }
}

void GLStreamRenderer::notePainted()
{
    // Only a picture newer than the one painted before counts: a repaint of the same picture (an
    // expose, a grab) is no new frame on screen.
    if (m_pictureSequence <= m_paintedSequence)
        return;
    m_paintedSequence = m_pictureSequence;
    StageTimeline::stamp("painted", qint64(m_paintedSequence));
    Q_EMIT SIG_framePainted();
}

void GLStreamRenderer::finishFrames()
{
    while (m_paging || m_nextPage) {
        startPage();
        m_pager->drain();
    }
    if (!m_displayed.isNull() && !m_inFlight && (m_unsent || m_submittedTarget != targetSize(m_displayed.size()))) {
        m_unsent = false;
        post(Job{m_displayed, BandMap(), targetSize(m_displayed.size()), ++m_handedIn});
    }
    while (m_inFlight)
        m_worker->drain();
}

QImage GLStreamRenderer::grabFrame()
{
    finishFrames();
    if (m_glWindow)
        return m_glWindow->grabPicture();
    m_grabbing = true;
    const QImage grabbed = grab().toImage();
    m_grabbing = false;
    return grabbed;
}

void GLStreamRenderer::paintEvent(QPaintEvent *event)
{
    if (m_glWindow)
        return;
    QPainter painter(this);
    if (m_picture.isNull() || m_displayed.isNull()) {
        painter.fillRect(event->rect(), clearColour());
        return;
    }
    const qreal ratio = devicePixelRatioF();
    if (m_picture.size() == deviceSize()) {
        // Pixel for pixel: a view of the picture that knows the ratio, so nothing is scaled.
        QImage view(m_picture.constBits(), m_picture.width(), m_picture.height(), m_picture.bytesPerLine(),
                    m_picture.format());
        view.setDevicePixelRatio(ratio);
        for (const QRect &area : event->region()) {
            const QRectF source(area.x() * ratio, area.y() * ratio, area.width() * ratio, area.height() * ratio);
            painter.drawImage(QPointF(area.topLeft()), view, source);
        }
    } else {
        // The widget changed size and the picture for the new size is on its way.
        painter.drawImage(QRectF(rect()), m_picture);
        if (!m_inFlight && m_submittedTarget != targetSize(m_displayed.size()))
            submit(m_displayed, BandMap());
    }
    if (!m_grabbing)
        notePainted();
}

void GLStreamRenderer::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_container)
        m_container->setGeometry(rect());
    if (m_displayed.isNull())
        return;
    // A stored frame decoded small for a smaller widget is fetched again for the new size.
    const QSize target = displaySize();
    if (m_decodedSmall && m_history && target.isValid()
        && (m_displayed.width() < target.width() || m_displayed.height() < target.height())) {
        requestPage(m_currentIndex, target);
        return;
    }
    if (isVisible() && m_submittedTarget != targetSize(m_displayed.size()))
        submit(m_displayed, BandMap());
}

void GLStreamRenderer::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_unsent)
        submit(m_displayed, BandMap());
}
