#include "glstreamrenderer.h"

#include "ioimagehandler.h"
#include "pngreader.h"

#include <QColor>
#include <QDataStream>
#include <QIODevice>
#include <QPixmap>

#include <GL/gl.h>

#include <iostream>

#ifndef GL_BGRA
#define GL_BGRA 0x80E1
#endif

GLStreamRenderer::GLStreamRenderer(QWidget *parent)
    : QOpenGLWidget(parent)
    , m_history(std::make_unique<FrameHistory>())
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

int GLStreamRenderer::storedFrameCount() const
{
    return m_history->size();
}

QImage GLStreamRenderer::storedFrame(int index) const
{
    return m_history->frame(index);
}

void GLStreamRenderer::waitUntilStored() const
{
    m_history->waitUntilStored();
}

void GLStreamRenderer::updateTexture()
{
    if (!imageSource || !imageSource->stream)
        return;
    readStreamImage(*imageSource->stream, image); // what operator>> reads, faster for plain PNGs
    const bool readable = imageSource->stream->status() == QDataStream::Ok;
    if (imageSource->device)
        imageSource->device->reset();
    if (!readable)
        return; // the source reports the unreadable image; the frame on display stays
    std::cout << "TEXTURE UPDATED" << std::endl;
    std::cout << image.height() << " " << image.width() << std::endl;
    display(image, -1);
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
    // Until the recorder paces the grabs by hasRoom(), wait here rather than lose the frame.
    if (!m_history->hasRoom())
        m_history->waitUntilStored();
    const int index = m_history->append(frame, BandMap::compare(frame, m_lastStored));
    m_lastStored = frame;
    display(frame, index);
}

void GLStreamRenderer::selectTexture(int i)
{
    if (i < 0 || i >= m_history->size() || i == m_currentIndex)
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

void GLStreamRenderer::display(const QImage &frame, int storedIndex)
{
    m_displayed = frame;
    m_dirty = true;
    m_currentIndex = storedIndex;
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
    // A frame larger than the widget is shrunk on the CPU first: the quad would sample it down
    // anyway, and a fraction of the pixels is much cheaper to upload.
    const QSize target = (QSizeF(size()) * devicePixelRatioF()).toSize();
    if (!target.isEmpty() && (frame.width() > target.width() || frame.height() > target.height()))
        frame = frame.scaled(target, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    if (frame.format() != QImage::Format_RGB32 && frame.format() != QImage::Format_ARGB32)
        frame = frame.convertToFormat(QImage::Format_ARGB32);

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
    glPixelStorei(GL_UNPACK_ROW_LENGTH, int(frame.bytesPerLine() / 4));
    // Rows go up in image order (top row first); paintGL flips the texture coordinates so
    // that the image's top-left pixel lands at the widget's top-left corner.
    if (frame.size() == m_textureSize) {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame.width(), frame.height(), GL_BGRA,
                        GL_UNSIGNED_BYTE, frame.constBits());
    } else {
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, frame.width(), frame.height(), 0, GL_BGRA,
                     GL_UNSIGNED_BYTE, frame.constBits());
        m_textureSize = frame.size();
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
