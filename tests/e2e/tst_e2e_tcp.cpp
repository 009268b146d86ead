// Starts the real capture_server as a TCP image server over a window with a known pattern, and
// reads what it sends like a viewer would.
#include "framebytes.h"
#include "glformat.h"
#include "testsupport.h"

#include <QDataStream>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTcpSocket>
#include <QTest>

class tst_E2eTcp : public QObject
{
    Q_OBJECT
public:
    static void initMain() { setupDefaultSurfaceFormat(); }

private Q_SLOTS:
    void viewerReceivesThePatternExactly();
};

void tst_E2eTcp::viewerReceivesThePatternExactly()
{
    // Far from the top-left corner, where the server's own window appears.
    const QImage pattern = patternImage(211, 97, 5);
    const QPoint at(1500, 850);
    PatternWindow window(pattern, at);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QScreen *screen = QGuiApplication::primaryScreen();
    QTRY_COMPARE(screen->grabWindow(0, at.x(), at.y(), pattern.width(), pattern.height())
                     .toImage()
                     .convertToFormat(QImage::Format_RGB32),
                 pattern);

    QProcess server;
    server.setProcessChannelMode(QProcess::SeparateChannels);
    const QString area = QStringLiteral("%1,%2,%3,%4").arg(at.x()).arg(at.y()).arg(pattern.width()).arg(pattern.height());
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                  QStringLiteral("--handler"), QStringLiteral("tcp"), QStringLiteral("--start"),
                  QStringLiteral("--area"), area, QStringLiteral("--fps"), QStringLiteral("30"),
                  QStringLiteral("--frames"), QStringLiteral("150")});
    QVERIFY(server.waitForStarted());

    QByteArray output;
    quint16 port = 0;
    const QRegularExpression portLine(QStringLiteral("^Port: (\\d+)$"), QRegularExpression::MultilineOption);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            output += server.readAllStandardOutput();
            const QRegularExpressionMatch match = portLine.match(QString::fromLatin1(output));
            port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
            return port != 0;
        }(),
        20000);

    QTcpSocket viewer;
    QImage lastFrame;
    int frames = 0;
    bool matched = false;
    onEachImage(viewer, [&](const QImage &image) {
        lastFrame = image;
        ++frames;
        matched = matched || lastFrame.convertToFormat(QImage::Format_RGB32) == pattern;
    });
    viewer.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(viewer.waitForConnected(10000));
    // The server's control window may have come up over the pattern; put the pattern back on top.
    window.raise();

    QTRY_VERIFY2_WITH_TIMEOUT(matched || server.state() == QProcess::NotRunning,
                              qPrintable(QStringLiteral("%1 frames, last one %2x%3, largest difference %4")
                                             .arg(frames)
                                             .arg(lastFrame.width())
                                             .arg(lastFrame.height())
                                             .arg(maxChannelDifference(lastFrame, pattern))),
                              30000);
    QVERIFY2(matched, qPrintable(QStringLiteral("%1 frames, none equal to the pattern; largest difference in the last: %2")
                                     .arg(frames)
                                     .arg(maxChannelDifference(lastFrame, pattern))));

    QVERIFY(server.waitForFinished(60000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
    output += server.readAllStandardOutput();
    const QString text = QString::fromLatin1(output);
    QVERIFY(text.contains(QStringLiteral("Listening on 127.0.0.1 only")));
    QVERIFY(text.contains(QStringLiteral("Client 127.0.0.1 connected!")));
    QVERIFY(text.contains(QStringLiteral("Server started loop.\n\n")));
    QVERIFY(text.contains(QStringLiteral("Server ended loop.\n\n")));
    // Every frame announced as sent arrived whole.
    QTRY_COMPARE(qsizetype(frames), text.count(QStringLiteral("Buffer length ")));
}

QTEST_MAIN(tst_E2eTcp)
#include "tst_e2e_tcp.moc"
