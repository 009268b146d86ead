#include "jpegbandscoder.h"

#include "bandedjpeg.h"
#include "frameconsole.h"
#include "framehistory.h"
#include "jpegcodec.h"
#include "orderedworker.h"
#include "simpleimagesaver.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

// A stage whose worker stalls until released, as a stage on a slow disk would.
class StalledStage
{
public:
    ~StalledStage() { release(); }
    void take(const CapturedFrame &)
    {
        m_worker.post(
            [this] {
                std::unique_lock lock(m_mutex);
                m_opened.wait(lock, [this] { return m_open; });
            },
            [this] { ++done; });
    }
    void release()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_opened.notify_all();
    }
    int done = 0;

private:
    std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_open = false;
    OrderedWorker m_worker{1};
};

} // namespace

class tst_JpegBandsCoder : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void codesWideChangesWhole_data();
    void codesWideChangesWhole();
    void stalledStageHoldsUpOnlyItself_data();
    void stalledStageHoldsUpOnlyItself();
};

void tst_JpegBandsCoder::codesWideChangesWhole_data()
{
    QTest::addColumn<QRect>("painted");     // painted over in the second frame (empty: one frame only)
    QTest::addColumn<QList<int>>("whole");  // bands the last frame's coding holds
    // 164 rows: ten whole bands and a last one of 4 rows (a run of all of them wraps RST7 to RST0).
    QTest::newRow("first frame: every band, the short last one too")
        << QRect() << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    QTest::newRow("two bands painted over: those two") << QRect(0, 16, 120, 32) << QList<int>{1, 2};
    QTest::newRow("the last band painted over") << QRect(0, 160, 120, 4) << QList<int>{10};
    QTest::newRow("a few columns changed: a patch, nothing whole") << QRect(8, 40, 20, 5) << QList<int>{};
}

void tst_JpegBandsCoder::codesWideChangesWhole()
{
    QFETCH(QRect, painted);
    QFETCH(QList<int>, whole);
    JpegBandsCoder coder(75);
    coder.setMode(JpegBandsCoder::Mode::WideChanges);
    std::shared_ptr<const JpegBands> coded;
    const auto take = [&coded](const CapturedFrame &, const CodedJpeg &jpeg) { coded = jpeg.bands; };
    const QImage first = photoLikeImage(120, 164, 1);
    QImage frame = first;
    coder.code(CapturedFrame{first, BandMap::allChanged(first.height()), 0}, take);
    if (!painted.isNull()) {
        frame = first.copy();
        const QImage other = photoLikeImage(120, 164, 2);
        for (int y = painted.top(); y <= painted.bottom(); ++y)
            std::memcpy(frame.scanLine(y) + painted.left() * 4, other.constScanLine(y) + painted.left() * 4,
                        size_t(painted.width()) * 4);
        coder.code(CapturedFrame{frame, BandMap::compare(frame, first), 1}, take);
    }
    coder.drain();
    const int bands = BandMap::bandCount(frame.height());
    for (int band = 0; band < bands; ++band) {
        const bool expected = whole.contains(band);
        QCOMPARE(coded && !coded->segments[size_t(band)].isEmpty(), expected);
        if (!expected)
            continue;
        // Joined on its own, the band reads back as those rows coded alone at the same settings.
        const int top = BandMap::firstRow(band);
        const QImage rows = frame.copy(0, top, frame.width(), BandMap::rowCount(band, frame.height()));
        const QImage joined = decodeJpeg(joinJpegBands(*coded, band, 1));
        QCOMPARE(maxChannelDifference(joined, decodeJpeg(encodeJpeg(rows, 75, ChromaSubsampling::Half))), 0);
    }
    if (whole.size() > 1 && whole.last() - whole.first() == whole.size() - 1) {
        // A run of bands joins with restart markers into one file of all their rows.
        const QImage rows = frame.copy(0, BandMap::firstRow(whole.first()), frame.width(),
                                       BandMap::firstRow(whole.last()) + BandMap::rowCount(whole.last(), frame.height())
                                           - BandMap::firstRow(whole.first()));
        const QImage joined = decodeJpeg(joinJpegBands(*coded, whole.first(), int(whole.size())));
        QCOMPARE(maxChannelDifference(joined, decodeJpeg(encodeJpeg(rows, 75, ChromaSubsampling::Half))), 0);
    }
}

void tst_JpegBandsCoder::stalledStageHoldsUpOnlyItself_data()
{
    QTest::addColumn<bool>("saver"); // else the history takes the coding beside the stalled stage
    QTest::newRow("the history keeps storing") << false;
    QTest::newRow("the saver keeps writing") << true;
}

void tst_JpegBandsCoder::stalledStageHoldsUpOnlyItself()
{
    QFETCH(bool, saver);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    constexpr int Frames = 6;
    StalledStage stalled;
    FrameHistory history(Frames, 75, dir.path());
    SimpleImageSaver files(dir.filePath(QStringLiteral("pic")), QStringLiteral("jpg"), -1, Frames);
    files.startHandling(nullptr);
    JpegBandsCoder coder(files.jpegQuality(), 2);
    QImage previous;
    for (int i = 0; i < Frames; ++i) {
        const QImage image = photoLikeImage(160, 120, i);
        const ConsolePlace place = saver ? FrameConsole::instance().reserve() : ConsolePlace();
        coder.code(CapturedFrame{image, BandMap::compare(image, previous), i},
                   [&, place](const CapturedFrame &frame, const CodedJpeg &jpeg) {
                       stalled.take(frame);
                       if (saver)
                           files.writeCoded(frame, jpeg.file, place);
                       else
                           history.append(frame.image, frame.changes, jpeg.bands);
                   });
        previous = image;
    }
    coder.drain();
    // Every frame has reached the other stage and is stored or written there, while the stalled
    // one has finished none.
    if (saver) {
        files.waitUntilWritten();
        for (int i = 0; i < Frames; ++i)
            QVERIFY(QFileInfo::exists(dir.filePath(QStringLiteral("pic%1.jpg").arg(i))));
    } else {
        history.waitUntilStored();
        QCOMPARE(history.size(), Frames);
        for (int i = 0; i < Frames; ++i)
            QVERIFY(!history.frame(i).isNull());
    }
    QCOMPARE(stalled.done, 0);
    stalled.release();
    QTRY_COMPARE(stalled.done, Frames);
}

QTEST_GUILESS_MAIN(tst_JpegBandsCoder)
#include "tst_jpegbandscoder.moc"
