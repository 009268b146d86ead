// capture_server's --bind: the listening address decides who can reach the screen, and the
// start-up lines say which address that is.
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

class tst_E2eBind : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void bindDecidesWhoCanConnect_data();
    void bindDecidesWhoCanConnect();
};

void tst_E2eBind::bindDecidesWhoCanConnect_data()
{
    QTest::addColumn<QStringList>("bindOption");
    QTest::addColumn<QString>("listeningLine");
    QTest::addColumn<QStringList>("reachable");
    QTest::addColumn<QStringList>("unreachable");

    QTest::newRow("--bind 127.0.0.1: other loopback addresses refused")
        << QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.1")}
        << QStringLiteral("Listening on 127.0.0.1 only: the screen is offered to this machine only")
        << QStringList{QStringLiteral("127.0.0.1")}
        << QStringList{QStringLiteral("127.0.0.2"), QStringLiteral("127.1.2.3")};
    QTest::newRow("--bind 127.0.0.2: 127.0.0.1 refused")
        << QStringList{QStringLiteral("--bind"), QStringLiteral("127.0.0.2")}
        << QStringLiteral("Listening on 127.0.0.2 only: the screen is offered to this machine only")
        << QStringList{QStringLiteral("127.0.0.2")} << QStringList{QStringLiteral("127.0.0.1")};
    QTest::newRow("no --bind: every address, and the line says so")
        << QStringList{}
        << QStringLiteral("Listening on every network address: the screen is offered to the whole network")
        << QStringList{QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")} << QStringList{};
}

void tst_E2eBind::bindDecidesWhoCanConnect()
{
    QFETCH(QStringList, bindOption);
    QFETCH(QString, listeningLine);
    QFETCH(QStringList, reachable);
    QFETCH(QStringList, unreachable);

    QProcess server;
    server.start(QStringLiteral(CAPTURE_SERVER_PATH),
                 QStringList{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--handler"),
                             QStringLiteral("tcp"), QStringLiteral("--area"), QStringLiteral("0,0,64,48"),
                             QStringLiteral("--fps"), QStringLiteral("5"), QStringLiteral("--start")}
                     + bindOption);
    QVERIFY(server.waitForStarted());
    QByteArray output;
    quint16 port = 0;
    const QRegularExpression portLine(QStringLiteral("^Port: (\\d+)$"), QRegularExpression::MultilineOption);
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            output += server.readAllStandardOutput();
            const QRegularExpressionMatch match = portLine.match(QString::fromLatin1(output));
            port = match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
            return port != 0 && output.contains("Listening on");
        }(),
        20000);
    const QStringList lines = QString::fromLatin1(output).split(QLatin1Char('\n'));
    QVERIFY2(lines.contains(listeningLine), output.constData());

    auto connects = [port](const QString &address) {
        QTcpSocket socket;
        QSignalSpy connected(&socket, &QAbstractSocket::connected);
        QSignalSpy failed(&socket, &QAbstractSocket::errorOccurred);
        socket.connectToHost(QHostAddress(address), port);
        if (!QTest::qWaitFor([&] { return connected.size() + failed.size() > 0; }, 10000))
            return QStringLiteral("no answer");
        return connected.size() == 1 ? QStringLiteral("connected") : socket.errorString();
    };
    for (const QString &address : reachable)
        QCOMPARE(connects(address), QStringLiteral("connected"));
    for (const QString &address : unreachable)
        QCOMPARE(connects(address), QStringLiteral("Connection refused"));

    // Stopped right after start-up (the signal may arrive while the window is still being built):
    // still a clean exit.
    server.terminate();
    QVERIFY(server.waitForFinished(20000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_E2eBind)
#include "tst_e2e_bind.moc"
