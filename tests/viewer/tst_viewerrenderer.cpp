#include "framebytes.h"
#include "glformat.h"
#include "glstreamrenderer.h"
#include "tcpclientimagehandler.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

namespace {

// Four quadrants of distinct colours on top of a per-pixel pattern: a flip moves a colour.
QImage quadrantPattern(int width, int height)
{
    QImage image = patternImage(width, height, 7);
    const QRgb colours[4] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(255, 255, 0)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const QRgb base = colours[(y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1)];
            const QRgb grain = image.pixel(x, y);
            image.setPixel(x, y, qRgb(qRed(base) ^ (qRed(grain) & 0x1f), qGreen(base) ^ (qGreen(grain) & 0x1f),
                                      qBlue(base) ^ (qBlue(grain) & 0x1f)));
        }
    }
    return image;
}

} // namespace

class tst_ViewerRenderer : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void init();
    void cleanup();
    void showsTheSentImageUpright_data();
    void showsTheSentImageUpright();
    void undecodableFrameKeepsTheShownImage();

private:
    std::unique_ptr<QTcpServer> m_server;
    std::unique_ptr<GLStreamRenderer> m_renderer;
    std::unique_ptr<TCPclientImagehandler> m_client;
    QTcpSocket *m_peer = nullptr;
};

void tst_ViewerRenderer::init()
{
    m_server = std::make_unique<QTcpServer>();
    QVERIFY(m_server->listen(QHostAddress::LocalHost, 0));
    m_renderer = std::make_unique<GLStreamRenderer>();
    m_client = std::make_unique<TCPclientImagehandler>();
    m_client->connectToServer(QStringLiteral("127.0.0.1"), m_server->serverPort());
    m_renderer->setImageSource(m_client.get());
    QVERIFY(m_server->waitForNewConnection(5000));
    m_peer = m_server->nextPendingConnection();
    m_renderer->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_renderer.get()));
}

void tst_ViewerRenderer::cleanup()
{
    m_client.reset();
    m_renderer.reset();
    m_server.reset();
}

void tst_ViewerRenderer::showsTheSentImageUpright_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("wide frame") << QSize(96, 64);
    QTest::newRow("tall frame") << QSize(50, 120);
    QTest::newRow("odd sizes") << QSize(77, 51);
}

void tst_ViewerRenderer::showsTheSentImageUpright()
{
    QFETCH(QSize, size);
    const QImage sent = quadrantPattern(size.width(), size.height());
    m_renderer->resize(size); // one texel per pixel, so the frame must come back exactly

    CoutCapture cout;
    QSignalSpy shown(m_renderer.get(), &GLStreamRenderer::SIG_imageShown);
    m_peer->write(frameOf(sent));
    QTRY_COMPARE(shown.size(), 1);

    const QStringList lines = cout.lines();
    const int updated = int(lines.indexOf(QStringLiteral("TEXTURE UPDATED")));
    QVERIFY2(updated >= 0 && updated + 1 < lines.size(), qPrintable(lines.join('|')));
    QCOMPARE(lines[updated + 1], QStringLiteral("%1 %2").arg(size.height()).arg(size.width()));

    const QImage framebuffer = m_renderer->grabFrame().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(framebuffer.size(), size);
    QCOMPARE(framebuffer.pixel(0, 0), sent.pixel(0, 0)); // top-left at top-left
    QCOMPARE(maxChannelDifference(framebuffer, sent), 0);
}

void tst_ViewerRenderer::undecodableFrameKeepsTheShownImage()
{
    const QImage sent = quadrantPattern(64, 48);
    m_renderer->resize(sent.size());
    QSignalSpy shown(m_renderer.get(), &GLStreamRenderer::SIG_imageShown);
    m_peer->write(frameOf(sent));
    QTRY_COMPARE(shown.size(), 1);

    CoutCapture cout;
    QByteArray broken = frameOf(quadrantPattern(64, 48).mirrored());
    broken.chop(20); // the PNG loses its end, the frame keeps a correct length
    m_peer->write(frameWithBody(broken.mid(8)));
    QTRY_VERIFY(!cout.lines().filter(QStringLiteral("Skipped an undecodable image")).isEmpty());
    QVERIFY(!cout.lines().contains(QStringLiteral("TEXTURE UPDATED")));
    QCOMPARE(maxChannelDifference(m_renderer->grabFrame().convertToFormat(QImage::Format_RGB32), sent), 0);
}

QTEST_MAIN(tst_ViewerRenderer)
#include "tst_viewerrenderer.moc"
