#pragma once

#include "bandmap.h"

#include <QImage>
#include <QOpenGLWidget>

class FrameHistory;
class IOImageHandler;
class QPixmap;
struct CapturedFrame;

// OpenGL widget that shows frames stretched over the whole widget. It only shows: the frames
// that updateAndStoreTexture() is given go into the history it was handed (setHistory(), owned
// by the caller), and selectTexture() shows a frame of that history again. One texture lives on
// the GPU; when a frame of the size on display follows another, only its changed bands are
// uploaded.
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
    // Where updateAndStoreTexture() stores frames and selectTexture() finds them; not owned.
    void setHistory(FrameHistory *history) { m_history = history; }
    [[nodiscard]] FrameHistory *history() const { return m_history; }
    // Whether the history can take a frame now without waiting (always, with no history).
    [[nodiscard]] bool canStore() const;

    // Stores a grabbed frame with its band map in the history and shows it.
    void updateAndStoreTexture(const CapturedFrame &frame);

    // Number of frames in the history (0 without one).
    [[nodiscard]] int storedFrameCount() const;
    // The stored frame `index` as it is kept (for checks and tools); null when out of range.
    [[nodiscard]] QImage storedFrame(int index) const;
    // Index of the stored frame on display, or -1 when the frame on display is not a stored one.
    [[nodiscard]] int currentFrameIndex() const { return m_currentIndex; }
    // Rows uploaded to the texture by the last paint that uploaded (for checks and tools).
    [[nodiscard]] int lastUploadedRows() const { return m_lastUploadedRows; }

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
    void display(const QImage &frame, int storedIndex, const BandMap &changes = {});
    void uploadPendingFrame();
    [[nodiscard]] QSize displaySize() const;

    QImage image;             // last image read from the image source
    unsigned currentTexture = 0; // the one texture that holds the frame on display
    IOImageHandler *imageSource = nullptr;
    FrameHistory *m_history = nullptr;

    QImage m_lastStored;      // the frame appended last, to find the bands that changed
    qint64 m_lastStoredNumber = -2; // its number when it was a grabbed frame
    QImage m_displayed;       // frame on display; uploaded at the next paint when m_dirty
    bool m_dirty = false;
    BandMap m_pendingChanges; // bands of m_displayed that differ from the texture's (empty: all)
    int m_currentIndex = -1;
    QSize m_textureSize;
    int m_lastUploadedRows = 0;
    qint64 m_liveNumber = -1; // number of the grabbed frame on display; -1 for any other frame
    QImage m_scaled;          // the frame shrunk to the texture, when it is larger than the widget
};
