#include "boxscaler.h"
#include "capturedframe.h"
#include "glformat.h"
#include "framehistory.h"
#include "glstreamrenderer.h"
#include "jpegcodec.h"
#include "testsupport.h"

#include <QPaintEvent>
#include <QPixmap>
#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace {

// Four quadrants of distinct colours: any flip or rotation moves a colour to another corner.
QImage quadrants(int width, int height, QRgb topLeft, QRgb topRight, QRgb bottomLeft, QRgb bottomRight)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, y < height / 2 ? (x < width / 2 ? topLeft : topRight)
                                                : (x < width / 2 ? bottomLeft : bottomRight));
    return image;
}

// Counts the paint events a widget receives.
class PaintCounter : public QObject
{
public:
    explicit PaintCounter(QWidget *widget)
    {
        widget->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        count += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
};

QSize deviceSize(const QWidget *widget)
{
    return (QSizeF(widget->size()) * widget->devicePixelRatioF()).toSize();
}

// `image` with rows [top, top + 16) painted over with one colour.
QImage withBand(const QImage &image, int top, QRgb colour)
{
    QImage changed = image.copy();
    for (int y = top; y < std::min(top + BandMap::BandRows, changed.height()); ++y)
        for (int x = 0; x < changed.width(); ++x)
            changed.setPixel(x, y, colour);
    return changed;
}

QRgb cornerColour(const QImage &image, int corner)
{
    const int x = corner % 2 == 0 ? 5 : image.width() - 6;
    const int y = corner < 2 ? 5 : image.height() - 6;
    return image.pixel(x, y) | 0xff000000u;
}

} // namespace

class tst_GLStreamRenderer : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void initTestCase_data();
    void init();
    void cleanup();
    void sizeHints();
    void showsExactlyTheFrame_data();
    void showsExactlyTheFrame();
    void frameThatChangesNothingCausesNoPaint_data();
    void frameThatChangesNothingCausesNoPaint();
    void showsTheNewestOfFramesHandedInQuickly();
    void selectTextureShowsEachStoredFrameAgain();
    void outOfRangeIndicesChangeNothing_data();
    void outOfRangeIndicesChangeNothing();
    void unstoredFrameKeepsIndices();
    void stretchesToWideShape();
    void smallPreviewPagesThenSharpensOnResize();
    void uploadsOnlyChangedBands_data();
    void uploadsOnlyChangedBands();
    void memoryStaysBoundedOverManyStoredFrames();

private:
    GLStreamRenderer *m_renderer = nullptr;
    // As the capture does: the frame goes into the history, then to the preview.
    void store(const QImage &image)
    {
        if (!m_history->hasRoom())
            m_history->waitUntilStored();
        const int index = m_history->append(image, m_lastStored.advance(image));
        m_renderer->updateAndStoreTexture(CapturedFrame{image, BandMap::allChanged(image.height()), index});
    }
    void store(const CapturedFrame &frame)
    {
        if (!m_history->hasRoom())
            m_history->waitUntilStored();
        m_history->append(frame.image, m_lastStored.advance(frame));
        m_renderer->updateAndStoreTexture(frame);
    }

    std::unique_ptr<FrameHistory> m_history;
    LastFrame m_lastStored;
    const QImage m_first = quadrants(64, 48, qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 0));
    const QImage m_second = quadrants(64, 48, qRgb(0, 255, 255), qRgb(255, 0, 255), qRgb(255, 255, 255), qRgb(0, 0, 0));
    const QImage m_third = quadrants(64, 48, qRgb(128, 0, 0), qRgb(0, 128, 0), qRgb(0, 0, 128), qRgb(128, 128, 0));
};

// Every test runs on both drawing paths.
void tst_GLStreamRenderer::initTestCase_data()
{
    QTest::addColumn<PreviewPath>("path");
    QTest::newRow("raster") << PreviewPath::Raster;
    QTest::newRow("opengl") << PreviewPath::OpenGL;
}

void tst_GLStreamRenderer::init()
{
    QFETCH_GLOBAL(PreviewPath, path);
    m_history = std::make_unique<FrameHistory>();
    m_lastStored = LastFrame();
    m_renderer = new GLStreamRenderer(path, nullptr);
    m_renderer->setHistory(m_history.get());
    m_renderer->resize(320, 240);
    m_renderer->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_renderer));
}

void tst_GLStreamRenderer::cleanup()
{
    delete m_renderer;
    m_renderer = nullptr;
}

void tst_GLStreamRenderer::sizeHints()
{
    GLStreamRenderer renderer;
    QCOMPARE(renderer.sizeHint(), QSize(640, 480));
    QCOMPARE(renderer.minimumSizeHint(), QSize(50, 50));
}

// Also run with QT_SCALE_FACTOR=2: the frame is exactly as many pixels as the screen shows.
void tst_GLStreamRenderer::showsExactlyTheFrame_data()
{
    QTest::addColumn<QSize>("widgetSize");
    QTest::addColumn<int>("frameScale"); // frame = device size * frameScale; 0: the small quadrants
    QTest::newRow("frame of the device size: every pixel") << QSize(64, 48) << 1;
    QTest::newRow("frame twice the device size: the box average") << QSize(64, 48) << 2;
    QTest::newRow("odd size, frame of the device size") << QSize(77, 51) << 1;
    QTest::newRow("frame smaller than the widget: stretched upright") << QSize(320, 240) << 0;
}

void tst_GLStreamRenderer::showsExactlyTheFrame()
{
    QFETCH(QSize, widgetSize);
    QFETCH(int, frameScale);
    m_renderer->resize(widgetSize);
    const QSize device = deviceSize(m_renderer);
    const QImage frame = frameScale > 0 ? patternImage(device.width() * frameScale, device.height() * frameScale, 3)
                                        : m_first;
    store(frame);
    const QImage shown = m_renderer->grabFrame().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), device);
    if (frameScale == 0) {
        for (int corner = 0; corner < 4; ++corner)
            QCOMPARE(cornerColour(shown, corner), cornerColour(frame, corner));
    } else {
        const QImage expected = frameScale == 1 ? frame : BoxScaler::scaled(frame, device);
        QCOMPARE(maxChannelDifference(shown, expected), 0);
    }
}

void tst_GLStreamRenderer::frameThatChangesNothingCausesNoPaint_data()
{
    QTest::addColumn<int>("changedBand"); // -1: the second frame has the first one's pixels
    QTest::addColumn<bool>("withBandMap"); // the recorder's map comes along (else compared)
    QTest::newRow("same pixels, another image: no paint") << -1 << false;
    QTest::newRow("grabbed again, map says unchanged: no paint") << -1 << true;
    QTest::newRow("one band changed: painted") << 1 << false;
    QTest::newRow("one band changed, with its map: painted") << 1 << true;
}

void tst_GLStreamRenderer::frameThatChangesNothingCausesNoPaint()
{
    QFETCH(int, changedBand);
    QFETCH(bool, withBandMap);
    m_renderer->resize(m_first.size());
    PaintCounter paints(m_renderer);
    QSignalSpy painted(m_renderer, &GLStreamRenderer::SIG_framePainted);
    m_renderer->updateAndStoreTexture(CapturedFrame{m_first, BandMap::allChanged(m_first.height()), 0});
    QTRY_VERIFY(painted.count() >= 1);
    const int requestsBefore = m_renderer->repaintRequests();
    const int paintsBefore = paints.count;
    painted.clear();

    const QImage second = changedBand < 0 ? m_first.copy() : withBand(m_first, changedBand * BandMap::BandRows, qRgb(9, 9, 9));
    if (withBandMap)
        m_renderer->updateAndStoreTexture(CapturedFrame{second, BandMap::compare(second, m_first), 1});
    else
        m_renderer->updateTexture(QPixmap::fromImage(second));
    m_renderer->finishFrames();
    QCoreApplication::sendPostedEvents(); // a repaint asked for happens now

    if (changedBand < 0) {
        QCOMPARE(m_renderer->repaintRequests(), requestsBefore);
        QCOMPARE(paints.count, paintsBefore);
        QCOMPARE(painted.count(), 0);
    } else {
        QCOMPARE(m_renderer->repaintRequests(), requestsBefore + 1);
        QTRY_COMPARE(painted.count(), 1);
    }
    QCOMPARE(maxChannelDifference(m_renderer->grabFrame().convertToFormat(QImage::Format_RGB32), second), 0);
}

void tst_GLStreamRenderer::showsTheNewestOfFramesHandedInQuickly()
{
    // While the worker shrinks the second frame, the third waits and the fourth replaces it:
    // the fourth must be drawn with the bands changed in both.
    m_renderer->resize(m_first.size() / 2);
    m_renderer->updateAndStoreTexture(CapturedFrame{m_first, BandMap::allChanged(m_first.height()), 0});
    m_renderer->finishFrames();
    const QImage second = withBand(m_first, 0, qRgb(1, 2, 3));
    const QImage third = withBand(second, 16, qRgb(4, 5, 6));
    const QImage fourth = withBand(third, 32, qRgb(7, 8, 9));
    m_renderer->updateAndStoreTexture(CapturedFrame{second, BandMap::compare(second, m_first), 1});
    m_renderer->updateAndStoreTexture(CapturedFrame{third, BandMap::compare(third, second), 2});
    m_renderer->updateAndStoreTexture(CapturedFrame{fourth, BandMap::compare(fourth, third), 3});
    QCOMPARE(maxChannelDifference(m_renderer->grabFrame().convertToFormat(QImage::Format_RGB32),
                                  BoxScaler::scaled(fourth, deviceSize(m_renderer))),
             0);
}

void tst_GLStreamRenderer::selectTextureShowsEachStoredFrameAgain()
{
    m_renderer->resize(m_first.size());
    store(m_first);
    store(m_second);
    store(m_third);
    QCOMPARE(m_renderer->storedFrameCount(), 3);
    QVERIFY(psnr(m_renderer->grabFrame(), m_third) > 40);

    m_renderer->selectTexture(0);
    QVERIFY(psnr(m_renderer->grabFrame(), m_first) > 38);
    m_renderer->selectTexture(2);
    QVERIFY(psnr(m_renderer->grabFrame(), m_third) > 38);
    m_renderer->selectTexture(1);
    QVERIFY(psnr(m_renderer->grabFrame(), m_second) > 38);
    QCOMPARE(m_renderer->currentFrameIndex(), 1);
}

void tst_GLStreamRenderer::outOfRangeIndicesChangeNothing_data()
{
    QTest::addColumn<int>("index");
    QTest::newRow("minus one (slider of an empty history)") << -1;
    QTest::newRow("one past the end") << 2;
    QTest::newRow("far past the end") << 1000000;
    QTest::newRow("most negative") << std::numeric_limits<int>::min();
}

void tst_GLStreamRenderer::outOfRangeIndicesChangeNothing()
{
    QFETCH(int, index);
    m_renderer->resize(m_first.size());
    store(m_first);
    store(m_second);
    const QImage before = m_renderer->grabFrame();
    m_renderer->selectTexture(index);
    QCOMPARE(m_renderer->currentFrameIndex(), 1);
    QCOMPARE(maxChannelDifference(m_renderer->grabFrame(), before), 0);
    QCOMPARE(m_renderer->storedFrameCount(), 2);
}

void tst_GLStreamRenderer::unstoredFrameKeepsIndices()
{
    m_renderer->resize(m_first.size());
    store(m_first);
    m_renderer->updateTexture(QPixmap::fromImage(m_second));
    QCOMPARE(m_renderer->storedFrameCount(), 1);
    QCOMPARE(maxChannelDifference(m_renderer->grabFrame(), m_second), 0);
    m_renderer->selectTexture(0);
    QVERIFY(psnr(m_renderer->grabFrame(), m_first) > 38);
}

void tst_GLStreamRenderer::stretchesToWideShape()
{
    m_renderer->resize(400, 60);
    store(m_first);
    const QImage shown = m_renderer->grabFrame();
    QCOMPARE(shown.size(), QSize(400, 60));
    // The frame covers the whole widget: no clear colour shows at any edge.
    for (int corner = 0; corner < 4; ++corner)
        QCOMPARE(cornerColour(shown, corner), cornerColour(m_first, corner));
    QCOMPARE(shown.pixel(100, 45) | 0xff000000u, m_first.pixel(16, 36) | 0xff000000u);
    QCOMPARE(shown.pixel(300, 15) | 0xff000000u, m_first.pixel(48, 12) | 0xff000000u);
}

void tst_GLStreamRenderer::smallPreviewPagesThenSharpensOnResize()
{
    const QImage first = photoLikeImage(640, 480, 1);
    const QImage second = photoLikeImage(640, 480, 2);
    m_renderer->resize(160, 120);
    store(first);
    store(second);
    m_history->waitUntilStored();
    m_renderer->selectTexture(0);
    const QImage small = m_renderer->grabFrame();
    QVERIFY(psnr(small, first.scaled(small.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)) > 25);
    QVERIFY(psnr(small, first.scaled(small.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation))
            > psnr(small, second.scaled(small.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)) + 3);
    // Made as large as the frame, the widget shows it at full detail again: as its file looks.
    m_renderer->resize(640, 480);
    QVERIFY(psnr(m_renderer->grabFrame(), decodeJpeg(encodeJpeg(first, 75, ChromaSubsampling::Half))) > 38);
}

void tst_GLStreamRenderer::memoryStaysBoundedOverManyStoredFrames()
{
    // Kept as textures, 200 full-HD frames would take 1.6 GB.
    m_renderer->resize(480, 270);
    const QImage base = photoLikeImage(1920, 1080, 3);
    store(base);
    m_renderer->grabFrame();
    m_history->waitUntilStored();
    const qint64 before = residentBytes();
    for (int i = 1; i < 200; ++i) {
        QImage frame = base;
        frame.setPixel(i, 0, qRgb(255, 0, 0));
        store(frame);
        if (i % 10 == 0)
            m_renderer->grabFrame(); // paint now and then, as the event loop would
    }
    m_history->waitUntilStored();
    const qint64 growth = residentBytes() - before;
    QVERIFY2(growth < 200 * 1024 * 1024, qPrintable(QStringLiteral("grew by %1 MB").arg(growth >> 20)));
    QCOMPARE(m_renderer->storedFrameCount(), 200);
    m_renderer->resize(1920, 1080);
    m_renderer->selectTexture(17);
    QImage expected = base.copy();
    expected.setPixel(17, 0, qRgb(255, 0, 0));
    QVERIFY(psnr(m_renderer->grabFrame(), decodeJpeg(encodeJpeg(expected, 75, ChromaSubsampling::Half))) > 38);
}

void tst_GLStreamRenderer::uploadsOnlyChangedBands_data()
{
    QTest::addColumn<QSize>("widgetSize");
    QTest::addColumn<int>("changedRow"); // -1: the second frame equals the first
    QTest::addColumn<bool>("follows");   // the second frame is the successor of the first
    QTest::addColumn<int>("uploadedRows");
    QTest::newRow("one band changed, frame size") << QSize(64, 48) << 20 << true << 16;
    QTest::newRow("nothing changed: nothing uploaded") << QSize(64, 48) << -1 << true << 0;
    QTest::newRow("shrunk preview: the band's rows only") << QSize(32, 24) << 20 << true << 8;
    QTest::newRow("not the successor: compared anew, the band's rows") << QSize(64, 48) << 20 << false << 16;
}

void tst_GLStreamRenderer::uploadsOnlyChangedBands()
{
    QFETCH(QSize, widgetSize);
    QFETCH(int, changedRow);
    QFETCH(bool, follows);
    QFETCH(int, uploadedRows);
    m_renderer->resize(widgetSize);
    CapturedFrame first{m_first, BandMap::allChanged(m_first.height()), 10};
    store(first);
    m_renderer->grabFrame();

    QImage second = m_first.copy();
    if (changedRow >= 0) {
        for (int x = 0; x < second.width(); ++x)
            second.setPixel(x, changedRow, qRgb(255, 255, 255));
    }
    CapturedFrame next{second, BandMap::compare(second, m_first), follows ? 11 : 20};
    store(next);
    const QImage shown = m_renderer->grabFrame();
    if (uploadedRows > 0)
        QCOMPARE(m_renderer->lastUploadedRows(), uploadedRows);
    else
        QCOMPARE(m_renderer->lastUploadedRows(), m_first.height()); // the first frame's upload was the last
    // Whatever was uploaded, the picture is the second frame.
    if (widgetSize == second.size())
        QCOMPARE(maxChannelDifference(shown, second), 0);
    else
        QVERIFY(psnr(shown, second.scaled(widgetSize)) > 20);
    QCOMPARE(m_renderer->storedFrameCount(), 2);
}

QTEST_MAIN(tst_GLStreamRenderer)
#include "tst_glstreamrenderer.moc"
