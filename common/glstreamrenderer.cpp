#include "glstreamrenderer.h"

#include "capturedframe.h"
#include "framehistory.h"
#include "ioimagehandler.h"

#include <QColor>
#include <QPixmap>

#include <GL/gl.h>

#include <iostream>
#include <vector>

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif

GLStreamRenderer::GLStreamRenderer(QWidget *parent)
    : QOpenGLWidget(parent)
{
}

GLStreamRenderer::~GLStreamRenderer()
{
    if (currentTexture != 0 && context()) {
        makeCurrent();
        glDeleteTextures(1, &currentTexture);
        doneCurrent();
    }
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

bool GLStreamRenderer::canStore() const
{
    return !m_history || m_history->hasRoom();
}

int GLStreamRenderer::storedFrameCount() const
{
    return m_history ? m_history->size() : 0;
}

QImage GLStreamRenderer::storedFrame(int index) const
{
    return m_history ? m_history->frame(index) : QImage();
}

void GLStreamRenderer::updateTexture()
{
    if (!imageSource || !imageSource->takeImage(image))
        return; // the source reports an unreadable image; the frame on display stays
    std::cout << "TEXTURE UPDATED" << std::endl;
    std::cout << image.height() << " " << image.width() << std::endl;
    // A stream frame of the size on display replaces only the bands that differ.
    const BandMap changes = m_currentIndex < 0 && m_liveNumber < 0 ? BandMap::compare(image, m_displayed) : BandMap();
    display(image, -1, changes);
    if (!image.isNull())
        Q_EMIT SIG_imageShown(image);
}

void GLStreamRenderer::updateTexture(const QPixmap &pixmap)
{
    display(pixmap.toImage(), -1);
}

void GLStreamRenderer::updateAndStoreTexture(const QPixmap &pmap)
{
    const QImage frame = pmap.toImage();
    // The recorder asks canStore() before it grabs; a caller of this slot waits for room instead.
    if (!m_history)
        return display(frame, -1);
    if (!m_history->hasRoom())
        m_history->waitUntilStored();
    const int index = m_history->append(frame, BandMap::compare(frame, m_lastStored));
    m_lastStored = frame;
    m_lastStoredNumber = -2;
    display(frame, index);
}

void GLStreamRenderer::updateAndStoreTexture(const CapturedFrame &frame)
{
    // The history's band map is against the frame it was given last.
    const int index = m_history ? m_history->append(frame.image, frame.changesSince(m_lastStoredNumber, m_lastStored), frame.jpegBands) : -1;
    m_lastStored = frame.image;
    m_lastStoredNumber = frame.number;
    const bool follows = m_liveNumber >= 0 && m_liveNumber == frame.number - 1;
    display(frame.image, index, follows ? frame.changes : BandMap());
    m_liveNumber = frame.number;
}

void GLStreamRenderer::selectTexture(int i)
{
    if (!m_history || i < 0 || i >= m_history->size() || i == m_currentIndex)
        return; // an index outside the stored frames shows nothing new
    display(m_history->frame(i, displaySize()), i);
}

QSize GLStreamRenderer::displaySize() const
{
    // Decoding a stored frame straight to about the size on screen keeps paging fast for large
    // frames; before the widget has a size, the frame comes back whole.
    const QSize target = (QSizeF(size()) * devicePixelRatioF()).toSize();
    return isVisible() && !target.isEmpty() ? target : QSize();
}

void GLStreamRenderer::display(const QImage &frame, int storedIndex, const BandMap &changes)
{
    // The texture holds the frame of the last upload: bands to upload are those changed since.
    if (!m_dirty) {
        m_pendingChanges = changes;
    } else if (changes.count() > 0 && changes.height() == m_pendingChanges.height()
               && changes.count() == m_pendingChanges.count()) {
        for (int band = 0; band < changes.count(); ++band) {
            if (changes.changed(band))
                m_pendingChanges.setChanged(band, true);
        }
    } else {
        m_pendingChanges = BandMap();
    }
    // A frame that changes nothing on screen costs no upload and no repaint.
    const bool unchanged = !m_dirty && changes.count() > 0 && !changes.anyChanged() && currentTexture != 0
        && frame.size() == m_displayed.size();
    m_displayed = frame;
    m_currentIndex = storedIndex;
    m_liveNumber = -1;
    if (unchanged)
        return;
    m_dirty = true;
    update();
}

void GLStreamRenderer::initializeGL()
{
    const QColor clear = QColor::fromCmykF(0.39f, 0.39f, 0.0f, 0.0f, 1.0f);
    glClearColor(GLclampf(clear.redF()), GLclampf(clear.greenF()), GLclampf(clear.blueF()),
                 GLclampf(clear.alphaF()));
    glShadeModel(GL_FLAT);
    glEnable(GL_TEXTURE_2D);
    // A new context has no texture yet: upload the frame on display again.
    currentTexture = 0;
    m_textureSize = QSize();
    m_dirty = !m_displayed.isNull();
}

void GLStreamRenderer::resizeGL(int w, int h)
{
    // A stored frame decoded small for a smaller widget is fetched again for the new size.
    const QSize target = displaySize();
    if (m_currentIndex >= 0 && target.isValid()
        && (m_displayed.width() < target.width() || m_displayed.height() < target.height()))
        display(m_history->frame(m_currentIndex, target), m_currentIndex);

    glViewport(0, 0, w, h);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0, 100, 0, 100, -1, 15);
    glMatrixMode(GL_MODELVIEW);
}

void GLStreamRenderer::uploadPendingFrame()
{
    if (!m_dirty)
        return;
    m_dirty = false;
    if (m_displayed.isNull())
        return;

    QImage frame = m_displayed;
    if (frame.format() != QImage::Format_RGB32 && frame.format() != QImage::Format_ARGB32)
        frame = frame.convertToFormat(QImage::Format_ARGB32);

    // A frame larger than the widget is shrunk on the CPU first (nearest pixel, as the quad would
    // sample it): a fraction of the pixels is much cheaper to upload.
    const QSize target = (QSizeF(size()) * devicePixelRatioF()).toSize();
    QSize textureSize = frame.size();
    if (!target.isEmpty())
        textureSize = textureSize.boundedTo(target);
    const bool shrink = textureSize != frame.size();

    const BandMap &changes = m_pendingChanges;
    const bool partial = currentTexture != 0 && textureSize == m_textureSize && changes.height() == frame.height()
        && changes.count() == BandMap::bandCount(frame.height())
        && (!shrink || (m_scaled.size() == textureSize && m_scaled.format() == frame.format()));
    // Rows of the texture to upload, as flags per texture row.
    std::vector<unsigned char> rows(size_t(textureSize.height()), 1);
    const QImage *source = &frame;
    if (shrink) {
        if (!partial)
            m_scaled = QImage(textureSize, frame.format());
        const int tw = textureSize.width();
        const int th = textureSize.height();
        std::vector<int> columns(static_cast<size_t>(tw));
        for (int x = 0; x < tw; ++x)
            columns[size_t(x)] = int(qint64(x) * frame.width() / tw);
        for (int y = 0; y < th; ++y) {
            const int sy = int(qint64(y) * frame.height() / th);
            if (partial && !changes.changed(sy / BandMap::BandRows)) {
                rows[size_t(y)] = 0;
                continue;
            }
            const auto *from = reinterpret_cast<const quint32 *>(frame.constScanLine(sy));
            auto *to = reinterpret_cast<quint32 *>(m_scaled.scanLine(y));
            for (int x = 0; x < tw; ++x)
                to[x] = from[columns[size_t(x)]];
        }
        source = &m_scaled;
    } else if (partial) {
        for (int y = 0; y < textureSize.height(); ++y)
            rows[size_t(y)] = changes.changed(y / BandMap::BandRows) ? 1 : 0;
    }

    if (currentTexture == 0) {
        glGenTextures(1, &currentTexture);
        glBindTexture(GL_TEXTURE_2D, currentTexture);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    } else {
        glBindTexture(GL_TEXTURE_2D, currentTexture);
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, int(source->bytesPerLine() / 4));
    // Rows go up in image order (top row first); paintGL flips the texture coordinates so
    // that the image's top-left pixel lands at the widget's top-left corner.
    m_lastUploadedRows = 0;
    if (!partial) {
        if (textureSize == m_textureSize) {
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, source->width(), source->height(), GL_BGRA,
                            GL_UNSIGNED_BYTE, source->constBits());
        } else {
            glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, source->width(), source->height(), 0, GL_BGRA,
                         GL_UNSIGNED_BYTE, source->constBits());
            m_textureSize = textureSize;
        }
        m_lastUploadedRows = source->height();
    } else {
        // Only the runs of changed rows.
        for (int y = 0; y < source->height();) {
            if (!rows[size_t(y)]) {
                ++y;
                continue;
            }
            int end = y;
            while (end < source->height() && rows[size_t(end)])
                ++end;
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, y, source->width(), end - y, GL_BGRA, GL_UNSIGNED_BYTE,
                            source->constScanLine(y));
            m_lastUploadedRows += end - y;
            y = end;
        }
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
}

void GLStreamRenderer::paintGL()
{
    uploadPendingFrame();

    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (currentTexture == 0 || m_displayed.isNull())
        return; // nothing to show yet: the clear colour

    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glTranslated(0.0, 1.0, 0.0);
    glScaled(1.0, -1.0, 1.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glBindTexture(GL_TEXTURE_2D, currentTexture);
    drawTexturedQuad(0, 0, 100, 0, 100, 100, 0, 100);
}

void GLStreamRenderer::drawTexturedQuad(double x1, double y1, double x2, double y2, double x3,
                                        double y3, double x4, double y4)
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
