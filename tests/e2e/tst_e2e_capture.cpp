// Runs the real capture_server over a window with a known pattern and checks that the JPEG
// files hold exactly the selected pixels.
#include "jpegcodec.h"
#include "testsupport.h"

#include <QCursor>
#include <QDir>
#include <QGuiApplication>
#include <QImageReader>
#include <QProcess>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdlib>

namespace {

// The pattern as the saver would store it: same encoder, same settings.
QImage jpegRoundTrip(const QImage &image)
{
    return QImage::fromData(encodeJpeg(image, -1, ChromaSubsampling::Half), "jpg");
}

} // namespace

class tst_E2eCapture : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void filesHoldExactlyTheSelectedPixels_data();
    void filesHoldExactlyTheSelectedPixels();
    void secondRunNeverOverwritesTheFirst();
    void scriptedRunEndsWithItsStatus_data();
    void scriptedRunEndsWithItsStatus();
    void pointerDrawnOnlyWithCursorOption_data();
    void pointerDrawnOnlyWithCursorOption();

private:
    QStringList runCapture(const QString &workDir, const QStringList &arguments);
};

QStringList tst_E2eCapture::runCapture(const QString &workDir, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                  // Keep the program's own window clear of the patterns.
                  QStringList{QStringLiteral("-geometry"), QStringLiteral("560x640+1000+0"), QStringLiteral("--port"),
                              QStringLiteral("0"), QStringLiteral("--start")} + arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return QString::fromLatin1(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void tst_E2eCapture::filesHoldExactlyTheSelectedPixels_data()
{
    const QSize screen = QGuiApplication::primaryScreen()->size();
    QTest::addColumn<QRect>("patternRect");  // where the pattern window sits
    QTest::addColumn<QRect>("selection");    // what --area asks for
    QTest::addColumn<QRect>("expected");     // what must be in the file, in screen pixels
    QTest::newRow("inside the screen") << QRect(200, 150, 320, 240) << QRect(230, 170, 211, 97)
                                       << QRect(230, 170, 211, 97);
    const QRect corner(screen.width() - 300, screen.height() - 200, 300, 200);
    QTest::newRow("past the bottom-right edge: clipped")
        << corner << QRect(corner.x() + 100, corner.y() + 50, 400, 400)
        << QRect(corner.x() + 100, corner.y() + 50, 200, 150);
    QTest::newRow("starts left of the screen: clipped")
        << QRect(0, 300, 200, 100) << QRect(-50, 310, 150, 60) << QRect(0, 310, 100, 60);
}

void tst_E2eCapture::filesHoldExactlyTheSelectedPixels()
{
    QFETCH(QRect, patternRect);
    QFETCH(QRect, selection);
    QFETCH(QRect, expected);

    const QImage pattern = patternImage(patternRect.width(), patternRect.height(), 7);
    PatternWindow window(pattern, patternRect.topLeft());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTest::qWait(100); // let the X server settle the first paint

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString area = QStringLiteral("%1,%2,%3,%4").arg(selection.x()).arg(selection.y()).arg(selection.width()).arg(selection.height());
    const QStringList lines = runCapture(dir.path(), {QStringLiteral("--area"), area, QStringLiteral("--fps"),
                                                      QStringLiteral("30"), QStringLiteral("--frames"), QStringLiteral("3")});
    QCOMPARE(lines.filter(QStringLiteral("Writing: ")).size(), 3);

    // Encoded by the same JPEG encoder, exactly the selected pixels give exactly the same file
    // contents; a shift by one pixel or a wrong size would not.
    const QImage wanted = jpegRoundTrip(pattern.copy(expected.translated(-patternRect.topLeft())));
    for (int i = 0; i < 3; ++i) {
        const QImage file = QImageReader(dir.filePath(QStringLiteral("capture/pic%1.jpg").arg(i))).read();
        QCOMPARE(file.size(), expected.size());
        QVERIFY2(maxChannelDifference(file, wanted) <= 2,
                 qPrintable(QStringLiteral("frame %1 differs by up to %2").arg(i).arg(maxChannelDifference(file, wanted))));
    }
}

void tst_E2eCapture::secondRunNeverOverwritesTheFirst()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList first = runCapture(dir.path(), {QStringLiteral("--fps"), QStringLiteral("60"),
                                                      QStringLiteral("--frames"), QStringLiteral("2")});
    QCOMPARE(first.filter(QStringLiteral("Writing: ")),
             (QStringList{QStringLiteral("Writing: ./capture/pic0.jpg"), QStringLiteral("Writing: ./capture/pic1.jpg")}));
    const QStringList second = runCapture(dir.path(), {QStringLiteral("--fps"), QStringLiteral("60"),
                                                       QStringLiteral("--frames"), QStringLiteral("2")});
    QVERIFY(second.contains(QStringLiteral("Capturing images to memory...2")));
    QCOMPARE(second.filter(QStringLiteral("Writing: ")),
             (QStringList{QStringLiteral("Writing: ./capture/pic2.jpg"), QStringLiteral("Writing: ./capture/pic3.jpg")}));
    QCOMPARE(QDir(dir.filePath(QStringLiteral("capture"))).entryList(QDir::Files).size(), 4);
}

void tst_E2eCapture::scriptedRunEndsWithItsStatus_data()
{
    const QSize screen = QGuiApplication::primaryScreen()->size();
    QTest::addColumn<QString>("area");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("files");
    QTest::newRow("area wholly off the screen: status 1 at once, nothing written")
        << QStringLiteral("5000,5000,100,100") << 1 << 0;
    QTest::newRow("area partly on the screen: captured, status 0")
        << QStringLiteral("%1,0,100,100").arg(screen.width() - 50) << 0 << 2;
}

void tst_E2eCapture::scriptedRunEndsWithItsStatus()
{
    QFETCH(QString, area);
    QFETCH(int, exitCode);
    QFETCH(int, files);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(QStringLiteral(CAPTURE_SERVER_PATH),
                  {QStringLiteral("-geometry"), QStringLiteral("560x640+1000+0"), QStringLiteral("--port"),
                   QStringLiteral("0"), QStringLiteral("--area"), area, QStringLiteral("--start"),
                   QStringLiteral("--frames"), QStringLiteral("2")});
    const bool finished = process.waitForFinished(20000);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    QVERIFY2(finished, "capture_server did not end");
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), exitCode);
    if (exitCode != 0) {
        const QString output = QString::fromLatin1(process.readAllStandardOutput());
        QVERIFY2(output.contains(QStringLiteral("lies outside the screen: nothing can be captured")), qPrintable(output));
    }
    QCOMPARE(QDir(dir.filePath(QStringLiteral("capture"))).entryList(QDir::Files).size(), files);
}

void tst_E2eCapture::pointerDrawnOnlyWithCursorOption_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<bool>("pointerShown");
    QTest::newRow("without --cursor the frame holds the screen's pixels only") << QStringList{} << false;
    QTest::newRow("with --cursor the pointer is drawn in, nothing else changes")
        << QStringList{QStringLiteral("--cursor")} << true;
}

void tst_E2eCapture::pointerDrawnOnlyWithCursorOption()
{
    QFETCH(QStringList, options);
    QFETCH(bool, pointerShown);

    const QRect patternRect(200, 150, 320, 240);
    const QRect selection(208, 160, 288, 208); // whole JPEG blocks, so blocks far from the pointer stay exact
    const QPoint pointer(350, 260);
    const QImage pattern = patternImage(patternRect.width(), patternRect.height(), 11);
    PatternWindow window(pattern, patternRect.topLeft());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(runSystemTool(QStringLiteral("xdotool"),
                               {QStringLiteral("mousemove"), QString::number(pointer.x()), QString::number(pointer.y())}),
             0);
    QTRY_COMPARE(QCursor::pos(), pointer);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString area = QStringLiteral("%1,%2,%3,%4").arg(selection.x()).arg(selection.y()).arg(selection.width()).arg(selection.height());
    const QStringList lines = runCapture(dir.path(), QStringList{QStringLiteral("--area"), area, QStringLiteral("--frames"),
                                                                 QStringLiteral("1")} + options);
    QCOMPARE(lines.filter(QStringLiteral("Writing: ")).size(), 1);
    const QImage file = QImageReader(dir.filePath(QStringLiteral("capture/pic0.jpg"))).read().convertToFormat(QImage::Format_RGB32);
    const QImage wanted = jpegRoundTrip(pattern.copy(selection.translated(-patternRect.topLeft())))
                              .convertToFormat(QImage::Format_RGB32);
    QCOMPARE(file.size(), selection.size());

    // Near the pointer (its shape within 32 pixels, plus the JPEG blocks it touches) the pixels
    // may change, and with --cursor must; everywhere else they are the screen's.
    const QRect nearPointer = QRect(pointer - QPoint(48, 48), QSize(96, 96)).translated(-selection.topLeft());
    int changedNear = 0;
    for (int y = 0; y < file.height(); ++y) {
        for (int x = 0; x < file.width(); ++x) {
            const QRgb a = file.pixel(x, y);
            const QRgb b = wanted.pixel(x, y);
            const int difference = std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)),
                                             std::abs(qBlue(a) - qBlue(b))});
            if (nearPointer.contains(x, y))
                changedNear += difference > 64 ? 1 : 0;
            else
                QVERIFY2(difference <= 2, qPrintable(QStringLiteral("pixel (%1,%2) differs by %3").arg(x).arg(y).arg(difference)));
        }
    }
    if (pointerShown)
        QVERIFY2(changedNear >= 10, qPrintable(QStringLiteral("%1 pixels show the pointer").arg(changedNear)));
    else
        QCOMPARE(changedNear, 0);
}

QTEST_MAIN(tst_E2eCapture)
#include "tst_e2e_capture.moc"
