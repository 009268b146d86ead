// The console's order (frames' lines in the order of their ticks, whatever the order their
// workers finish in) and the words of the events it prints.
#include "frameconsole.h"

#include <QSignalSpy>
#include <QTest>
#include <QThread>

class TestFrameConsole : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void printsInTheOrderOfTheTicks_data();
    void printsInTheOrderOfTheTicks();
    void wordsEachEvent_data();
    void wordsEachEvent();
};

void TestFrameConsole::printsInTheOrderOfTheTicks_data()
{
    // R reserves the next place, P:x prints x, Fn:a|b fills place n (counted in this row) with
    // a and b, Dn drops place n unfilled (its job was dropped), T:x reports x from another thread.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("printed");
    QTest::newRow("nothing reserved: at once") << QStringList{"P:a", "P:b"} << QStringList{"a", "b"};
    QTest::newRow("the rate line waits for its frame")
        << QStringList{"R", "P:rate", "F0:Writing: f0"} << QStringList{"Writing: f0", "rate"};
    QTest::newRow("workers finishing out of order")
        << QStringList{"R", "P:rate 1", "R", "P:rate 2", "F1:two", "F0:one"}
        << QStringList{"one", "rate 1", "two", "rate 2"};
    QTest::newRow("a frame with nothing to say") << QStringList{"R", "P:rate", "F0:"} << QStringList{"rate"};
    QTest::newRow("a job dropped with its place")
        << QStringList{"R", "P:rate 1", "R", "P:rate 2", "D0", "F1:two"} << QStringList{"rate 1", "two", "rate 2"};
    QTest::newRow("from another thread, in turn")
        << QStringList{"R", "T:from a worker", "F0:one"} << QStringList{"one", "from a worker"};
}

void TestFrameConsole::printsInTheOrderOfTheTicks()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, printed);
    FrameConsole &console = FrameConsole::instance();
    QSignalSpy spy(&console, &FrameConsole::SIG_reported);
    QList<ConsolePlace> places;
    for (const QString &step : steps) {
        if (step == QLatin1String("R")) {
            places.append(console.reserve());
        } else if (step.startsWith(QLatin1String("P:"))) {
            console.report(StageEvent::notice(step.mid(2)));
        } else if (step.startsWith(QLatin1String("T:"))) {
            const int waiting = console.waitingLines();
            QThread *worker = QThread::create([&console, text = step.mid(2)] {
                console.report(StageEvent::notice(text));
            });
            worker->start();
            QVERIFY(worker->wait(5000));
            delete worker;
            QTRY_COMPARE(console.waitingLines(), waiting + 1); // arrived, and held behind the place
        } else if (step.startsWith(QLatin1Char('D'))) {
            places[step.mid(1).toInt()] = ConsolePlace();
        } else {
            const ConsolePlace place = places.at(step.mid(1, step.indexOf(QLatin1Char(':')) - 1).toInt());
            std::vector<StageEvent> events;
            const QString lines = step.mid(step.indexOf(QLatin1Char(':')) + 1);
            for (const QString &line : lines.split(QLatin1Char('|'), Qt::SkipEmptyParts))
                events.push_back(StageEvent::notice(line));
            console.fill(place, std::move(events));
        }
    }
    QStringList seen;
    for (const QList<QVariant> &arguments : spy)
        seen.append(arguments.at(0).value<StageEvent>().text);
    QCOMPARE(seen, printed);
    QCOMPARE(console.waitingLines(), 0);
}

void TestFrameConsole::wordsEachEvent_data()
{
    QTest::addColumn<StageEvent>("event");
    QTest::addColumn<QString>("line");
    using Kind = StageEvent::Kind;
    QTest::newRow("written") << StageEvent{Kind::FrameWritten, "./capture/pic3.jpg", {}, 3}
                             << "Writing: ./capture/pic3.jpg";
    QTest::newRow("not written") << StageEvent{Kind::WriteFailed, "./capture/pic3.jpg", "No space left on device", 3}
                                 << "Could not write: ./capture/pic3.jpg: No space left on device";
    QTest::newRow("viewer joined") << StageEvent{Kind::ViewerJoined, "127.0.0.1:4000", {}, -1}
                                   << "Client 127.0.0.1:4000 connected!";
    QTest::newRow("viewer refused") << StageEvent{Kind::ViewerRefused, "127.0.0.1:4000", {}, 16}
                                    << "Client 127.0.0.1:4000 refused: already serving 16 viewers";
    QTest::newRow("connection lost") << StageEvent{Kind::ConnectionLost, "host:5000", "gone", 1000}
                                     << "Connection to host:5000 lost: gone; trying again in 1000 ms";
    QTest::newRow("reconnect failed")
        << StageEvent{Kind::ReconnectFailed, "host:5000", "Connection refused", 2000}
        << "Reconnecting to host:5000 failed: Connection refused; next attempt in 2000 ms";
}

void TestFrameConsole::wordsEachEvent()
{
    QFETCH(StageEvent, event);
    QFETCH(QString, line);
    QCOMPARE(QString::fromStdString(event.line()), line);
}

QTEST_GUILESS_MAIN(TestFrameConsole)
#include "tst_frameconsole.moc"
