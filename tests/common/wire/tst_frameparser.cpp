#include "frameparser.h"

#include "framebytes.h"

#include <QBuffer>
#include <QDataStream>
#include <QImage>
#include <QtTest>

namespace {

QImage testImage(int width, int height, QRgb seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, seed ^ qRgb(x * 7, y * 13, (x + y) * 3));
    return image;
}

// Feeds `bytes` in pieces ending at `cuts` (and at the end) and logs each step taken.
QStringList parse(FrameParser &parser, const QByteArray &bytes, const QList<int> &cuts,
                  QList<QByteArray> *bodies = nullptr)
{
    QStringList log;
    QList<int> ends = cuts;
    ends.append(int(bytes.size()));
    int begin = 0;
    for (int end : ends) {
        parser.append(bytes.mid(begin, end - begin));
        begin = end;
        for (bool more = true; more;) {
            switch (parser.next()) {
            case FrameParser::Step::NeedLength:
                more = false;
                break;
            case FrameParser::Step::LengthRead:
                log << QStringLiteral("length %1").arg(parser.length());
                break;
            case FrameParser::Step::NeedBody:
                log << QStringLiteral("%1 need %2").arg(parser.available()).arg(parser.length());
                more = false;
                break;
            case FrameParser::Step::FrameComplete: {
                const QByteArray body = parser.takeBody();
                log << QStringLiteral("frame %1").arg(body.size());
                if (bodies)
                    bodies->append(body);
                break;
            }
            case FrameParser::Step::ProtocolError:
                log << QStringLiteral("error");
                more = false;
                break;
            }
        }
    }
    return log;
}

} // namespace

class tst_FrameParser : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void steps_data();
    void steps();
    void bodiesDecodeToTheSentImages_data();
    void bodiesDecodeToTheSentImages();
    void nothingIsParsedAfterAnErrorUntilReset();
};

void tst_FrameParser::steps_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<int>>("cuts");
    QTest::addColumn<QStringList>("expected");

    const QByteArray small = frameOf(testImage(3, 2, 0x123456));
    const QString smallLength = QString::number(small.size() - 8);
    const QString lengthLine = QStringLiteral("length ") + smallLength;
    const QString frameLine = QStringLiteral("frame ") + smallLength;

    QTest::newRow("frame in one piece") << small << QList<int>{} << QStringList{lengthLine, frameLine};
    for (int cut = 1; cut < 8; ++cut) {
        QTest::addRow("length split after byte %d prints nothing early", cut)
            << small << QList<int>{cut} << QStringList{lengthLine, frameLine};
    }
    QTest::newRow("length alone then body waits")
        << small << QList<int>{8} << QStringList{lengthLine, QStringLiteral("0 need ") + smallLength, frameLine};
    QTest::newRow("body split in three")
        << small << QList<int>{10, 20}
        << QStringList{lengthLine, QStringLiteral("2 need ") + smallLength,
                       QStringLiteral("12 need ") + smallLength, frameLine};

    QList<int> everyByte;
    QStringList byteByByte{lengthLine};
    for (int i = 1; i < small.size(); ++i)
        everyByte << i;
    for (int i = 0; i < small.size() - 8; ++i)
        byteByByte << QStringLiteral("%1 need %2").arg(i).arg(smallLength);
    byteByByte << frameLine;
    QTest::newRow("one byte at a time") << small << everyByte << byteByByte;

    const QByteArray other = frameOf(testImage(5, 4, 0xabcdef));
    const QString otherLength = QString::number(other.size() - 8);
    QTest::newRow("two frames in one read")
        << small + other << QList<int>{}
        << QStringList{lengthLine, frameLine, QStringLiteral("length ") + otherLength,
                       QStringLiteral("frame ") + otherLength};
    QTest::newRow("three frames in one read, the last incomplete")
        << small + other + small << QList<int>{int(small.size() + other.size() + small.size() - 1)}
        << QStringList{lengthLine, frameLine, QStringLiteral("length ") + otherLength,
                       QStringLiteral("frame ") + otherLength, lengthLine,
                       QStringLiteral("%1 need %2").arg(small.size() - 9).arg(smallLength), frameLine};
    QTest::newRow("three frames in one read")
        << small + small + small << QList<int>{}
        << QStringList{lengthLine, frameLine, lengthLine, frameLine, lengthLine, frameLine};
    QTest::newRow("second frame's length split across reads")
        << small + other << QList<int>{int(small.size() + 3)}
        << QStringList{lengthLine, frameLine, QStringLiteral("length ") + otherLength,
                       QStringLiteral("frame ") + otherLength};

    const QByteArray nullFrame = frameOf(QImage());
    QTest::newRow("null image completes with its marker") << nullFrame << QList<int>{}
                                                          << QStringList{"length 4", "frame 4"};

    QTest::newRow("length 0 is an error") << lengthField(0) << QList<int>{} << QStringList{"error"};
    QTest::newRow("length 3 is an error") << lengthField(3) + "abc" << QList<int>{} << QStringList{"error"};
    QTest::newRow("length -1 is an error") << lengthField(-1) << QList<int>{} << QStringList{"error"};
    QTest::newRow("length 2^40 is an error") << lengthField(qint64(1) << 40) << QList<int>{}
                                             << QStringList{"error"};
    QTest::newRow("length one above the limit is an error")
        << lengthField(FrameParser::MaxFrameLength + 1) << QList<int>{} << QStringList{"error"};
    QTest::newRow("length at the limit waits for its body")
        << lengthField(FrameParser::MaxFrameLength) + "xy" << QList<int>{}
        << QStringList{QStringLiteral("length %1").arg(FrameParser::MaxFrameLength),
                       QStringLiteral("2 need %1").arg(FrameParser::MaxFrameLength)};
    QTest::newRow("good frame then a bad length")
        << small + lengthField(-1) + small << QList<int>{} << QStringList{lengthLine, frameLine, "error"};
}

void tst_FrameParser::steps()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<int>, cuts);
    QFETCH(QStringList, expected);

    FrameParser parser;
    QCOMPARE(parse(parser, bytes, cuts), expected);
}

void tst_FrameParser::bodiesDecodeToTheSentImages_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QImage>>("images"); // a null QImage: the body must not decode

    const QImage first = testImage(17, 9, 0x00ff00);
    const QImage second = testImage(4, 31, 0x0000ff);
    QByteArray garbage("\x00\x00\x00\x01", 4);
    garbage += QByteArray("\x89PNG\r\n\x1a\n", 8) + QByteArray(40, 'x');

    QTest::newRow("two images back to back")
        << frameOf(first) + frameOf(second) << QList<QImage>{first, second};
    QTest::newRow("undecodable body followed by a good frame")
        << frameWithBody(garbage) + frameOf(second) << QList<QImage>{QImage(), second};
    QTest::newRow("null image between two images")
        << frameOf(first) + frameOf(QImage()) + frameOf(second) << QList<QImage>{first, QImage(), second};
}

void tst_FrameParser::bodiesDecodeToTheSentImages()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QImage>, images);

    FrameParser parser;
    QList<QByteArray> bodies;
    parse(parser, bytes, {}, &bodies);
    QCOMPARE(bodies.size(), images.size());
    for (int i = 0; i < bodies.size(); ++i) {
        QBuffer buffer(&bodies[i]);
        buffer.open(QIODevice::ReadOnly);
        QDataStream in(&buffer);
        in.setVersion(StreamVersion);
        QImage decoded;
        in >> decoded;
        if (images[i].isNull()) {
            QVERIFY2(decoded.isNull(), qPrintable(QStringLiteral("body %1 decoded").arg(i)));
        } else {
            QCOMPARE(in.status(), QDataStream::Ok);
            QCOMPARE(decoded.convertToFormat(QImage::Format_RGB32), images[i]);
        }
    }
}

void tst_FrameParser::nothingIsParsedAfterAnErrorUntilReset()
{
    const QByteArray good = frameOf(testImage(2, 2, 0x808080));
    FrameParser parser;
    QCOMPARE(parse(parser, lengthField(0) + good, {}), QStringList{"error"});
    QVERIFY(parser.hasError());
    QVERIFY(parser.errorString().contains(QLatin1String("0")));
    // Bytes after the error are not taken for a frame boundary.
    QCOMPARE(parse(parser, good, {}), QStringList{"error"});

    parser.reset();
    QVERIFY(!parser.hasError());
    const QString length = QString::number(good.size() - 8);
    QCOMPARE(parse(parser, good, {}), (QStringList{"length " + length, "frame " + length}));
}

QTEST_GUILESS_MAIN(tst_FrameParser)
#include "tst_frameparser.moc"
