#pragma once

#include "framehistory.h"

#include <QImage>
#include <QOpenGLWidget>

#include <memory>

class IOImageHandler;
class QPixmap;

// OpenGL widget that shows frames stretched over the whole widget. It keeps every frame given
// to updateAndStoreTexture() so that selectTexture() can show any of them again; the frames
// are kept compressed (FrameHistory) and only the texture on display lives on the GPU.
class GLStreamRenderer : public QOpenGLWidget
{
    Q_OBJECT
public:
    explicit GLStreamRenderer(QWidget *parent = nullptr);
    ~GLStreamRenderer() override;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Shows every image that `source` announces with SIG_imageWritten().
    void setImageSource(IOImageHandler *source);

    // Number of frames stored by updateAndStoreTexture() since the widget was made.
    [[nodiscard]] int storedFrameCount() const;
    // The stored frame `index` as it is kept (for checks and tools); null when out of range.
    [[nodiscard]] QImage storedFrame(int index) const;
    // Index of the stored frame on display, or -1 when the frame on display is not a stored one.
    [[nodiscard]] int currentFrameIndex() const { return m_currentIndex; }
    // Blocks until every stored frame has been compressed (the history works on its own thread).
    void waitUntilStored() const;

public Q_SLOTS:
    void updateTexture();
    void updateTexture(const QPixmap &pixmap);
    void updateAndStoreTexture(const QPixmap &pmap);
    void selectTexture(int i);

Q_SIGNALS:
    // An image read from the image source has become the frame on display (it is painted at
    // the next repaint). Not emitted for a null image.
    void SIG_imageShown(const QImage &image);

protected:
    void initializeGL() override;
    void resizeGL(int w, int h) override;
    void paintGL() override;
    void drawTexturedQuad(double x1, double y1, double x2, double y2, double x3, double y3, double x4,
                          double y4);

private:
    void display(const QImage &frame, int storedIndex);
    void uploadPendingFrame();
    [[nodiscard]] QSize displaySize() const;

    QImage image;             // last image read from the image source
    unsigned currentTexture = 0; // the one texture that holds the frame on display
    IOImageHandler *imageSource = nullptr;
    std::unique_ptr<FrameHistory> m_history;

    QImage m_lastStored;      // the frame appended last, to find the bands that changed
    QImage m_displayed;       // frame on display; uploaded at the next paint when m_dirty
    bool m_dirty = false;
    int m_currentIndex = -1;
    QSize m_textureSize;
};
