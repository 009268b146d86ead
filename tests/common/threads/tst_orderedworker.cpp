#include "bandedpng.h"
#include "bandmap.h"
#include "framehistory.h"
#include "orderedworker.h"
#include "parallel.h"
#include "pngreader.h"

#include <QTest>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A gate that jobs wait at until the test opens it.
class Gate
{
public:
    void wait()
    {
        std::unique_lock lock(m_mutex);
        m_opened.wait(lock, [this] { return m_open; });
    }
    // False when the gate stayed shut for `seconds`.
    bool waitFor(int seconds)
    {
        std::unique_lock lock(m_mutex);
        return m_opened.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_open; });
    }
    void open()
    {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_opened.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_open = false;
};

QImage filled(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

class tst_OrderedWorker : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void resultsArriveInOrderOnTheCallingThread();
    void boundIsKeptWithoutBlocking();
    void drainSaysWhenItWaits_data();
    void drainSaysWhenItWaits();
    void parallelForRunsEveryIndexOnce();
    void parallelForIsNotHeldByOtherWork_data();
    void parallelForIsNotHeldByOtherWork();
    void bandThreadsNeverDetachTheImage_data();
    void bandThreadsNeverDetachTheImage();
    void bandMapMarksExactlyTheChangedBands_data();
    void bandMapMarksExactlyTheChangedBands();
};

void tst_OrderedWorker::resultsArriveInOrderOnTheCallingThread()
{
    OrderedWorker worker(64);
    std::vector<int> results;
    bool allOnThisThread = true;
    for (int i = 0; i < 50; ++i) {
        // Later jobs are quicker: a worker that ran them side by side would reorder them.
        QVERIFY(worker.tryPost(
            [i] {
                QThread::usleep(unsigned(50 - i) * 100);
                return i;
            },
            [&, i](int result) {
                allOnThisThread &= QThread::currentThread() == thread();
                QCOMPARE(result, i);
                results.push_back(result);
            }));
    }
    QTRY_COMPARE(int(results.size()), 50);
    QVERIFY(allOnThisThread);
    for (int i = 0; i < 50; ++i)
        QCOMPARE(results[size_t(i)], i);
    QCOMPARE(worker.pending(), 0);
}

void tst_OrderedWorker::boundIsKeptWithoutBlocking()
{
    Gate gate;
    OrderedWorker worker(2);
    int done = 0;
    QVERIFY(worker.tryPost([&] { gate.wait(); }, [&] { ++done; }));
    QVERIFY(worker.tryPost([] {}, [&] { ++done; }));
    // Full: refused at once while the first job is stalled (a blocking post would hang here).
    QVERIFY(!worker.hasRoom());
    QVERIFY(!worker.tryPost([] {}, [&] { ++done; }));
    gate.open();
    QTRY_COMPARE(done, 2);
    // A slot is free again only once its result has been handled.
    QVERIFY(worker.hasRoom());
    QVERIFY(worker.tryPost([] { return 7; }, [&](int value) { done += value; }));
    worker.drain();
    QCOMPARE(done, 9);
}

void tst_OrderedWorker::drainSaysWhenItWaits_data()
{
    QTest::addColumn<bool>("stuck");
    QTest::addColumn<int>("said"); // jobs left when it said so; -1: nothing said
    QTest::newRow("jobs that finish: nothing said") << false << -1;
    QTest::newRow("a job that does not finish: said once, with both jobs") << true << 2;
}

void tst_OrderedWorker::drainSaysWhenItWaits()
{
    QFETCH(bool, stuck);
    QFETCH(int, said);
    OrderedWorker worker(4);
    Gate gate;
    if (!stuck)
        gate.open();
    int handled = 0;
    QVERIFY(worker.tryPost([&] { gate.wait(); }, [&] { ++handled; }));
    QVERIFY(worker.tryPost([] {}, [&] { ++handled; }));
    QList<int> told; // jobs left, each time it said so; told, the test lets the stuck job go
    worker.drain([&](int left) { told << left; gate.open(); }, std::chrono::milliseconds(stuck ? 1 : 30000));
    QCOMPARE(handled, 2);
    QCOMPARE(told, said < 0 ? QList<int>{} : QList<int>{said});
}

void tst_OrderedWorker::parallelForRunsEveryIndexOnce()
{
    std::vector<std::atomic<int>> seen(1000);
    parallelFor(int(seen.size()), [&](int i) { seen[size_t(i)].fetch_add(1); });
    for (const std::atomic<int> &count : seen)
        QCOMPARE(count.load(), 1);
    parallelFor(0, [](int) { QFAIL("no index to run"); });
}

void tst_OrderedWorker::parallelForIsNotHeldByOtherWork_data()
{
    QTest::addColumn<bool>("nested");
    // Another stage's long job holds every helper: the caller does its work itself at once.
    QTest::newRow("helpers busy with another caller's work") << false;
    // A body calls parallelFor on a helper thread, whose pool is all busy: it runs inline.
    QTest::newRow("nested call on a helper") << true;
}

void tst_OrderedWorker::parallelForIsNotHeldByOtherWork()
{
    QFETCH(bool, nested);
    const int helpers = parallelHelperCount();
    if (helpers == 0)
        QSKIP("one core: parallelFor has no helper");
    const int outer = helpers + 1; // one index per helper and one for the caller
    std::vector<std::atomic<int>> seen(64);
    const auto mark = [&](int i) { seen[size_t(i)].fetch_add(1); };

    std::atomic<int> inside{0};
    Gate allInside;
    Gate release;
    std::thread other([&] {
        parallelFor(outer, [&](int) {
            if (++inside == outer)
                allInside.open();
            allInside.wait(); // every index taken: the helpers are all in here
            if (nested)
                parallelFor(int(seen.size()), mark);
            else
                release.wait();
        });
    });
    QVERIFY(allInside.waitFor(30));
    bool releasedByWatchdog = false;
    if (!nested) {
        // A call that waited for a helper would wait for ever: the watchdog frees the helpers
        // after a while, and the order of the two events tells.
        Gate ownDone;
        std::thread watchdog([&] {
            if (!ownDone.waitFor(30)) {
                releasedByWatchdog = true;
                release.open();
            }
        });
        parallelFor(int(seen.size()), mark);
        ownDone.open();
        watchdog.join();
        release.open();
    }
    other.join();
    QVERIFY(!releasedByWatchdog);
    for (const std::atomic<int> &count : seen)
        QCOMPARE(count.load(), nested ? outer : 1);
}

void tst_OrderedWorker::bandThreadsNeverDetachTheImage_data()
{
    QTest::addColumn<QString>("decoder");
    QTest::newRow("banded PNG read") << "png";
    QTest::newRow("history frame, whole") << "history";
    QTest::newRow("history frame, shrunk") << "history shrunk";
}

// A parallel body that calls the non-const scanLine() detaches the shared image from every band
// thread at once (a data race on its counter, and a copy per thread were it ever shared). The
// image's cache key counts detaches: the decoders take the pixels once, before the bands.
void tst_OrderedWorker::bandThreadsNeverDetachTheImage()
{
    QFETCH(QString, decoder);
    QImage source(640, 480, QImage::Format_RGB32);
    source.fill(qRgb(10, 200, 30));
    const BandMap all = BandMap::allChanged(source.height());
    QImage decoded;
    if (decoder == "png") {
        BandedPngEncoder encoder;
        decoded = readPng(encoder.encode(source, all));
    } else {
        FrameHistory history;
        history.append(source, all);
        history.waitUntilStored();
        decoded = history.frame(0, decoder.endsWith("shrunk") ? QSize(100, 100) : QSize());
    }
    QVERIFY(!decoded.isNull());
    const quint64 detaches = decoded.cacheKey() & 0xffffffffu;
    QVERIFY2(detaches <= 2, qPrintable(QStringLiteral("%1 detaches").arg(detaches)));
}

void tst_OrderedWorker::bandMapMarksExactlyTheChangedBands_data()
{
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("changedRow"); // -1: nothing changes
    QTest::addColumn<QList<int>>("changedBands");
    QTest::newRow("one row") << 1 << 0 << QList<int>{0};
    QTest::newRow("nothing changed") << 40 << -1 << QList<int>{};
    QTest::newRow("last row of a band") << 40 << 15 << QList<int>{0};
    QTest::newRow("first row of the next band") << 40 << 16 << QList<int>{1};
    QTest::newRow("short last band") << 33 << 32 << QList<int>{2};
}

void tst_OrderedWorker::bandMapMarksExactlyTheChangedBands()
{
    QFETCH(int, height);
    QFETCH(int, changedRow);
    QFETCH(QList<int>, changedBands);
    const QImage before = filled(37, height, qRgb(10, 20, 30));
    QImage after = before.copy();
    if (changedRow >= 0)
        after.setPixel(36, changedRow, qRgb(10, 20, 31)); // one channel of one pixel, at the row's end
    const BandMap map = BandMap::compare(after, before);
    QCOMPARE(map.count(), (height + 15) / 16);
    QList<int> changed;
    for (int band = 0; band < map.count(); ++band) {
        if (map.changed(band))
            changed << band;
    }
    QCOMPARE(changed, changedBands);
    // Another size or no previous frame: every band counts as changed.
    QCOMPARE(BandMap::compare(after, QImage()).changedCount(), map.count());
    QCOMPARE(BandMap::compare(after, filled(36, height, qRgb(10, 20, 30))).changedCount(), map.count());
}

QTEST_GUILESS_MAIN(tst_OrderedWorker)
#include "tst_orderedworker.moc"
